// The asynchronous payment exports: each starts its operation on the
// library's operation thread and returns at once; the next export waits for
// the previous operation, so one operation runs at a time.  The two controls
// that act on a running operation run on the caller's thread.
#include <cstring>
#include <exception>
#include <string>
#include <utility>

#include "Logging/log.h"
#include "VarkoClass2017/VarkoClass2017.h"
#include "ecrbridge.h"
#include "ecrbridge/instance.h"
#include "ecrbridge/operation_thread.h"

namespace {

// Result of an operation that ended with an exception.
constexpr unsigned long kFailed = 20;
// Longest text the terminal prints.
constexpr size_t kMaxPrintText = 1000;

// The record carries the name of the operation's closure, "operator()".
void log_launch_failure(const char* text)
{
    try {
        if (el::get_logging())
            GetLogObject(LOG_ERROR) << "[operator():" << __LINE__ << "] Start transaction fail! [" << text << "]";
    } catch (...) {
    }
}

// Runs the member on the operation's thread; nothing escapes the thread.
// A payment refused because no link is open runs no callback of its own; an
// asynchronous start has no other way to tell the application, which would
// wait for the callback forever, so it gets the failure result here.
template <typename Member>
unsigned long run_operation(CVarkoClass2017* ecr, Member& member)
{
    try {
        ecr->m_StartNotOpen = false;
        const unsigned long result = member(*ecr);
        if (ecr->m_StartNotOpen)
            ecr->Fire_OnTrxComplete(kFailed);
        return result;
    } catch (const std::exception& e) {
        log_launch_failure(e.what());
        return kFailed;
    } catch (...) {
        log_launch_failure("unknown exception");
        return kFailed;
    }
}

// Wait for the previous operation and start this one on the operation thread.
template <typename Member>
void launch(Member member)
{
    if (OperationThread::on_operation_thread()) {
        log_launch_failure("an operation cannot be started from a callback");
        return;
    }
    try {
        // The object is taken here, on the caller's thread: the operation's
        // thread never creates an instance of its own.  It also makes sure the
        // log and the object exist before the operation thread is created.
        // The use lasts until the operation is on its thread, where
        // destroy_object waits for it.
        const InstanceUse use;
        CVarkoClass2017* ecr = use.get();
        if (!TheOperationThread().launch([ecr, member]() mutable { (void)run_operation(ecr, member); }))
            log_launch_failure("cannot start the operation thread");
    } catch (const std::exception& e) {
        log_launch_failure(e.what());
    } catch (...) {
        log_launch_failure("unknown exception");
    }
}

// The operations on an amount and an additional amount.
using AmountOperation = HRESULT (CVarkoClass2017::*)(double, double, unsigned long*);

// The operation's result is the result word the member fills in.
void launch_amounts(AmountOperation op, double amount, double addAmount)
{
    launch([op, amount, addAmount](CVarkoClass2017& ecr) -> unsigned long {
        unsigned long r = 1;
        (ecr.*op)(amount, addAmount, &r);
        return r;
    });
}

// The operation's result is the member's own; the result word goes to the caller.
void launch_amounts(AmountOperation op, double amount, double addAmount, unsigned long* pResult)
{
    launch([op, amount, addAmount, pResult](CVarkoClass2017& ecr) -> unsigned long {
        return static_cast<unsigned long>((ecr.*op)(amount, addAmount, pResult));
    });
}

// A control of the running operation, on the caller's thread; failed when the
// object cannot be had.
template <class Control>
int control(Control run, int failed)
{
    try {
        const InstanceUse use;
        return run(*use);
    } catch (const std::exception& e) {
        log_launch_failure(e.what());
    } catch (...) {
        log_launch_failure("unknown exception");
    }
    return failed;
}

}  // namespace

// ---- plain ------------------------------------------------------------------

