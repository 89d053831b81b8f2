// Payment operations of the ECR object: each checks its arguments and the
// pending completions, then runs the transaction with its operation code.
// The outcome of a started transaction reaches the application only through
// the completion callback, the state word and the last report.
#include <cstring>
#include <string>
#include <system_error>

#include "Logging/log.h"
#include "VarkoClass2017/VarkoClass2017.h"
#include "VarkoClass2017/caller_text.h"
#include "VarkoClass2017/link_claim.h"
#include "VarkoClass2017/operation_record.h"
#include "VarkoClass2017/outcome.h"
#include "protocol/card_read.h"
#include "protocol/pos_handle.h"
#include "protocol/transaction_exchange.h"

// Every member the application calls starts with a record naming itself.
#define LOG_MEMBER() LOGREC(LOG_INFO) << __func__

namespace {

// Operation codes of the request record.
enum : unsigned short {
    OP_PUR = 1,
    OP_REF = 2,
    OP_DSC = 5,
    OP_PPD = 6,
    OP_STL = 7,
    OP_VOD = 8,
    OP_RDC = 9,
    OP_CTR = 10,
    OP_AUH = 11,
    OP_AHF = 12,
    OP_PCC = 14,
    OP_SLR = 15,
    OP_SEP = 16,
    OP_AFC = 17,
    OP_PIR = 18,
    OP_RFI = 19,
    OP_PVD = 20,
    OP_OFN = 21,
    OP_RFC = 31,
    OP_XRP = 32,
    OP_CSH = 35,
    OP_CRC = 36,
    OP_BAL = 37,
    OP_SLO = 38,
    OP_ECH = 39,
    OP_IFC = 40,
    OP_IFN = 41,
    OP_SRC = 42,
    OP_PNG = 43,
    OP_CAS = 44,
    OP_PST = 45,
    OP_ACC = 46,
    OP_VID = 47,
};

// Longest authorisation code and print text the request can carry.
constexpr size_t kMaxAuthCode = 6;
constexpr size_t kMaxPrintText = 1000;

constexpr unsigned long kNoReport = 20;

// A payment on the card read before: E_FAIL without such a read or for a
// negative amount; the read is used up unless keep_read.
HRESULT card_read_completion(CVarkoClass2017& ecr, unsigned short op, double amount, double addAmount, bool keep_read)
{
    if (!ecr.m_CardReadPending)
        return E_FAIL;
    if (amount < 0)
        return E_FAIL;
    HRESULT res = ecr.StartTransaction(op, amount, addAmount, 0, 0, 0);
    if (!keep_read)
        ecr.m_CardReadPending = false;
    return res;
}

// The blocking discount completion: the request carries the amounts and the
// currency only.
HRESULT run_discount_completion(CVarkoClass2017& ecr, double amount, double addAmount)
{
    LinkClaim claim(ecr);
    if (!claim)
        return E_FAIL;
    ecr.ClearBuffers();
    ecr.m_Param.trx_type = OP_DSC;
    ecr.m_Param.amount = amount;
    ecr.m_Param.add_amount = addAmount;
    ecr.m_Param.currency_code = ecr.m_CurrencyCode;
    ecr.Transaction();
    return 0;
}

}  // namespace

// ---- purchase, refund and their interruptible forms ------------------------

HRESULT CVarkoClass2017::PosPurchase(double amount, double addAmount, unsigned long* pResult)
{
    LOG_MEMBER();
    if (amount < 0)
        return PosRefund(-amount, pResult);  // the additional amount is dropped
    return StartTransaction(OP_PUR, amount, addAmount, 0, 0, 0);
}

HRESULT CVarkoClass2017::PosRefund(double amount, unsigned long* pResult)
{
    LOG_MEMBER();
    if (pResult == nullptr)
        return E_FAIL;
    return StartTransaction(OP_REF, amount, 0, 0, 0, 0);
}

