// Message layout primitives: field cutting, zero tests, header-only requests,
// the interrupt answer check and the table of operation codes.
#include "protocol/message.h"

#include "protocol/operation_table.h"

#include <cctype>
#include <cstring>

namespace {

// Ordinary scratch area of the response decoders.
const unsigned int kFieldScratchSize = 256;

// The names of the operation table.  Nothing writes through the pointers the
// map hands out.
std::map<int, char*> operation_names()
{
    std::map<int, char*> names;
    unsigned int count = 0;
    const OpRow* rows = op_rows(&count);
    for (unsigned int i = 0; i < count; ++i)
        names.emplace(rows[i].code, const_cast<char*>(rows[i].name));
    return names;
}

}  // namespace

// Operation 6 is logged as "REF" although its request is "PPD10.".
std::map<int, char*> g_TransactionsMap = operation_names();

const char* transaction_name(int op)
{
    std::map<int, char*>::const_iterator it = g_TransactionsMap.find(op);
    return it == g_TransactionsMap.end() ? "UNKNOWN" : it->second;
}

unsigned int cut_next_field_n(unsigned char** cursor, unsigned int* remaining, unsigned char* out,
                              unsigned int out_size, unsigned int* out_len)
{
    if (out == nullptr)
        return SE_PARAM;
    unsigned char* field = nullptr;
    unsigned int n = 0;
    bool at_separator = false;
    const unsigned int st = locate_next_field(cursor, remaining, out_size, &field, &n, &at_separator);
    if (st != SE_OK)
        return st;
    std::memcpy(out, field, n);
    if (at_separator && out_len != nullptr)
        *out_len = n;
    return SE_OK;
}

unsigned int cut_next_field(unsigned char** cursor, unsigned int* remaining, unsigned char* out,
                            unsigned int* out_len)
{
    return cut_next_field_n(cursor, remaining, out, kFieldScratchSize, out_len);
}

unsigned int TestNULL(unsigned char* buf, unsigned int len)
{
    if (buf == nullptr)
        return SE_PARAM;
    for (unsigned int i = 0; i < len; ++i) {
        if (buf[i] != 0)
            return SE_OK;
    }
    return SE_EMPTY;
}

unsigned int build_request_header(unsigned char* buf, unsigned int* len, char* header)
{
    if (buf == nullptr || len == nullptr || header == nullptr)
        return SE_PARAM;
    std::memset(buf, 0, POS_MAX_MESSAGE);
    // The header is six characters; a shorter text leaves zero bytes in its place.
    std::memcpy(buf, header, strnlen(header, 6));
    buf[6] = FS;
    *len = 7;
    return SE_OK;
}

unsigned int parse_response_interrupt(unsigned char* buf, unsigned int len)
{
    if (buf == nullptr)
        return SE_PARAM;
    if (len < 8)
        return SE_SYNTAX;
    static const char expected[] = "IRT11.";
    for (int i = 0; i < 6; ++i) {
        if (std::toupper(buf[i]) != expected[i])
            return SE_SYNTAX;
    }
    return SE_OK;
}

bool same_text_nocase(const unsigned char* a, const char* b, unsigned int n)
{
    for (unsigned int i = 0; i < n; ++i) {
        if (std::tolower(a[i]) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}
