// The transaction worker of the ECR object: one request, the reads of the
// terminal's messages within the time budget, the completion callback; the
// controls that act on a running transaction; the check-card flow.
#include <cstdio>
#include <cstring>

#include "Logging/log.h"
#include "VarkoClass2017/VarkoClass2017.h"
#include "VarkoClass2017/link_claim.h"
#include "VarkoClass2017/operation_record.h"
#include "VarkoClass2017/outcome.h"
#include "protocol/card_read.h"
#include "protocol/interrupt_abort.h"
#include "protocol/message.h"
#include "protocol/pos_handle.h"
#include "protocol/transaction_exchange.h"

namespace {

// One charge of the budget: the response time-out a silent read costs.
constexpr unsigned int kBudgetStep = 40;
// Result reported when no final report arrived.
constexpr unsigned long kNoReport = 20;
// Response code the terminal gives with a card-belonging notice.
constexpr unsigned long kCardBelongingCode = 33;

// Largest invoice number that fits the six digits of the request.
constexpr long kMaxInvoice = 999999;

bool interrupted(PosHandle* handle)
{
    return handle == nullptr || handle->interrupt.load() != 0;
}

void clear_interrupt(PosHandle* handle)
{
    if (handle != nullptr)
        handle->interrupt.store(0);
}

// True on the thread of a transaction while it holds its link's run lock:
// the interrupt and the abort, which wait for that lock, are refused there
// (from a callback of the transaction) instead of waiting for themselves.
thread_local bool t_runHeld = false;

struct RunHeld {
    explicit RunHeld(bool held) : m_held(held) { t_runHeld = t_runHeld || held; }
    ~RunHeld()
    {
        if (m_held)
            t_runHeld = false;
    }
    bool m_held;
};

// The terminal accepted an interrupt or abort of the payment that the cash
// register had stopped: nothing was charged, the record goes.
void terminal_took_the_stop(const char* reason)
{
    if (replace_outcome(ECRB_OUTCOME_UNKNOWN, kDeskStoppedReason, ECRB_OUTCOME_CANCELLED, reason))
        OperationRecord::Clear();
}

}  // namespace

const char* const kDeskStoppedReason = "cancelled by the cash register after the terminal started";

HRESULT CVarkoClass2017::StartTransaction(unsigned short op, double amount, double addAmount, long invoice,
                                          unsigned short discountType, unsigned short completeType)
{
    // A number that does not fit the six digits would name another
    // transaction once cut: refuse it before anything changes.
    if (invoice < 0 || invoice > kMaxInvoice) {
        LOGREC(LOG_ERROR) << " invoice number out of range[" << invoice << "] return E_INVALIDARG";
        return E_INVALIDARG;
    }

    // A running operation keeps the link, its records and its state word.
    LinkClaim claim(*this);
    if (!claim)
        return E_FAIL;

    m_State.store(1);
    LOGREC(LOG_INFO) << " Tran name[" << transaction_name(op) << "] Tran code[" << op << "]";

    if (m_Transport.GetHandle() == nullptr) {
        LOGREC(LOG_ERROR) << "Can't get handle! return E_FAIL";
        return E_FAIL;
    }

    ClearBuffers();
    m_Param.trx_type = op;
    m_Param.amount = amount;
    m_Param.add_amount = addAmount;
    if (invoice != 0)
        std::snprintf(m_Param.invoice_num, sizeof(m_Param.invoice_num), "%06ld", invoice);
    m_Param.discount_req_type = discountType;
    m_Param.complete_type = completeType;
    ApplyProperties();
    return StartThread();
}

HRESULT CVarkoClass2017::StartThread()
{
    LOGREC(LOG_INFO) << "startThread\n";
    m_LastOp.store(m_Param.trx_type);
    clear_interrupt(m_Transport.GetHandle());
    ThreadFunc(this);
    LOGREC(LOG_INFO) << "thread done\n";
    return 0;
}

unsigned long CVarkoClass2017::ThreadFunc(void* object)
{
    if (object != nullptr)
        static_cast<CVarkoClass2017*>(object)->Transaction();
    return 0;
}

namespace {

// The outcome of a transaction whose reading ended without a final response.
void outcome_without_report(bool stopped_by_terminal, bool interrupted_by_desk)
{
    if (stopped_by_terminal)
        set_outcome(ECRB_OUTCOME_CANCELLED, "the terminal accepted the abort");
    else if (interrupted_by_desk)
        set_outcome(ECRB_OUTCOME_UNKNOWN, kDeskStoppedReason);
    else
        set_outcome(ECRB_OUTCOME_UNKNOWN, "no final response from the terminal");
}

}  // namespace

