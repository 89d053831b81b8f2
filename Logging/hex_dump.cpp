// Hex dumps of protocol buffers for the log.
//
// A dump is formatted straight into one buffer of its exact final length and
// queued with one call: on the stack for the buffers of an ordinary exchange,
// in a buffer kept for the purpose for larger ones, so that no dump costs a
// heap allocation once that buffer has grown.
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "Logging/log.h"
#include "Logging/log_internal.h"
#include "Logging/redact.h"

namespace el {

namespace {

const char kHex[] = "0123456789ABCDEF";

// Upper-case hexadecimal digits of value, at least min_digits of them.
unsigned hex_digits(std::uintmax_t value, unsigned min_digits)
{
    unsigned n = 1;
    while (n < 2 * sizeof value && (value >> (4 * n)) != 0)
        ++n;
    return n < min_digits ? min_digits : n;
}

char* put_hex(char* out, std::uintmax_t value, unsigned digits)
{
    for (unsigned k = digits; k-- > 0;) {
        out[k] = kHex[value & 0x0F];
        value >>= 4;
    }
    return out + digits;
}

unsigned decimal_digits(unsigned value)
{
    unsigned n = 1;
    while (value >= 10) {
        value /= 10;
        ++n;
    }
    return n;
}

char* put_decimal(char* out, unsigned value, unsigned digits)
{
    for (unsigned k = digits; k-- > 0;) {
        out[k] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return out + digits;
}

char* put(char* out, const char* text, std::size_t n)
{
    std::memcpy(out, text, n);
    return out + n;
}

// Length of the listing of size bytes, per_line a line: "\n", each line
// (offset, " | ", 3 per byte less one, blank, 1 per byte, blank, line end;
// a short last line padded to the full hex column) and "\n".
std::size_t listing_size(unsigned size, unsigned per_line)
{
    std::size_t total = 2;
    for (unsigned start = 0; start < size; start += per_line) {
        const unsigned count = size - start < per_line ? size - start : per_line;
        total += hex_digits(start, 3) + 3 + (3u * per_line - 1) + 1 + count + 2;
        if (size - start <= per_line)
            break;  // (start += per_line could wrap at the top of the range)
    }
    return total;
}

char* put_listing(char* out, const unsigned char* bytes, unsigned size, unsigned per_line)
{
    *out++ = '\n';
    for (unsigned start = 0; start < size; start += per_line) {
        const unsigned count = size - start < per_line ? size - start : per_line;
        const unsigned char* line = bytes + start;
        out = put_hex(out, start, hex_digits(start, 3));
        out = put(out, " | ", 3);
        for (unsigned i = 0; i < count; ++i) {
            out[0] = kHex[line[i] >> 4];
            out[1] = kHex[line[i] & 0x0F];
            out[2] = ' ';
            out += 3;
        }
        // The blank after the last byte, the padding of a short line and
        // the blank before the characters.
        --out;
        std::memset(out, ' ', 3u * (per_line - count) + 1);
        out += 3u * (per_line - count) + 1;
        for (unsigned i = 0; i < count; ++i)
            out[i] = (line[i] >= 0x20 && line[i] <= 0x7F) ? static_cast<char>(line[i]) : '.';
        out += count;
        out = put(out, " \n", 2);
        if (size - start <= per_line)
            break;
    }
    *out++ = '\n';
    return out;
}

const char kHeadAddress[] = "HEX DUMP: Buffer address = 0x";
const char kHeadSize[] = ", size = ";
const char kHeadLabel[] = ", function: [";
const char kHeadEnd[] = "]\n";

// The dumps of an ordinary exchange's buffers are built on the stack.
constexpr unsigned kStackBytes = 1024;
constexpr std::size_t kStackText = 5 * 1024;

// Room for larger dumps, made once and never given back (a thread may still
// dump while the process exits); such dumps take turns on it.
struct LargeDumpRoom {
    std::mutex lock;
    std::vector<unsigned char> copy;
    std::vector<char> text;
};

LargeDumpRoom& large_room()
{
    static LargeDumpRoom* const room = new LargeDumpRoom;
    return *room;
}

// Header and listing of the listed bytes at data, masked in copy (room for
// them), into text (room for the whole block); queued.
void build_and_queue(const void* data, unsigned size, const char* label, std::size_t label_size, DumpAs as,
                     unsigned listed, unsigned address_digits, unsigned size_digits, unsigned char* copy, char* text)
{
    if (listed != 0)
        std::memcpy(copy, data, listed);
    redact_for_dump(copy, listed, as);
    const std::uintmax_t address = reinterpret_cast<std::uintptr_t>(data);
    char* out = text;
    out = put(out, kHeadAddress, sizeof kHeadAddress - 1);
    out = put_hex(out, address, address_digits);
    out = put(out, kHeadSize, sizeof kHeadSize - 1);
    out = put_decimal(out, size, size_digits);
    out = put(out, kHeadLabel, sizeof kHeadLabel - 1);
    out = put(out, label, label_size);
    out = put(out, kHeadEnd, sizeof kHeadEnd - 1);
    out = put_listing(out, copy, listed, 16);
    detail::WriteText(text, static_cast<std::size_t>(out - text));
}

void dump(const void* data, unsigned int size, const char* label, std::size_t label_size, DumpAs as)
{
    try {
        // The listing is made from a copy with the card data masked; the
        // header still names the caller's buffer and its size.
        const unsigned listed = data != nullptr ? size : 0;
        const unsigned address_digits = hex_digits(reinterpret_cast<std::uintptr_t>(data), 1);
        const unsigned size_digits = decimal_digits(size);
        const std::size_t text_size = (sizeof kHeadAddress - 1) + address_digits + (sizeof kHeadSize - 1) +
                                      size_digits + (sizeof kHeadLabel - 1) + label_size + (sizeof kHeadEnd - 1) +
                                      listing_size(listed, 16);
        if (listed <= kStackBytes && text_size <= kStackText) {
            unsigned char copy[kStackBytes];
            char text[kStackText];
            build_and_queue(data, size, label, label_size, as, listed, address_digits, size_digits, copy, text);
            return;
        }
        LargeDumpRoom& room = large_room();
        std::lock_guard<std::mutex> turn(room.lock);
        if (room.copy.size() < listed)
            room.copy.resize(listed);
        if (room.text.size() < text_size)
            room.text.resize(text_size);
        build_and_queue(data, size, label, label_size, as, listed, address_digits, size_digits, room.copy.data(),
                        room.text.data());
    } catch (...) {
        // A dump that cannot be built is lost; the exchange goes on.
    }
}

}  // namespace

std::string hex_dump(const void* data, unsigned int size, unsigned int per_line)
{
    if (data == nullptr)
        size = 0;
    if (per_line == 0)
        per_line = 16;
    std::string out(listing_size(size, per_line), '\0');
    put_listing(&out[0], static_cast<const unsigned char*>(data), size, per_line);
    return out;
}

void dbdump(const void* data, unsigned int size, std::string label)
{
    dump(data, size, label.data(), label.size(), dump_as_for_label(label.c_str()));
}

void dbdump(const void* data, unsigned int size, const char* label)
{
    if (label == nullptr)
        label = "";
    dump(data, size, label, std::strlen(label), dump_as_for_label(label));
}

void dbdump_message(const void* data, unsigned int size, const char* label)
{
    if (label == nullptr)
        label = "";
    dump(data, size, label, std::strlen(label), DumpAs::Message);
}

}  // namespace el
