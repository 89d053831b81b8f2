// Hex dumps of protocol buffers for the log.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "Logging/log.h"
#include "Logging/redact.h"

namespace el {

std::string hex_dump(const void* data, unsigned int size, unsigned int per_line)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out = "\n";
    if (data == nullptr)
        size = 0;
    if (per_line == 0)
        per_line = 16;
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    // Offset, " | ", 3 per byte, blank, 1 per byte, blank, line end.
    out.reserve(2 + (size / per_line + 1) * (16 + 4 * per_line));
    for (unsigned int start = 0; start < size; start += per_line) {
        unsigned int count = size - start < per_line ? size - start : per_line;
        char offset[16];
        int n = std::snprintf(offset, sizeof offset, "%03X", start);
        out.append(offset, n > 0 ? static_cast<std::size_t>(n) : 0);
        out += " | ";
        for (unsigned int i = 0; i < count; ++i) {
            if (i != 0)
                out += ' ';
            out += kHex[bytes[start + i] >> 4];
            out += kHex[bytes[start + i] & 0x0F];
        }
        out.append(3u * (per_line - count), ' ');
        out += ' ';
        for (unsigned int i = 0; i < count; ++i) {
            unsigned char c = bytes[start + i];
            out += (c >= 0x20 && c <= 0x7F) ? static_cast<char>(c) : '.';
        }
        out += " \n";
    }
    out += "\n";
    return out;
}

void dbdump(const void* data, unsigned int size, std::string label)
{
    try {
        // The listing is made from a copy with the card data masked; the
        // header still names the caller's buffer and its size.
        unsigned char local[512];
        std::string large;
        unsigned char* copy = local;
        if (size > sizeof local) {
            large.resize(size);
            copy = reinterpret_cast<unsigned char*>(&large[0]);
        }
        if (data != nullptr && size != 0)
            std::memcpy(copy, data, size);
        redact_dump(copy, data != nullptr ? size : 0);
        char address[2 * sizeof(std::uintptr_t) + 1];
        std::snprintf(address, sizeof address, "%jX",
                      static_cast<std::uintmax_t>(reinterpret_cast<std::uintptr_t>(data)));
        std::string text = "HEX DUMP: Buffer address = 0x";
        text += address;
        text += ", size = " + std::to_string(size) + ", function: [" + label + "]\n";
        text += hex_dump(data != nullptr ? copy : nullptr, size, 16);
        Write(std::move(text));
    } catch (...) {
        // A dump that cannot be built is lost; the exchange goes on.
    }
}

}  // namespace el
