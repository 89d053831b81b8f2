// Message primitives: field cutting, zero tests, header-only requests, the
// interrupt answer and the operation table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/message.h"
#include "protocol/operation_table.h"
#include "protocol/request_encoder.h"

namespace {

struct Cursor {
    explicit Cursor(const std::string& s) : bytes(s.begin(), s.end()), pos(bytes.data()), left(bytes.size()) {}
    std::vector<unsigned char> bytes;  // exact size: ASan catches any read past the end
    unsigned char* pos;
    unsigned int left;
};

std::string text(const unsigned char* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

TEST(CutNextField, SplitsFieldsEmptyFieldAndLastFieldThenRunsOut)
{
    Cursor c("AB\x1C\x1C" "C");
    unsigned char out[256];
    unsigned int n = 99;

    std::memset(out, 0, sizeof out);
    ASSERT_EQ(SE_OK, cut_next_field(&c.pos, &c.left, out, &n));
    EXPECT_EQ("AB", std::string(reinterpret_cast<char*>(out)));
    EXPECT_EQ(2u, n);
    EXPECT_EQ(2u, c.left);
    EXPECT_EQ(0x1C, c.pos[-1]);  // the separator sits just before the cursor

    std::memset(out, 0, sizeof out);
    ASSERT_EQ(SE_OK, cut_next_field(&c.pos, &c.left, out, &n));
    EXPECT_EQ(0u, n);
    EXPECT_EQ(0, out[0]);
    EXPECT_EQ(1u, c.left);

    std::memset(out, 0, sizeof out);
    n = 77;
    ASSERT_EQ(SE_OK, cut_next_field(&c.pos, &c.left, out, &n));
    EXPECT_EQ("C", std::string(reinterpret_cast<char*>(out)));
    EXPECT_EQ(77u, n) << "the last field leaves the length output untouched";
    EXPECT_EQ(0u, c.left);
    EXPECT_EQ(c.bytes.data() + c.bytes.size(), c.pos);

    EXPECT_EQ(SE_PARAM, cut_next_field(&c.pos, &c.left, out, &n));
}

TEST(CutNextField, LengthOutputIsOptional)
{
    Cursor c("XYZ\x1CQ");
    unsigned char out[256] = {};
    ASSERT_EQ(SE_OK, cut_next_field(&c.pos, &c.left, out, nullptr));
    EXPECT_EQ("XYZ", std::string(reinterpret_cast<char*>(out)));
    EXPECT_EQ(1u, c.left);
}

TEST(CutNextField, RefusesNullArgumentsAndAnEmptyRemainder)
{
    Cursor c("A\x1C");
    unsigned char out[256];
    unsigned char* null_pos = nullptr;
    unsigned int left = 2;
    EXPECT_EQ(SE_PARAM, cut_next_field(nullptr, &c.left, out, nullptr));
    EXPECT_EQ(SE_PARAM, cut_next_field(&c.pos, nullptr, out, nullptr));
    EXPECT_EQ(SE_PARAM, cut_next_field(&c.pos, &c.left, nullptr, nullptr));
    EXPECT_EQ(SE_PARAM, cut_next_field(&null_pos, &left, out, nullptr));
    unsigned int zero = 0;
    unsigned char* pos = c.bytes.data();
    EXPECT_EQ(SE_PARAM, cut_next_field(&pos, &zero, out, nullptr));
    EXPECT_EQ(c.bytes.data(), pos);
    EXPECT_EQ(2u, c.left) << "a refused cut changes nothing";
}

TEST(CutNextField, ReadsOnlyTheGivenCountEvenWhenASeparatorFollows)
{
    Cursor c("ABCD\x1C");
    c.left = 3;
    unsigned char out[256] = {};
    unsigned int n = 5;
    ASSERT_EQ(SE_OK, cut_next_field(&c.pos, &c.left, out, &n));
    EXPECT_EQ("ABC", std::string(reinterpret_cast<char*>(out)));
    EXPECT_EQ(5u, n);
    EXPECT_EQ(0u, c.left);
}

TEST(CutNextField, FieldOf300BytesIsRefusedWithoutOverrunningTheScratch)
{
    for (const std::string& tail : {std::string("\x1C"), std::string()}) {
        Cursor c(std::string(300, 'A') + tail);
        std::vector<unsigned char> out(256);  // exact size: an overrun is an ASan error
        unsigned int n = 7;
        EXPECT_EQ(SE_SIZE, cut_next_field(&c.pos, &c.left, out.data(), &n));
        EXPECT_EQ(c.bytes.data(), c.pos) << "nothing is consumed";
        EXPECT_EQ(c.bytes.size(), c.left);
        EXPECT_EQ(7u, n);
    }
}

TEST(CutNextField, FieldOfExactly256BytesFits)
{
    Cursor c(std::string(256, 'B') + "\x1C" + "C");
    std::vector<unsigned char> out(256);
    unsigned int n = 0;
    ASSERT_EQ(SE_OK, cut_next_field(&c.pos, &c.left, out.data(), &n));
    EXPECT_EQ(256u, n);
    EXPECT_EQ(std::string(256, 'B'), text(out.data(), 256));
    EXPECT_EQ(1u, c.left);
}

TEST(CutNextField, SizedFormHonoursItsOutputSize)
{
    Cursor c("12345\x1C" "678");
    unsigned char out[4] = {};
    EXPECT_EQ(SE_SIZE, cut_next_field_n(&c.pos, &c.left, out, 4, nullptr));
    EXPECT_EQ(9u, c.left);
    unsigned char big[5] = {};
    ASSERT_EQ(SE_OK, cut_next_field_n(&c.pos, &c.left, big, 5, nullptr));
    EXPECT_EQ("12345", text(big, 5));
    std::memset(out, 0, sizeof out);
    ASSERT_EQ(SE_OK, cut_next_field_n(&c.pos, &c.left, out, 3, nullptr));
    EXPECT_EQ("678", text(out, 3));
}

TEST(TestNULL, AllZeroIsEmptyAnyNonZeroByteIsNot)
{
    unsigned char twelve[12] = {};
    EXPECT_EQ(SE_EMPTY, TestNULL(twelve, 12));
    twelve[11] = '1';
    EXPECT_EQ(SE_OK, TestNULL(twelve, 12));
    EXPECT_EQ(SE_EMPTY, TestNULL(twelve, 11)) << "only the given bytes are looked at";
    EXPECT_EQ(SE_EMPTY, TestNULL(twelve, 0));
    EXPECT_EQ(SE_PARAM, TestNULL(nullptr, 12));
}

TEST(BuildRequestHeader, HeaderAndSeparatorInAZeroedBuffer)
{
    std::vector<unsigned char> buf(16384, 0xAA);
    unsigned int len = 0;
    char header[] = "CNL10.";
    ASSERT_EQ(SE_OK, build_request_header(buf.data(), &len, header));
    EXPECT_EQ(7u, len);
    EXPECT_EQ(std::string("CNL10.\x1C"), text(buf.data(), 7));
    for (size_t i = 7; i < buf.size(); ++i)
        ASSERT_EQ(0, buf[i]) << "byte " << i;

    EXPECT_EQ(SE_PARAM, build_request_header(nullptr, &len, header));
    EXPECT_EQ(SE_PARAM, build_request_header(buf.data(), nullptr, header));
}

TEST(ParseResponseInterrupt, AcceptsAnyCaseAndNeedsEightBytes)
{
    unsigned char lower[] = {'i', 'r', 't', '1', '1', '.', 'X', 'Y'};
    EXPECT_EQ(SE_OK, parse_response_interrupt(lower, 8));
    EXPECT_EQ(SE_SYNTAX, parse_response_interrupt(lower, 7));
    unsigned char upper[] = {'I', 'R', 'T', '1', '1', '.', 0x1C, '0'};
    EXPECT_EQ(SE_OK, parse_response_interrupt(upper, 8));
    unsigned char wrong_num[] = {'I', 'R', 'T', '1', '2', '.', 0x1C, '0'};
    EXPECT_EQ(SE_SYNTAX, parse_response_interrupt(wrong_num, 8));
    unsigned char wrong_code[] = {'P', 'U', 'R', '1', '1', '.', 0x1C, '0'};
    EXPECT_EQ(SE_SYNTAX, parse_response_interrupt(wrong_code, 8));
    EXPECT_EQ(SE_PARAM, parse_response_interrupt(nullptr, 8));
}

TEST(TransactionsMap, HoldsTheFortyFiveOperations)
{
    EXPECT_EQ(45u, g_TransactionsMap.size());
    EXPECT_EQ(0u, g_TransactionsMap.count(3));
    EXPECT_EQ(0u, g_TransactionsMap.count(13));
    EXPECT_STREQ("PUR", transaction_name(1));
    EXPECT_STREQ("REF", transaction_name(6));
    EXPECT_STREQ("CTR", transaction_name(10));
    EXPECT_STREQ("CAS", transaction_name(44));
    EXPECT_STREQ("VID", transaction_name(47));
    EXPECT_STREQ("UNKNOWN", transaction_name(3));
    EXPECT_STREQ("UNKNOWN", transaction_name(48));
    EXPECT_STREQ("UNKNOWN", transaction_name(-1));
    for (const auto& e : g_TransactionsMap)
        EXPECT_EQ(3u, std::strlen(e.second)) << e.first;
}

}  // namespace

// ---------------------------------------------------------------- operation table

TEST(OperationTable, ControlsAndPing)
{
    for (unsigned int code = 0; code <= 48; ++code) {
        const bool interruptible = code == 18 || code == 19 || code == 44;
        const bool abortable = code == 1 || code == 2 || code == 35 || code == 36 || code == 46;
        EXPECT_EQ(op_interruptible(code), interruptible) << code;
        EXPECT_EQ(op_abortable(code), abortable) << code;
        EXPECT_EQ(op_moves_money(code), op_row(code) != nullptr && code != 43) << code;
    }
}

// Every row is what the encoder, the decoder and the map make of its code.
TEST(OperationTable, EncoderDecoderAndMapReadTheRows)
{
    unsigned int count = 0;
    const OpRow* rows = op_rows(&count);
    ASSERT_EQ(count, g_TransactionsMap.size());
    for (unsigned int i = 0; i < count; ++i) {
        const OpRow& row = rows[i];
        EXPECT_STREQ(transaction_name(row.code), row.name);
        _init_transaction_request req{};
        req.trx_type = row.code;
        std::vector<unsigned char> buf(16384);
        unsigned int len = 0;
        const unsigned int built = ecr_build_init_transaction(buf.data(), &len, &req);
        if (row.header == nullptr) {
            EXPECT_EQ(built, SE_SYNTAX) << row.code;
            continue;
        }
        ASSERT_EQ(built, SE_OK) << row.code;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data()), 6), row.header);
        if (row.tag != nullptr) {
            EXPECT_EQ(op_row_by_tag(reinterpret_cast<const unsigned char*>(row.tag))->code, row.code);
        }
    }
}
