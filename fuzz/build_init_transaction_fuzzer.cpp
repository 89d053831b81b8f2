// Fuzzes the payment request encoder with arbitrary record bytes.  The record
// and the request buffer are exact-size heap objects, so any read past a
// record field or write past the buffer is caught.  Accepted requests are
// checked for the fixed-width fields that must stay digits.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "protocol/request_encoder.h"

namespace {

bool digits(const unsigned char* p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (p[i] < '0' || p[i] > '9')
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::unique_ptr<_init_transaction_request> req(new _init_transaction_request);
    unsigned char* raw = reinterpret_cast<unsigned char*>(req.get());
    std::memset(raw, 0, sizeof *req);
    std::memcpy(raw, data, size < sizeof *req ? size : sizeof *req);
    // Flags are bools: only 0 and 1 are values of the type.
    raw[offsetof(_init_transaction_request, entry_mode)] &= 1;
    raw[offsetof(_init_transaction_request, pin_request)] &= 1;

    std::unique_ptr<unsigned char[]> buf(new unsigned char[16384]);
    unsigned int len = 0;
    const uint8_t symbol_before = req->merchant_id5_symbol;
    unsigned int st = ecr_build_init_transaction(buf.get(), &len, req.get());
    if (st != SE_OK) {
        if (st != SE_SYNTAX && st != SE_FORMAT)
            __builtin_trap();
        return 0;
    }
    if (len < 6 || len > 16384)
        __builtin_trap();
    const uint16_t op = req->trx_type;
    if (req->merchant_id5_symbol != symbol_before && req->merchant_id5_symbol != 0)
        __builtin_trap();
    // Common purchase-like layouts: "XXX10." + two digits + FS + receipt digits + FS + 12 digits + FS + 12 digits.
    if (op == 1 || op == 2 || op == 11 || op == 35 || op == 36 || op == 37) {
        if (!digits(buf.get() + 6, 2) || buf[8] != 0x1C)
            __builtin_trap();
        const unsigned char* p = buf.get() + 9;
        while (*p != 0x1C) {
            if (*p < '0' || *p > '9')
                __builtin_trap();
            ++p;
        }
        ++p;
        if (!digits(p, 12) || p[12] != 0x1C || !digits(p + 13, 12) || p[25] != 0x1C || !digits(p + 26, 3))
            __builtin_trap();
    }
    if ((op == 16 || op == 42) && !digits(buf.get() + 6, 12))
        __builtin_trap();
    if (op == 10 && (!digits(buf.get() + 6, 1) || !digits(buf.get() + 8, 12)))
        __builtin_trap();
    if (op == 9 && (!digits(buf.get() + 6, 2) || len != 9))
        __builtin_trap();
    return 0;
}
