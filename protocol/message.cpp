// Message layout primitives: field cutting, zero tests, header-only requests,
// the interrupt answer check and the table of operation codes.
#include "protocol/message.h"

#include <cctype>
#include <cstring>

namespace {

const unsigned int kRequestBufferSize = 16384;
// Ordinary scratch area of the response decoders.
const unsigned int kFieldScratchSize = 256;

// The table hands out mutable pointers, so the names live in arrays of their own.
char n_PUR[] = "PUR", n_REF[] = "REF", n_DIN[] = "DIN", n_DSC[] = "DSC", n_STL[] = "STL", n_VOD[] = "VOD",
     n_RDC[] = "RDC", n_CTR[] = "CTR", n_AUH[] = "AUH", n_AHF[] = "AHF", n_PCC[] = "PCC", n_SLR[] = "SLR",
     n_SEP[] = "SEP", n_AFC[] = "AFC", n_PIR[] = "PIR", n_RFI[] = "RFI", n_PVD[] = "PVD", n_OFN[] = "OFN",
     n_LRW[] = "LRW", n_LRD[] = "LRD", n_LWV[] = "LWV", n_LDV[] = "LDV", n_LWR[] = "LWR", n_LDR[] = "LDR",
     n_LGO[] = "LGO", n_DCR[] = "DCR", n_CID[] = "CID", n_RFC[] = "RFC", n_XRP[] = "XRP", n_ACR[] = "ACR",
     n_APP[] = "APP", n_CSH[] = "CSH", n_CRC[] = "CRC", n_BAL[] = "BAL", n_SLO[] = "SLO", n_ECH[] = "ECH",
     n_IFC[] = "IFC", n_IFN[] = "IFN", n_SRC[] = "SRC", n_PNG[] = "PNG", n_CAS[] = "CAS", n_PST[] = "PST",
     n_ACC[] = "ACC", n_VID[] = "VID";

}  // namespace

// Operation 6 is logged as "REF" although its request is "PPD10.".
std::map<int, char*> g_TransactionsMap = {
    {1, n_PUR},  {2, n_REF},  {4, n_DIN},  {5, n_DSC},  {6, n_REF},  {7, n_STL},  {8, n_VOD},  {9, n_RDC},
    {10, n_CTR}, {11, n_AUH}, {12, n_AHF}, {14, n_PCC}, {15, n_SLR}, {16, n_SEP}, {17, n_AFC}, {18, n_PIR},
    {19, n_RFI}, {20, n_PVD}, {21, n_OFN}, {22, n_LRW}, {23, n_LRD}, {24, n_LWV}, {25, n_LDV}, {26, n_LWR},
    {27, n_LDR}, {28, n_LGO}, {29, n_DCR}, {30, n_CID}, {31, n_RFC}, {32, n_XRP}, {33, n_ACR}, {34, n_APP},
    {35, n_CSH}, {36, n_CRC}, {37, n_BAL}, {38, n_SLO}, {39, n_ECH}, {40, n_IFC}, {41, n_IFN}, {42, n_SRC},
    {43, n_PNG}, {44, n_CAS}, {45, n_PST}, {46, n_ACC}, {47, n_VID},
};

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
    std::memset(buf, 0, kRequestBufferSize);
    // The header is six characters; a shorter text leaves zero bytes in its place.
    std::memcpy(buf, header, strnlen(header, 6));
    buf[6] = kFieldSeparator;
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
