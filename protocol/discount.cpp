// Discount card reads ("DSC", "GRC" with an account identifier) and the
// discount information request ("DIN").
#include "protocol/discount.h"

#include <cstdlib>
#include <cstring>

#include "Logging/log.h"
#include "protocol/card_read.h"
#include "protocol/service_fields.h"
#include "transport/transport.h"

namespace {

// Characters of the account identifier that go into the request.
constexpr size_t kAccountMax = 15;
// Discount field: two digits of merchant, the name, four digits of rate.
constexpr unsigned int kDiscountMin = 7;
constexpr unsigned int kDiscountMax = 27;

struct AccountArgs {
    char* account;
    unsigned char mode;
};

unsigned int build_card(unsigned char* buf, unsigned int* len, const void*)
{
    return ecr_build_discount_card_request(buf, len);
}

unsigned int build_info(unsigned char* buf, unsigned int* len, const void*)
{
    return ecr_build_discount_ex_card_request(buf, len);
}

unsigned int build_account(unsigned char* buf, unsigned int* len, const void* ctx)
{
    const AccountArgs* a = static_cast<const AccountArgs*>(ctx);
    return ecr_build_discount_card_request_accid(buf, len, a->account, a->mode);
}

unsigned int decode_card(unsigned char* msg, unsigned int len, void* out)
{
    return ecr_parse_crd_response(msg, len, static_cast<_ecr_mread_report*>(out));
}

unsigned int decode_info(unsigned char* msg, unsigned int len, void* out)
{
    return ecr_parse_disc_response(msg, len, static_cast<_ecr_discount_info*>(out));
}

// The terminal answers an account request with "3" FS when it refuses it.
unsigned int account_refused(const unsigned char* msg, unsigned int len, void*)
{
    if (len >= 8 && msg[6] == '3' && msg[7] == FS)
        return SE_REPLY3;
    return SE_OK;
}

// Value of n decimal characters taken by themselves.
unsigned int digits_value(const unsigned char* text, unsigned int n)
{
    char part[8] = {0};
    std::memcpy(part, text, n);
    return static_cast<unsigned int>(std::atoi(part));
}

}  // namespace

unsigned int ecr_build_discount_card_request(unsigned char* buffer, unsigned int* length)
{
    return svc_header_request(buffer, length, "DSC10.");
}

unsigned int ecr_build_discount_canc_request(unsigned char* buffer, unsigned int* length)
{
    return svc_header_request(buffer, length, "DSC12.");
}

unsigned int ecr_build_discount_ex_card_request(unsigned char* buffer, unsigned int* length)
{
    return svc_header_request(buffer, length, "DIN10.");
}

unsigned int ecr_build_discount_card_request_accid(unsigned char* buffer, unsigned int* length, char* account,
                                                   unsigned char mode)
{
    if (!buffer || !length || !account)
        return SE_PARAM;
    svc_begin(buffer, mode == 'R' ? "GRC10." : "DSC10.");
    // Only the characters that are sent are read; control and non-ASCII
    // bytes travel as "?".
    const size_t n = strnlen(account, kAccountMax);
    unsigned int pos = 6;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(account[i]);
        buffer[pos++] = (c < 0x20 || c >= 0x80) ? '?' : c;
    }
    buffer[pos++] = FS;
    if (mode == 'C' || mode == 'S') {
        buffer[pos++] = mode;
        buffer[pos++] = FS;
    }
    *length = pos;
    return SE_OK;
}

