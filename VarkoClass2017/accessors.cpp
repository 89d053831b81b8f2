// Last-transaction result accessors: one field of the last report (or of the
// last card read, or of the last summary) per call.
//
// Text fields are copied with their full declared width, whatever the text's
// length, so a field that is filled to the brim without a terminator is still
// copied whole and nothing beyond the field is ever read.  The caller's
// buffer must hold at least the field's width.
#include <cstring>

#include "Logging/log.h"
#include "VarkoClass2017/VarkoClass2017.h"
#include "VarkoClass2017/outcome.h"

namespace {

// The operation code of a multi-currency settlement ("SLO").
constexpr uint16_t kMultiCurrencySettlement = 38;
// The operation code of the fuel-station card read ("ACR").
constexpr uint16_t kFuelCardRead = 33;

// Copy exactly sizeof(field) bytes into the caller's buffer.
template <std::size_t N, typename T>
void copy_field(char* out, const T (&field)[N])
{
    static_assert(sizeof(T) == 1, "byte fields only");
    std::memcpy(out, field, N);
}

}  // namespace

// ---- texts into the caller's buffer --------------------------------------

HRESULT CVarkoClass2017::get_LastTrxRRN(char* pVal)
{
    LOGREC(LOG_INFO);
    if (pVal == nullptr) {
        LOGREC(LOG_INFO) << " bstrRRN == NULL";
        return 1;
    }
    copy_field(pVal, Reported().RRN);
    return 0;
}

HRESULT CVarkoClass2017::get_LastTrxPAN(char* pVal)
{
    LOGREC(LOG_INFO);
    if (pVal == nullptr)
        return 1;
    copy_field(pVal, Reported().PAN);
    return 0;
}

HRESULT CVarkoClass2017::get_LastTrxApprovalCode(char* pVal)
{
    LOGREC(LOG_INFO);
    if (pVal == nullptr) {
        LOGREC(LOG_INFO) << " pVal == NULL";
        return 1;
    }
    copy_field(pVal, Reported().ApprovalCode);
    return 0;
}

HRESULT CVarkoClass2017::get_LastTrxIssuerName(char* pVal)
{
    LOGREC(LOG_INFO);
    if (pVal == nullptr) {
        LOGREC(LOG_INFO) << " pVal == NULL";
        return 1;
    }
    copy_field(pVal, Reported().IssuerName);
    return 0;
}

HRESULT CVarkoClass2017::get_LastTrxMerchantId(char* pVal)
{
    LOGREC(LOG_INFO);
    if (pVal == nullptr) {
        LOGREC(LOG_INFO) << " pVal == NULL";
        return 1;
    }
    copy_field(pVal, Reported().MerchantId);
    return 0;
}

HRESULT CVarkoClass2017::get_LastTrxCardName(char* pVal)
{
    LOGREC(LOG_INFO);
    if (pVal == nullptr) {
        LOGREC(LOG_INFO) << " pVal == NULL";
        return 1;
    }
    copy_field(pVal, Reported().CardName);
    return 0;
}

HRESULT CVarkoClass2017::get_LastTrxTerminalID(char* pVal)
{
    LOGREC(LOG_INFO);
    if (pVal == nullptr) {
        LOGREC(LOG_INFO) << " pVal == NULL";
        return 1;
    }
    copy_field(pVal, Reported().TerminalID);
    return 0;
}

HRESULT CVarkoClass2017::get_LastTrxTrack3(char* pVal)
{
    LOGREC(LOG_INFO);
    if (pVal == nullptr) {
        LOGREC(LOG_INFO) << " pVal == NULL";
        return 1;
    }
    copy_field(pVal, Reported().Track3);
    return 0;
}

HRESULT CVarkoClass2017::get_LastTrxFld63Sf89(char* pVal)
{
    LOGREC(LOG_INFO);
    if (pVal == nullptr) {
        LOGREC(LOG_INFO) << " pVal == NULL";
        return 1;
    }
    copy_field(pVal, Reported().Fld63Sf89);
    return 0;
}

