// Fuzzes field cutting: the payload sits in an exact-size heap buffer and
// every field is cut into an exact-size output area, so any read or write
// out of bounds is caught.  The first byte picks the output size of the
// sized form; the exported form always uses 256 bytes.
#include <cstdint>
#include <cstring>
#include <memory>

#include "protocol/message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const unsigned int out_size = data[0];
    ++data;
    --size;
    std::unique_ptr<unsigned char[]> buf(new unsigned char[size ? size : 1]);
    if (size != 0)
        std::memcpy(buf.get(), data, size);
    std::unique_ptr<unsigned char[]> small(new unsigned char[out_size ? out_size : 1]);
    std::unique_ptr<unsigned char[]> ordinary(new unsigned char[256]);

    unsigned char* pos = buf.get();
    unsigned int left = static_cast<unsigned int>(size);
    for (unsigned int round = 0;; ++round) {
        unsigned char* before = pos;
        unsigned int left_before = left;
        unsigned int n = 0xFFFFFFFFu;
        unsigned int st = (round & 1) ? cut_next_field_n(&pos, &left, small.get(), out_size, &n)
                                      : cut_next_field(&pos, &left, ordinary.get(), &n);
        if (st != SE_OK) {
            // A refused cut consumes nothing.
            if (pos != before || left != left_before || (st != SE_PARAM && st != SE_SIZE))
                __builtin_trap();
            if (st == SE_SIZE) {  // skip the over-long field and go on
                const void* sep = std::memchr(pos, 0x1C, left);
                if (sep == nullptr)
                    break;
                unsigned int skip = static_cast<unsigned int>(static_cast<const unsigned char*>(sep) - pos) + 1;
                pos += skip;
                left -= skip;
                continue;
            }
            break;
        }
        const unsigned int used = static_cast<unsigned int>(pos - before);
        if (used == 0 || used > left_before || left != left_before - used || pos > buf.get() + size)
            __builtin_trap();
        if (n != 0xFFFFFFFFu && (n + 1 != used || pos[-1] != 0x1C))
            __builtin_trap();
        if (n == 0xFFFFFFFFu && left != 0)
            __builtin_trap();
    }
    return 0;
}
