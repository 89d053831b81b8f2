// Payment operations that run on the caller's thread: each returns after the
// transaction and its completion callback have run.
#include <exception>

#include "Logging/log.h"
#include "VarkoClass2017/VarkoClass2017.h"
#include "ecrbridge.h"
#include "ecrbridge/instance.h"

namespace {
// No exception leaves an export: it is logged and the export fails.
void log_exception(const char* function, const char* text)
{
    try {
        LOGREC(LOG_ERROR) << function << " catch [" << text << "]";
    } catch (...) {
    }
}
}  // namespace

#define OPERATION_CATCH                      \
    catch (const std::exception& e)          \
    {                                        \
        log_exception(__func__, e.what());   \
    }                                        \
    catch (...)                              \
    {                                        \
        log_exception(__func__, "...");      \
    }                                        \
    return E_FAIL;

extern "C" {

ECRBRIDGE_API int SetPurchTimeout(unsigned short seconds)
{
    try {
        return GetInstanse()->SetPurchTimeout(seconds);
    }
    OPERATION_CATCH
}

ECRBRIDGE_API int PosDiscountCompletion(double amount, double addAmount, unsigned long* pResult)
{
    try {
        return GetInstanse()->PosDiscountCompletion(amount, addAmount, pResult);
    }
    OPERATION_CATCH
}

ECRBRIDGE_API int PosPurchaseInterrupt(double amount, double addAmount, unsigned long* pResult)
{
    try {
        return GetInstanse()->PosPurchaseInterrupt(amount, addAmount, pResult);
    }
    OPERATION_CATCH
}

ECRBRIDGE_API int PosVoidInterrupt(long invoice, unsigned long* pResult)
{
    try {
        return GetInstanse()->PosVoidInterrupt(invoice, pResult);
    }
    OPERATION_CATCH
}

ECRBRIDGE_API int PosAccFund(double amount, unsigned long* pResult)
{
    try {
        return GetInstanse()->PosAccFund(amount, pResult);
    }
    OPERATION_CATCH
}

ECRBRIDGE_API int EchoTest(unsigned long* pResult)
{
    try {
        return GetInstanse()->EchoTest(pResult);
    }
    OPERATION_CATCH
}

}  // extern "C"

ECRBRIDGE_API int PurchaseCheckCardCompleteTran(bool complete, unsigned long* pResult)
{
    try {
        return GetInstanse()->PosPurchaseCheckCardCompleteTran(complete ? 1 : 0, pResult);
    }
    OPERATION_CATCH
}