unsigned int ecr_parse_disc_response(unsigned char* message, unsigned int length, _ecr_discount_info* info)
{
    if (!message || !info)
        return SE_PARAM;
    if (length < 8)
        return SE_SYNTAX;
    std::memset(info, 0, sizeof(*info));
    if (!pos_sx_same(message, "DIN", 3))
        return SE_SYNTAX;
    info->operation = 4;
    std::memcpy(info->message_code, message, 3);
    if (!pos_sx_same(message + 3, "11.", 3))
        return SE_SYNTAX;

    unsigned char field[SVC_SCRATCH];
    unsigned int n = 0;
    const unsigned int cut = svc_cut_first(message, length, field, &n);
    if (cut == SE_SIZE)
        return SE_SIZE;
    if (cut != SE_OK)
        return SE_OK;
    if (n > kDiscountMax)
        return SE_SIZE;
    if (n < kDiscountMin)
        return SE_NOCARD;
    std::memcpy(info->info, field, n);
    info->merchant_id = static_cast<uint8_t>(digits_value(field, 2));
    info->rate = static_cast<double>(digits_value(field + n - 4, 4) / 100u);
    std::memcpy(info->merchant_name, field + 2, n - 6);
    return SE_OK;
}

unsigned int pos_discount_init(void* handle, _ecr_mread_report* report)
{
    PosHandle* h = static_cast<PosHandle*>(handle);
    if (!h || !h->transport || !report)
        return SE_PARAM;
    SingleExchange ex;
    ex.caller = __func__;
    ex.build = build_card;
    ex.builder_name = "ecr_build_discount_card_request";
    ex.syntax_text = " message parsing error! Return SE_SYNTAX";
    ex.decode = decode_card;
    ex.decode_out = report;
    const unsigned int st = pos_single_exchange(h, ex);
    // Past the check and the ACK the result is SE_OK or SE_WRITE; anything
    // else ended the exchange earlier.
    const bool answered = st == SE_OK || (st == SE_WRITE && ex.got_response);
    if (!answered)
        return st;
    if (report->track2[0] != 0 || report->sha1hash[0] != 0)
        return st;

    // No card data: withdraw the request.  The terminal only acknowledges it.
    try {
        unsigned char cancel[POS_MAX_MESSAGE];
        unsigned int cancel_len = 0;
        const unsigned int built = ecr_build_discount_canc_request(cancel, &cancel_len);
        if (built != SE_OK) {
            LOGREC(LOG_ERROR) << " ecr_build_discount_canc_request fail, code[" << built << "]";
            return built;
        }
        const unsigned int sent = pos_write_packet(h, cancel, cancel_len);
        if (sent != SE_OK) {
            LOGREC(LOG_ERROR) << " pos_write_packet fail, code[" << sent << "]";
            return sent;
        }
        unsigned char last = 0;
        if (pos_sx_wait_ack(h, Deadline::in_ms(5000), &last) == SE_OK)
            return SE_NOCARD;
        LOGREC(LOG_ERROR) << " Received data is not ACK[" << static_cast<char>(last) << "]";
        return SE_EXEC;
    } catch (...) {
        return SE_FAIL;
    }
}

unsigned int pos_discount_init_accid(void* handle, _ecr_mread_report* report, char* account, unsigned char mode)
{
    if (!handle || !report || !account)
        return SE_PARAM;
    AccountArgs args{account, mode};
    SingleExchange ex;
    ex.caller = __func__;
    ex.build = build_account;
    ex.build_ctx = &args;
    ex.builder_name = "ecr_build_discount_card_request_accid";
    ex.ack_before_check = true;
    ex.syntax_text = nullptr;
    ex.after_match = account_refused;
    ex.decode = decode_card;
    ex.decode_out = report;
    return pos_single_exchange(handle, ex);
}

unsigned int pos_discount_init_ex(void* handle, _ecr_discount_info* info)
{
    if (!handle || !info)
        return SE_PARAM;
    SingleExchange ex;
    ex.caller = __func__;
    ex.build = build_info;
    ex.builder_name = "ecr_build_discount_ex_card_request";
    ex.syntax_text = " parse message error! Return SE_SYNTAX";
    ex.decode = decode_info;
    ex.decode_out = info;
    ex.decoder_name = "ecr_parse_disc_response";
    ex.report_decoder_status = true;
    return pos_single_exchange(handle, ex);
}