HRESULT CVarkoClass2017::get_LastTrxNameBank(char* pVal)
{
    LOGREC(LOG_INFO);
    if (pVal == nullptr) {
        LOGREC(LOG_INFO) << " pVal == NULL";
        return 1;
    }
    copy_field(pVal, Reported().NameBank);
    return 0;
}

HRESULT CVarkoClass2017::get_LastTrxReceipt(char* pVal)
{
    LOGREC(LOG_INFO);
    if (pVal == nullptr) {
        LOGREC(LOG_INFO) << " receipt == NULL";
        return 1;
    }
    copy_field(pVal, Reported().Receipt);
    return 0;
}

HRESULT CVarkoClass2017::get_LastTrxBankLogo(char* pVal)
{
    LOGREC(LOG_INFO);
    if (pVal == nullptr) {
        LOGREC(LOG_INFO) << " pVal == NULL";
        return 1;
    }
    std::memcpy(pVal, Reported().BankLogo, sizeof(Reported().BankLogo));
    return 0;
}

HRESULT CVarkoClass2017::get_LastTrxSignatureLogo(char* pVal)
{
    LOGREC(LOG_INFO);
    if (pVal == nullptr) {
        LOGREC(LOG_INFO) << " pVal == NULL";
        return 1;
    }
    std::memcpy(pVal, Reported().SignatureLogo, sizeof(Reported().SignatureLogo));
    return 0;
}

HRESULT CVarkoClass2017::get_LastTrxOpTag(char* pVal)
{
    LOGREC(LOG_INFO);
    if (pVal == nullptr) {
        LOGREC(LOG_INFO) << " pVal == NULL";
        return 1;
    }
    // The three letters only: the caller's fourth byte is left alone.
    std::memcpy(pVal, Reported().OpTag, 3);
    return 0;
}

// ---- numbers --------------------------------------------------------------

#define ECR_NUMBER_ACCESSOR(name, type, expr) \
    HRESULT CVarkoClass2017::name(type* pVal)  \
    {                                          \
        LOGREC(LOG_INFO);                      \
        if (pVal == nullptr)                   \
            return 1;                          \
        *pVal = (expr);                        \
        return 0;                              \
    }

ECR_NUMBER_ACCESSOR(get_LastTrxAmount, double, Reported().Amount)
ECR_NUMBER_ACCESSOR(get_LastTrxAddAmount, double, Reported().AddAmount)
ECR_NUMBER_ACCESSOR(get_LastTrxTotalAmount, double, Reported().TotalAmount)
ECR_NUMBER_ACCESSOR(get_LastTrxLoyalTotalAmount, double, Reported().TotalAmount)
ECR_NUMBER_ACCESSOR(get_LastTrxEcrNum, long, static_cast<long>(Reported().EcrNum))
// The receipt number comes back whole or not at all: a value beyond 32-bit
// long (the application's type) is refused with E_INVALIDARG.
HRESULT CVarkoClass2017::get_LastTrxEcrReceiptNum(long* pVal)
{
    LOGREC(LOG_INFO);
    if (pVal == nullptr)
        return 1;
    if (Reported().EcrReceiptNum > 2147483647u)
        return E_INVALIDARG;
    *pVal = static_cast<long>(Reported().EcrReceiptNum);
    return 0;
}
ECR_NUMBER_ACCESSOR(get_LastTrxProcessingCode, long, static_cast<long>(Reported().ProcessingCode))
ECR_NUMBER_ACCESSOR(get_LastTrxBatchId, long, static_cast<long>(Reported().BatchId))
ECR_NUMBER_ACCESSOR(get_LastTrxCardExpireYear, long, static_cast<long>(Reported().CardExpireYear))
ECR_NUMBER_ACCESSOR(get_LastTrxCardExpireMonth, long, static_cast<long>(Reported().CardExpireMonth))
ECR_NUMBER_ACCESSOR(get_LastTrxTransactionDateDay, long, static_cast<long>(Reported().TransactionDateDay))
ECR_NUMBER_ACCESSOR(get_LastTrxTransactionDateMonth, long, static_cast<long>(Reported().TransactionDateMonth))
ECR_NUMBER_ACCESSOR(get_LastTrxTransactionTimeHours, long, static_cast<long>(Reported().TransactionTimeHours))
ECR_NUMBER_ACCESSOR(get_LastTrxTransactionTimeMinutes, long,
                    static_cast<long>(Reported().TransactionTimeMinutes))
