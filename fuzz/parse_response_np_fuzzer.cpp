// Fuzzes the stored-transaction answer decoder.  The input is copied into an
// exact-size heap buffer so that any read past its end is caught.
#include <cstdint>
#include <cstring>
#include <memory>

#include "protocol/response_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::unique_ptr<unsigned char[]> buf(new unsigned char[size]);
    if (size != 0)
        std::memcpy(buf.get(), data, size);
    static std::unique_ptr<_ecr_transaction_report> report(new _ecr_transaction_report);
    std::memset(report.get(), 0, sizeof *report);  // a refused payload leaves the record as it was
    unsigned int st = ecr_parse_response_NP(buf.get(), static_cast<unsigned int>(size), report.get());
    if (report->TrxType != 0 || report->BankLogoSize > sizeof report->BankLogo ||
        report->SignatureLogoSize > sizeof report->SignatureLogo || report->CardName[sizeof report->CardName - 1] != 0)
        __builtin_trap();
    if (st != SE_OK && st != SE_FAIL && st != SE_PARAM && st != SE_SYNTAX && st != SE_SIZE)
        __builtin_trap();
    return 0;
}
