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
#include "protocol/link_error.h"
#include "protocol/message.h"
#include "protocol/operation_table.h"
#include "protocol/pos_handle.h"
#include "protocol/transaction_exchange.h"

namespace {

// One charge of the budget: the response time-out a silent read costs.
constexpr unsigned int kBudgetStep = 40;
// Result reported when no final report arrived.
constexpr unsigned long kNoReport = 20;
// Response code the terminal gives with a card-belonging notice.
constexpr unsigned long kCardBelongingCode = 33;
// The check-card purchase, whose first step ends with that notice.
constexpr uint16_t kCheckCardOp = 14;

// Largest invoice number that fits the six digits of the request.
constexpr long kMaxInvoice = 999999;

// A record of a step under the name of the member it belongs to (LOGREC
// would give the step's own name).
#define LOGREC_AS(level, name)                                                                              \
    for (bool ecr_log_record_once = el::get_logging(); ecr_log_record_once; ecr_log_record_once = false) \
    GetLogObject(level) << "[" << (name) << ":" << __LINE__ << "] "

bool interrupted(PosHandle* handle)
{
    return handle == nullptr || handle->interrupt.load() != 0;
}

void clear_interrupt(PosHandle* handle)
{
    if (handle != nullptr)
        handle->interrupt.store(0);
}

// The link died under the exchange (the terminal closed or reset it, refused
// it, the line hung up): nothing more can come, and the reason says what.
bool link_dead(const PosHandle* handle)
{
    return handle != nullptr && handle->gone != LinkGone::No;
}

const char* reason_or_dead_link(const PosHandle* handle, const char* reason)
{
    return link_dead(handle) ? link_gone_text(handle->gone) : reason;
}

// The terminal accepted an interrupt or abort of the payment that the cash
// register had stopped: nothing was charged, the record goes.
void terminal_took_the_stop(const char* reason)
{
    if (replace_outcome(ECRB_OUTCOME_UNKNOWN, kDeskStoppedReason, ECRB_OUTCOME_CANCELLED, reason))
        OperationRecord::Clear();
}

const char* const kApprovedReason = "approved by the terminal";
const char* const kDeclinedReason = "declined by the terminal";

// An interrupt the terminal accepted after the payment it decided: the
// decision stands (the money moved, or did not), the reason says what followed.
void interrupt_followed()
{
    const int decided = last_outcome();
    const char* reason = last_outcome_reason();
    if (decided == ECRB_OUTCOME_APPROVED)
        replace_outcome(decided, reason, decided, "approved by the terminal; an interrupt followed");
    else if (decided == ECRB_OUTCOME_DECLINED)
        replace_outcome(decided, reason, decided, "declined by the terminal; an interrupt followed");
}

}  // namespace

const char* const kDeskStoppedReason = "cancelled by the cash register after the terminal started";
const char* const kAwaitingCompletionReason =
    "card-belonging notice: the purchase is decided by PurchaseCheckCardCompleteTran";
