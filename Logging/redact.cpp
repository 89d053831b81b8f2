// Masking of card data in dumps, records and tool output.
#include "Logging/redact.h"

#include <cstring>

namespace el {

namespace {

constexpr unsigned char kStx = 0x02;
constexpr unsigned char kEtx = 0x03;
constexpr char kFs = 0x1C;
constexpr std::size_t kHeader = 6;

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

bool is_alnum(char c)
{
    const char lower = static_cast<char>(c | 0x20);
    return is_digit(c) || (lower >= 'a' && lower <= 'z');
}

void fill(char* p, std::size_t n)
{
    std::memset(p, '*', n);
}

// What becomes of one field of a known layout.
enum class Act { Scan, Pan, All, Keep };

// Field indexes count from 0 at the first field after the header.
struct Layout {
    int pan[2] = {-1, -1};
    int all_first = -1, all_last = -1;  // track data, PIN result: every character '*'
    int expiry = -1;                    // expiry and cardholder name: every character '*'
    int card_text = -1;                 // the card text (terminals put the holder's name there): '*'
    int keep[2] = {-1, -1};             // structured fields (dates, processing codes, hash): as they are

    Act act(int i) const
    {
        if (i == pan[0] || i == pan[1])
            return Act::Pan;
        if ((i >= all_first && i <= all_last && all_first >= 0) || i == expiry || i == card_text)
            return Act::All;
        if (i == keep[0] || i == keep[1])
            return Act::Keep;
        return Act::Scan;
    }
};

bool code_in(const char* code, const char* const* list)
{
    for (; *list != nullptr; ++list)
        if (std::memcmp(code, *list, 3) == 0)
            return true;
    return false;
}

const char* const kTransactionCodes[] = {"PUR", "REF", "DSC", "PPD", "STL", "VOD", "RDC", "CTR", "AUH", "AHF", "PCC",
                                         "SLR", "SEP", "SRC", "AFC", "PIR", "RFI", "PVD", "OFN", "LRW", "LRD", "LWV",
                                         "LDV", "LWR", "LDR", "LGO", "CID", "RFC", "XRP", "CSH", "CRC", "BAL", "ECH",
                                         "SLO", "IFC", "IFN", "PNG", "PST", "ACC", "VID", nullptr};
const char* const kLoyaltyCodes[] = {"LRW", "LRD", "LWV", "LDV", "LWR", "LDR", nullptr};
const char* const kStoredCodes[] = {"GTS", "GTL", "GTI", nullptr};
const char* const kCardReadCodes[] = {"CRD", "ACR", "DCR", "DSC", "GRC", nullptr};
// Requests in the common layout: amounts, then the card block whose fields
// 6 to 8 are the three tracks.
const char* const kCommonRequestCodes[] = {"PUR", "REF", "DSC", "AUH", "AHF", "PCC", "AFC", "PIR",
                                           "RFI", "OFN", "RFC", "CSH", "CRC", "BAL", "ACC", "VID", nullptr};
// Service messages: requests and answers whose layout holds no card data
// (those that do are matched to their layouts first), and the terminal's
// text messages (free text, scanned).  Transaction messages outside the
// card layouts (notices, the multi-currency settlement, requests outside
// the common layout) hold none either.
const char* const kServiceCodes[] = {"CRD", "DCR", "ACR", "APP", "DIN", "AUD", "GRC", "GGP", "CNL", "GNS",
                                     "INF", "INM", "TSN", "GTC", "GTS", "GTL", "GTI", "GSI", "NDX", "IRT",
                                     "SMS", nullptr};

// The fail-closed rule can be switched off in a test build only, to show
// what it catches.
bool g_fail_closed = true;

// The standard field sequence of a transaction response with the card
// number at field pan.  Every other field is free of card data by layout but
// still scanned, the structured ones excepted.
Layout standard_response(int pan)
{
    Layout l;
    l.pan[0] = pan;
    l.expiry = pan + 1;
    l.card_text = pan + 2;
    l.keep[0] = pan + 3;  // invoice, approval code, date and issuer
    l.keep[1] = pan + 5;  // processing data
    return l;
}

bool response_layout(const char* code, const char* num, Layout* out)
{
    const bool final_number = std::memcmp(num, "12", 2) == 0 || std::memcmp(num, "14", 2) == 0 ||
                              std::memcmp(num, "15", 2) == 0 || std::memcmp(num, "16", 2) == 0;
    if (final_number && code_in(code, kTransactionCodes)) {
        if (std::memcmp(code, "SLO", 3) == 0)
            return false;
        if (std::memcmp(code, "LGO", 3) == 0) {
            out->pan[0] = 5;
        } else if (code_in(code, kLoyaltyCodes)) {
            out->pan[0] = 6;
        } else if (std::memcmp(code, "CID", 3) == 0) {
            *out = standard_response(8);
            out->pan[1] = 1;
        } else {
            *out = standard_response(5);
        }
        return true;
    }
    if (std::memcmp(num, "11", 2) != 0)
        return false;
    if (code_in(code, kStoredCodes)) {
        *out = standard_response(5);
        return true;
    }
    if (code_in(code, kCardReadCodes)) {
        out->all_first = 0;
        out->all_last = 2;
        out->keep[0] = 3;  // the terminal's hash of the card
        return true;
    }
    if (std::memcmp(code, "APP", 3) == 0) {
        out->all_first = out->all_last = 0;
        return true;
    }
    return false;
}

bool request_layout(const char* code, std::size_t fields, Layout* out)
{
    if (fields < 9 || !code_in(code, kCommonRequestCodes))
        return false;
    out->all_first = 6;
    out->all_last = 8;
    return true;
}

// End (exclusive) of a track-1 text starting at from: up to a control byte
// (field separator, line end), the end sentinel '?' included.
std::size_t track1_end(const char* t, std::size_t n, std::size_t from)
{
    std::size_t i = from;
    while (i < n && static_cast<unsigned char>(t[i]) >= 0x20 && t[i] != '?')
        ++i;
    return i < n && t[i] == '?' ? i + 1 : i;
}

void mask_tracks(char* t, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        const char c = t[i];
        // Track 1: "%B..." anywhere, or "B<digits>^" at the start of a word.
        if (c == '%' && i + 1 < n && (t[i + 1] == 'B' || t[i + 1] == 'b')) {
            const std::size_t end = track1_end(t, n, i);
            fill(t + i, end - i);
            i = end - 1;
            continue;
        }
        if ((c == 'B' || c == 'b') && (i == 0 || !is_alnum(t[i - 1]))) {
            std::size_t j = i + 1;
            while (j < n && is_digit(t[j]))
                ++j;
            if (j > i + 1 && j < n && t[j] == '^') {
                const std::size_t end = track1_end(t, n, i);
                fill(t + i, end - i);
                i = end - 1;
                continue;
            }
        }
        // Track 2: "<digits>=<digits>", with its sentinels ';' and '?'.
        if (c == '=' && i > 0 && i + 1 < n && is_digit(t[i - 1]) && is_digit(t[i + 1])) {
            std::size_t start = i;
            while (start > 0 && is_digit(t[start - 1]))
                --start;
            if (start > 0 && t[start - 1] == ';')
                --start;
            std::size_t end = i + 1;
            while (end < n && is_digit(t[end]))
                ++end;
            if (end < n && t[end] == '?')
                ++end;
            fill(t + start, end - start);
            i = end - 1;
        }
    }
}

void mask_card_numbers(char* t, std::size_t n)
{
    std::size_t i = 0;
    while (i < n) {
        if (!is_digit(t[i])) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < n && is_digit(t[j]))
            ++j;
        if (luhn_valid(t + i, j - i))
            mask_pan(t + i, j - i);
        i = j;
    }
}

}  // namespace

