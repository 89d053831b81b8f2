// Service operations that query the terminal: software name, information
// texts and serial number; the journal of stored transactions (count, one
// transaction, summary); port maintenance; and the three requests that are
// only logged.
#include <cstring>

#include "Logging/log.h"
#include "VarkoClass2017/VarkoClass2017.h"
#include "VarkoClass2017/link_claim.h"
#include "VarkoClass2017/exchange_into.h"
#include "protocol/stored_transactions.h"
#include "protocol/terminal_info.h"

namespace {

// Work area of the text queries: the exchange copies at most 255 characters
// and a terminator.
constexpr std::size_t kTextArea = 256;
// Widths of the stored-transaction numbers on the wire.
constexpr unsigned long kMaxSequence = 9999;
constexpr long kMaxInvoice = 999999;

// Merchant indices are two digits on the wire; anything larger asks for 0.
unsigned char merchant_index(int index)
{
    return (index < 0 || index > 99) ? 0 : static_cast<unsigned char>(index);
}

// Copy a text of the work area (terminated within it) to the caller.
void copy_text(char* out, const char (&area)[kTextArea])
{
    const std::size_t n = strnlen(area, kTextArea - 1);
    std::memcpy(out, area, n);
    out[n] = '\0';
}

}  // namespace

// ---- terminal information ---------------------------------------------------

HRESULT CVarkoClass2017::PosGetNameSoftware(char* name)
{
    LOGREC(LOG_INFO);
    if (name == nullptr)
        return 1;
    return on_link(*this, [&](PosHandle* handle) -> HRESULT {
        char text[kTextArea] = {};
        if (pos_get_name_software(handle, text, GIT_NAME_SOFTWARE) != SE_OK)
            return E_FAIL;
        copy_text(name, text);
        return 0;
    });
}

HRESULT CVarkoClass2017::PosGetInfo(tagGetInfoType kind, char** text)
{
    LOGREC(LOG_INFO);
    if (text == nullptr)
        return 1;
    return on_link(*this, [&](PosHandle* handle) -> HRESULT {
        // The text stays in the ECR object until the next PosGetInfo.
        static_assert(sizeof(m_InfoText) == kTextArea, "information text area");
        std::memset(m_InfoText, 0, sizeof(m_InfoText));
        const unsigned int status = pos_get_name_software(handle, m_InfoText, kind);
        m_InfoText[kTextArea - 1] = '\0';
        if (status != SE_OK)
            return E_FAIL;
        *text = m_InfoText;
        return 0;
    });
}

HRESULT CVarkoClass2017::PosTSN(char* serial)
{
    LOGREC(LOG_INFO);
    if (serial == nullptr)
        return 1;
    return on_link(*this, [&](PosHandle* handle) -> HRESULT {
        char text[kTextArea] = {};
        if (pos_get_serial_number(handle, text) != SE_OK)
            return E_FAIL;
        copy_text(serial, text);
        return 0;
    });
}

// ---- stored transactions ----------------------------------------------------

HRESULT CVarkoClass2017::PosGTC(unsigned char index, unsigned long* count)
{
    LOGREC(LOG_INFO);
    if (count == nullptr)
        return 1;
    return on_link(*this, [&](PosHandle* handle) -> HRESULT {
        // An answer without a count leaves the caller's value as it was.
        uint32_t n = static_cast<uint32_t>(*count);
        if (pos_get_count_transaction(handle, merchant_index(index), &n) != SE_OK)
            return E_FAIL;
        *count = n;
        return 0;
    });
}

HRESULT CVarkoClass2017::PosGTS(unsigned char index, unsigned long sequence)
{
    LOGREC(LOG_INFO);
    // Four digits on the wire: a larger number would ask for another record.
    if (sequence > kMaxSequence)
        return E_INVALIDARG;
    return exchange_into(*this, m_LastReport, [&](PosHandle* handle, _ecr_transaction_report* report) {
        return pos_get_transaction_data_by_sequence_number(handle, merchant_index(index),
                                                           static_cast<uint32_t>(sequence), report);
    });
}

HRESULT CVarkoClass2017::PosGTL(unsigned char index)
{
    LOGREC(LOG_INFO);
    return exchange_into(*this, m_LastReport, [&](PosHandle* handle, _ecr_transaction_report* report) {
        return pos_get_last_transaction_data(handle, merchant_index(index), report);
    });
}

HRESULT CVarkoClass2017::PosGTI(unsigned char index, long invoice)
{
    LOGREC(LOG_INFO);
    // Six digits on the wire.
    if (invoice < 0 || invoice > kMaxInvoice)
        return E_INVALIDARG;
    return exchange_into(*this, m_LastReport, [&](PosHandle* handle, _ecr_transaction_report* report) {
        return pos_get_transaction_data_by_invoice(handle, merchant_index(index), static_cast<int32_t>(invoice),
                                                   report);
    });
}

HRESULT CVarkoClass2017::PosGSI(int index)
{
    LOGREC(LOG_INFO);
    return exchange_into(*this, m_GsiReport, [&](PosHandle* handle, _ecr_gsi_report* report) {
        return pos_get_summery_transaction_data(handle, merchant_index(index), report);
    });
}

// ---- port maintenance and requests that are only logged --------------------

HRESULT CVarkoClass2017::PosClearPort()
{
    LOGREC(LOG_INFO);
    return on_link(*this, [&](PosHandle* handle) -> HRESULT {
        return SetupErrorInfo(pos_clear_port(handle));
    });
}

HRESULT CVarkoClass2017::PosConfirm()
{
    LOGREC(LOG_INFO);
    return 0;
}

HRESULT CVarkoClass2017::PosReqCurrReceipt()
{
    LOGREC(LOG_INFO);
    return 0;
}

HRESULT CVarkoClass2017::PosReqReceiptByInv(unsigned long invoice, unsigned char index)
{
    LOGREC(LOG_INFO);
    return 0;
}
