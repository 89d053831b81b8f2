// The transaction worker of the ECR object: one request, the reads of the
// terminal's messages within the time budget, the completion callback; the
// controls that act on a running transaction; the check-card flow.
#include <cstdio>
#include <cstring>

#include "Logging/log.h"
#include "VarkoClass2017/VarkoClass2017.h"
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

}  // namespace

HRESULT CVarkoClass2017::StartTransaction(unsigned short op, double amount, double addAmount, long invoice,
                                          unsigned short discountType, unsigned short completeType)
{
    // A number that does not fit the six digits would name another
    // transaction once cut: refuse it before anything changes.
    if (invoice < 0 || invoice > kMaxInvoice) {
        LOGREC(LOG_ERROR) << " invoice number out of range[" << invoice << "] return E_INVALIDARG";
        return E_INVALIDARG;
    }

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

HRESULT CVarkoClass2017::Transaction()
{
    unsigned long result = kNoReport;
    PosHandle* handle = m_Transport.GetHandle();
    std::unique_lock<std::mutex> running;
    if (handle != nullptr)
        running = std::unique_lock<std::mutex>(handle->run);

    LOGREC(LOG_TRACE) << "Start pos_init_transport";
    unsigned int status = pos_init_transaction(handle, &m_Param);
    LOGREC(LOG_TRACE) << "End pos_init_transport err_code=[" << status << "]";

    if (status != SE_OK) {
        // Nothing of this transaction stays: the records are cleared before
        // the application is told, so that no write follows its callback.
        clear_interrupt(m_Transport.GetHandle());
        ClearBuffers();
        if (running.owns_lock())
            running.unlock();
        Fire_OnTrxComplete(kNoReport);
        return 0;
    }

    // The acknowledgement of a ping is its whole answer.
    if (m_Param.trx_type == 43)
        return 0;

    unsigned int budget = m_PurchTimeout;
    for (;;) {
        handle = m_Transport.GetHandle();
        if (interrupted(handle)) {
            result = 0;
            break;
        }
        LOGREC(LOG_TRACE) << "Start pos_read_transaction_report";
        m_Report.MsgText[0] = '\0';  // a text message of this read shows up here
        status = pos_read_transaction_report(handle, &m_Report);
        LOGREC(LOG_TRACE) << "End pos_read_transaction_report err_code=[" << status << "]";
        handle = m_Transport.GetHandle();
        if (interrupted(handle)) {
            result = 0;
            break;
        }
        if (status == SE_MESSAGE) {
            // The terminal's text for the cash desk ("INSERT CARD", ...) goes to
            // the application; intermediate messages cost nothing of the budget.
            if (m_Report.MsgText[0] != '\0')
                Fire_OnMsgReceived(m_Report.MsgText);
            continue;
        }
        if (status == SE_OK) {
            result = m_Report.ResponseCode;
            m_LastReport = m_Report;
            break;
        }
        if (status == SE_NODATA || status == SE_READ) {
            if (budget < kBudgetStep)
                break;
            budget -= kBudgetStep;
            if (budget >= kBudgetStep)
                continue;
            break;
        }
        break;  // syntax, size, a failed ACK write: the transaction is over
    }

    m_LastReport.ResponseCode = static_cast<uint16_t>(result);
    // The flag is lowered before the application is told: once its callback
    // has run, the application may close the connection from another thread.
    clear_interrupt(m_Transport.GetHandle());
    if (running.owns_lock())
        running.unlock();
    Fire_OnTrxComplete(result);
    return 0;
}

void CVarkoClass2017::ClearBuffers()
{
    std::memset(&m_Param, 0, sizeof(m_Param));
    std::memset(&m_Report, 0, sizeof(m_Report));
    std::memset(&m_LastReport, 0, sizeof(m_LastReport));
}

HRESULT CVarkoClass2017::Fire_OnTrxComplete(unsigned long result)
{
    std::lock_guard<std::mutex> lock(m_CallbackLock);
    m_State.store(static_cast<unsigned int>(result));
    if (!m_OnTrxComplete) {
        LOGREC(LOG_TRACE) << " EMPTY callback function";
        return 1;
    }
    m_OnTrxComplete(result);
    LOGREC(LOG_TRACE) << " On transaction complete[" << result << "]";
    return 0;
}

HRESULT CVarkoClass2017::Fire_OnMsgReceived(char const* text)
{
    std::lock_guard<std::mutex> lock(m_CallbackLock);
    if (!m_OnMsgReceived) {
        LOGREC(LOG_TRACE) << " EMPTY callback function";
        return 1;
    }
    m_OnMsgReceived(text);
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
    m_PurchTimeout = seconds;
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
    PosHandle* handle = m_Transport.GetHandle();
    if (handle != nullptr)
        handle->interrupt.store(1);
    return 0;
}

HRESULT CVarkoClass2017::PosInterruptTrx()
{
    LOGREC(LOG_INFO) << "PosInterruptTrx";
    unsigned short op = m_Param.trx_type;
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
    ClearBuffers();
    unsigned int status = send_receive_interrupt(handle);
    return status == SE_OK ? 0 : E_FAIL;
}

HRESULT CVarkoClass2017::PosAbortTrx()
{
    LOGREC(LOG_INFO) << "PosAbortTrx";
    unsigned short op = m_Param.trx_type;
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
    CancelPurch();
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