extern "C" {

ECRBRIDGE_API void PosPurchase(double amount, double addAmount)
{
    launch_amounts(&CVarkoClass2017::PosPurchase, amount, addAmount);
}

ECRBRIDGE_API void PosCash(double amount, double addAmount, unsigned long* pResult)
{
    launch_amounts(&CVarkoClass2017::PosCash, amount, addAmount, pResult);
}

ECRBRIDGE_API void PosPayment(double amount, double addAmount, unsigned long* pResult)
{
    launch_amounts(&CVarkoClass2017::PosPayment, amount, addAmount, pResult);
}

ECRBRIDGE_API void PosBalance(double amount, double addAmount, unsigned long* pResult)
{
    launch_amounts(&CVarkoClass2017::PosBalance, amount, addAmount, pResult);
}

ECRBRIDGE_API void PosVoid(long invoice)
{
    launch([invoice](CVarkoClass2017& ecr) -> unsigned long {
        unsigned long r = 1;
        ecr.PosVoid(invoice, &r);
        return r;
    });
}

ECRBRIDGE_API void PosPartVoid(long invoice, double amount)
{
    launch([invoice, amount](CVarkoClass2017& ecr) -> unsigned long {
        unsigned long r = 1;
        ecr.PosPartVoid(invoice, amount, &r);
        return r;
    });
}

ECRBRIDGE_API void PosSettle(unsigned long* pResult)
{
    launch([pResult](CVarkoClass2017& ecr) -> unsigned long {
        return static_cast<unsigned long>(ecr.PosSettle(pResult));
    });
}

ECRBRIDGE_API void PosSettleReported()
{
    launch([](CVarkoClass2017& ecr) -> unsigned long {
        unsigned long r = 1;
        ecr.PosSettleReported(&r);
        return r;
    });
}

ECRBRIDGE_API void PosPing(unsigned long* pResult)
{
    launch([pResult](CVarkoClass2017& ecr) -> unsigned long {
        return static_cast<unsigned long>(ecr.PosPing(pResult));
    });
}

ECRBRIDGE_API int PosInterruptTrx()
{
    return control([](CVarkoClass2017& ecr) -> int { return ecr.PosInterruptTrx(); }, E_FAIL);
}

ECRBRIDGE_API int ecrb_PosAbortTrx(void)
{
    return control([](CVarkoClass2017& ecr) -> int { return ecr.PosAbortTrx(); }, E_FAIL);
}

}  // extern "C"

// ---- mangled ----------------------------------------------------------------

ECRBRIDGE_API void PosCashBack(double amount, double addAmount)
{
    launch_amounts(&CVarkoClass2017::PosCashBack, amount, addAmount);
}

ECRBRIDGE_API void Auth(double amount, double addAmount)
{
    launch_amounts(&CVarkoClass2017::PosAuth, amount, addAmount);
}

ECRBRIDGE_API void PosAuthFin(double amount, double addAmount)
{
    launch_amounts(&CVarkoClass2017::PosAuthFin, amount, addAmount);
}

ECRBRIDGE_API void PurchaseCheckCard(double amount, double addAmount, unsigned long* pResult)
{
    launch_amounts(&CVarkoClass2017::PosPurchaseCheckCard, amount, addAmount, pResult);
}

ECRBRIDGE_API void PosPrintMessage(char* text)
{
    if (text == nullptr)
        return;  // refused like the member does (E_INVALIDARG): nothing starts
    std::string copy;
    try {
        // The caller may free its buffer as soon as we return.  One character
        // more than the terminal takes is enough for the member to refuse it.
        copy.assign(text, strnlen(text, kMaxPrintText + 1));
    } catch (...) {
        log_launch_failure("cannot copy the text");
        return;
    }
    launch([copy = std::move(copy)](CVarkoClass2017& ecr) mutable -> unsigned long {
        return static_cast<unsigned long>(ecr.PosPrintMessage(&copy[0]));
    });
}

ECRBRIDGE_API int CancelTransaction()
{
    return control([](CVarkoClass2017& ecr) -> int { return ecr.CancelPurch(); }, 0);
}
