// Fuzzes the discount information decoder.  The input is copied into an
// exact-size heap buffer so that any read past its end is caught; the record
// is checked against an independent reading of the discount field (two digits
// of merchant number, the name, four digits of rate).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_input.h"
#include "protocol/discount.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::unique_ptr<unsigned char[]> buf = fuzz::exact_copy(data, size);
    const unsigned char* m = buf.get();
    static std::unique_ptr<_ecr_discount_info> info(new _ecr_discount_info);
    _ecr_discount_info* d = info.get();
    std::memset(d, 0xA5, sizeof *d);
    const unsigned int st = ecr_parse_disc_response(buf.get(), static_cast<unsigned int>(size), d);
    if (size < 8) {  // refused before the record is touched
        if (st != SE_SYNTAX || !fuzz::all_bytes(d, sizeof *d, 0xA5))
            __builtin_trap();
        return 0;
    }
    // The texts are always terminated within their areas.
    if (d->merchant_name[sizeof d->merchant_name - 1] != 0 || d->info[sizeof d->info - 1] != 0)
        __builtin_trap();
    if (!fuzz::header_is(m, size, "DIN", "11.")) {
        if (st != SE_SYNTAX || d->merchant_id != 0 || d->rate != 0.0 ||
            !fuzz::all_bytes(d->merchant_name, sizeof d->merchant_name, 0) ||
            !fuzz::all_bytes(d->info, sizeof d->info, 0))
            __builtin_trap();
        return 0;
    }
    if (d->operation != 4 || std::memcmp(d->message_code, m, 3) != 0)
        __builtin_trap();
    const fuzz::Field f = fuzz::field_at(m, size, 0);
    unsigned int expected = SE_OK;
    if (f.present && f.len > 27)
        expected = SE_SIZE;
    else if (f.present && f.len < 7)
        expected = SE_NOCARD;
    if (st != expected)
        __builtin_trap();
    if (expected != SE_OK || !f.present) {
        if (!fuzz::all_bytes(d->info, sizeof d->info, 0) || !fuzz::all_bytes(d->merchant_name, sizeof d->merchant_name, 0))
            __builtin_trap();
        return 0;
    }
    // The whole field, and the name between the merchant number and the rate.
    const fuzz::Field name{true, f.data + 2, f.len - 6};
    if (!fuzz::holds(d->info, sizeof d->info, f) || !fuzz::holds(d->merchant_name, sizeof d->merchant_name, name))
        __builtin_trap();
    // The rate is a whole number: the remainder of the division is dropped.
    if (!(d->rate >= 0.0) || d->rate != std::floor(d->rate))
        __builtin_trap();
    return 0;
}
