// Fuzzes the check of the terminal's answer to an interrupt request.  The
// input is copied into an exact-size heap buffer so that any read past its
// end is caught.  The answer is accepted exactly when it is at least 8 bytes
// long and begins with IRT and 11., letter case ignored.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz/fuzz_input.h"
#include "protocol/message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::unique_ptr<unsigned char[]> buf = fuzz::exact_copy(data, size);
    const unsigned int st = parse_response_interrupt(buf.get(), static_cast<unsigned int>(size));
    const bool accepted = size >= 8 && fuzz::header_is(buf.get(), size, "IRT", "11.");
    if (st != (accepted ? SE_OK : SE_SYNTAX))
        __builtin_trap();
    return 0;
}
