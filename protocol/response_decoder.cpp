// Decoders of the final transaction response and of the stored-transaction
// answers.  Both read exactly the payload length they are given, and every
// field within its bound: texts are copied once, straight from the payload;
// numbers of plain digits are read in place; other numbers and the fields read
// at fixed positions are cut into a small zero-terminated scratch copy.
#include "protocol/response_decoder.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "Logging/log.h"
#include "protocol/message.h"
#include "protocol/operation_table.h"

// A record under the name of the exported decoder it belongs to.
#define DECODER_LOG_ALWAYS(level, name) GetLogObject(level) << "[" << (name) << ":" << __LINE__ << "] "
#define DECODER_LOG(level, name)  \
    if (!el::get_logging()) {     \
    } else                        \
        DECODER_LOG_ALWAYS(level, name)

namespace {

const unsigned int kMinResponse = 8;

// Scratch sizes of the fields.
const unsigned int kOrdinaryField = 256;
const unsigned int kAdditionalDataField = 999;
const unsigned int kReceiptField = 2048;
const unsigned int kLogoField = 8192;
// Zeros follow every cut field this far (and so at least up to this
// position): the fields read at fixed positions (expiry, invoice and date,
// processing data) read within it.
const unsigned int kFixedPositions = 32;

// Three letters of the header, upper-cased (case is ignored in the header).
struct Letters {
    explicit Letters(const unsigned char* p)
    {
        for (unsigned int i = 0; i < 3; ++i)
            c[i] = static_cast<unsigned char>(std::toupper(p[i]));
    }
    bool operator==(const char* want) const { return std::memcmp(c, want, 3) == 0; }
    unsigned char c[3];
};

uint16_t operation_of(const unsigned char* code)
{
    const OpRow* row = op_row_by_tag(code);
    return row != nullptr ? row->code : 0;
}

// Nearly every number arrives as plain digits; up to 15 of them are read here
// (the value is then exact in a double too), any other text by the C
// library's conversions, whose results for plain digits are the same.
const unsigned int kMaxPlainDigits = 15;

// The number of leading digits among the first max bytes, and their value.
unsigned int leading_digits(const unsigned char* p, unsigned int max, long long* value)
{
    long long v = 0;
    unsigned int i = 0;
    for (; i < max; ++i) {
        const unsigned int digit = p[i] - static_cast<unsigned int>('0');
        if (digit > 9)
            break;
        v = v * 10 + digit;
    }
    *value = v;
    return i;
}
// A value of plain digits as a long, saturated as strtol saturates.
long plain_to_long(long long v)
{
    return v > std::numeric_limits<long>::max() ? std::numeric_limits<long>::max() : static_cast<long>(v);
}

// Leading-decimal conversion (optional blanks and sign, digits, stop at the
// first other character, 0 if none); saturates instead of overflowing.
long to_int(const char* text)
{
    long long v;
    const unsigned int n = leading_digits(reinterpret_cast<const unsigned char*>(text), kMaxPlainDigits, &v);
    if (n != 0 && text[n] == '\0')
        return plain_to_long(v);
    return std::strtol(text, nullptr, 10);
}

// Cursor over the unread payload.  Texts are read where they lie; fields
// read at fixed positions and numbers other than plain digits are cut into a
// small scratch area with zeros behind them.
class FieldReader {
public:
    FieldReader(unsigned char* pos, unsigned int remaining) : m_pos(pos), m_remaining(remaining) {}

    // Finds the next field of at most size bytes, read in place.
    // SE_OK, SE_PARAM when the payload has ended, SE_SIZE when it is too long.
    unsigned int next_in_place(unsigned int size)
    {
        bool at_separator = false;
        const unsigned int st = locate_next_field(&m_pos, &m_remaining, size, &m_text, &m_len, &at_separator);
        if (st != SE_OK) {
            m_scratch[0] = '\0';
            m_text = reinterpret_cast<unsigned char*>(m_scratch);
            m_len = 0;
        }
        m_raw_len = at_separator ? m_len : 0;
        return st;
    }

