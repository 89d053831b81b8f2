// Encoder of the request that starts a payment operation.  The terminal
// parses the fields by position, so every layout is byte-exact.
#include "protocol/request_encoder.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>

#include "Logging/log.h"
#include "protocol/message.h"
#include "protocol/operation_table.h"

namespace {

const double kMaxAmount = 9999999999.99;
const uint64_t kMaxReceiptNum = 9999999999ULL;

// Bounded writer over the request buffer.
class RequestWriter {
public:
    explicit RequestWriter(unsigned char* buf) : m_buf(buf) {}

    void bytes(const void* data, size_t n)
    {
        if (n > POS_MAX_MESSAGE - m_len) {
            m_overflow = true;
            n = POS_MAX_MESSAGE - m_len;
        }
        std::memcpy(m_buf + m_len, data, n);
        m_len += static_cast<unsigned int>(n);
    }
    void str(const char* s) { bytes(s, std::strlen(s)); }
    // A fixed-width record field: up to its terminator or its width.
    void text(const char* field, size_t width) { bytes(field, strnlen(field, width)); }
    void byte(unsigned char c) { bytes(&c, 1); }
    // A text right-aligned in width characters, padded on the left with "0"
    // (its first width characters when longer).
    void zero_padded(const char* field, size_t width)
    {
        const size_t n = strnlen(field, width);
        for (size_t i = n; i < width; ++i)
            byte('0');
        bytes(field, n);
    }
    void fs() { byte(FS); }
    // A value of 0..99 as its tens and units digit.
    void two_digits(unsigned int v)
    {
        byte(static_cast<unsigned char>('0' + v / 10));
        byte(static_cast<unsigned char>('0' + v % 10));
    }
    // snprintf output that must be exactly `width` characters.
    template <typename T>
    bool number(const char* format, T value, int width)
    {
        char tmp[32];
        int n = std::snprintf(tmp, sizeof tmp, format, value);
        if (n != width)
            return false;
        bytes(tmp, static_cast<size_t>(n));
        return true;
    }
    // Twelve digits of minor units.  Anything that would not print as twelve
    // digits (negative, too large, not a number) is refused.
    bool amount(double value)
    {
        if (!(value >= 0.0) || value > kMaxAmount)
            return false;
        double minor = value * 100.0;
        if (minor == 0.0)
            minor = 0.0;  // no "-0" for a negative zero
        char tmp[32];
        int n = std::snprintf(tmp, sizeof tmp, "%012.0f", minor);
        if (n != 12)
            return false;
        for (int i = 0; i < 12; ++i) {
            if (tmp[i] < '0' || tmp[i] > '9')
                return false;
        }
        bytes(tmp, 12);
        return true;
    }