HRESULT CVarkoClass2017::Transaction()
{
    unsigned long result = kNoReport;
    PosHandle* handle = m_Transport.GetHandle();
    std::unique_lock<std::mutex> running;
    if (handle != nullptr)
        running = std::unique_lock<std::mutex>(handle->run);
    const RunHeld held(running.owns_lock());
    m_TerminalStopped.store(false);
    m_LastOp.store(m_Param.trx_type);

    // A cancel that came before anything was written: nothing to undo.
    if (interrupted(handle)) {
        set_outcome(ECRB_OUTCOME_CANCELLED, "cancelled before the request was sent");
        m_LastReport.ResponseCode = 0;
        clear_interrupt(m_Transport.GetHandle());
        if (running.owns_lock())
            running.unlock();
        CompleteOnLink(0);
        return 0;
    }

    if (m_Param.trx_type != 43)  // a ping moves no money
        OperationRecord::Write(m_Param);
    LOGREC(LOG_TRACE) << "Start pos_init_transport";
    const InitRead init = init_transaction_step(handle, &m_Param);
    unsigned int status = init.status;
    LOGREC(LOG_TRACE) << "End pos_init_transport err_code=[" << status << "]";

    if (status != SE_OK) {
        if (init.step == RequestStep::Accepted) {
            set_outcome(ECRB_OUTCOME_UNKNOWN, "no valid first answer from the terminal");
        } else {
            set_outcome(ECRB_OUTCOME_NOT_SENT, init.step == RequestStep::NotWritten
                                                   ? "request not written"
                                                   : "request not acknowledged by the terminal");
            OperationRecord::Clear();
        }
        // Nothing of this transaction stays: the records are cleared before
        // the application is told, so that no write follows its callback.
        clear_interrupt(m_Transport.GetHandle());
        ClearBuffers();
        if (running.owns_lock())
            running.unlock();
        CompleteOnLink(kNoReport);
        return 0;
    }

    // The acknowledgement of a ping is its whole answer.
    if (m_Param.trx_type == 43) {
        set_outcome(ECRB_OUTCOME_APPROVED, "ping acknowledged");
        return 0;
    }

    // The outcome is decided by the final response when one was read, even
    // when a cancel raced it; only without one does the flag decide.
    FinalStep final = FinalStep::None;
    bool desk_stopped = init.interrupted;
    unsigned int budget = m_PurchTimeout;
    while (!desk_stopped) {
        handle = m_Transport.GetHandle();
        if (interrupted(handle)) {
            desk_stopped = true;
            break;
        }
        LOGREC(LOG_TRACE) << "Start pos_read_transaction_report";
        m_Report.MsgText[0] = '\0';  // a text message of this read shows up here
        const ReportRead read = read_transaction_report_step(handle, &m_Report);
        status = read.status;
        final = read.final;
        LOGREC(LOG_TRACE) << "End pos_read_transaction_report err_code=[" << status << "]";
        if (final != FinalStep::None)
            break;
        handle = m_Transport.GetHandle();
        if (interrupted(handle)) {
            desk_stopped = true;
            break;
        }
        if (status == SE_MESSAGE) {
            // The terminal's text for the cash desk ("INSERT CARD", ...) goes to
            // the application; intermediate messages cost nothing of the budget.
            if (m_Report.MsgText[0] != '\0')
                Fire_OnMsgReceived(m_Report.MsgText);
            continue;
        }
        if (status == SE_NODATA || status == SE_READ) {
            if (budget < kBudgetStep)
                break;
            budget -= kBudgetStep;
            if (budget >= kBudgetStep)
                continue;
            break;
        }
        break;  // a failed ACK write, a broken link: the transaction is over
    }

    switch (final) {
    case FinalStep::Confirmed:
        result = m_Report.ResponseCode;
        m_LastReport = m_Report;
        set_outcome(result == 0 ? ECRB_OUTCOME_APPROVED : ECRB_OUTCOME_DECLINED,
                    result == 0 ? "approved by the terminal" : "declined by the terminal");
        OperationRecord::NoteJournalPosition(static_cast<long>(m_Report.InvoceNumber));
        OperationRecord::Clear();
        break;
    case FinalStep::Decoded:
        // The terminal said something and we read it, but it did not take our
        // confirmation: the record stays for the application, the result is
        // the failure result and the outcome unknown.
        result = kNoReport;
        m_LastReport = m_Report;
        OperationRecord::NoteTerminalInvoice(static_cast<long>(m_Report.InvoceNumber));
        OperationRecord::NoteJournalPosition(static_cast<long>(m_Report.InvoceNumber));
        set_outcome(ECRB_OUTCOME_UNKNOWN, "confirmation not acknowledged by the terminal");
        break;
    case FinalStep::Undecodable:
        result = kNoReport;
        set_outcome(ECRB_OUTCOME_UNKNOWN, "final response could not be decoded");
        break;
    case FinalStep::None:
        // The cash register's own cancel reports 0, as it always has.
        result = desk_stopped ? 0 : kNoReport;
        outcome_without_report(m_TerminalStopped.load(), desk_stopped);
        if (m_TerminalStopped.load())
            OperationRecord::Clear();
        break;
    }
    m_LastReport.ResponseCode = static_cast<uint16_t>(result);
    // The flag is lowered and the link let go before the application is
    // told: once its callback runs, the application may close the connection
    // or start the next operation from any thread, so nothing of the handle
    // is touched after LinkDoneReading.
    clear_interrupt(m_Transport.GetHandle());
    if (running.owns_lock())
        running.unlock();
    CompleteOnLink(result);
    return 0;
}

