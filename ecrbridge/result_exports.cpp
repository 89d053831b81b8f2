// Exported result accessors: a null-pointer test, then the ECR object's
// member of the same name.  The receipt and the bank name are converted from
// the terminal's code page to UTF-8 in the caller's buffer.
#include <cstring>
#include <exception>

#include "Logging/log.h"
#include "VarkoClass2017/VarkoClass2017.h"
#include "ecrbridge.h"
#include "ecrbridge/export_guard.h"
#include "ecrbridge/instance.h"
#include "encoding/iconv.h"

namespace {



// Convert the first `copied` bytes of the caller's buffer (the CP1251 text
// the member copied there, possibly without a terminator) to UTF-8 and write
// the converted text and its terminator back.  The conversion runs in a work
// area of 3 * copied + 1 bytes, so it never reads beyond the copied bytes and
// never writes beyond the converted text.  A text that cannot be converted
// stays as it is; it is terminated after its last copied byte at the latest.
// Nothing escapes: the member's result stands whatever happens here.
template <std::size_t Copied>
void convert_in_place(const char* function, char* buffer)
{
    constexpr std::size_t kRoom = 3 * Copied + 1;
    try {
        char work[kRoom];
        std::memcpy(work, buffer, Copied);
        std::memset(work + Copied, 0, kRoom - Copied);
        ConvertAsciitoUtf(work);
        const std::size_t n = strnlen(work, kRoom - 1);
        std::memcpy(buffer, work, n + 1);
    } catch (const std::exception& e) {
        log_export_exception(function, e.what());
    } catch (...) {
        log_export_exception(function, "...");
    }
}

}  // namespace

// A getter: -1 for a null pointer without touching the object.
#define FORWARD_PTR(member, arg)     \
    if ((arg) == nullptr)            \
        return ECR_E_NULL_POINTER;   \
    return guarded(__func__, [&](CVarkoClass2017* ecr) { return ecr->member(arg); })
// A counter: the member answers a null pointer itself (E_FAIL).
#define FORWARD_ANY(member, arg) \
    return guarded(__func__, [&](CVarkoClass2017* ecr) { return ecr->member(arg); })

