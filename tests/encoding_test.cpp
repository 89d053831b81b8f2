// CP1251 to UTF-8 conversion of terminal texts.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "Logging/log.h"
#include "encoding/iconv.h"
#include "log_test_util.h"

namespace {

// Converts text in a buffer with room for the grown result.
std::string Convert(const std::string& text, int* result)
{
    std::vector<char> buffer(3 * text.size() + 1, '\x55');
    std::memcpy(buffer.data(), text.c_str(), text.size() + 1);
    *result = ConvertAsciitoUtf(buffer.data());
    return std::string(buffer.data());
}

}  // namespace

TEST(ConvertAsciitoUtf, AsciiIsUnchanged)
{
    int result = -1;
    EXPECT_EQ(Convert("PUR10. Approved 0123456789", &result), "PUR10. Approved 0123456789");
    EXPECT_EQ(result, 1);
}

TEST(ConvertAsciitoUtf, CyrillicAndEuroSign)
{
    int result = -1;
    EXPECT_EQ(Convert("\xC0", &result), "\xD0\x90");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(Convert("\x88", &result), "\xE2\x82\xAC");
    EXPECT_EQ(result, 1);
    // "Банк 5" mixed with ASCII.
    EXPECT_EQ(Convert("\xC1\xE0\xED\xEA 5", &result), "\xD0\x91\xD0\xB0\xD0\xBD\xD0\xBA 5");
    EXPECT_EQ(result, 1);
}

TEST(ConvertAsciitoUtf, EmptyTextStaysEmpty)
{
    char text[4] = {'\0', 'x', 'y', 'z'};
    EXPECT_EQ(ConvertAsciitoUtf(text), 1);
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(text[1], 'x');  // only the terminator was written
}

TEST(ConvertAsciitoUtf, LongTextIsConvertedAcrossChunks)
{
    std::string input;
    std::string expected;
    for (int i = 0; i < 2048; ++i) {
        const unsigned char c = static_cast<unsigned char>(0xC0 + i % 64);  // А..я
        input += static_cast<char>(c);
        const unsigned code = 0x410 + (c - 0xC0);
        expected += static_cast<char>(0xC0 | (code >> 6));
        expected += static_cast<char>(0x80 | (code & 0x3F));
    }
    int result = -1;
    const std::string out = Convert(input, &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(out.size(), 4096u);
    EXPECT_EQ(out, expected);
}

TEST(ConvertAsciitoUtf, UnmappedByteLeavesTextUnchanged)
{
    logtest::ScratchDir dir;
    logtest::ResetProcessLogger(dir);
    const std::string path = dir.file("convert.log");
    ASSERT_TRUE(ConfigureFile(path));
    el::set_logging(true);

    char text[16] = "ab\x98" "cd";
    const std::string before(text, sizeof text);
    EXPECT_EQ(ConvertAsciitoUtf(text), 0);
    EXPECT_EQ(std::string(text, sizeof text), before);
    el::set_logging(false);
    CloseLog();

    const auto lines = logtest::Lines(support::read_file(path));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(" [LOG_TRACE> ] [ConvertAsciitoUtf:"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[0].substr(lines[0].size() - 19), "] Error convert val");
    EXPECT_EQ(lines[1].substr(19), " [LOG_ERROR> ] [ConvertAsciitoUtf] Invalid characters");
}

TEST(ConvertAsciitoUtf, NullTextIsRefused)
{
    EXPECT_EQ(ConvertAsciitoUtf(nullptr), 0);
}

TEST(IConv, GeneralConvertAppendsResultAndTerminator)
{
    EncodingConvert::IConv conv("CP1251", "UTF-8");
    std::vector<char> out = {'x'};
    errno = 0;
    EXPECT_EQ(conv.GeneralConvert<1024>("\xC0z", out), 5u);
    EXPECT_EQ(std::string(out.data(), out.size()), std::string("x\xD0\x90z\0", 5));
}

TEST(IConv, IncompleteInputFails)
{
    EncodingConvert::IConv conv("UTF-8", "CP1251");
    std::vector<char> out;
    errno = 0;
    EXPECT_EQ(conv.GeneralConvert<1024>("\xD0", out), 0u);  // first half of a two-byte sequence
    EXPECT_EQ(errno, EINVAL);
}

TEST(IConv, UnknownCodePageThrowsAfterTheConsoleMessage)
{
    testing::internal::CaptureStdout();
    try {
        EncodingConvert::IConv conv("NO-SUCH-CODEPAGE", "UTF-8");
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Cannot open iconv with parameter UTF-8 and NO-SUCH-CODEPAGE");
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Cannot open icond -> exit\n");
}