    unsigned int length() const { return m_len; }
    bool overflow() const { return m_overflow; }

private:
    unsigned char* m_buf;
    unsigned int m_len = 0;
    bool m_overflow = false;
};

unsigned int finish(RequestWriter& w, unsigned int* len)
{
    if (w.overflow())
        return SE_SIZE;
    *len = w.length();
    return SE_OK;
}

// STL, SLR, SLO: merchant as two digits only when set, then FS.
unsigned int build_settlement(RequestWriter& w, const char* header, const _init_transaction_request* req,
                              unsigned int* len)
{
    if (req->merchant_id > 99)
        return SE_SYNTAX;
    w.str(header);
    if (req->merchant_id != 0)
        w.two_digits(req->merchant_id);
    w.fs();
    return finish(w, len);
}

unsigned int build_service_params(RequestWriter& w, const OpRow& row, const _init_transaction_request* req,
                                  unsigned int* len)
{
    const bool src = req->trx_type == 42;
    w.str(row.header);
    if (!w.amount(req->amount))
        return SE_SYNTAX;
    w.fs();
    if (!w.number("%03u", static_cast<unsigned int>(req->currency_code), 3))
        return SE_SYNTAX;
    w.fs();
    if (src) {
        if (req->nominal_number > 9)
            return SE_SYNTAX;
        w.byte(static_cast<unsigned char>('0' + req->nominal_number));
        w.fs();
    }
    for (const _service_parameter& p : req->service_params) {
        if (p.text[0] != 0)
            w.text(p.text, sizeof p.text);
        w.fs();
    }
    if (!src) {
        if (req->merchant_id5_symbol != 0)
            w.byte(req->merchant_id5_symbol);
        w.fs();
        return finish(w, len);
    }
    if (req->merchant_id != 0) {
        if (req->merchant_id > 99)
            return SE_FORMAT;
        w.two_digits(req->merchant_id);
    }
    w.fs();
    if (req->service_number[0] != 0)
        w.text(req->service_number, sizeof req->service_number);
    w.fs();
    return finish(w, len);
}

// The range checks of the common layout: false when a value does not fit
// its field.
bool common_values_fit(const _init_transaction_request* req, bool loyalty, bool lwr_ldr)
{
    if (req->ecr_num > 99 || req->ecr_receipt_num > kMaxReceiptNum || req->amount > kMaxAmount ||
        req->add_amount > kMaxAmount || req->add_amount < 0 || req->currency_code > 999)
        return false;
    // Values that would not fit their fixed-width fields.
    if (std::isnan(req->add_amount))
        return false;
    if (!loyalty && req->merchant_id > 99)
        return false;
    return !(lwr_ldr && (req->loyalty_number < 0 || req->loyalty_number > 999999));
}

// The card and merchant block from track 2 on, every item followed by FS.
void write_card_block_rest(RequestWriter& w, _init_transaction_request* req)
{
    const unsigned int op = req->trx_type;
    w.text(req->card_track2, sizeof req->card_track2);
    w.fs();
    w.text(req->card_track3, sizeof req->card_track3);
    w.fs();
    w.zero_padded(req->digits3, 3);
    w.fs();
    w.two_digits(req->merchant_id);
    w.fs();
    w.text(req->host_text, sizeof req->host_text);
    w.fs();
    if (req->pin_request)
        w.byte('1');
    w.fs();
    if (TestNULL(reinterpret_cast<unsigned char*>(req->rrn), sizeof req->rrn) != SE_EMPTY)
        w.text(req->rrn, sizeof req->rrn);
    w.fs();
    w.byte((op == 17 || req->entry_mode) ? '1' : '0');
    w.fs();
    if (op == 17)
        w.bytes(req->auth_code, sizeof req->auth_code);  // always its 6 bytes
    w.fs();
    if (req->merchant_id5_symbol > '0' && req->merchant_id5_symbol < 'Z') {
        w.byte(req->merchant_id5_symbol);
        req->merchant_id5_symbol = 0;
    }
    w.fs();
}

unsigned int build_common(RequestWriter& w, const OpRow& row, _init_transaction_request* req, unsigned int* len)
{
    const unsigned int op = req->trx_type;
    const bool lrw_lrd = op == 22 || op == 23;
    const bool lwv_ldv = op == 24 || op == 25;
    const bool lwr_ldr = op == 26 || op == 27;
    const bool lgo = op == 28;
    const bool loyalty = lrw_lrd || lwv_ldv || lwr_ldr || lgo;

    LOGREC(LOG_TRACE) << "ecr_build_init_transaction" << " Point YYY 3\n";
    if (!common_values_fit(req, loyalty, lwr_ldr))
        return SE_SYNTAX;

    w.str(row.header);
    LOGREC(LOG_TRACE) << "ecr_build_init_transaction" << " Point YYY 4\n";
    LOGREC(LOG_TRACE) << "ecr_build_init_transaction" << " Point YYY 4-1\n";
    w.two_digits(req->ecr_num);
    w.fs();

    if (lwv_ldv || lwr_ldr) {
        w.text(req->invoice_num, 6);
        w.fs();
        if (lwv_ldv) {
            if (!w.amount(req->amount))
                return SE_SYNTAX;
            return finish(w, len);
        }
    }

    LOGREC(LOG_TRACE) << "ecr_build_init_transaction" << " Point YYY 4-1-01 ecr_receipt_num["
                      << req->ecr_receipt_num << "}\n";
    char receipt[24];
    int receipt_len = std::snprintf(receipt, sizeof receipt, "%llu",
                                    static_cast<unsigned long long>(req->ecr_receipt_num));
    w.bytes(receipt, static_cast<size_t>(receipt_len));
    LOGREC(LOG_TRACE) << "ecr_build_init_transaction" << " Point YYY 4-1-1\n";
    if (lgo)
        return finish(w, len);

    LOGREC(LOG_TRACE) << "ecr_build_init_transaction" << " Point YYY 4-2\n";
    w.fs();
    LOGREC(LOG_TRACE) << "ecr_build_init_transaction" << " Point YYY 5\n";

    if (lwr_ldr) {
        w.text(req->loyalty_ref, 6);
        w.fs();
        w.number("%06d", static_cast<int>(req->loyalty_number), 6);
        w.fs();
        if (!w.amount(req->amount))
            return SE_SYNTAX;
        return finish(w, len);
    }

    if (!w.amount(req->amount))
        return SE_SYNTAX;
    w.fs();
    if (!lrw_lrd) {
        if (!w.amount(req->add_amount))
            return SE_SYNTAX;
        w.fs();
    }
    w.number("%03u", static_cast<unsigned int>(req->currency_code), 3);
    if (lrw_lrd)
        return finish(w, len);
    w.fs();

    // Card and merchant block, every item followed by FS.
    w.zero_padded(req->digits6, 6);
    w.fs();
    w.text(req->card_track1, sizeof req->card_track1);
    w.fs();
    LOGREC(LOG_TRACE) << "ecr_build_init_transaction" << " Point YYY 6\n";
    write_card_block_rest(w, req);
    return finish(w, len);
}

// The layouts whose whole message is the header and at most a field or two.
unsigned int build_short(RequestWriter& w, const OpRow& row, const _init_transaction_request* req, unsigned int* len)
{
    switch (row.layout) {
    case OpLayout::PrintText:
        w.str(row.header);
        w.text(req->print_text, sizeof req->print_text);
        return finish(w, len);
    case OpLayout::XReport:
        if (req->merchant_id > 99)
            return SE_SYNTAX;
        w.str(row.header);
        if (req->merchant_id != 0) {
            w.two_digits(req->merchant_id);
            w.fs();
        }
        return finish(w, len);
    case OpLayout::Invoice:
        w.str(row.header);
        // The invoice field is positional: always its 6 bytes (zero bytes
        // when the void names no invoice).
        w.bytes(req->invoice_num, 6);
        w.fs();
        return finish(w, len);
    case OpLayout::DiscountRequest:
        if (req->discount_req_type > 99)
            return SE_SYNTAX;
        w.str(row.header);
        w.number("%02u", static_cast<unsigned int>(req->discount_req_type), 2);
        w.fs();
        return finish(w, len);
    default:  // Bare, HeaderFs
        w.str(row.header);
        if (row.layout == OpLayout::HeaderFs)
            w.fs();
        return finish(w, len);
    }
}

// The layouts with an amount after the header.
unsigned int build_with_amount(RequestWriter& w, const OpRow& row, const _init_transaction_request* req,
                               unsigned int* len)
{
    if (row.layout == OpLayout::DiscountComplete) {
        if (req->complete_type > 9)
            return SE_SYNTAX;
        w.str(row.header);
        w.number("%01u", static_cast<unsigned int>(req->complete_type), 1);
    } else {  // PartVoid
        w.str(row.header);
        w.bytes(req->invoice_num, 6);
    }
    w.fs();
    if (!w.amount(req->amount))
        return SE_SYNTAX;
    w.fs();
    return finish(w, len);
}

unsigned int build(unsigned char* buf, unsigned int* len, _init_transaction_request* req)
{
    LOGREC(LOG_TRACE) << "ecr_build_init_transaction" << " Point 1\n";
    if (buf == nullptr || len == nullptr || req == nullptr)
        return SE_PARAM;
    const OpRow* row = op_row(req->trx_type);
    if (row == nullptr || row->layout == OpLayout::None)
        return SE_SYNTAX;
    LOGREC(LOG_TRACE) << "ecr_build_init_transaction" << " Point 2\n";
    RequestWriter w(buf);
    if (row->layout == OpLayout::Ping) {  // the ping request leaves the rest of the buffer as it is
        w.str(row->header);
        return finish(w, len);
    }
    std::memset(buf, 0, POS_MAX_MESSAGE);
    switch (row->layout) {
    case OpLayout::Settlement:
        return build_settlement(w, row->header, req, len);
    case OpLayout::ServiceParams:
        return build_service_params(w, *row, req, len);
    case OpLayout::Common:
        return build_common(w, *row, req, len);
    case OpLayout::DiscountComplete:
    case OpLayout::PartVoid:
        return build_with_amount(w, *row, req, len);
    default:
        return build_short(w, *row, req, len);
    }
}

}  // namespace

unsigned int ecr_build_init_transaction(unsigned char* buf, unsigned int* len, _init_transaction_request* req)
{
    try {
        return build(buf, len, req);
    } catch (...) {
        // Only the composition of a log record can throw (out of memory).
        return SE_FAIL;
    }
}