void CVarkoClass2017::ClearBuffers()
{
    std::memset(&m_Param, 0, sizeof(m_Param));
    std::memset(&m_Report, 0, sizeof(m_Report));
    std::memset(&m_LastReport, 0, sizeof(m_LastReport));
    m_LastOp.store(0);
}

// The callbacks are taken under the lock and called outside it, so that a
// callback may register callbacks or call any other function.
HRESULT CVarkoClass2017::Fire_OnTrxComplete(unsigned long result)
{
    return TellCompletion(result, false);
}

HRESULT CVarkoClass2017::CompleteOnLink(unsigned long result)
{
    return TellCompletion(result, true);
}

HRESULT CVarkoClass2017::TellCompletion(unsigned long result, bool releaseLink)
{
    std::function<void(unsigned long)> callback;
    {
        std::lock_guard<std::mutex> lock(m_CallbackLock);
        m_State.store(static_cast<unsigned int>(result));
        callback = m_OnTrxComplete;
    }
    // The state word is the payment's before another operation may take the link.
    if (releaseLink)
        LinkDoneReading();
    if (!callback) {
        LOGREC(LOG_TRACE) << " EMPTY callback function";
        return 1;
    }
    callback(result);
    LOGREC(LOG_TRACE) << " On transaction complete[" << result << "]";
    return 0;
}

HRESULT CVarkoClass2017::Fire_OnMsgReceived(char const* text)
{
    std::function<void(char const*)> callback;
    {
        std::lock_guard<std::mutex> lock(m_CallbackLock);
        callback = m_OnMsgReceived;
    }
    if (!callback) {
        LOGREC(LOG_TRACE) << " EMPTY callback function";
        return 1;
    }
    callback(text);
    return 0;
}

unsigned int CVarkoClass2017::get_State()
{
    std::lock_guard<std::mutex> lock(m_StateLock);
    return m_State.load();
}

HRESULT CVarkoClass2017::SetPurchTimeout(unsigned short seconds)
{
    LOGREC(LOG_INFO) << "SetPurchTimeout";
    if (seconds < 40 || seconds > 420)
        return E_INVALIDARG;
    // The budget and the handle's time-out of a running payment stay as they are.
    LinkClaim claim(*this);
    if (!claim)
        return E_FAIL;
    m_PurchTimeout = seconds;
    std::lock_guard<std::mutex> lock(m_LinkLock);  // the handle does not change under it
    unsigned int status = pos_set_timeouts(m_Transport.GetHandle(), 5, seconds);
    return status != SE_OK ? E_FAIL : 0;
}

HRESULT CVarkoClass2017::CancelPurch()
{
    LOGREC(LOG_INFO) << "Start interapt all write/read operation";
    // The pending completions are dropped before the flag is raised: the
    // running transaction that sees the flag also sees them dropped.
    m_CardReadPending = false;
    m_DiscountPending = false;
    m_CheckCardPending = false;
    std::lock_guard<std::mutex> lock(m_LinkLock);  // PosClose frees the handle under it
    PosHandle* handle = m_Transport.GetHandle();
    if (handle != nullptr)
        handle->interrupt.store(1);
    return 0;
}

