// Card group request ("GGP" / "GRC") and the cancel of the group completion
// ("CNL").
#include "protocol/card_group.h"

#include <cstring>

#include "Logging/log.h"
#include "protocol/service_fields.h"

namespace {

constexpr unsigned int kGroupNameMax = sizeof(_ecr_mread_report::nameGroup);

unsigned int build_group(unsigned char* buf, unsigned int* len, const void* ctx)
{
    return ecr_build_get_group(buf, len, static_cast<const char*>(ctx));
}

unsigned int build_cancel(unsigned char* buf, unsigned int* len, const void*)
{
    return ecr_build_cancel_get_group_completion(buf, len);
}

unsigned int decode_group(unsigned char* msg, unsigned int len, void* out)
{
    return ecr_parse_getgroup_response(msg, len, static_cast<_ecr_mread_report*>(out));
}

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
    if (!handle || !report || !code)
        return SE_PARAM;
    SingleExchange ex;
    ex.caller = __func__;
    ex.build = build_group;
    ex.build_ctx = code;
    ex.builder_name = "ecr_build_get_group";
    ex.decode = decode_group;
    ex.decode_out = report;
    return pos_single_exchange(handle, ex);
}

unsigned int pos_cancel_get_group_completion(void* handle)
{
    if (!handle)
        return SE_PARAM;
    SingleExchange ex;
    ex.caller = __func__;
    ex.build = build_cancel;
    ex.builder_name = "ecr_build_cancel_get_group_completion";
    return pos_single_exchange(handle, ex);
}
