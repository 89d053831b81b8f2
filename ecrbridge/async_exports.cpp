// The asynchronous payment exports: each starts its operation on a thread of
// its own and returns at once.  The future of the last operation is kept here;
// the next export waits for it, so one operation runs at a time.  The two
// controls that act on a running operation run on the caller's thread.
#include <cstring>
#include <exception>
#include <future>
#include <mutex>
#include <string>
#include <utility>

#include "Logging/log.h"
#include "VarkoClass2017/VarkoClass2017.h"
#include "ecrbridge.h"
#include "ecrbridge/instance.h"

// Future of the last asynchronous operation (never read; only waited for).
std::future<unsigned long> m_ThreadResult;

namespace {

// Result of an operation that ended with an exception.
constexpr unsigned long kFailed = 20;
// Longest text the terminal prints.
constexpr size_t kMaxPrintText = 1000;

// Serialises the wait-launch-store of concurrent callers.
std::mutex g_launchLock;

// True on the thread of an asynchronous operation: a callback that starts a
// further operation from there would wait for its own thread for ever.
thread_local bool t_onOperationThread = false;

// Waits for a running operation before the library's own static objects go.
// It is created on the first launch, after the log and the ECR object exist,
// so it is destroyed before them and the operation finishes with both alive.
struct OperationDrain {
    ~OperationDrain()
    {
        try {
            if (m_ThreadResult.valid())
                m_ThreadResult.wait();
        } catch (...) {
        }
    }
};

void log_launch_failure(const char* text)
{
    try {
        LOGREC(LOG_ERROR) << "Start transaction fail! [" << text << "]";
    } catch (...) {
    }
}

// Runs the member on the operation's thread; nothing escapes the thread.
template <typename Member>
unsigned long run_operation(CVarkoClass2017* ecr, Member&& member)
{
    t_onOperationThread = true;
    try {
        return member(*ecr);
    } catch (const std::exception& e) {
        try {
            LOGREC(LOG_ERROR) << "Start transaction fail! [" << e.what() << "]";
        } catch (...) {
        }
        return kFailed;
    } catch (...) {
        log_launch_failure("unknown exception");
        return kFailed;
    }
}

// Wait for the previous operation, start this one, keep its future.
template <typename Member>
void launch(Member member)
{
    if (t_onOperationThread) {
        log_launch_failure("an operation cannot be started from a callback");
        return;
    }
    try {
        std::lock_guard<std::mutex> lock(g_launchLock);
        // The object is taken here, on the caller's thread: the operation's
        // thread never creates an instance of its own.  It also makes sure the
        // log and the object exist before the drain below is created.
        CVarkoClass2017* ecr = GetInstanse();
        static OperationDrain drain;
        (void)drain;
        if (m_ThreadResult.valid())
            m_ThreadResult.wait();
        m_ThreadResult = std::async(std::launch::async,
                                    [ecr, member]() mutable { return run_operation(ecr, member); });
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
        return run(*GetInstanse());
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