HRESULT CVarkoClass2017::PosCashBack(double amount, double addAmount, unsigned long* pResult)
{
    LOG_MEMBER();
    if (amount < 0)
        return E_FAIL;
    return StartTransaction(OP_CAS, amount, addAmount, 0, 0, 0);
}

HRESULT CVarkoClass2017::PosPurchaseInterrupt(double amount, double addAmount, unsigned long* pResult)
{
    LOG_MEMBER();
    if (amount < 0)
        return PosRefundInterrupt(-amount, pResult);
    return StartTransaction(OP_PIR, amount, addAmount, 0, 0, 0);
}

HRESULT CVarkoClass2017::PosRefundInterrupt(double amount, unsigned long* pResult)
{
    LOG_MEMBER();
    if (pResult == nullptr)
        return E_FAIL;
    return StartTransaction(OP_RFI, amount, 0, 0, 0, 0);
}

// ---- void -----------------------------------------------------------------

HRESULT CVarkoClass2017::PosVoid(long invoice, unsigned long* pResult)
{
    LOG_MEMBER();
    return StartTransaction(OP_VOD, 0, 0, invoice, 0, 0);
}

HRESULT CVarkoClass2017::PosVoidInterrupt(long invoice, unsigned long* pResult)
{
    LOG_MEMBER();
    return StartTransaction(OP_VID, 0, 0, invoice, 0, 0);
}

HRESULT CVarkoClass2017::PosPartVoid(long invoice, double amount, unsigned long* pResult)
{
    LOG_MEMBER();
    return StartTransaction(OP_PVD, amount, 0, invoice, 0, 0);
}

// ---- pre-authorisation ----------------------------------------------------

HRESULT CVarkoClass2017::PosAuth(double amount, double addAmount, unsigned long* pResult)
{
    LOG_MEMBER();
    return StartTransaction(OP_AUH, amount, addAmount, 0, 0, 0);
}

HRESULT CVarkoClass2017::PosAuthFin(double amount, double addAmount, unsigned long* pResult)
{
    LOG_MEMBER();
    return StartTransaction(OP_AHF, amount, addAmount, 0, 0, 0);
}

HRESULT CVarkoClass2017::PosAuthFinNoCard(char* authCode, double amount, double addAmount, unsigned long* pResult)
{
    LOG_MEMBER();
    if (authCode == nullptr || strnlen(authCode, kMaxAuthCode + 1) > kMaxAuthCode || has_link_byte(authCode))
        return E_INVALIDARG;
    m_AuthCode = authCode;
    return StartTransaction(OP_AFC, amount, addAmount, 0, 0, 0);
}

// ---- other payments -------------------------------------------------------

HRESULT CVarkoClass2017::PosOffline(double amount, double addAmount, unsigned long* pResult)
{
    LOG_MEMBER();
    if (amount < 0)
        return E_FAIL;
    return StartTransaction(OP_OFN, amount, addAmount, 0, 0, 0);
}

HRESULT CVarkoClass2017::PosPrePaid(unsigned long* pResult)
{
    LOG_MEMBER();
    return StartTransaction(OP_PPD, 0, 0, 0, 0, 0);
}

HRESULT CVarkoClass2017::PosCash(double amount, double addAmount, unsigned long* pResult)
{
    LOG_MEMBER();
    return StartTransaction(OP_CSH, amount, addAmount, 0, 0, 0);
}

HRESULT CVarkoClass2017::PosPayment(double amount, double addAmount, unsigned long* pResult)
{
    LOG_MEMBER();
    return StartTransaction(OP_CRC, amount, addAmount, 0, 0, 0);
}

HRESULT CVarkoClass2017::PosBalance(double amount, double addAmount, unsigned long* pResult)
{
    LOG_MEMBER();
    return StartTransaction(OP_BAL, amount, addAmount, 0, 0, 0);
}