const char* const kLinkNotOpen = "link not open";
const char* const kNoCrashRecord = "this payment has no crash record";

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

    m_StartNotOpen = m_Transport.GetHandle() == nullptr;
    if (m_StartNotOpen) {
        LOGREC(LOG_ERROR) << "Can't get handle! return E_FAIL";
        // Nothing went to the terminal: the application may pay again once
        // the link is open.
        set_outcome(ECRB_OUTCOME_NOT_SENT, kLinkNotOpen);
        link_error_set("%s", kLinkNotOpen);
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

// The request, the reading, the conclusion.  The thread that runs it owns
// the link: the controls of other threads reach it only as a posted request.
HRESULT CVarkoClass2017::Transaction()
{
    {
        std::lock_guard<std::mutex> lock(m_LinkLock);
        m_LinkOp = m_Param.trx_type;
        m_LinkServes = m_LinkOwner == std::this_thread::get_id();
        m_LinkMsgFlagged = false;
    }
    Reading reading;
    reading.cardNotice = m_Param.trx_type == kCheckCardOp;
    if (!SendRequest(m_Transport.GetHandle(), reading))
        return 0;
    // The acknowledgement of a ping is its whole answer.
    if (!op_moves_money(m_Param.trx_type)) {
        set_outcome(ECRB_OUTCOME_APPROVED, "ping acknowledged");
        return 0;
    }
    ReadUntilFinal(reading);
    Finish(Conclude(reading));
    return 0;
}

bool CVarkoClass2017::SendRequest(PosHandle* handle, Reading& reading)
{
    // A cancel that came before anything was written: nothing to undo.
    if (interrupted(handle)) {
        reading.deskStopped = true;
        ServePostedControl(reading);
        set_outcome(ECRB_OUTCOME_CANCELLED, "cancelled before the request was sent");
        m_LastReport.ResponseCode = 0;
        Finish(0);
        return false;
    }
    // A ping moves no money.  A payment whose record cannot be written is
    // still made (a till that refuses to sell is worse), and says so.
    m_NoCrashRecord = op_moves_money(m_Param.trx_type) && !OperationRecord::Write(m_Param);
    if (m_NoCrashRecord)
        link_error_set("%s", kNoCrashRecord);
    LOGREC_AS(LOG_TRACE, "Transaction") << "Start pos_init_transport";
    const InitRead init = init_transaction_step(handle, &m_Param);
    LOGREC_AS(LOG_TRACE, "Transaction") << "End pos_init_transport err_code=[" << init.status << "]";
    if (init.status == SE_OK) {
        reading.deskStopped = init.interrupted;
        return true;
    }
    if (init.step == RequestStep::Accepted) {
        set_outcome(ECRB_OUTCOME_UNKNOWN, reason_or_dead_link(handle, "no valid first answer from the terminal"));
    } else {
        set_outcome(ECRB_OUTCOME_NOT_SENT,
                    reason_or_dead_link(handle, init.step == RequestStep::NotWritten
                                                    ? "request not written"
                                                    : "request not acknowledged by the terminal"));
        m_RecordDecided = true;
    }
    // Nothing of this transaction stays: the records are cleared before the
    // application is told, so that no write follows its callback.
    ClearBuffers();
    Finish(kNoReport);
    return false;
}

void CVarkoClass2017::ReadUntilFinal(Reading& reading)
{
    unsigned int budget = m_PurchTimeout;
    while (!reading.deskStopped) {
        PosHandle* handle = m_Transport.GetHandle();
        if (interrupted(handle)) {
            reading.deskStopped = true;
            break;
        }
        LOGREC_AS(LOG_TRACE, "Transaction") << "Start pos_read_transaction_report";
        m_Report.MsgText[0] = '\0';  // a text message of this read shows up here
        const ReportRead read = read_transaction_report_step(handle, &m_Report);
        LOGREC_AS(LOG_TRACE, "Transaction") << "End pos_read_transaction_report err_code=[" << read.status << "]";
        reading.final = static_cast<int>(read.final);
        if (read.final != FinalStep::None)
            break;
        if (m_Report.MsgFlag != 0) {
            std::lock_guard<std::mutex> lock(m_LinkLock);
            m_LinkMsgFlagged = true;  // an abort must not cut it short
        }
        if (interrupted(m_Transport.GetHandle())) {
            reading.deskStopped = true;
            break;
        }
        if (read.status == SE_MESSAGE) {
            // The terminal's text for the cash desk ("INSERT CARD", ...) goes to
            // the application; intermediate messages cost nothing of the budget.
            if (m_Report.MsgText[0] != '\0')
                Fire_OnMsgReceived(m_Report.MsgText);
            continue;
        }
        if ((read.status != SE_NODATA && read.status != SE_READ) || link_dead(handle))
            break;  // a failed ACK write, a dead link: the transaction is over
        if (budget < kBudgetStep)
            break;
        budget -= kBudgetStep;
        if (budget < kBudgetStep)
            break;
    }
    // The outcome is decided by a final response that was read, even when a
    // stop raced it; only without one does the stop decide.
    if (reading.deskStopped && reading.final == static_cast<int>(FinalStep::None))
        ServePostedControl(reading);
}

void CVarkoClass2017::ServePostedControl(Reading& reading)
{
    LinkRequest kind;
    {
        std::lock_guard<std::mutex> lock(m_LinkLock);
        kind = m_LinkRequest;
    }
    PosHandle* handle = m_Transport.GetHandle();
    if (kind == LinkRequest::None || handle == nullptr)
        return;
    handle->interrupt.store(0);  // the control exchange is this payment's to run now
    const HRESULT answer = ControlExchange(kind, &reading);
    std::lock_guard<std::mutex> lock(m_LinkLock);
    m_LinkAnswer = answer;
    m_LinkServed = m_LinkRequest == kind;  // answered when the link is let go
}

unsigned long CVarkoClass2017::Conclude(const Reading& reading)
{
    unsigned long result = kNoReport;
    switch (static_cast<FinalStep>(reading.final)) {
    case FinalStep::Confirmed:
        result = m_Report.ResponseCode;
        m_LastReport = m_Report;
        if (reading.cardNotice && result == kCardBelongingCode) {
            // Not an outcome: the purchase is decided by its completion,
            // and its record stays until that final response is known.
            set_outcome(ECRB_OUTCOME_UNKNOWN, kAwaitingCompletionReason);
            break;
        }
        if (result == 0 && reading.crossed) {
            // An approval that came as the control's answer may have been
            // sent before the control reached the terminal, which may then
            // have given the payment up and acknowledged the confirmation
            // only as a frame: its journal tells (ecrb_recover).
            result = kNoReport;
            OperationRecord::NoteTerminalInvoice(static_cast<long>(m_Report.InvoceNumber));
            set_outcome(ECRB_OUTCOME_UNKNOWN, reading.control == LinkRequest::Abort
                                                  ? "the abort crossed the terminal's approval: whether it kept the payment is not known"
                                                  : "the interrupt crossed the terminal's approval: whether it kept the payment is not known");
            break;
        }
        set_outcome(result == 0 ? ECRB_OUTCOME_APPROVED : ECRB_OUTCOME_DECLINED,
                    result != 0 ? kDeclinedReason : kApprovedReason);
        OperationRecord::NoteJournalPosition(static_cast<long>(m_Report.InvoceNumber));
        m_RecordDecided = true;
        break;
    case FinalStep::Decoded:
        // The terminal said something and we read it, but it did not take our
        // confirmation: the record stays for the application, the result is
        // the failure result and the outcome unknown.
        m_LastReport = m_Report;
        OperationRecord::NoteTerminalInvoice(static_cast<long>(m_Report.InvoceNumber));
        OperationRecord::NoteJournalPosition(static_cast<long>(m_Report.InvoceNumber));
        set_outcome(ECRB_OUTCOME_UNKNOWN,
                    reason_or_dead_link(m_Transport.GetHandle(), "confirmation not acknowledged by the terminal"));
        break;
    case FinalStep::Undecodable:
        set_outcome(ECRB_OUTCOME_UNKNOWN, "final response could not be decoded");
        break;
    case FinalStep::None:
        // The cash register's own stop reports 0, as it always has; it is a
        // cancel only when the terminal accepted the interrupt or abort.
        if (reading.deskStopped)
            result = 0;
        if (reading.terminalStopped) {
            set_outcome(ECRB_OUTCOME_CANCELLED, reading.control == LinkRequest::Interrupt
                                                    ? "the terminal accepted the interrupt"
                                                    : "the terminal accepted the abort");
            m_RecordDecided = true;
        } else {
            set_outcome(ECRB_OUTCOME_UNKNOWN,
                        reading.deskStopped ? kDeskStoppedReason
                                            : reason_or_dead_link(m_Transport.GetHandle(),
                                                                  "no final response from the terminal"));
        }
        break;
    }
    m_LastReport.ResponseCode = static_cast<uint16_t>(result);
    return result;
}

// The flag is lowered and the link let go before the application is told:
// once its callback runs, the application may close the connection or start
// the next operation from any thread.
void CVarkoClass2017::Finish(unsigned long result)
{
    if (m_NoCrashRecord) {
        m_NoCrashRecord = false;
        set_outcome(last_outcome(), with_no_crash_record(last_outcome_reason()));
        char text[160] = {};
        link_error_copy(text, sizeof text);
        if (std::strstr(text, kNoCrashRecord) == nullptr)
            link_error_set("%s; %s", text, kNoCrashRecord);
    }
    clear_interrupt(m_Transport.GetHandle());
    // A decided payment's record goes only once the application has been
    // told: a cash register that dies in its callback learns the outcome
    // from ecrb_recover.  Nothing of the object is used after the callback,
    // which may destroy it; a record begun meanwhile stays.
    const bool decided = m_RecordDecided;
    m_RecordDecided = false;
    const uint64_t record = decided ? OperationRecord::MarkDecided() : 0;
    Fire_OnTrxComplete(result);
    if (decided)
        OperationRecord::ClearIf(record);
}

void CVarkoClass2017::ClearBuffers()
{
    std::memset(&m_Param, 0, sizeof(m_Param));
    std::memset(&m_Report, 0, sizeof(m_Report));
    std::memset(&m_LastReport, 0, sizeof(m_LastReport));
    std::lock_guard<std::mutex> lock(m_LinkLock);
    m_LinkOp = 0;
}

// The state word is set and this thread's claim of the link ends before the
// application is told; the callback is taken under the lock and called
// outside it, so that it may register callbacks or call any other function.
HRESULT CVarkoClass2017::Fire_OnTrxComplete(unsigned long result)
{
    std::function<void(unsigned long)> callback;
    {
        std::lock_guard<std::mutex> lock(m_CallbackLock);
        m_State.store(static_cast<unsigned int>(result));
        callback = m_OnTrxComplete;
    }
    if (!callback) {
        ReleaseLink();
        LOGREC(LOG_TRACE) << " EMPTY callback function";
        return 1;
    }
    // Taken while this thread still owns the link: nothing writes the report.
    const CallbackView view(this, m_LastReport);
    ReleaseLink();
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
    return RunControl(LinkRequest::Interrupt);
}

HRESULT CVarkoClass2017::PosAbortTrx()
{
    LOGREC(LOG_INFO) << "PosAbortTrx";
    return RunControl(LinkRequest::Abort);
}

// Runs on the thread that owns the link: the running payment's, or the
// caller's once no operation runs.  The terminal's answer may be the
// payment's final response (it decided before the control reached it): that
// is concluded as any final response, through Conclude.
HRESULT CVarkoClass2017::ControlExchange(LinkRequest kind, Reading* inPayment)
{
    PosHandle* handle = m_Transport.GetHandle();
    // The terminal told the cash desk something that must not be cut short.
    if (kind == LinkRequest::Abort && inPayment == nullptr && m_Report.MsgFlag != 0)
        return E_FAIL;
    if (inPayment == nullptr && handle != nullptr)
        handle->interrupt.store(1);  // as a cancel: lowered by the next operation
    Reading outside;
    Reading& reading = inPayment != nullptr ? *inPayment : outside;
    ControlRead answer{SE_OK, FinalStep::None};
    if (kind == LinkRequest::Interrupt) {
        const OpRow* row = op_row(m_LinkOp);
        const char* tag = row != nullptr ? row->tag : nullptr;
        ClearBuffers();  // the records go before the interrupt is sent
        answer = interrupt_step(handle, tag, &m_Report, inPayment != nullptr);
    } else {
        answer = abort_step(handle, &m_LastReport, &m_Report, inPayment != nullptr);
    }
    reading.control = kind;
    if (answer.final != FinalStep::None) {
        reading.final = static_cast<int>(answer.final);
        reading.crossed = true;
        // After the payment ended, its final response settles an outcome
        // that was still unknown (its record kept); a decided one stays.
        // No callback follows: a decided record goes at once.
        if (inPayment == nullptr && last_outcome() == ECRB_OUTCOME_UNKNOWN) {
            Conclude(reading);
            if (m_RecordDecided)
                OperationRecord::Clear();
            m_RecordDecided = false;
        }
        // Taken only when the terminal confirmed that it did not charge.
        return answer.final == FinalStep::Confirmed && m_Report.ResponseCode != 0 ? 0 : E_FAIL;
    }
    if (answer.status != SE_OK)
        return E_FAIL;
    reading.terminalStopped = true;
    if (inPayment == nullptr) {
        terminal_took_the_stop(kind == LinkRequest::Interrupt ? "the terminal accepted the interrupt"
                                                               : "the terminal accepted the abort");
        if (kind == LinkRequest::Interrupt)
            interrupt_followed();
    }
    if (kind == LinkRequest::Abort) {
        CancelPurch();
        ClearBuffers();
    }
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
    std::memcpy(ecr.m_LastReport.OpTag, op_row(14)->tag, 3);
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
