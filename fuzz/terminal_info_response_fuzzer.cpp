// Fuzzes the terminal information and serial number decoders.  The input is
// copied into an exact-size heap buffer so that any read past its end is
// caught, and the text goes into an exact-size 256-byte heap area (the room
// callers give), so that a copy past it is caught too.  The text must be the
// first field, cut to 255 characters and terminated within the area.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_input.h"
#include "protocol/terminal_info.h"

namespace {

constexpr size_t kRoom = 256;

void check(unsigned int (*decode)(unsigned char*, unsigned int, char*), bool accepted, unsigned char* m, size_t size)
{
    std::unique_ptr<char[]> text(new char[kRoom]);
    std::memset(text.get(), 0xA5, kRoom);
    const unsigned int st = decode(m, static_cast<unsigned int>(size), text.get());
    const fuzz::Field f = fuzz::field_at(m, size, 0);
    if (size < 8 || !accepted) {
        if (st != SE_SYNTAX || !fuzz::all_bytes(text.get(), kRoom, 0xA5))
            __builtin_trap();
        return;
    }
    if (!f.present || f.len > kRoom) {  // no text, or longer than the scratch area: untouched
        if (st != (f.present ? SE_SIZE : SE_OK) || !fuzz::all_bytes(text.get(), kRoom, 0xA5))
            __builtin_trap();
        return;
    }
    const size_t n = f.len < kRoom - 1 ? f.len : kRoom - 1;
    if (st != SE_OK || std::memcmp(text.get(), f.data, n) != 0 || text[n] != 0)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::unique_ptr<unsigned char[]> buf = fuzz::exact_copy(data, size);
    unsigned char* m = buf.get();
    const bool info = fuzz::header_is(m, size, "GNS", "11.") || fuzz::header_is(m, size, "INF", "11.") ||
                      fuzz::header_is(m, size, "INM", "11.");
    check(ecr_parse_getNameSoftware_response, info, m, size);
    check(ecr_parse_TSN_response, fuzz::header_is(m, size, "TSN", "11."), m, size);
    return 0;
}