bool luhn_valid(const char* digits, std::size_t n)
{
    if (digits == nullptr || n < 13 || n > 19)
        return false;
    unsigned sum = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const char c = digits[n - 1 - k];
        if (!is_digit(c))
            return false;
        unsigned d = static_cast<unsigned>(c - '0');
        if (k % 2 == 1) {
            d *= 2;
            if (d > 9)
                d -= 9;
        }
        sum += d;
    }
    return sum % 10 == 0;
}

void mask_pan(char* pan, std::size_t n)
{
    if (pan == nullptr)
        return;
    const std::size_t front = n >= 13 ? 6 : 0;
    const std::size_t back = n >= 8 ? 4 : 0;
    fill(pan + front, n - front - back);
}

void redact_text(char* text, std::size_t n)
{
    if (text == nullptr)
        return;
    mask_tracks(text, n);
    mask_card_numbers(text, n);
}

void redact_message(char* msg, std::size_t n, bool from_terminal)
{
    if (msg == nullptr)
        return;
    // Code and number; the sixth character is taken as the full stop
    // whatever it is, as the decoders do.
    if (n < kHeader || !is_digit(msg[3]) || !is_digit(msg[4])) {
        mask_closed(reinterpret_cast<unsigned char*>(msg), n);
        return;
    }
    char code[3];
    for (int k = 0; k < 3; ++k) {
        const char c = msg[k];
        code[k] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    Layout layout;
    bool known;
    if (from_terminal) {
        known = response_layout(code, msg + 3, &layout);
    } else {
        std::size_t fields = 1;
        for (std::size_t i = kHeader; i < n; ++i)
            fields += msg[i] == kFs;
        known = request_layout(code, fields, &layout);
    }
    if (!known) {
        // No card fields by layout: a request of the library, a notice, a
        // service message; the messages that carry the card were matched
        // to their layouts above.
        if (code_in(code, kServiceCodes) || code_in(code, kTransactionCodes))
            redact_text(msg, n);
        else
            mask_closed(reinterpret_cast<unsigned char*>(msg), n);
        return;
    }
    std::size_t start = kHeader;
    for (int index = 0; start <= n; ++index) {
        std::size_t end = start;
        while (end < n && msg[end] != kFs)
            ++end;
        char* field = msg + start;
        const std::size_t len = end - start;
        switch (layout.act(index)) {
        case Act::Pan:
            mask_pan(field, len);
            break;
        case Act::All:
            fill(field, len);
            break;
        case Act::Keep:
            break;
        case Act::Scan:
            redact_text(field, len);
            break;
        }
        start = end + 1;
    }
}

void mask_closed(unsigned char* data, std::size_t n)
{
    if (data == nullptr)
        return;
    if (!g_fail_closed) {
        redact_text(reinterpret_cast<char*>(data), n);  // the scan alone (test builds only)
        return;
    }
    // Kept: a header (three letters, two digits and the byte after them) at
    // the start or after an STX, the control bytes (the separator among
    // them), and the byte after an ETX (the check byte).
    std::size_t keep_until = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (i == 0 || data[i - 1] == kStx) {
            std::size_t k = 0;
            while (k < 5 && i + k < n && (k < 3 ? is_alnum(static_cast<char>(data[i + k])) &&
                                                      !is_digit(static_cast<char>(data[i + k]))
                                                : is_digit(static_cast<char>(data[i + k]))))
                ++k;
            if (k == 5)
                keep_until = i + 6;
        }
        const unsigned char c = data[i];
        const bool control = c < 0x20 || c == 0x7F;  // STX, ETX, ACK, NAK, the separator, ...
        if (i < keep_until || control || (i > 0 && data[i - 1] == kEtx))
            continue;
        data[i] = '*';
    }
}

