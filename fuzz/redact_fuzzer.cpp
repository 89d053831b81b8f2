// The masking step of the dumps: for any bytes, planted with card data at any
// field, the masked copy holds none of it, has the same length and differs
// from the original only by '*'.  The first input byte chooses how the bytes
// are dumped and where the card data goes; the rest fills the other fields.
//   mode 0  bytes of unknown layout from the terminal (bad check, oversized,
//           partial, stale, data before STX): every field may hold the card
//   mode 1  a message that passed its check, in a layout with card fields:
//           the card goes to those fields
//   mode 2  a frame the library sends in the common request layout: the
//           tracks go to the track fields
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Logging/redact.h"

namespace {

const std::string kPan = "5500005555555559";
const std::string kTrack1 = "B5500005555555559^SMITH/JOHN^2712101";
const std::string kTrack2 = "5500005555555559=27121011234";
const char* const kCanaries[] = {"5500005555555559", "1227JOHN/SMITH", "JOHN", "SMITH", "=2712", "^2712",
                                 "8A3F01C4D2E5B697"};

std::string joined(const std::vector<std::string>& f)
{
    std::string out;
    for (size_t i = 0; i < f.size(); ++i)
        out += (i ? "\x1c" : "") + f[i];
    return out;
}

void check(const std::string& original, el::DumpAs as)
{
    std::string masked = original;
    el::redact_for_dump(reinterpret_cast<unsigned char*>(&masked[0]), masked.size(), as);
    if (masked.size() != original.size())
        std::abort();
    for (size_t i = 0; i < masked.size(); ++i)
        if (masked[i] != original[i] && masked[i] != '*')
            std::abort();
    for (const char* c : kCanaries)
        if (masked.find(c) != std::string::npos)
            std::abort();
    for (size_t i = 0; i + 8 <= kPan.size(); ++i)
        if (masked.find(kPan.substr(i, 8)) != std::string::npos)
            std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const unsigned mode = data[0] % 3;
    const unsigned where = data[1];
    // The other fields: the input split at its separators.
    std::vector<std::string> fields(1);
    for (size_t i = 2; i < size; ++i) {
        if (data[i] == 0x1c)
            fields.emplace_back();
        else
            fields.back() += static_cast<char>(data[i]);
    }
    // In a known layout the other fields stand as they are: an input that
    // holds card data there itself proves nothing.
    if (mode != 0) {
        const std::string others = joined(fields);
        for (const char* c : kCanaries)
            if (others.find(c) != std::string::npos)
                return 0;
        for (size_t i = 0; i + 8 <= kPan.size(); ++i)
            if (others.find(kPan.substr(i, 8)) != std::string::npos)
                return 0;
    }
    if (mode == 0) {
        // Any bytes; the card data at any field, whole or cut short.
        const size_t at = where % (fields.size() + 1);
        std::string planted = kTrack1 + "\x1c" "1227JOHN/SMITH" "\x1c" + kTrack2 + "\x1c" "8A3F01C4D2E5B697";
        planted = planted.substr(0, planted.size() - where % 8);
        fields.insert(fields.begin() + static_cast<long>(at), planted);
        check(joined(fields), el::DumpAs::Received);
        check("\x02" + joined(fields) + "\x03", el::DumpAs::Received);
        return 0;
    }
    if (mode == 1) {
        static const char* const kHeaders[] = {"PUR12.", "vod16.", "GTL11.", "SLR14.", "RFI15."};
        fields.resize(19);
        fields[0] = kHeaders[where % 5] + fields[0].substr(0, 4);
        fields[5] = kPan;
        fields[6] = "1227JOHN/SMITH";
        fields[7] = "JOHN/SMITH";
        check(joined(fields), el::DumpAs::Message);
        check(joined({"CRD11." + kTrack1, kTrack2, "", fields[1]}), el::DumpAs::Message);
        check("APP11.8A3F01C4D2E5B697", el::DumpAs::Message);
        return 0;
    }
    fields.resize(17);
    fields[0] = "PUR10." + fields[0];
    fields[6] = kTrack1;
    fields[7] = kTrack2;
    const std::string message = joined(fields);
    unsigned char x = 0x03;
    for (char c : message)
        x ^= static_cast<unsigned char>(c);
    check("\x02" + message + "\x03" + std::string(1, static_cast<char>(x)), el::DumpAs::Sent);
    return 0;
}
