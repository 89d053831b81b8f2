// Discount card reads ("DSC", "GRC" with an account identifier) and the
// discount information request ("DIN").
#include "protocol/discount.h"

#include <cstdlib>
#include <cstring>

#include "Logging/log.h"
#include "protocol/card_read.h"
#include "protocol/service_fields.h"
#include "protocol/pos_session.h"

namespace {

// Characters of the account identifier that go into the request.
constexpr size_t kAccountMax = 15;
// Discount field: two digits of merchant, the name, four digits of rate.
constexpr unsigned int kDiscountMin = 7;
constexpr unsigned int kDiscountMax = 27;

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
    if (!same_text_nocase(message, "DIN", 3))
        return SE_SYNTAX;
    info->operation = 4;
    std::memcpy(info->message_code, message, 3);
    if (!same_text_nocase(message + 3, "11.", 3))
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
    const char* who = __func__;
    return pos_guard(who, [&] {
        PosSession s(h, who);
        s.begin();
        PosMsg req, resp;
        const unsigned int built = ecr_build_discount_card_request(req.data, &req.len);
        if (unsigned int e = s.built(built, "ecr_build_discount_card_request"))
            return e;
        if (unsigned int e = s.ask(req, resp, " message parsing error! Return SE_SYNTAX"))
            return e;
        const unsigned int acked = s.ack(POS_SERVICE_PAUSE_MS);
        ecr_parse_crd_response(resp.data, resp.len, report);  // its status is not reported
        if (report->track2[0] != 0 || report->sha1hash[0] != 0)
            return acked;
        // No card data: withdraw the request.  The terminal only acknowledges it.
        PosMsg cancel;
        const unsigned int cancel_built = ecr_build_discount_canc_request(cancel.data, &cancel.len);
        if (unsigned int e = s.built(cancel_built, "ecr_build_discount_canc_request"))
            return e;
        if (unsigned int e = s.confirm(cancel, POS_SERVICE_ACK))
            return e;
        return static_cast<unsigned int>(SE_NOCARD);
    });
}

unsigned int pos_discount_init_accid(void* handle, _ecr_mread_report* report, char* account, unsigned char mode)
{
    PosHandle* h = static_cast<PosHandle*>(handle);
    if (!h || !h->transport || !report || !account)
        return SE_PARAM;
    const char* who = __func__;
    return pos_guard(who, [&] {
        PosSession s(h, who);
        s.begin();
        PosMsg req, resp;
        const unsigned int built = ecr_build_discount_card_request_accid(req.data, &req.len, account, mode);
        if (unsigned int e = s.built(built, "ecr_build_discount_card_request_accid"))
            return e;
        if (unsigned int e = s.confirm(req, POS_SERVICE_ACK))
            return e;
        // The ACK goes out at once, whether or not an answer came.
        const unsigned int read = s.read(resp, s.response_deadline());
        const unsigned int acked = s.ack(0);
        if (read != SE_OK)
            return s.missed(read);
        if (unsigned int e = s.check(resp, req, nullptr))
            return e;
        // The terminal answers "3" FS when it refuses the account.
        if (resp.at(6) == '3' && resp.at(7) == FS)
            return static_cast<unsigned int>(SE_REPLY3);
        Sleep(POS_SERVICE_PAUSE_MS);
        ecr_parse_crd_response(resp.data, resp.len, report);  // its status is not reported
        return acked;
    });
}

unsigned int pos_discount_init_ex(void* handle, _ecr_discount_info* info)
{
    PosHandle* h = static_cast<PosHandle*>(handle);
    if (!h || !h->transport || !info)
        return SE_PARAM;
    const char* who = __func__;
    return pos_guard(who, [&] {
        PosSession s(h, who);
        s.begin();
        PosMsg req, resp;
        const unsigned int built = ecr_build_discount_ex_card_request(req.data, &req.len);
        if (unsigned int e = s.built(built, "ecr_build_discount_ex_card_request"))
            return e;
        if (unsigned int e = s.ask(req, resp, " parse message error! Return SE_SYNTAX"))
            return e;
        const unsigned int acked = s.ack(POS_SERVICE_PAUSE_MS);
        if (unsigned int e = s.built(ecr_parse_disc_response(resp.data, resp.len, info), "ecr_parse_disc_response"))
            return e;
        return acked;
    });
}