void redact_for_dump(unsigned char* data, std::size_t n, DumpAs as)
{
    if (data == nullptr)
        return;
    char* text = reinterpret_cast<char*>(data);
    switch (as) {
    case DumpAs::Sent:
        // A frame the library writes: its message by the request layouts,
        // the check byte as it was sent; a lone control byte as it is.
        if (n >= 3 && data[0] == kStx && data[n - 2] == kEtx)
            redact_message(text + 1, n - 3, false);
        else
            mask_closed(data, n);
        return;
    case DumpAs::Message:
        redact_message(text, n, true);
        return;
    case DumpAs::Text:
        redact_text(text, n);
        return;
    case DumpAs::Header:
        if (n > kHeader)
            mask_closed(data, n);
        return;
    case DumpAs::Received:
        break;
    }
    mask_closed(data, n);
}

DumpAs dump_as_for_label(const char* label)
{
    if (label == nullptr)
        return DumpAs::Received;
    if (std::strcmp(label, "SEND TO TERMINAL") == 0)
        return DumpAs::Sent;
    if (std::strcmp(label, "Receipt") == 0)
        return DumpAs::Text;
    if (std::strcmp(label, "UNCKNOWN MSG TYPE") == 0 || std::strcmp(label, "UNCKNOWN MSG NUM") == 0)
        return DumpAs::Header;
    return DumpAs::Received;
}

namespace detail {
void set_fail_closed(bool on)
{
    g_fail_closed = on;
}
}  // namespace detail

std::string masked_pan(std::string pan)
{
    mask_pan(&pan[0], pan.size());
    return pan;
}

std::string redacted_text(std::string text)
{
    redact_text(&text[0], text.size());
    return text;
}

std::string masked_all(std::string text)
{
    fill(&text[0], text.size());
    return text;
}

}  // namespace el
