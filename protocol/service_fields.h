// Field helpers shared by the service-exchange builders and decoders.
#pragma once
#include <cstring>

#include "protocol/message.h"
#include "protocol/pos_session.h"

// Scratch area into which one response field is cut.
constexpr unsigned int SVC_SCRATCH = 256;

// Cut the next field into scratch (zeroed first, SVC_SCRATCH bytes) and give its
// length, also for a last field that ends without a separator.  SE_PARAM when
// nothing is left; SE_SIZE for a field longer than the scratch area (nothing
// consumed).
inline unsigned int svc_cut(unsigned char** cursor, unsigned int* remaining, unsigned char* scratch,
                            unsigned int* field_len)
{
    std::memset(scratch, 0, SVC_SCRATCH);
    const unsigned int before = remaining ? *remaining : 0;
    unsigned int at_separator = 0xFFFFFFFFu;
    const unsigned int st = cut_next_field_n(cursor, remaining, scratch, SVC_SCRATCH, &at_separator);
    if (st != SE_OK)
        return st;
    *field_len = at_separator != 0xFFFFFFFFu ? at_separator : before - *remaining;
    return SE_OK;
}

// The message starts with code (3 characters) and number (3 characters, e.g.
// "11."), case ignored; the caller has checked that len >= 6.
inline bool svc_head(const unsigned char* message, const char* code, const char* number)
{
    return same_text_nocase(message, code, 3) && same_text_nocase(message + 3, number, 3);
}

// Cut the first field after the six header characters of a response (the
// caller has checked that length >= 6); statuses as svc_cut.
inline unsigned int svc_cut_first(unsigned char* message, unsigned int length, unsigned char* scratch,
                                  unsigned int* field_len)
{
    unsigned char* cursor = message + 6;
    unsigned int remaining = length - 6;
    return svc_cut(&cursor, &remaining, scratch, field_len);
}

// Zero the request buffer and write the six header characters.
inline void svc_begin(unsigned char* buffer, const char* header)
{
    std::memset(buffer, 0, POS_MAX_MESSAGE);
    std::memcpy(buffer, header, 6);
}

// A request of the header and one separator: seven bytes.
inline unsigned int svc_header_request(unsigned char* buffer, unsigned int* length, const char* header)
{
    if (!buffer || !length)
        return SE_PARAM;
    svc_begin(buffer, header);
    buffer[6] = FS;
    *length = 7;
    return SE_OK;
}
