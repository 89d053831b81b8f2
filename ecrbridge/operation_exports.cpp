// Payment operations that run on the caller's thread: each returns after the
// transaction and its completion callback have run.
#include <exception>

#include "Logging/log.h"
#include "VarkoClass2017/VarkoClass2017.h"
#include "ecrbridge.h"
#include "ecrbridge/export_guard.h"
#include "ecrbridge/instance.h"

extern "C" {

ECRBRIDGE_API int SetPurchTimeout(unsigned short seconds)
{
    try {
        return InstanceUse()->SetPurchTimeout(seconds);
    }
    EXPORT_CATCH(E_FAIL)
}

ECRBRIDGE_API int PosDiscountCompletion(double amount, double addAmount, unsigned long* pResult)
{
    try {
        return InstanceUse()->PosDiscountCompletion(amount, addAmount, pResult);
    }
    EXPORT_CATCH(E_FAIL)
}

ECRBRIDGE_API int PosPurchaseInterrupt(double amount, double addAmount, unsigned long* pResult)
{
    try {
        return InstanceUse()->PosPurchaseInterrupt(amount, addAmount, pResult);
    }
    EXPORT_CATCH(E_FAIL)
}

ECRBRIDGE_API int PosVoidInterrupt(long invoice, unsigned long* pResult)
{
    try {
        return InstanceUse()->PosVoidInterrupt(invoice, pResult);
    }
    EXPORT_CATCH(E_FAIL)
}

ECRBRIDGE_API int PosAccFund(double amount, unsigned long* pResult)
{
    try {
        return InstanceUse()->PosAccFund(amount, pResult);
    }
    EXPORT_CATCH(E_FAIL)
}

ECRBRIDGE_API int EchoTest(unsigned long* pResult)
{
    try {
        return InstanceUse()->EchoTest(pResult);
    }
    EXPORT_CATCH(E_FAIL)
}

}  // extern "C"

ECRBRIDGE_API int PurchaseCheckCardCompleteTran(bool complete, unsigned long* pResult)
{
    try {
        return InstanceUse()->PosPurchaseCheckCardCompleteTran(complete ? 1 : 0, pResult);
    }
    EXPORT_CATCH(E_FAIL)
}
