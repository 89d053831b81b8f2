// CP1251 to UTF-8 conversion through the system's iconv.
#include "encoding/iconv.h"

#include <cerrno>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "Logging/log.h"

namespace EncodingConvert {

IConv::IConv(const char* from, const char* to) : m_cd(iconv_open(to, from))
{
    if (m_cd == reinterpret_cast<iconv_t>(-1)) {
        std::cout << "Cannot open icond -> exit" << std::endl;
        throw std::runtime_error("Cannot open iconv with parameter " + std::string(to) + " and " + from);
    }
}

IConv::~IConv()
{
    if (m_cd != reinterpret_cast<iconv_t>(-1))
        iconv_close(m_cd);
}

template <std::size_t N>
std::size_t IConv::GeneralConvert(const std::string& input, std::vector<char>& out)
{
    char chunk[N];
    // iconv never writes through its input pointer.
    char* in = const_cast<char*>(input.data());
    std::size_t inLeft = input.size();
    char* outPtr = chunk;
    std::size_t outLeft = N;
    std::size_t result;
    int err = errno;
    do {
        if (err == E2BIG) {
            errno = err = 0;
            outPtr = chunk;
            outLeft = N;
        }
        result = iconv(m_cd, &in, &inLeft, &outPtr, &outLeft);
        err = (result == static_cast<std::size_t>(-1)) ? errno : 0;
        if (err == EILSEQ || err == EINVAL)
            return 0;
        out.insert(out.end(), chunk, chunk + (N - outLeft));
        errno = err;
    } while (err == E2BIG);
    if (result == static_cast<std::size_t>(-1))
        return 0;
    out.push_back('\0');
    return out.size();
}

template std::size_t IConv::GeneralConvert<1024>(const std::string& input, std::vector<char>& out);

}  // namespace EncodingConvert

int ConvertAsciitoUtf(char* text)
{
    if (text == nullptr)
        return 0;
    try {
        errno = 0;
        EncodingConvert::IConv converter("CP1251", "UTF-8");
        std::string input(text);
        std::vector<char> out;
        out.reserve(3 * input.size() + 1);
        std::size_t size = converter.GeneralConvert<1024>(input, out);
        if (errno == EILSEQ || errno == EINVAL) {
            const char* what = errno == EILSEQ ? "] Invalid characters" : "] Incomplete characters";
            if (el::get_logging()) {
                LOGREC_ALWAYS(LOG_TRACE) << "Error convert val";
                GetLogObject(LOG_ERROR) << "[" << "ConvertAsciitoUtf" << what;
            }
            return 0;
        }
        if (size == 0)
            return 0;
        std::memcpy(text, out.data(), out.size());
        return 1;
    } catch (const std::exception& e) {
        // No converter for the pair (already reported on the console).
        if (el::get_logging())
            LOGREC_ALWAYS(LOG_ERROR) << e.what();
    } catch (...) {
    }
    return 0;
}
