// Terminal software name / information texts ("GNS", "INF", "INM") and the
// terminal serial number ("TSN").
#include "protocol/terminal_info.h"

#include <cstring>

#include "Logging/log.h"
#include "protocol/service_fields.h"

namespace {

// Room the caller's text buffer has, terminator included.
constexpr unsigned int kTextRoom = 256;

const char* info_header(tagGetInfoType kind)
{
    switch (kind) {
    case GIT_INF: return "INF10.";
    case GIT_INM: return "INM10.";
    default: return "GNS10.";
    }
}

// Copy the first field after the header into text (bounded, terminated);
// nothing is written when the response carries no field.
unsigned int copy_text_field(unsigned char* message, unsigned int length, char* text)
{
    unsigned char field[SVC_SCRATCH];
    unsigned int n = 0;
    const unsigned int cut = svc_cut_first(message, length, field, &n);
    if (cut == SE_SIZE)
        return SE_SIZE;
    if (cut != SE_OK)
        return SE_OK;
    if (n > kTextRoom - 1)
        n = kTextRoom - 1;
    std::memcpy(text, field, n);
    text[n] = '\0';
    return SE_OK;
}

}  // namespace

unsigned int ecr_build_get_name_software(unsigned char* buffer, unsigned int* length, tagGetInfoType kind)
{
    return svc_header_request(buffer, length, info_header(kind));
}

unsigned int ecr_build_get_serial_number(unsigned char* buffer, unsigned int* length)
{
    return svc_header_request(buffer, length, "TSN10.");
}

unsigned int ecr_parse_getNameSoftware_response(unsigned char* message, unsigned int length, char* text)
{
    if (!message || !text)
        return SE_PARAM;
    if (length < 8)
        return SE_SYNTAX;
    if (!svc_head(message, "GNS", "11.") && !svc_head(message, "INF", "11.") && !svc_head(message, "INM", "11."))
        return SE_SYNTAX;
    return copy_text_field(message, length, text);
}

unsigned int ecr_parse_TSN_response(unsigned char* message, unsigned int length, char* text)
{
    if (!message || !text)
        return SE_PARAM;
    if (length < 8)
        return SE_SYNTAX;
    if (!svc_head(message, "TSN", "11."))
        return SE_SYNTAX;
    return copy_text_field(message, length, text);
}

unsigned int pos_get_name_software(void* handle, char* text, tagGetInfoType kind)
{
    PosHandle* h = static_cast<PosHandle*>(handle);
    if (!h || !h->transport || !text)
        return SE_PARAM;
    const char* who = __func__;
    return pos_guard(who, [&] {
        PosSession s(h, who);
        s.begin();
        PosMsg req, resp;
        const unsigned int built = ecr_build_get_name_software(req.data, &req.len, kind);
        if (unsigned int e = s.built(built, "ecr_build_get_name_software"))
            return e;
        if (unsigned int e = s.ask(req, resp))
            return e;
        const unsigned int acked = s.ack(POS_SERVICE_PAUSE_MS);
        ecr_parse_getNameSoftware_response(resp.data, resp.len, text);  // its status is not reported
        return acked;
    });
}

unsigned int pos_get_serial_number(void* handle, char* text)
{
    PosHandle* h = static_cast<PosHandle*>(handle);
    if (!h || !h->transport || !text)
        return SE_PARAM;
    const char* who = __func__;
    return pos_guard(who, [&] {
        PosSession s(h, who);
        s.note_attempts("for []");
        s.begin();
        PosMsg req, resp;
        if (unsigned int e = s.built(ecr_build_get_serial_number(req.data, &req.len), "ecr_build_get_serial_number"))
            return e;
        if (unsigned int e = s.ask(req, resp))
            return e;
        const unsigned int acked = s.ack(POS_SERVICE_PAUSE_MS);
        ecr_parse_TSN_response(resp.data, resp.len, text);  // its status is not reported
        return acked;
    });
}