    // The same, cut into the scratch area (at most kOrdinaryField bytes).
    unsigned int next()
    {
        const unsigned int st = next_in_place(kOrdinaryField);
        if (st != SE_OK)
            return st;
        std::memcpy(m_scratch, m_text, m_len);
        std::memset(m_scratch + m_len, 0, kFixedPositions);
        m_text = reinterpret_cast<unsigned char*>(m_scratch);
        return SE_OK;
    }

    // The next field as a number: plain digits up to the separator or the end
    // of the payload are read in place; any other field is cut into the
    // scratch area, where the conversions below read it.
    unsigned int next_number()
    {
        const unsigned int n = leading_digits(m_pos, std::min(m_remaining, kMaxPlainDigits), &m_value);
        m_plain = n != 0 && (n == m_remaining || m_pos[n] == FS);
        if (!m_plain)
            return next();
        const unsigned int taken = n == m_remaining ? n : n + 1;
        m_raw_len = n == m_remaining ? 0 : n;
        m_pos += taken;
        m_remaining -= taken;
        return SE_OK;
    }
    long as_long() const { return m_plain ? plain_to_long(m_value) : std::strtol(m_scratch, nullptr, 10); }
    long long as_long_long() const { return m_plain ? m_value : std::strtoll(m_scratch, nullptr, 10); }
    // Also takes a fraction, an exponent, a hexadecimal or an infinite form.
    double as_double() const { return m_plain ? static_cast<double>(m_value) : std::strtod(m_scratch, nullptr); }
    double as_amount() const { return as_double() / 100.0; }

    // The text of a field cut into the scratch area.
    const char* text() const { return m_scratch; }
    // The field's bytes from position pos (within the zeros behind a cut field).
    const unsigned char* bytes_at(unsigned int pos) const { return m_text + pos; }
    // Characters of the field from position pos up to its first zero byte.
    unsigned int text_len(unsigned int pos) const
    {
        if (pos >= m_len)
            return 0;
        const void* zero = std::memchr(m_text + pos, 0, m_len - pos);
        return zero == nullptr ? m_len - pos
                               : static_cast<unsigned int>(static_cast<const unsigned char*>(zero) - (m_text + pos));
    }
    // Length of a field that ended at a separator; 0 for the last field.
    unsigned int raw_len() const { return m_raw_len; }

    // n characters from position pos of a cut field, converted as a number.
    long sub(unsigned int pos, unsigned int n) const
    {
        char tmp[8] = {};
        std::memcpy(tmp, m_scratch + pos, n);
        return to_int(tmp);
    }

    unsigned char* position() const { return m_pos; }
    void set_remaining(unsigned int remaining) { m_remaining = remaining; }

private:
    unsigned char* m_pos;
    unsigned int m_remaining;
    unsigned char* m_text = nullptr;
    unsigned int m_len = 0;
    unsigned int m_raw_len = 0;
    bool m_plain = false;
    long long m_value = 0;
    // Room for the zeros behind the longest cut field.
    char m_scratch[kOrdinaryField + kFixedPositions];
};

// Copy the field (from character `from`) into dest when it has at most max
// characters; SE_SIZE otherwise.
unsigned int take_text(const FieldReader& r, unsigned int from, char* dest, unsigned int max)
{
    const unsigned int n = r.text_len(from);
    if (n > max)
        return SE_SIZE;
    std::memcpy(dest, r.bytes_at(from), n);
    return SE_OK;
}

struct Decoder {
    FieldReader reader;
    _ecr_transaction_report* report;
    const char* name;
    bool np;
    unsigned int status = SE_OK;
    unsigned int field = 0;    // the number of the field being cut (1: the first after the code)
    bool amount_read = false;  // fields up to the amount were decoded

