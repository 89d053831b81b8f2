// Message layout primitives shared by every builder and decoder, and the
// table of operation codes.
#pragma once
#include <cstring>
#include <map>

#include "ecrbridge.h"
#include "protocol/status.h"
#include "protocol/wire.h"

// Operation code -> three-letter name, filled once at load from the
// operation table (logging only).
extern std::map<int, char*> g_TransactionsMap;
// Name of an operation code, or "UNKNOWN".
const char* transaction_name(int op);

// Copy the next field (up to 0x1C or the end of the unread bytes) into out and
// move the cursor past it.  *out_len (optional) gets the field length when the
// field ended at a separator.  SE_PARAM for null arguments or nothing left to
// read.  The exported form bounds the copy at 256 bytes (the ordinary scratch
// area); a longer field is refused with SE_SIZE and nothing is consumed.
ECRBRIDGE_API unsigned int cut_next_field(unsigned char** cursor, unsigned int* remaining, unsigned char* out,
                                          unsigned int* out_len);
// The same with the size of the output area given.
unsigned int cut_next_field_n(unsigned char** cursor, unsigned int* remaining, unsigned char* out,
                              unsigned int out_size, unsigned int* out_len);
// The same without the copy: *field points at the field's max_len bytes or
// fewer in the payload, *at_separator tells whether a separator ended it.
inline unsigned int locate_next_field(unsigned char** cursor, unsigned int* remaining, unsigned int max_len,
                                      unsigned char** field, unsigned int* field_len, bool* at_separator)
{
    if (cursor == nullptr || remaining == nullptr || *cursor == nullptr || *remaining == 0)
        return SE_PARAM;

    unsigned char* start = *cursor;
    const unsigned int avail = *remaining;
    const void* sep = std::memchr(start, FS, avail);
    if (sep == nullptr) {
        // The last field of the payload: it runs to the end of the unread bytes.
        if (avail > max_len)
            return SE_SIZE;
        *field = start;
        *field_len = avail;
        *at_separator = false;
        *cursor = start + avail;
        *remaining = 0;
        return SE_OK;
    }
    const unsigned int k = static_cast<unsigned int>(static_cast<const unsigned char*>(sep) - start);
    if (k > max_len)
        return SE_SIZE;
    *field = start;
    *field_len = k;
    *at_separator = true;
    *cursor = start + k + 1;
    *remaining = avail - (k + 1);
    return SE_OK;
}
// The n characters of a and b are equal, letter case ignored.
bool same_text_nocase(const unsigned char* a, const char* b, unsigned int n);
// SE_EMPTY when all len bytes are zero (or len is 0), else SE_OK.
ECRBRIDGE_API unsigned int TestNULL(unsigned char* buf, unsigned int len);
// Six-character header plus 0x1C (7 bytes) in a zeroed 16384-byte buffer.
ECRBRIDGE_API unsigned int build_request_header(unsigned char* buf, unsigned int* len, char* header);
// Accepts "IRT11." (case ignored) of at least 8 bytes.
ECRBRIDGE_API unsigned int parse_response_interrupt(unsigned char* buf, unsigned int len);
