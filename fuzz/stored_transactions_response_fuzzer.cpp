// Fuzzes the decoders of the stored-transaction count and summary answers.
// The input is copied into an exact-size heap buffer so that any read past
// its end is caught.  A field that the answer lacks leaves its destination as
// it was; short numbers are checked against an independent conversion.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_input.h"
#include "protocol/stored_transactions.h"

namespace {

constexpr uint32_t kUnset = 0xA5A5A5A5u;
constexpr double kUnsetAmount = -12345.5;

// Leading-decimal value of a field (optional sign, digits); false when the
// digits are too many to compare safely.
bool small_value(const fuzz::Field& f, uint32_t* value)
{
    size_t i = 0;
    while (i < f.len && (f.data[i] == ' ' || (f.data[i] >= '\t' && f.data[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < f.len && (f.data[i] == '+' || f.data[i] == '-'))
        negative = f.data[i++] == '-';
    int64_t v = 0;
    for (size_t digits = 0; i < f.len && f.data[i] >= '0' && f.data[i] <= '9'; ++i) {
        if (++digits > 9)
            return false;
        v = v * 10 + (f.data[i] - '0');
    }
    *value = static_cast<uint32_t>(negative ? -v : v);
    return true;
}

void check_count(unsigned char* m, size_t size)
{
    uint32_t count = kUnset;
    const unsigned int st = ecr_parse_get_count_transaction_response(m, static_cast<unsigned int>(size), &count);
    const fuzz::Field f = fuzz::field_at(m, size, 0);
    if (size < 8 || !fuzz::header_is(m, size, "GTC", "11.")) {
        if (st != SE_SYNTAX || count != kUnset)
            __builtin_trap();
        return;
    }
    if (!f.present || f.len > 256) {
        if (st != (f.present ? SE_SIZE : SE_OK) || count != kUnset)
            __builtin_trap();
        return;
    }
    uint32_t expected = 0;
    if (st != SE_OK || (small_value(f, &expected) && count != expected))
        __builtin_trap();
}

void check_summary(unsigned char* m, size_t size)
{
    static std::unique_ptr<_ecr_gsi_report> summary(new _ecr_gsi_report);
    _ecr_gsi_report* s = summary.get();
    uint32_t* counts[3] = {&s->count1, &s->count2, &s->count3};
    double* amounts[3] = {&s->amount1, &s->amount2, &s->amount3};
    for (int i = 0; i < 3; ++i) {
        *counts[i] = kUnset;
        *amounts[i] = kUnsetAmount;
    }
    const unsigned int st = ecr_parse_get_sammery_transaction_response(m, static_cast<unsigned int>(size), s);
    const bool accepted = size >= 8 && fuzz::header_is(m, size, "GSI", "11.");
    if (st != (accepted ? SE_OK : SE_SYNTAX))
        __builtin_trap();
    // Fields are cut in turn; an over-long one stops the cutting there.
    bool stopped = !accepted;
    for (unsigned int i = 0; i < 6; ++i) {
        const fuzz::Field f = fuzz::field_at(m, size, i);
        if (f.present && f.len > 256)
            stopped = true;
        const bool unchanged = (i % 2 == 0) ? *counts[i / 2] == kUnset : *amounts[i / 2] == kUnsetAmount;
        if (stopped || !f.present) {
            if (!unchanged)
                __builtin_trap();
            continue;
        }
        uint32_t expected = 0;
        if (i % 2 == 0 && small_value(f, &expected) && *counts[i / 2] != expected)
            __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::unique_ptr<unsigned char[]> buf = fuzz::exact_copy(data, size);
    check_count(buf.get(), size);
    check_summary(buf.get(), size);
    return 0;
}
