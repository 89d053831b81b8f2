// CP1251 to UTF-8 conversion of the texts the terminal sends.
#pragma once
#include <iconv.h>

#include <cstddef>
#include <string>
#include <vector>

#include "ecrbridge.h"

namespace EncodingConvert {

// Owns one iconv descriptor; not copyable.
class IConv {
public:
    // iconv_open(to, from); throws std::runtime_error when the pair is unknown.
    IConv(const char* from, const char* to);
    ~IConv();
    IConv(const IConv&) = delete;
    IConv& operator=(const IConv&) = delete;

    // Converts all of input through an N-byte chunk buffer, appends the result
    // and one zero byte to out; returns the new size of out, or 0 on failure.
    template <std::size_t N>
    std::size_t GeneralConvert(const std::string& input, std::vector<char>& out);

private:
    iconv_t m_cd;
};

}  // namespace EncodingConvert

// Converts the zero-terminated CP1251 text in place to UTF-8: 1 on success,
// 0 when the text could not be converted (it is then left unchanged).  The
// buffer must hold up to three bytes per input byte plus the terminator.
ECRBRIDGE_API int ConvertAsciitoUtf(char* text);
