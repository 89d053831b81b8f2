// Fuzzes the audit record decoder and the X report answer check.  The input
// is copied into an exact-size heap buffer so that any read past its end is
// caught.  An accepted audit record carries message bytes 7 to 83 unchanged
// (a short record fills only what it carries); the X report answer is
// accepted exactly when it begins with NDX and 11., letter case ignored.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_input.h"
#include "protocol/audit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::unique_ptr<unsigned char[]> buf = fuzz::exact_copy(data, size);
    const unsigned char* m = buf.get();
    static std::unique_ptr<_ecr_audit_report> record(new _ecr_audit_report);
    _ecr_audit_report* r = record.get();
    std::memset(r, 0xA5, sizeof *r);
    const unsigned int st = ecr_parse_audit_response(buf.get(), static_cast<unsigned int>(size), r);
    if (size < 8) {  // refused before the record is touched
        if (st != SE_SYNTAX || !fuzz::all_bytes(r, sizeof *r, 0xA5))
            __builtin_trap();
    } else if (!fuzz::header_is(m, size, "AUD", "11.") || (m[6] != '0' && m[6] != '1')) {
        if (st != SE_SYNTAX || !fuzz::all_bytes(r, sizeof *r, 0))
            __builtin_trap();
    } else {
        const size_t end = size < 84 ? size : 84;
        const unsigned char* fields = reinterpret_cast<const unsigned char*>(r) + sizeof r->more;
        if (st != SE_OK || r->more[0] != 0 || std::memcmp(fields, m + 7, end - 7) != 0 ||
            !fuzz::all_bytes(fields + (end - 7), sizeof *r - sizeof r->more - (end - 7), 0))
            __builtin_trap();
    }

    const unsigned int x = pos_x_report_print_responce(buf.get(), static_cast<unsigned int>(size));
    if (x != ((size >= 8 && fuzz::header_is(m, size, "NDX", "11.")) ? SE_OK : SE_SYNTAX))
        __builtin_trap();
    return 0;
}
