// Fuzzes the two decoders that fill the card-read record: the card read
// answer (tracks and hash) and the card group answer (group name).  The input
// is copied into an exact-size heap buffer so that any read past its end is
// caught; each decoder's record is checked against an independent reading of
// the message's fields.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_input.h"
#include "protocol/card_group.h"
#include "protocol/card_read.h"

namespace {

using fuzz::Field;

uint16_t card_operation(const unsigned char* m)
{
    static const struct {
        const char* code;
        uint16_t operation;
    } kinds[] = {{"CRD", 3}, {"ACR", 33}, {"DSC", 4}, {"DCR", 29}, {"GRC", 31}};
    for (const auto& k : kinds) {
        if (fuzz::fold(m[0]) == k.code[0] && fuzz::fold(m[1]) == k.code[1] && fuzz::fold(m[2]) == k.code[2])
            return k.operation;
    }
    return 0;
}

void check_card_read(const unsigned char* m, size_t size, _ecr_mread_report* r)
{
    std::memset(r, 0xA5, sizeof *r);
    const unsigned int st = ecr_parse_crd_response(const_cast<unsigned char*>(m), static_cast<unsigned int>(size), r);
    if (size < 8) {  // refused before the record is touched
        if (st != SE_SYNTAX || !fuzz::all_bytes(r, sizeof *r, 0xA5))
            __builtin_trap();
        return;
    }
    // The decoder never fills the group name, and the hash is always terminated.
    if (!fuzz::all_bytes(r->nameGroup, sizeof r->nameGroup, 0) || r->sha1hash[sizeof r->sha1hash - 1] != 0)
        __builtin_trap();
    const uint16_t op = card_operation(m);
    if (op == 0) {
        if (st != SE_SYNTAX || !fuzz::all_bytes(r, sizeof *r, 0))
            __builtin_trap();
        return;
    }
    if (r->operation != op || std::memcmp(r->message_code, m, 3) != 0)
        __builtin_trap();
    if (!fuzz::number_is(m, "11.")) {
        if (st != SE_SYNTAX || !fuzz::all_bytes(r->track1, sizeof r->track1 + sizeof r->track2 + sizeof r->track3, 0))
            __builtin_trap();
        return;
    }
    struct Target {
        const char* area;
        size_t width;
        size_t max;
    };
    const Target targets[] = {{r->track1, sizeof r->track1, 100},
                              {r->track2, sizeof r->track2, 100},
                              {r->track3, sizeof r->track3, 110},
                              {r->sha1hash, sizeof r->sha1hash, 100}};
    bool refused = false;
    for (unsigned int i = 0; i < 4; ++i) {
        const Field f = fuzz::field_at(m, size, i);
        if (refused || !f.present) {
            if (!fuzz::all_bytes(targets[i].area, targets[i].width, 0))
                __builtin_trap();
            continue;
        }
        if (f.len > targets[i].max) {  // over-long field: refused, nothing of it copied
            refused = true;
            if (!fuzz::all_bytes(targets[i].area, targets[i].width, 0))
                __builtin_trap();
            continue;
        }
        if (!fuzz::holds(targets[i].area, targets[i].width, f))
            __builtin_trap();
    }
    if (st != (refused ? SE_SIZE : SE_OK))
        __builtin_trap();
}

void check_group(const unsigned char* m, size_t size, _ecr_mread_report* r)
{
    std::memset(r, 0xA5, sizeof *r);
    const unsigned int st =
        ecr_parse_getgroup_response(const_cast<unsigned char*>(m), static_cast<unsigned int>(size), r);
    if (size < 8) {
        if (st != SE_SYNTAX || !fuzz::all_bytes(r, sizeof *r, 0xA5))
            __builtin_trap();
        return;
    }
    // Only the group name is ever filled.
    if (!fuzz::all_bytes(r, offsetof(_ecr_mread_report, nameGroup), 0) ||
        !fuzz::all_bytes(r->sha1hash, sizeof r->sha1hash, 0))
        __builtin_trap();
    if (!fuzz::header_is(m, size, "GGP", "11.") && !fuzz::header_is(m, size, "GRC", "11.")) {
        if (st != SE_SYNTAX || !fuzz::all_bytes(r->nameGroup, sizeof r->nameGroup, 0))
            __builtin_trap();
        return;
    }
    const Field f = fuzz::field_at(m, size, 0);
    if (f.present && f.len > sizeof r->nameGroup) {
        if (st != SE_SIZE || !fuzz::all_bytes(r->nameGroup, sizeof r->nameGroup, 0))
            __builtin_trap();
        return;
    }
    if (st != SE_OK || !fuzz::holds(r->nameGroup, sizeof r->nameGroup, f))
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::unique_ptr<unsigned char[]> buf = fuzz::exact_copy(data, size);
    static std::unique_ptr<_ecr_mread_report> report(new _ecr_mread_report);
    check_card_read(buf.get(), size, report.get());
    check_group(buf.get(), size, report.get());
    return 0;
}