ECR_NUMBER_ACCESSOR(get_LastTrxPosEntryMode, long, static_cast<long>(Reported().PosEntryMode))
ECR_NUMBER_ACCESSOR(get_LastTrxPosConditionCode, long, static_cast<long>(Reported().PosConditionCode))
ECR_NUMBER_ACCESSOR(get_LastTrxCaptureReference, long, static_cast<long>(Reported().CaptureReference))
ECR_NUMBER_ACCESSOR(get_LastTrxSalesCount, unsigned short, Reported().SalesCount)
ECR_NUMBER_ACCESSOR(get_LastTrxRefundsCount, unsigned short, Reported().RefundsCount)
ECR_NUMBER_ACCESSOR(get_LastTrxTotalTrxCount, unsigned short, Reported().TotalTrxCount)
ECR_NUMBER_ACCESSOR(get_LastTrxLoyalGiftCount, unsigned short, Reported().LoyalGiftCount)
ECR_NUMBER_ACCESSOR(get_LastTrxLoyalRespCode, unsigned short, Reported().ResponseCode)
ECR_NUMBER_ACCESSOR(get_LastTrxCurrencyCode, unsigned short, Reported().CurrencyCode)

#undef ECR_NUMBER_ACCESSOR

HRESULT CVarkoClass2017::get_LastTrxInvoceNumber(long* pVal)
{
    LOGREC(LOG_INFO);
    if (pVal == nullptr)
        return 1;
    *pVal = static_cast<long>(Reported().InvoceNumber);
    LOGREC(LOG_INFO) << "This is invoice num in ECR  object[" << *pVal << "]";
    return 0;
}

// The debit and credit totals exist only in a multi-currency settlement.
#define ECR_SETTLEMENT_ACCESSOR(name, field)                   \
    HRESULT CVarkoClass2017::name(double* pVal)                \
    {                                                          \
        LOGREC(LOG_INFO);                                      \
        if (pVal == nullptr)                                   \
            return 1;                                          \
        if (Reported().TrxType != kMultiCurrencySettlement)  \
            return ECR_E_WRONG_REPORT;                         \
        *pVal = Reported().field;                            \
        return 0;                                              \
    }

ECR_SETTLEMENT_ACCESSOR(get_LastTrxDebitsAmount, DebitsAmount)
ECR_SETTLEMENT_ACCESSOR(get_LastTrxDebitsCommissionAmount, DebitsCommissionAmount)
ECR_SETTLEMENT_ACCESSOR(get_LastTrxCreditsAmount, CreditsAmount)
ECR_SETTLEMENT_ACCESSOR(get_LastTrxCreditsCommissionAmount, CreditsCommissionAmount)

#undef ECR_SETTLEMENT_ACCESSOR

// ---- pointers into the ECR object ----------------------------------------
// The caller reads at most the field's width: RNK and ProductCode may be
// filled without a terminator.

#define ECR_POINTER_ACCESSOR(name, field)     \
    HRESULT CVarkoClass2017::name(char** pVal) \
    {                                          \
        LOGREC(LOG_INFO);                      \
        if (pVal == nullptr)                   \
            return 1;                          \
        *pVal = field;                         \
        return 0;                              \
    }