HRESULT CVarkoClass2017::PosAccFund(double amount, unsigned long* pResult)
{
    LOG_MEMBER();
    if (amount < 0)
        return E_FAIL;
    return StartTransaction(OP_ACC, amount, 0, 0, 0, 0);
}

// ---- settlement, reports, tests -------------------------------------------

HRESULT CVarkoClass2017::PosSettle(unsigned long* pResult)
{
    LOG_MEMBER();
    return StartTransaction(OP_STL, 0, 0, 0, 0, 0);
}

HRESULT CVarkoClass2017::PosSettleReported(unsigned long* pResult)
{
    LOG_MEMBER();
    return StartTransaction(OP_SLR, 0, 0, 0, 0, 0);
}

HRESULT CVarkoClass2017::PosSettleMultiCurrency(unsigned char unused, unsigned long* pResult)
{
    LOG_MEMBER();
    return StartTransaction(OP_SLO, 0, 0, 0, 0, 0);
}

HRESULT CVarkoClass2017::PosXReceiptPRN(unsigned long* pResult)
{
    LOG_MEMBER();
    return StartTransaction(OP_XRP, 0, 0, 0, 0, 0);
}

HRESULT CVarkoClass2017::EchoTest(unsigned long* pResult)
{
    LOG_MEMBER();
    return StartTransaction(OP_ECH, 0, 0, 0, 0, 0);
}

HRESULT CVarkoClass2017::PosInfocall()
{
    LOG_MEMBER();
    return StartTransaction(OP_IFC, 0, 0, 0, 0, 0);
}

HRESULT CVarkoClass2017::PosInfocallNoCard()
{
    LOG_MEMBER();
    return StartTransaction(OP_IFN, 0, 0, 0, 0, 0);
}

HRESULT CVarkoClass2017::PosPing(unsigned long* pResult)
{
    LOG_MEMBER();
    HRESULT res = StartTransaction(OP_PNG, 0, 0, 0, 0, 0);
    LOGREC(LOG_INFO) << "res == [" << std::system_category().message(res) << "]";
    return res != 0 ? 1 : 0;
}

HRESULT CVarkoClass2017::PosPrintMessage(char* text)
{
    LOG_MEMBER();
    if (text == nullptr || strnlen(text, kMaxPrintText + 1) > kMaxPrintText || has_link_byte(text))
        return E_INVALIDARG;
    m_PrintText = text;
    return StartTransaction(OP_PST, 0, 0, 0, 0, 0);
}

// ---- service parameters ---------------------------------------------------

HRESULT CVarkoClass2017::ServiceParam(char* text, double amount, char** out)
{
    LOG_MEMBER();
    if (text == nullptr || text[0] == '\0')
        return E_INVALIDARG;
    HRESULT res = PrepareParameters(text);
    if (res != 0)
        return res;
    return StartTransaction(OP_SEP, amount, 0, 0, 0, 0);
}

HRESULT CVarkoClass2017::ServiceParamMer(char* text, double amount, char** out)
{
    LOG_MEMBER();
    if (text == nullptr || text[0] == '\0')
        return E_INVALIDARG;
    HRESULT res = PrepareParameters(text);
    if (res != 0)
        return res;
    return StartTransaction(OP_SRC, amount, 0, 0, 0, 0);
}

// ---- discount request and its completion ----------------------------------

HRESULT CVarkoClass2017::ReqDiscount(unsigned short type, unsigned long* pResult)
{
    LOG_MEMBER();
    HRESULT res = StartTransaction(OP_RDC, 0, 0, 0, type, 0);
    m_DiscountPending = true;
    return res;
}

HRESULT CVarkoClass2017::CompleteTransaction(unsigned short type, double unused, unsigned long* pResult)
{
    LOG_MEMBER();
    if (!m_DiscountPending)
        return E_FAIL;
    if (type < 1 || type > 3)
        return E_FAIL;
    HRESULT res = StartTransaction(OP_CTR, 0, 0, 0, 0, type);
    m_DiscountPending = false;
    return res;
}