    // The status of a field's cut: true when it was cut, false without
    // *stop when the payload has ended, false with *stop on an over-long field.
    bool took(unsigned int st, bool* stop)
    {
        *stop = false;
        if (st == SE_OK)
            return true;
        if (st == SE_SIZE) {
            status = SE_SIZE;
            *stop = true;
        }
        return false;
    }
};

// Converts a field after its cut: `convert` runs when it was cut and may fail
// with a status.  Absent fields are skipped.
template <typename F>
bool convert_field(Decoder& d, unsigned int cut_status, F convert)
{
    ++d.field;
    bool stop = false;
    if (d.took(cut_status, &stop)) {
        unsigned int st = convert(d.reader);
        if (st != SE_OK) {
            d.status = st;
            return false;
        }
        return true;
    }
    return !stop;
}

// A field of at most size bytes, read in place.
template <typename F>
bool field(Decoder& d, unsigned int size, F convert)
{
    return convert_field(d, d.reader.next_in_place(size), convert);
}

// A field read at fixed positions.
template <typename F>
bool fixed_field(Decoder& d, F convert)
{
    return convert_field(d, d.reader.next(), convert);
}

template <typename F>
bool number_field(Decoder& d, F convert)
{
    return convert_field(d, d.reader.next_number(), convert);
}

template <typename T>
bool int_field(Decoder& d, T* dest)
{
    return number_field(d, [dest](const FieldReader& r) {
        *dest = static_cast<T>(r.as_long());
        return static_cast<unsigned int>(SE_OK);
    });
}

// A number of up to ten digits into 32 bits: a value that does not fit (or
// is negative) is kept as the largest one, never wrapped into another valid
// number; the accessor refuses it.
bool wide_number_field(Decoder& d, uint32_t* dest)
{
    return number_field(d, [dest](const FieldReader& r) {
        const long long v = r.as_long_long();
        *dest = (v < 0 || v > 0xFFFFFFFFLL) ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
        return static_cast<unsigned int>(SE_OK);
    });
}

bool amount_field(Decoder& d, double* dest, bool divide = true)
{
    return number_field(d, [dest, divide](const FieldReader& r) {
        *dest = divide ? r.as_amount() : r.as_double();
        return static_cast<unsigned int>(SE_OK);
    });
}

bool text_field(Decoder& d, char* dest, unsigned int max, unsigned int size = kOrdinaryField)
{
    return field(d, size, [dest, max](const FieldReader& r) { return take_text(r, 0, dest, max); });
}

// A logo: its size is known only when a separator follows it.
bool logo_field(Decoder& d, uint8_t* dest, uint32_t* dest_size)
{
    return field(d, kLogoField, [dest, dest_size](const FieldReader& r) {
        *dest_size = r.raw_len();
        if (*dest_size > kLogoField)
            return static_cast<unsigned int>(SE_SIZE);
        std::memcpy(dest, r.bytes_at(0), *dest_size);
        return static_cast<unsigned int>(SE_OK);
    });
}

// Fields 1-3 of the standard sequence (field 3 skipped when with_amount is false).
bool head_fields(Decoder& d, bool with_amount)
{
    _ecr_transaction_report* rep = d.report;
    if (!int_field(d, &rep->EcrNum) || !wide_number_field(d, &rep->EcrReceiptNum))
        return false;
    if (!with_amount)
        return true;
    // A balance enquiry reports the amount as it is; the stored-transaction
    // answers always carry minor units.
    d.amount_read = amount_field(d, &rep->Amount, d.np || rep->TrxType != 37);
    return d.amount_read;
}

// 5-10: card number (cut to 19 characters), expiry, text, the invoice
// block, merchant identifier, processing data.
bool card_fields(Decoder& d)
{
    _ecr_transaction_report* rep = d.report;
    // 5: card number, cut to 19 characters.
    if (!field(d, kOrdinaryField, [rep](const FieldReader& r) {
            std::memcpy(rep->PAN, r.bytes_at(0), std::min<size_t>(r.text_len(0), sizeof rep->PAN - 1));
            return static_cast<unsigned int>(SE_OK);
        }))
        return false;
    // 6: expiry MMYY and a text.
    if (!fixed_field(d, [rep](const FieldReader& r) {
            rep->CardExpireMonth = static_cast<uint8_t>(r.sub(0, 2));
            rep->CardExpireYear = static_cast<uint8_t>(r.sub(2, 2));
            return take_text(r, 4, rep->ExpiryText, sizeof rep->ExpiryText - 1);
        }))
        return false;
    // 7: text.
    if (!text_field(d, rep->CardText, sizeof rep->CardText - 1))
        return false;
    // 8: invoice, approval code, DDMMhhmm, issuer.
    if (!fixed_field(d, [rep](const FieldReader& r) {
            rep->InvoceNumber = static_cast<uint32_t>(r.sub(0, 6));
            std::memcpy(rep->ApprovalCode, r.bytes_at(6), 6);
            rep->TransactionDateDay = static_cast<uint8_t>(r.sub(12, 2));
            rep->TransactionDateMonth = static_cast<uint8_t>(r.sub(14, 2));
            rep->TransactionTimeHours = static_cast<uint8_t>(r.sub(16, 2));
            rep->TransactionTimeMinutes = static_cast<uint8_t>(r.sub(18, 2));
            return take_text(r, 20, rep->IssuerName, sizeof rep->IssuerName - 1);
        }))
        return false;
    // 9: merchant identifier.
    if (!text_field(d, rep->MerchantId, sizeof rep->MerchantId - 1))
        return false;
    // 10: processing data.
    if (!fixed_field(d, [rep](const FieldReader& r) {
            rep->ProcessingCode = static_cast<uint32_t>(r.sub(0, 6));
            rep->PosEntryMode = static_cast<uint16_t>(r.sub(6, 3));
            rep->PosConditionCode = static_cast<uint16_t>(r.sub(9, 2));
            rep->CaptureReference = static_cast<uint16_t>(r.sub(11, 4));
            return static_cast<unsigned int>(SE_OK);
        }))
        return false;
    return true;
}

// 18-22: additional data, bank name, receipt, bank logo, signature image.
unsigned int tail_fields(Decoder& d)
{
    _ecr_transaction_report* rep = d.report;
    // 18: additional data, up to the full width of the record field.
    if (!text_field(d, rep->Fld63Sf89, sizeof rep->Fld63Sf89, kAdditionalDataField))
        return d.status;
    // 19: bank name.
    if (d.np) {
        DECODER_LOG(LOG_INFO, d.name) << "NameBank []";
    }
    if (!text_field(d, rep->NameBank, sizeof rep->NameBank)) {
        if (d.np) {
            DECODER_LOG(LOG_INFO, d.name) << "NameBank error";
        }
        return d.status;
    }
    // 20: receipt.
    if (d.np) {
        DECODER_LOG(LOG_INFO, d.name) << "Receipt start []";
        bool stop = false;
        if (d.took(d.reader.next_in_place(kReceiptField), &stop)) {
            if (take_text(d.reader, 0, rep->Receipt, sizeof rep->Receipt) != SE_OK) {
                DECODER_LOG(LOG_INFO, d.name) << "Receipt error []";
                return SE_SIZE;
            }
            LOGDUMP(rep->Receipt, static_cast<unsigned int>(strnlen(rep->Receipt, sizeof rep->Receipt)), "Receipt");
        } else {
            DECODER_LOG(LOG_INFO, d.name) << "Receipt error []";
            if (stop)
                return d.status;
        }
    } else if (!text_field(d, rep->Receipt, sizeof rep->Receipt, kReceiptField)) {
        return d.status;
    }
    // 21-22: bank logo and signature image.
    if (!logo_field(d, rep->BankLogo, &rep->BankLogoSize))
        return d.status;
    if (!logo_field(d, rep->SignatureLogo, &rep->SignatureLogoSize))
        return d.status;
    return SE_OK;
}

unsigned int standard_sequence(Decoder& d)
{
    _ecr_transaction_report* rep = d.report;
    if (!head_fields(d, true) || !amount_field(d, &rep->AddAmount) || !card_fields(d))
        return d.status;
    // 11-13: RRN, card name, terminal identifier.
    if (!text_field(d, rep->RRN, sizeof rep->RRN - 1) || !text_field(d, rep->CardName, sizeof rep->CardName - 1) ||
        !text_field(d, rep->TerminalID, sizeof rep->TerminalID - 1))
        return d.status;
    // 14-17: settlement totals (settlement with report and X receipt only).
    if (!d.np && (rep->TrxType == 15 || rep->TrxType == 32)) {
        if (!amount_field(d, &rep->TotalAmount) || !int_field(d, &rep->SalesCount) ||
            !int_field(d, &rep->RefundsCount) || !int_field(d, &rep->TotalTrxCount))
            return d.status;
    }
    return tail_fields(d);
}

unsigned int cid_prefix(Decoder& d)
{
    _ecr_transaction_report* rep = d.report;
    if (!text_field(d, rep->PAN, sizeof rep->PAN - 1) || !text_field(d, rep->RNK, sizeof rep->RNK) ||
        !text_field(d, rep->ProductCode, sizeof rep->ProductCode))
        return d.status;
    return standard_sequence(d);
}

unsigned int loyalty_sequence(Decoder& d)
{
    _ecr_transaction_report* rep = d.report;
    const uint16_t op = rep->TrxType;
    if (!head_fields(d, op != 28))
        return d.status;
    if (!int_field(d, &rep->InvoceNumber) || !int_field(d, &rep->BatchId) ||
        !text_field(d, rep->PAN, sizeof rep->PAN - 1))
        return d.status;
    if (op == 22 || op == 23) {
        if (!text_field(d, rep->LoyalOperDate, sizeof rep->LoyalOperDate - 1))
            return d.status;
        if (op == 23 && (!amount_field(d, &rep->AddAmount) || !amount_field(d, &rep->TotalAmount)))
            return d.status;
    } else if (op == 28) {
        if (!text_field(d, rep->LoyalGiftCode, sizeof rep->LoyalGiftCode - 1) ||
            !int_field(d, &rep->LoyalGiftCount))
            return d.status;
    }
    return SE_OK;
}

// Multi-currency settlement: batch number and six blocks of eleven fields.
// The result is that of the last cut: SE_PARAM when the payload ended early.
unsigned int multi_currency_sequence(Decoder& d)
{
    _ecr_transaction_report* rep = d.report;
    unsigned int last = SE_OK;
    auto take = [&d, &last](auto convert) {
        unsigned int st = d.reader.next_number();
        last = st;
        if (st == SE_OK)
            convert(d.reader);
        return st != SE_SIZE;
    };
    auto amount_to = [](double* dest) { return [dest](const FieldReader& r) { *dest = r.as_amount(); }; };
    auto count_to = [](uint16_t* dest) {
        return [dest](const FieldReader& r) { *dest = static_cast<uint16_t>(r.as_long()); };
    };
    if (!take([rep](const FieldReader& r) { rep->BatchId = static_cast<uint32_t>(r.as_long()); }))
        return SE_SIZE;
    for (CurrencyReport& c : rep->CurrencyReports) {
        bool ok = take(count_to(&c.CurrencyCode)) && take(amount_to(&c.Amount)) &&
                  take(amount_to(&c.DebitsCommissionAmount)) && take(amount_to(&c.DebitsAmount)) &&
                  take(amount_to(&c.AddAmount)) && take(amount_to(&c.CreditsCommissionAmount)) &&
                  take(amount_to(&c.CreditsAmount)) && take(amount_to(&c.TotalAmount)) &&
                  take(count_to(&c.SalesCount)) && take(count_to(&c.RefundsCount)) &&
                  take(count_to(&c.TotalTrxCount));
        if (!ok)
            return SE_SIZE;
    }
    return last;
}

// Everything after the prologue, shared by both decoders.
unsigned int decode(unsigned char* buf, unsigned int len, _ecr_transaction_report* report, bool np,
                    const char* name, FinalDecode* info)
{
    std::memset(report, 0, sizeof *report);

    if (np) {
        std::memcpy(report->OpTag, buf, 3);
        if (!(Letters(buf + 3) == "11.")) {
            LOGDUMP(buf + 3, 3, "UNCKNOWN MSG NUM");
            return SE_SYNTAX;
        }
    } else {
        uint16_t op = operation_of(buf);
        if (op == 0) {
            LOGDUMP(buf, 3, "UNCKNOWN MSG TYPE");
            return SE_SYNTAX;
        }
        report->TrxType = op;
        std::memcpy(report->OpTag, buf, 3);
        const Letters num(buf + 3);
        if (!(num == "12.") && !(num == "15.") && !(num == "16.") && !(num == "14.")) {
            LOGDUMP(buf + 3, 3, "UNCKNOWN MSG NUM");
            return SE_SYNTAX;
        }
    }

    // The response code must end at a separator within the next five bytes.
    Decoder d{FieldReader(buf + 6, std::min(5u, len - 6)), report, name, np};
    bool code_read = false;  // a response code of digits
    if (d.reader.next() == SE_OK) {
        const char* code = d.reader.text();
        code_read = std::isdigit(static_cast<unsigned char>(code[0])) != 0;
        report->ResponseCode = static_cast<uint16_t>(std::isdigit(static_cast<unsigned char>(code[0])) ? to_int(code) : 20);
        if (*(d.reader.position() - 1) != FS) {
            DECODER_LOG_ALWAYS(LOG_ERROR, name) << "Cannot find field separator";
            return SE_FAIL;
        }
    }
    d.reader.set_remaining(len - static_cast<unsigned int>(d.reader.position() - buf));

    unsigned int status;
    if (np) {
        status = standard_sequence(d);
    } else {
        switch (report->TrxType) {
        case 30: status = cid_prefix(d); break;
        case 22: case 23: case 24: case 25: case 26: case 27: case 28: status = loyalty_sequence(d); break;
        case 38: status = multi_currency_sequence(d); break;
        default: status = standard_sequence(d); break;
        }
    }
    if (info != nullptr && status == SE_SIZE && code_read && d.amount_read)
        info->oversized_field = d.field;
    return status;
}

// Both decoders: the arguments and the least length are checked, records go
// under the name of the decoder called, and no exception leaves.
unsigned int checked_decode(unsigned char* buf, unsigned int len, _ecr_transaction_report* report, bool np,
                            const char* name, FinalDecode* info = nullptr)
{
    try {
        if (buf == nullptr || report == nullptr) {
            DECODER_LOG(LOG_ERROR, name) << (buf == nullptr ? " NULL response_buf " : "")
                                         << (report == nullptr ? " NULL report_ctx " : "");
            return SE_PARAM;
        }
        if (len < kMinResponse) {
            DECODER_LOG(LOG_ERROR, name) << " Buffer size less than " << kMinResponse;
            return SE_SYNTAX;
        }
        return decode(buf, len, report, np, name, info);
    } catch (...) {
        // Only the composition of a log record can throw (out of memory).
        return SE_FAIL;
    }
}

}  // namespace

unsigned int ecr_parse_response(unsigned char* buf, unsigned int len, _ecr_transaction_report* report)
{
    return checked_decode(buf, len, report, false, __func__);
}

unsigned int ecr_parse_response_NP(unsigned char* buf, unsigned int len, _ecr_transaction_report* report)
{
    return checked_decode(buf, len, report, true, __func__);
}

FinalDecode ecr_decode_final(unsigned char* buf, unsigned int len, _ecr_transaction_report* report)
{
    FinalDecode out;
    out.status = checked_decode(buf, len, report, false, "ecr_parse_response", &out);
    out.usable = out.status == SE_OK || out.oversized_field != 0;
    return out;
}