ECR_POINTER_ACCESSOR(get_LastTrxRNK, Reported().RNK)
ECR_POINTER_ACCESSOR(get_LastTrxProductCode, Reported().ProductCode)
ECR_POINTER_ACCESSOR(get_LastTrxLoyalOperDate, Reported().LoyalOperDate)
ECR_POINTER_ACCESSOR(get_LastTrxLoyalPAN, Reported().PAN)
ECR_POINTER_ACCESSOR(get_LastTrxLoyalGiftCode, Reported().LoyalGiftCode)

#undef ECR_POINTER_ACCESSOR

// Track and hash texts are handed out only after a fuel-station card read.
#define ECR_CARD_READ_ACCESSOR(name, field)           \
    HRESULT CVarkoClass2017::name(char** pVal)         \
    {                                                  \
        LOGREC(LOG_INFO);                              \
        if (pVal == nullptr)                           \
            return 1;                                  \
        if (m_MReadReport.operation != kFuelCardRead)  \
            return 1;                                  \
        *pVal = m_MReadReport.field;                   \
        return 0;                                      \
    }

ECR_CARD_READ_ACCESSOR(get_LastTrxTrack1, track1)
ECR_CARD_READ_ACCESSOR(get_LastTrxTrack2, track2)
ECR_CARD_READ_ACCESSOR(get_LastTrxSHA1Hash, sha1hash)

#undef ECR_CARD_READ_ACCESSOR

// ---- summary counters (filled by PosGSI) ---------------------------------

#define ECR_SUMMARY_ACCESSOR(name, type, expr) \
    HRESULT CVarkoClass2017::name(type* pVal)  \
    {                                          \
        if (pVal == nullptr)                   \
            return E_FAIL;                     \
        *pVal = (expr);                        \
        return 0;                              \
    }

ECR_SUMMARY_ACCESSOR(CountPurchaseTransaction, int, static_cast<int>(m_GsiReport.count1))
ECR_SUMMARY_ACCESSOR(CountRefundTransaction, int, static_cast<int>(m_GsiReport.count2))
ECR_SUMMARY_ACCESSOR(CountVoidTransaction, int, static_cast<int>(m_GsiReport.count3))
ECR_SUMMARY_ACCESSOR(TotolAmoundPurchaseTransaction, double, m_GsiReport.amount1)
ECR_SUMMARY_ACCESSOR(TotolAmoundRefundTransaction, double, m_GsiReport.amount2)
ECR_SUMMARY_ACCESSOR(TotolAmoundVoidTransaction, double, m_GsiReport.amount3)

#undef ECR_SUMMARY_ACCESSOR

// ---- multi-currency settlement -------------------------------------------

HRESULT CVarkoClass2017::PosGetMultiCurrencyReportByIndex(unsigned char index)
{
    LOGREC(LOG_INFO);
    if (index == 0 || index > 6)
        return E_INVALIDARG;
    if (Reported().TrxType != kMultiCurrencySettlement)
        return ECR_E_WRONG_REPORT;

    const CurrencyReport& block = Reported().CurrencyReports[index - 1];
    Reported().CurrencyCode = block.CurrencyCode;
    Reported().Amount = block.Amount;
    Reported().DebitsAmount = block.DebitsAmount;
    Reported().DebitsCommissionAmount = block.DebitsCommissionAmount;
    Reported().AddAmount = block.AddAmount;
    Reported().CreditsAmount = block.CreditsAmount;
    Reported().CreditsCommissionAmount = block.CreditsCommissionAmount;
    Reported().TotalAmount = block.TotalAmount;
    Reported().SalesCount = block.SalesCount;
    Reported().RefundsCount = block.RefundsCount;
    Reported().TotalTrxCount = block.TotalTrxCount;
    return 0;
}

_ecr_transaction_report& CVarkoClass2017::Reported()
{
    _ecr_transaction_report* copy = CallbackView::report_of(this);
    return copy != nullptr ? *copy : m_LastReport;
}
