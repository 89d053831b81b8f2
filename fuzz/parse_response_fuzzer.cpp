// Fuzzes the final transaction response decoder.  The input is copied into
// an exact-size heap buffer so that any read past its end is caught.
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
    unsigned int st = ecr_parse_response(buf.get(), static_cast<unsigned int>(size), report.get());
    // Bounded texts stay terminated; sizes never exceed their areas.
    if (report->BankLogoSize > sizeof report->BankLogo || report->SignatureLogoSize > sizeof report->SignatureLogo ||
        report->PAN[sizeof report->PAN - 1] != 0 || report->RRN[sizeof report->RRN - 1] != 0 ||
        report->ExpiryText[sizeof report->ExpiryText - 1] != 0 || report->OpTag[3] != 0)
        __builtin_trap();
    if (st != SE_OK && st != SE_FAIL && st != SE_PARAM && st != SE_SYNTAX && st != SE_SIZE)
        __builtin_trap();
    return 0;
}