// ---- completions of a card read -------------------------------------------

HRESULT CVarkoClass2017::PosDiscountCompletion(double amount, double addAmount, unsigned long* pResult)
{
    LOG_MEMBER();
    return card_read_completion(*this, OP_DSC, amount, addAmount, true);  // the read stays usable
}

HRESULT CVarkoClass2017::PosGetGroupCompletion(double amount, double addAmount, unsigned long* pResult)
{
    LOG_MEMBER();
    return card_read_completion(*this, OP_DSC, amount, addAmount, false);
}

HRESULT CVarkoClass2017::PosRefundCardreadedCompletion(double amount, double addAmount, unsigned long* pResult)
{
    LOG_MEMBER();
    return card_read_completion(*this, OP_RFC, amount, addAmount, false);
}

// The blocking completions prepare the request themselves: no state word,
// no properties besides the currency.
HRESULT CVarkoClass2017::PosGetGroupCompletionBlocking(double amount, double addAmount, int* pResult)
{
    LOG_MEMBER();
    if (!m_CardReadPending)
        return E_FAIL;
    if (pResult == nullptr)
        return E_FAIL;
    if (amount < 0)
        return E_FAIL;
    if (run_discount_completion(*this, amount, addAmount) != 0)
        return E_FAIL;
    *pResult = 0;
    return 0;
}

HRESULT CVarkoClass2017::PosDiscountCompletionBlocking(double amount, double addAmount, int* pResult)
{
    LOG_MEMBER();
    if (amount < 0)
        return E_FAIL;
    if (run_discount_completion(*this, amount, addAmount) != 0)
        return E_FAIL;
    if (pResult != nullptr)
        *pResult = 0;
    return 0;
}

// ---- purchase with card check ---------------------------------------------

HRESULT CVarkoClass2017::PosPurchaseCheckCard(double amount, double addAmount, unsigned long* pResult)
{
    LOG_MEMBER();
    LinkClaim claim(*this);
    if (!claim)
        return E_FAIL;
    m_CardBelong = '0';
    std::memset(&m_LastReport, 0, sizeof(m_LastReport));
    if (amount < 0 || addAmount < 0) {
        Fire_OnTrxComplete(kNoReport);
        return E_FAIL;
    }
    if (m_Transport.GetHandle() == nullptr)
        return E_FAIL;
    std::memset(&m_Param, 0, sizeof(m_Param));
    std::memset(&m_Report, 0, sizeof(m_Report));
    m_Param.trx_type = OP_PCC;
    m_Param.amount = amount;
    m_Param.add_amount = addAmount;
    m_Param.currency_code = m_CurrencyCode;
    ApplyProperties();
    if (pResult != nullptr)
        *pResult = kNoReport;
    ThreadFunc(this);
    m_CheckCardPending = true;
    return 0;
}

HRESULT CVarkoClass2017::PosPurchaseCheckCardCompleteTran(int complete, unsigned long* pResult)
{
    LOG_MEMBER();
    return on_link(*this, [&](PosHandle* handle) -> HRESULT {
        if (!m_CheckCardPending)
            return E_FAIL;
        // The charge happens now: its record is on disk before the decision
        // is sent (the first step's, written again should it have gone).
        if (complete != 0 && m_Param.trx_type == OP_PCC)
            OperationRecord::Write(m_Param);
        if (pos_sent_tran_completion(handle, static_cast<unsigned int>(complete)) != SE_OK)
            return E_FAIL;  // the decision can be sent again
        unsigned long result = 0;
        if (complete != 0) {
            Reading reading;
            ReadUntilFinal(reading);
            result = Conclude(reading);
        } else {
            set_outcome(ECRB_OUTCOME_CANCELLED, "the cash register declined the card");
            m_RecordDecided = true;
            m_LastReport.ResponseCode = 0;
        }
        m_CheckCardPending = false;
        Finish(result);  // last: the application may act at once
        return 0;
    });
}
