// Encoder of the request that starts a payment operation.  The terminal
// parses the fields by position, so every layout is byte-exact.
#include "protocol/request_encoder.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>

#include "Logging/log.h"
#include "protocol/message.h"

namespace {

const unsigned int kRequestBufferSize = 16384;
const unsigned char kFS = 0x1C;
const double kMaxAmount = 9999999999.99;
const uint64_t kMaxReceiptNum = 9999999999ULL;

// Bounded writer over the request buffer.
class RequestWriter {
public:
    explicit RequestWriter(unsigned char* buf) : m_buf(buf) {}

    void bytes(const void* data, size_t n)
    {
        if (n > kRequestBufferSize - m_len) {
            m_overflow = true;
            n = kRequestBufferSize - m_len;
        }
        std::memcpy(m_buf + m_len, data, n);
        m_len += static_cast<unsigned int>(n);
    }
    void str(const char* s) { bytes(s, std::strlen(s)); }
    // A fixed-width record field: up to its terminator or its width.
    void text(const char* field, size_t width) { bytes(field, strnlen(field, width)); }
    void byte(unsigned char c) { bytes(&c, 1); }
    void fs() { byte(kFS); }
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

bool layout_exists(unsigned int op)
{
    return op == 1 || op == 2 || (op >= 5 && op <= 12) || (op >= 14 && op <= 28) || (op >= 30 && op <= 32) ||
           (op >= 35 && op <= 43) || (op >= 45 && op <= 47);
}

// Request header of the operations that use the common layout.
const char* common_header(unsigned int op)
{
    switch (op) {
    case 1: return "PUR10.";
    case 2: return "REF10.";
    case 5: return "DSC12.";
    case 11: return "AUH10.";
    case 12: return "AHF10.";
    case 14: return "PCC10.";
    case 17: return "AFC10.";
    case 18: return "PIR10.";
    case 19: return "RFI10.";
    case 21: return "OFN10.";
    case 22: return "LRW10.";
    case 23: return "LRD10.";
    case 24: return "LWV10.";
    case 25: return "LDV10.";
    case 26: return "LWR10.";
    case 27: return "LDR10.";
    case 28: return "LGO10.";
    case 31: return "RFC12.";
    case 35: return "CSH10.";
    case 36: return "CRC10.";
    case 37: return "BAL10.";
    case 46: return "ACC10.";
    case 47: return "VID10.";
    default: return nullptr;
    }
}

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

unsigned int build_service_params(RequestWriter& w, const _init_transaction_request* req, unsigned int* len)
{
    const bool src = req->trx_type == 42;
    w.str(src ? "SRC10." : "SEP10.");
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

unsigned int build_common(RequestWriter& w, _init_transaction_request* req, unsigned int* len)
{
    const unsigned int op = req->trx_type;
    const bool lrw_lrd = op == 22 || op == 23;
    const bool lwv_ldv = op == 24 || op == 25;
    const bool lwr_ldr = op == 26 || op == 27;
    const bool lgo = op == 28;
    const bool loyalty = lrw_lrd || lwv_ldv || lwr_ldr || lgo;

    LOGREC(LOG_TRACE) << "ecr_build_init_transaction" << " Point YYY 3\n";
    if (req->ecr_num > 99 || req->ecr_receipt_num > kMaxReceiptNum || req->amount > kMaxAmount ||
        req->add_amount > kMaxAmount || req->add_amount < 0 || req->currency_code > 999)
        return SE_SYNTAX;
    // Values that would not fit their fixed-width fields.
    if (std::isnan(req->add_amount))
        return SE_SYNTAX;
    if (!loyalty && req->merchant_id > 99)
        return SE_SYNTAX;
    if (lwr_ldr && (req->loyalty_number < 0 || req->loyalty_number > 999999))
        return SE_SYNTAX;

    w.str(common_header(op));
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
    char digits6[7] = "000000";
    size_t n6 = strnlen(req->digits6, 6);
    std::memcpy(digits6 + (6 - n6), req->digits6, n6);
    w.bytes(digits6, 6);
    w.fs();
    w.text(req->card_track1, sizeof req->card_track1);
    w.fs();
    LOGREC(LOG_TRACE) << "ecr_build_init_transaction" << " Point YYY 6\n";
    w.text(req->card_track2, sizeof req->card_track2);
    w.fs();
    w.text(req->card_track3, sizeof req->card_track3);
    w.fs();
    char digits3[4] = "000";
    size_t n3 = strnlen(req->digits3, 3);
    std::memcpy(digits3 + (3 - n3), req->digits3, n3);
    w.bytes(digits3, 3);
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
    return finish(w, len);
}

unsigned int build(unsigned char* buf, unsigned int* len, _init_transaction_request* req)
{
    LOGREC(LOG_TRACE) << "ecr_build_init_transaction" << " Point 1\n";
    if (buf == nullptr || len == nullptr || req == nullptr)
        return SE_PARAM;
    const unsigned int op = req->trx_type;
    if (!layout_exists(op))
        return SE_SYNTAX;
    LOGREC(LOG_TRACE) << "ecr_build_init_transaction" << " Point 2\n";

    RequestWriter w(buf);
    if (op == 43) {  // the ping request leaves the rest of the buffer as it is
        w.str("PNG10.");
        return finish(w, len);
    }
    std::memset(buf, 0, kRequestBufferSize);

    switch (op) {
    case 45:
        w.str("PST10.");
        w.text(req->print_text, sizeof req->print_text);
        return finish(w, len);
    case 6:
        w.str("PPD10.");
        return finish(w, len);
    case 39:
        w.str("ECH10.");
        return finish(w, len);
    case 40:
        w.str("IFC10.");
        return finish(w, len);
    case 41:
        w.str("IFN10.");
        return finish(w, len);
    case 7:
        return build_settlement(w, "STL10.", req, len);
    case 15:
        return build_settlement(w, "SLR10.", req, len);
    case 38:
        return build_settlement(w, "SLO10.", req, len);
    case 32:
        if (req->merchant_id > 99)
            return SE_SYNTAX;
        w.str("XRP10.");
        if (req->merchant_id != 0) {
            w.two_digits(req->merchant_id);
            w.fs();
        }
        return finish(w, len);
    case 30:
        w.str("CID10.");
        w.fs();
        return finish(w, len);
    case 8:
        w.str("VOD10.");
        // The invoice field is positional: always its 6 bytes (zero bytes
        // when the void names no invoice).
        w.bytes(req->invoice_num, 6);
        w.fs();
        return finish(w, len);
    case 9:
        if (req->discount_req_type > 99)
            return SE_SYNTAX;
        w.str("RDC10.");
        w.number("%02u", static_cast<unsigned int>(req->discount_req_type), 2);
        w.fs();
        return finish(w, len);
    case 10:
        if (req->complete_type > 9)
            return SE_SYNTAX;
        w.str("RDC14.");
        w.number("%01u", static_cast<unsigned int>(req->complete_type), 1);
        w.fs();
        if (!w.amount(req->amount))
            return SE_SYNTAX;
        w.fs();
        return finish(w, len);
    case 20:
        w.str("PVD10.");
        w.bytes(req->invoice_num, 6);
        w.fs();
        if (!w.amount(req->amount))
            return SE_SYNTAX;
        w.fs();
        return finish(w, len);
    case 16:
    case 42:
        return build_service_params(w, req, len);
    default:
        return build_common(w, req, len);
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