extern "C" {

ECRBRIDGE_API int get_LastTrxAmount(double* pVal) { FORWARD_PTR(get_LastTrxAmount, pVal); }
ECRBRIDGE_API int get_LastTrxAddAmount(double* pVal) { FORWARD_PTR(get_LastTrxAddAmount, pVal); }
ECRBRIDGE_API int get_LastTrxTotalAmount(double* pVal) { FORWARD_PTR(get_LastTrxTotalAmount, pVal); }

ECRBRIDGE_API int get_LastTrxCardExpireYear(long* pVal) { FORWARD_PTR(get_LastTrxCardExpireYear, pVal); }
ECRBRIDGE_API int get_LastTrxCardExpireMonth(long* pVal) { FORWARD_PTR(get_LastTrxCardExpireMonth, pVal); }
ECRBRIDGE_API int get_LastTrxEcrNum(long* pVal) { FORWARD_PTR(get_LastTrxEcrNum, pVal); }
ECRBRIDGE_API int get_LastTrxEcrReceiptNum(long* pVal) { FORWARD_PTR(get_LastTrxEcrReceiptNum, pVal); }
ECRBRIDGE_API int get_LastTrxInvoceNumber(long* pVal) { FORWARD_PTR(get_LastTrxInvoceNumber, pVal); }
ECRBRIDGE_API int get_LastTrxTransactionDateDay(long* pVal) { FORWARD_PTR(get_LastTrxTransactionDateDay, pVal); }
ECRBRIDGE_API int get_LastTrxTransactionDateMonth(long* pVal) { FORWARD_PTR(get_LastTrxTransactionDateMonth, pVal); }
ECRBRIDGE_API int get_LastTrxTransactionTimeHours(long* pVal) { FORWARD_PTR(get_LastTrxTransactionTimeHours, pVal); }
ECRBRIDGE_API int get_LastTrxTransactionTimeMinutes(long* pVal)
{
    FORWARD_PTR(get_LastTrxTransactionTimeMinutes, pVal);
}
ECRBRIDGE_API int get_LastTrxProcessingCode(long* pVal) { FORWARD_PTR(get_LastTrxProcessingCode, pVal); }
ECRBRIDGE_API int get_LastTrxPosEntryMode(long* pVal) { FORWARD_PTR(get_LastTrxPosEntryMode, pVal); }
ECRBRIDGE_API int get_LastTrxPosConditionCode(long* pVal) { FORWARD_PTR(get_LastTrxPosConditionCode, pVal); }
ECRBRIDGE_API int get_LastTrxCaptureReference(long* pVal) { FORWARD_PTR(get_LastTrxCaptureReference, pVal); }

ECRBRIDGE_API int get_LastTrxSalesCount(unsigned short* pVal) { FORWARD_PTR(get_LastTrxSalesCount, pVal); }
ECRBRIDGE_API int get_LastTrxRefundsCount(unsigned short* pVal) { FORWARD_PTR(get_LastTrxRefundsCount, pVal); }
ECRBRIDGE_API int get_LastTrxTotalTrxCount(unsigned short* pVal) { FORWARD_PTR(get_LastTrxTotalTrxCount, pVal); }

ECRBRIDGE_API int get_LastTrxRRN(char* pVal) { FORWARD_PTR(get_LastTrxRRN, pVal); }
ECRBRIDGE_API int get_LastTrxPAN(char* pVal) { FORWARD_PTR(get_LastTrxPAN, pVal); }
ECRBRIDGE_API int get_LastTrxApprovalCode(char* pVal) { FORWARD_PTR(get_LastTrxApprovalCode, pVal); }
ECRBRIDGE_API int get_LastTrxIssuerName(char* pVal) { FORWARD_PTR(get_LastTrxIssuerName, pVal); }
ECRBRIDGE_API int get_LastTrxMerchantId(char* pVal) { FORWARD_PTR(get_LastTrxMerchantId, pVal); }
ECRBRIDGE_API int get_LastTrxCardName(char* pVal) { FORWARD_PTR(get_LastTrxCardName, pVal); }
ECRBRIDGE_API int get_LastTrxTerminalID(char* pVal) { FORWARD_PTR(get_LastTrxTerminalID, pVal); }
ECRBRIDGE_API int get_LastTrxFld63Sf89(char* pVal) { FORWARD_PTR(get_LastTrxFld63Sf89, pVal); }
ECRBRIDGE_API int get_LastTrxTrack3(char* pVal) { FORWARD_PTR(get_LastTrxTrack3, pVal); }
ECRBRIDGE_API int get_LastTrxOpTag(char* pVal) { FORWARD_PTR(get_LastTrxOpTag, pVal); }
ECRBRIDGE_API int get_LastTrxBankLogo(char* pVal) { FORWARD_PTR(get_LastTrxBankLogo, pVal); }
ECRBRIDGE_API int get_LastTrxSignatureLogo(char* pVal) { FORWARD_PTR(get_LastTrxSignatureLogo, pVal); }

ECRBRIDGE_API int get_LastTrxReceipt(char* pVal)
{
    if (pVal == nullptr)
        return ECR_E_NULL_POINTER;
    const int result = guarded(__func__, [&](CVarkoClass2017* ecr) { return ecr->get_LastTrxReceipt(pVal); });
    if (result == 0)
        convert_in_place<sizeof(_ecr_transaction_report::Receipt)>(__func__, pVal);
    return result;
}

ECRBRIDGE_API int get_LastTrxNameBank(char* pVal)
{
    if (pVal == nullptr)
        return ECR_E_NULL_POINTER;
    const int result = guarded(__func__, [&](CVarkoClass2017* ecr) { return ecr->get_LastTrxNameBank(pVal); });
    if (result == 0)
        convert_in_place<sizeof(_ecr_transaction_report::NameBank)>(__func__, pVal);
    return result;
}

ECRBRIDGE_API int CountPurchaseTransaction(int* pVal) { FORWARD_ANY(CountPurchaseTransaction, pVal); }
ECRBRIDGE_API int CountRefundTransaction(int* pVal) { FORWARD_ANY(CountRefundTransaction, pVal); }
ECRBRIDGE_API int CountVoidTransaction(int* pVal) { FORWARD_ANY(CountVoidTransaction, pVal); }

}  // extern "C"

ECRBRIDGE_API int TotolAmoundPurchaseTransaction(double* pVal) { FORWARD_ANY(TotolAmoundPurchaseTransaction, pVal); }
ECRBRIDGE_API int TotolAmoundRefundTransaction(double* pVal) { FORWARD_ANY(TotolAmoundRefundTransaction, pVal); }
ECRBRIDGE_API int TotolAmoundVoidTransaction(double* pVal) { FORWARD_ANY(TotolAmoundVoidTransaction, pVal); }
