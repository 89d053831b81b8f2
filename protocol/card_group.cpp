// Card group request ("GGP" / "GRC") and the cancel of the group completion
// ("CNL").
#include "protocol/card_group.h"

#include <cstring>

#include "Logging/log.h"
#include "protocol/service_fields.h"

namespace {

constexpr unsigned int kGroupNameMax = sizeof(_ecr_mread_report::nameGroup);

}  // namespace

unsigned int ecr_build_get_group(unsigned char* buffer, unsigned int* length, const char* code)
{
    if (!buffer || !length || !code)
        return SE_PARAM;
    std::memset(buffer, 0, POS_MAX_MESSAGE);
    std::memcpy(buffer, code, strnlen(code, 3));
    std::memcpy(buffer + 3, "10.", 3);
    buffer[6] = FS;
    *length = 7;
    return SE_OK;
}

unsigned int ecr_build_cancel_get_group_completion(unsigned char* buffer, unsigned int* length)
{
    return svc_header_request(buffer, length, "CNL10.");
}

unsigned int ecr_parse_getgroup_response(unsigned char* message, unsigned int length, _ecr_mread_report* report)
{
    if (!message || !report)
        return SE_PARAM;
    if (length < 8)
        return SE_SYNTAX;
    std::memset(report, 0, sizeof(*report));
    if (!svc_head(message, "GGP", "11.") && !svc_head(message, "GRC", "11."))
        return SE_SYNTAX;

    unsigned char* cursor = message + 6;
    unsigned int remaining = length - 6;
    unsigned char field[SVC_SCRATCH];
    unsigned int n = 0;
    const unsigned int cut = svc_cut(&cursor, &remaining, field, &n);
    if (cut == SE_SIZE) {
        const void* sep = std::memchr(cursor, FS, remaining);
        n = sep ? static_cast<unsigned int>(static_cast<const unsigned char*>(sep) - cursor) : remaining;
        LOGREC(LOG_ERROR) << " Incorrect field size nameGroup [" << n << "]";
        return SE_SIZE;
    }
    if (cut != SE_OK)
        return SE_OK;
    if (n > kGroupNameMax) {
        LOGREC(LOG_ERROR) << " Incorrect field size nameGroup [" << n << "]";
        return SE_SIZE;
    }
    std::memcpy(report->nameGroup, field, n);
    return SE_OK;
}

unsigned int pos_get_group(void* handle, _ecr_mread_report* report, const char* code)
{
    PosHandle* h = static_cast<PosHandle*>(handle);
    if (!h || !h->transport || !report || !code)
        return SE_PARAM;
    const char* who = __func__;
    return pos_guard(who, [&] {
        PosSession s(h, who);
        s.begin();
        PosMsg req, resp;
        if (unsigned int e = s.built(ecr_build_get_group(req.data, &req.len, code), "ecr_build_get_group"))
            return e;
        if (unsigned int e = s.ask(req, resp))
            return e;
        const unsigned int acked = s.ack(POS_SERVICE_PAUSE_MS);
        ecr_parse_getgroup_response(resp.data, resp.len, report);  // its status is not reported
        return acked;
    });
}

unsigned int pos_cancel_get_group_completion(void* handle)
{
    PosHandle* h = static_cast<PosHandle*>(handle);
    if (!h || !h->transport)
        return SE_PARAM;
    const char* who = __func__;
    return pos_guard(who, [&] {
        PosSession s(h, who);
        s.begin();
        PosMsg req, resp;
        const unsigned int built = ecr_build_cancel_get_group_completion(req.data, &req.len);
        if (unsigned int e = s.built(built, "ecr_build_cancel_get_group_completion"))
            return e;
        if (unsigned int e = s.ask(req, resp))
            return e;
        return s.ack(POS_SERVICE_PAUSE_MS);
    });
}