HRESULT CVarkoClass2017::PosInterruptTrx()
{
    LOGREC(LOG_INFO) << "PosInterruptTrx";
    if (t_runHeld)
        return E_FAIL;
    const unsigned short op = m_LastOp.load();
    if (op != 18 && op != 19 && op != 44)
        return E_FAIL;
    PosHandle* handle = m_Transport.GetHandle();
    if (handle == nullptr)
        return E_FAIL;
    // The raised flag wakes the payment's read at once; the records are
    // cleared and the request goes out only once the payment has let go of
    // the link and written its outcome (interrupted, result 0), so the
    // terminal's answer reaches this exchange and not the payment.  A flag
    // left raised is lowered by the next operation.
    handle->interrupt.store(1);
    const std::lock_guard<std::mutex> running(handle->run);
    const std::lock_guard<std::mutex> owner(handle->owner);
    // The records of a running payment belong to its worker: they are
    // cleared only when no payment runs, and never when they hold what the
    // terminal decided (the payment read its final response first).
    {
        const int decided = last_outcome();
        std::lock_guard<std::mutex> lock(m_LinkLock);
        if (m_LinkDepth == 0 && decided != ECRB_OUTCOME_APPROVED && decided != ECRB_OUTCOME_DECLINED)
            ClearBuffers();
    }
    unsigned int status = send_receive_interrupt(handle);
    if (status != SE_OK)
        return E_FAIL;
    m_TerminalStopped.store(true);
    terminal_took_the_stop("the terminal accepted the interrupt");
    return 0;
}

HRESULT CVarkoClass2017::PosAbortTrx()
{
    LOGREC(LOG_INFO) << "PosAbortTrx";
    if (t_runHeld)
        return E_FAIL;
    const unsigned short op = m_LastOp.load();
    if (op != 1 && op != 2 && op != 35 && op != 36 && op != 46)
        return E_FAIL;
    PosHandle* handle = m_Transport.GetHandle();
    if (handle == nullptr)
        return E_FAIL;
    // The terminal told the cash desk something that must not be cut short.
    if (m_Report.MsgFlag != 0)
        return E_FAIL;
    // As for the interrupt: a payment still reading is stopped and lets go
    // of the link before the abort request goes out.
    handle->interrupt.store(1);
    const std::lock_guard<std::mutex> running(handle->run);
    const std::lock_guard<std::mutex> owner(handle->owner);
    if (send_receive_abort(handle, &m_LastReport) != SE_OK)
        return E_FAIL;
    m_TerminalStopped.store(true);
    terminal_took_the_stop("the terminal accepted the abort");
    CancelPurch();
    std::lock_guard<std::mutex> lock(m_LinkLock);
    if (m_LinkDepth == 0)
        ClearBuffers();
    return 0;
}

HRESULT CVarkoClass2017::get_CardBelong(unsigned short* pVal)
{
    LOGREC(LOG_INFO) << "get_CardBelong";
    if (pVal == nullptr)
        return 1;
    *pVal = static_cast<unsigned short>(m_CardBelong - '0');
    return 0;
}

unsigned long ThreadFunc2(void* object)
{
    if (object == nullptr)
        return 0;
    CVarkoClass2017& ecr = *static_cast<CVarkoClass2017*>(object);

    unsigned long result = kNoReport;
    ecr.m_CardBelong = '0';
    std::memcpy(ecr.m_LastReport.OpTag, "PCC", 3);
    ecr.m_LastReport.OpTag[3] = '\0';

    PosHandle* handle = ecr.m_Transport.GetHandle();
    if (pos_init_transaction(handle, &ecr.m_Param) != SE_OK) {
        ecr.m_LastReport.ResponseCode = static_cast<uint16_t>(kNoReport);
        ecr.Fire_OnTrxComplete(kNoReport);
        return 0;
    }

    unsigned int budget = ecr.m_PurchTimeout;
    if (!interrupted(handle))
        pos_read_card_belonging(handle, &ecr.m_CardBelong);

    if (ecr.m_CardBelong == '5') {
        ecr.m_LastReport.ResponseCode = static_cast<uint16_t>(kNoReport);
        ecr.Fire_OnTrxComplete(kNoReport);
        return 0;
    }
    ecr.m_LastReport.ResponseCode = static_cast<uint16_t>(kCardBelongingCode);
    ecr.Fire_OnTrxComplete(kCardBelongingCode);
    if (ecr.m_CardBelong == '2')
        return 0;  // the cash register decides with the completion operation

    for (;;) {
        handle = ecr.m_Transport.GetHandle();
        if (interrupted(handle))
            break;
        unsigned int status = pos_read_transaction_report(handle, &ecr.m_Report);
        if (status == SE_OK) {
            result = ecr.m_Report.ResponseCode;
            ecr.m_LastReport = ecr.m_Report;
            break;
        }
        if (status != SE_MESSAGE)
            break;
        std::memcpy(ecr.m_LastReport.MsgText, ecr.m_Report.MsgText, sizeof(ecr.m_LastReport.MsgText));
        ecr.m_LastReport.MsgText[sizeof(ecr.m_LastReport.MsgText) - 1] = '\0';
        ecr.Fire_OnMsgReceived(ecr.m_LastReport.MsgText);
        if (budget < kBudgetStep)
            break;
    }

    ecr.m_LastReport.ResponseCode = static_cast<uint16_t>(result);
    ecr.Fire_OnTrxComplete(result);
    return 0;
}
