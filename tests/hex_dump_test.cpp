// Hex dumps of protocol buffers, byte for byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "Logging/log.h"
#include "Logging/redact.h"
#include "log_test_util.h"

namespace {

std::string Dump(const std::string& bytes, unsigned int per_line = 16)
{
    return el::hex_dump(bytes.data(), static_cast<unsigned int>(bytes.size()), per_line);
}

}  // namespace

TEST(HexDump, EmptyBufferGivesTwoLineEnds)
{
    EXPECT_EQ(el::hex_dump("", 0, 16), "\n\n");
    EXPECT_EQ(el::hex_dump(nullptr, 0, 16), "\n\n");
}

TEST(HexDump, SixteenBytesMakeOneFullLine)
{
    EXPECT_EQ(Dump("0123456789ABCDEF"),
              "\n000 | 30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46 0123456789ABCDEF \n\n");
}

TEST(HexDump, SeventeenthBytePaddedToTheCharacterColumn)
{
    const std::string expected = "\n000 | 30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46 0123456789ABCDEF \n"
                                 "010 | 47" +
                                 std::string(45, ' ') + " G \n\n";
    EXPECT_EQ(Dump("0123456789ABCDEFG"), expected);
    // The character column starts at the same position on both lines.
    const auto lines = logtest::Lines(expected);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1].size(), lines[2].size() + 15);
    EXPECT_EQ(lines[1].find("0123"), lines[2].rfind('G'));
}

TEST(HexDump, MessageHeaderExample)
{
    const std::string expected = "\n000 | 43 4E 4C 31 30 2E 1C" + std::string(27, ' ') + " CNL10.. \n\n";
    EXPECT_EQ(Dump(std::string("CNL10.\x1C", 7)), expected);
}

TEST(HexDump, CharacterColumnShowsOnly0x20To0x7F)
{
    const std::string bytes{'\x00', '\x1F', '\x20', '\x7E', '\x7F', '\x80', '\xC0', '\xFF'};
    EXPECT_EQ(Dump(bytes), "\n000 | 00 1F 20 7E 7F 80 C0 FF" + std::string(24, ' ') + " .. ~\x7F... \n\n");
}

TEST(HexDump, OffsetsAreUpperCaseHexWithAtLeastThreeDigits)
{
    std::vector<unsigned char> buffer(0x1001 + 1);
    for (std::size_t i = 0; i < buffer.size(); ++i)
        buffer[i] = static_cast<unsigned char>(i);
    const std::string text = el::hex_dump(buffer.data(), static_cast<unsigned int>(buffer.size()), 16);
    const auto lines = logtest::Lines(text);
    ASSERT_EQ(lines.size(), 2u + 0x101u);  // leading and trailing empty lines
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[0x0A + 1].substr(0, 6), "0A0 | ");
    EXPECT_EQ(lines[0x0A + 1].substr(6, 47), "A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF");
    EXPECT_EQ(lines[0xFF + 1].substr(0, 6), "FF0 | ");
    EXPECT_EQ(lines[0x100 + 1], "1000 | 00 01" + std::string(14 * 3, ' ') + " .. ");
    EXPECT_EQ(lines.back(), "");
}

TEST(HexDump, OtherLineWidths)
{
    EXPECT_EQ(Dump("ABCDEFGHIJ", 8), "\n000 | 41 42 43 44 45 46 47 48 ABCDEFGH \n008 | 49 4A" +
                                         std::string(18, ' ') + " IJ \n\n");
}

class ProtocolDump : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir.path().empty());
        logtest::ResetProcessLogger(dir);
        ASSERT_TRUE(ConfigureFile(path));
    }
    void TearDown() override
    {
        el::set_logging(false);
        CloseLog();
    }
    logtest::ScratchDir dir;
    std::string path = dir.file("dump.log");
};

TEST_F(ProtocolDump, BlockStandsInTheLogExactlyAsBuilt)
{
    el::set_logging(true);
    const char frame[] = "\x02PUR10.\x1C\x03";
    const unsigned int size = sizeof frame - 1;
    Write(std::string("before\n"));
    el::dbdump(frame, size, "SEND TO TERMINAL");
    Write(std::string("after\n"));
    CloseLog();

    std::ostringstream address;
    address << std::hex << std::uppercase << reinterpret_cast<std::uintptr_t>(frame);
    const std::string expected = "before\nHEX DUMP: Buffer address = 0x" + address.str() +
                                 ", size = 9, function: [SEND TO TERMINAL]\n"
                                 "\n000 | 02 50 55 52 31 30 2E 1C 03" +
                                 std::string(7 * 3, ' ') + " .PUR10... \n\nafter\n";
    EXPECT_EQ(support::read_file(path), expected);
}

TEST_F(ProtocolDump, NothingIsWrittenWhileLoggingIsOff)
{
    el::set_logging(false);
    el::dbdump("abc", 3, "RECV FROM TERMINAL");
    LOGDUMP("abc", 3, "RECV FROM TERMINAL");
    el::set_logging(true);
    Write(std::string("only line\n"));
    CloseLog();
    EXPECT_EQ(support::read_file(path), "only line\n");
}

TEST_F(ProtocolDump, MacroDumpsWhileLoggingIsOn)
{
    el::set_logging(true);
    LOGDUMP_MESSAGE("SMS10.ab", 8, "Received from terminal");
    CloseLog();
    const std::string text = support::read_file(path);
    EXPECT_NE(text.find(", size = 8, function: [Received from terminal]\n\n000 | 53 4D 53 31 30 2E 61 62"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.substr(text.size() - 12), " SMS10.ab \n\n");
}

TEST_F(ProtocolDump, BuffersOfEverySizeStandInTheLogWhole)
{
    // The listing is that of the bytes as masked for their label (under
    // "Receipt" letters stand as they are, elsewhere they fail closed).
    struct Case {
        unsigned int size;
        std::string label;
    };
    const std::vector<Case> cases = {{0, "Receipt"}, {1024, "SEND TO TERMINAL"}, {1025, "Received from terminal"},
                                     {16387, std::string(300, 'L')}, {16387, "Receipt"}};
    std::string bytes(16387, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>('A' + i % 26);
    el::set_logging(true);
    std::string expected;
    for (const Case& c : cases) {
        el::dbdump(bytes.data(), c.size, c.label);
        std::ostringstream head;
        head << "HEX DUMP: Buffer address = 0x" << std::hex << std::uppercase
             << reinterpret_cast<std::uintptr_t>(bytes.data()) << std::dec << ", size = " << c.size << ", function: ["
             << c.label << "]\n";
        std::string masked = bytes.substr(0, c.size);
        el::redact_for_dump(reinterpret_cast<unsigned char*>(&masked[0]), c.size, el::dump_as_for_label(c.label.c_str()));
        expected += head.str() + el::hex_dump(masked.data(), c.size, 16);
    }
    CloseLog();
    const std::string text = support::read_file(path);
    EXPECT_EQ(text, expected);
    EXPECT_NE(text.find("\n4000 | 45 46 47" + std::string(13 * 3, ' ') + " EFG \n\n"), std::string::npos);
}
