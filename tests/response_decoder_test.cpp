// Transaction response decoders: every field sequence with real-looking
// messages, the limits, and the records they write.  Every payload is passed
// in an exact-size heap copy so that a read past its end is an ASan error.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "log_test_util.h"
#include "protocol/response_decoder.h"

namespace {

const std::string FS = "\x1C";

std::string join(const std::vector<std::string>& fields)
{
    std::string out;
    for (size_t i = 0; i < fields.size(); ++i)
        out += fields[i] + (i + 1 < fields.size() ? FS : "");
    return out;
}

// Fields 1-13 of a purchase answer.
std::vector<std::string> standard_fields()
{
    return {"01",                          // cash register number
            "57",                          // receipt number
            "000000001234",                // amount
            "000000000050",                // additional amount
            "411111******1111",            // card number
            "1227JOHN",                    // expiry and text
            "VISA CLASSIC",                // text
            "000123A1B2C307121530ISSUER1", // invoice, approval, DDMMhhmm, issuer
            "MERCHANT0001",                // merchant identifier
            "000000051001234",             // processing data
            "123456789012",                // RRN
            "VISA",                        // card name
            "TERM0001"};                   // terminal identifier
}

std::vector<std::string> tail_fields()
{
    return {"ADDITIONAL", "BANK", "RECEIPT LINE 1\nLINE 2", std::string("LO\0GO", 5), "SIG"};
}

class Decoder : public ::testing::Test {
protected:
    Decoder() : report(new _ecr_transaction_report) { std::memset(report.get(), 0xA5, sizeof *report); }

    unsigned int parse(const std::string& msg)
    {
        data.assign(msg.begin(), msg.end());  // exact size
        return ecr_parse_response(data.data(), static_cast<unsigned int>(data.size()), report.get());
    }
    unsigned int parse_np(const std::string& msg)
    {
        data.assign(msg.begin(), msg.end());
        return ecr_parse_response_NP(data.data(), static_cast<unsigned int>(data.size()), report.get());
    }
    static std::string message(const std::string& header, const std::string& code,
                               const std::vector<std::string>& fields)
    {
        return header + code + FS + join(fields);
    }
    static std::vector<std::string> cat(std::vector<std::string> a, const std::vector<std::string>& b)
    {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
    // All bytes from `from` to the end of the record are zero.
    bool zero_from(const void* from) const
    {
        const unsigned char* p = static_cast<const unsigned char*>(from);
        const unsigned char* end = reinterpret_cast<const unsigned char*>(report.get() + 1);
        for (; p < end; ++p)
            if (*p != 0)
                return false;
        return true;
    }

    std::vector<unsigned char> data;
    std::unique_ptr<_ecr_transaction_report> report;
};

TEST_F(Decoder, FullPurchaseAnswer)
{
    ASSERT_EQ(SE_OK, parse(message("PUR12.", "00", cat(standard_fields(), tail_fields())) + FS));
    const _ecr_transaction_report& r = *report;
    EXPECT_EQ(1, r.TrxType);
    EXPECT_STREQ("PUR", r.OpTag);
    EXPECT_EQ(0, r.ResponseCode);
    EXPECT_EQ(1, r.EcrNum);
    EXPECT_EQ(57u, r.EcrReceiptNum);
    EXPECT_DOUBLE_EQ(12.34, r.Amount);
    EXPECT_DOUBLE_EQ(0.5, r.AddAmount);
    EXPECT_STREQ("411111******1111", r.PAN);
    EXPECT_EQ(12, r.CardExpireMonth);
    EXPECT_EQ(27, r.CardExpireYear);
    EXPECT_STREQ("JOHN", r.ExpiryText);
    EXPECT_STREQ("VISA CLASSIC", r.CardText);
    EXPECT_EQ(123u, r.InvoceNumber);
    EXPECT_STREQ("A1B2C3", r.ApprovalCode);
    EXPECT_EQ(7, r.TransactionDateDay);
    EXPECT_EQ(12, r.TransactionDateMonth);
    EXPECT_EQ(15, r.TransactionTimeHours);
    EXPECT_EQ(30, r.TransactionTimeMinutes);
    EXPECT_STREQ("ISSUER1", r.IssuerName);
    EXPECT_STREQ("MERCHANT0001", r.MerchantId);
    EXPECT_EQ(0u, r.ProcessingCode);
    EXPECT_EQ(51, r.PosEntryMode);
    EXPECT_EQ(0, r.PosConditionCode);
    EXPECT_EQ(1234, r.CaptureReference);
    EXPECT_STREQ("123456789012", r.RRN);
    EXPECT_STREQ("VISA", r.CardName);
    EXPECT_STREQ("TERM0001", r.TerminalID);
    EXPECT_DOUBLE_EQ(0.0, r.TotalAmount) << "no settlement totals in a purchase";
    EXPECT_STREQ("ADDITIONAL", r.Fld63Sf89);
    EXPECT_EQ("BANK", std::string(r.NameBank, strnlen(r.NameBank, sizeof r.NameBank)));
    EXPECT_STREQ("RECEIPT LINE 1\nLINE 2", r.Receipt);
    EXPECT_EQ(5u, r.BankLogoSize);
    EXPECT_EQ(std::string("LO\0GO", 5), std::string(reinterpret_cast<const char*>(r.BankLogo), 5));
    EXPECT_EQ(3u, r.SignatureLogoSize);
    EXPECT_EQ(0, std::memcmp(r.SignatureLogo, "SIG", 3));
    EXPECT_TRUE(zero_from(&r.MsgText)) << "fields the decoder does not write are zero";
}

TEST_F(Decoder, HeaderCodesAndNumbers)
{
    ASSERT_EQ(SE_OK, parse("pur12.00" + FS));
    EXPECT_EQ(1, report->TrxType);
    EXPECT_STREQ("pur", report->OpTag);
    for (const char* num : {"14.", "15.", "16."})
        EXPECT_EQ(SE_OK, parse(std::string("REF") + num + "00" + FS)) << num;
    EXPECT_EQ(SE_OK, parse("ctr12.00" + FS));
    EXPECT_EQ(10, report->TrxType);
    EXPECT_EQ(SE_OK, parse("RDC12.00" + FS));
    EXPECT_EQ(9, report->TrxType);
    EXPECT_EQ(SE_OK, parse("SRC12.00" + FS));
    EXPECT_EQ(42, report->TrxType);

    EXPECT_EQ(SE_SYNTAX, parse("PUR10.00" + FS));
    EXPECT_EQ(SE_SYNTAX, parse("PUR11.00" + FS));
    EXPECT_EQ(SE_SYNTAX, parse("PUR13.00" + FS));
    EXPECT_EQ(SE_SYNTAX, parse("XYZ12.00" + FS));
    EXPECT_EQ(0, report->TrxType);
    EXPECT_EQ(SE_SYNTAX, parse("CAS12.00" + FS)) << "cash-back has no answer code";
}

TEST_F(Decoder, ArgumentsAndShortPayloads)
{
    unsigned char bytes[8] = {'P', 'U', 'R', '1', '2', '.', '0', 0x1C};
    EXPECT_EQ(SE_PARAM, ecr_parse_response(nullptr, 8, report.get()));
    EXPECT_EQ(SE_PARAM, ecr_parse_response(bytes, 8, nullptr));
    EXPECT_EQ(SE_PARAM, ecr_parse_response_NP(nullptr, 8, report.get()));
    EXPECT_EQ(SE_PARAM, ecr_parse_response_NP(bytes, 8, nullptr));
    EXPECT_EQ(SE_SYNTAX, parse("PUR12.0"));
    EXPECT_EQ(SE_SYNTAX, parse_np("PUR11.0"));
    EXPECT_EQ(SE_OK, parse("PUR12.0" + FS));
}

TEST_F(Decoder, ResponseCodes)
{
    ASSERT_EQ(SE_OK, parse("PUR12.A5" + FS + "01"));
    EXPECT_EQ(20, report->ResponseCode);
    EXPECT_EQ(1, report->EcrNum);
    ASSERT_EQ(SE_OK, parse("PUR12." + FS + "01"));
    EXPECT_EQ(20, report->ResponseCode);
    ASSERT_EQ(SE_OK, parse("PUR12.00" + FS));
    EXPECT_EQ(0, report->ResponseCode);
    ASSERT_EQ(SE_OK, parse("PUR12.1234" + FS));
    EXPECT_EQ(1234, report->ResponseCode);
    ASSERT_EQ(SE_OK, parse("PUR12.51" + FS));
    EXPECT_EQ(51, report->ResponseCode);

    EXPECT_EQ(SE_FAIL, parse("PUR12.12345" + FS + "01"));
    EXPECT_EQ(SE_FAIL, parse("PUR12.00"));
    EXPECT_EQ(SE_FAIL, parse_np("GTL11.00001" + FS));
}

TEST_F(Decoder, PayloadEndingAfterTheResponseCodeLeavesEverythingZero)
{
    ASSERT_EQ(SE_OK, parse("PUR12.05" + FS));
    EXPECT_EQ(5, report->ResponseCode);
    EXPECT_TRUE(zero_from(&report->EcrNum));
}

TEST_F(Decoder, PayloadEndingMidwayKeepsWhatWasDecoded)
{
    std::vector<std::string> f = standard_fields();
    f.resize(6);
    ASSERT_EQ(SE_OK, parse(message("PUR12.", "00", f)));
    EXPECT_EQ(12, report->CardExpireMonth);
    EXPECT_STREQ("JOHN", report->ExpiryText);
    EXPECT_TRUE(zero_from(&report->CardText));
    EXPECT_EQ(0u, report->InvoceNumber);
}

TEST_F(Decoder, CardNumberIsCutTo19AndLongTextsAreRefused)
{
    std::vector<std::string> f = standard_fields();
    f[4] = "12345678901234567890";
    ASSERT_EQ(SE_OK, parse(message("PUR12.", "00", f)));
    EXPECT_STREQ("1234567890123456789", report->PAN);

    f = standard_fields();
    f[10] = "1234567890123";
    EXPECT_EQ(SE_SIZE, parse(message("PUR12.", "00", f)));
    EXPECT_STREQ("", report->RRN);
    EXPECT_STREQ("MERCHANT0001", report->MerchantId) << "earlier fields stay";
    EXPECT_STREQ("", report->CardName);

    const struct {
        size_t index;
        std::string text;
    } too_long[] = {{5, "1227" + std::string(80, 'X')}, {6, std::string(41, 'T')},
                    {7, "000123A1B2C307121530" + std::string(9, 'I')}, {8, std::string(16, 'M')},
                    {11, std::string(27, 'C')}, {12, std::string(9, 'T')}};
    for (const auto& c : too_long) {
        f = standard_fields();
        f[c.index] = c.text;
        EXPECT_EQ(SE_SIZE, parse(message("PUR12.", "00", f))) << "field " << c.index + 1;
        f[c.index] = c.text.substr(0, c.text.size() - 1);
        EXPECT_EQ(SE_OK, parse(message("PUR12.", "00", f))) << "field " << c.index + 1;
    }
}

// A final response completes the payment when its header, response code and
// amount decoded: a later field that does not fit is left empty with those
// after it, and its number is told.  Without a readable code it is not usable.
TEST_F(Decoder, FinalResponseUsableUpToAnOversizedField)
{
    auto with = [](size_t index, const std::string& text) {
        std::vector<std::string> f = standard_fields();
        f[index] = text;
        return message("PUR12.", "00", f);
    };
    const struct {
        std::string msg;
        bool usable;
        unsigned oversized;
    } rows[] = {
        {with(10, "1234567890123"), true, 11},         // a 13-character RRN
        {with(11, std::string(1000, 'N')), true, 12},  // a 1000-byte card name
        {with(2, std::string(300, '1')), false, 0},    // the amount itself
        {message("ERR12.", "05", standard_fields()), false, 0},
        {message("PUR17.", "05", standard_fields()), false, 0},
        {"PUR12.", false, 0},
        {"PUR11." + FS + "01", false, 0},
    };
    for (const auto& r : rows) {
        data.assign(r.msg.begin(), r.msg.end());
        const FinalDecode d = ecr_decode_final(data.data(), static_cast<unsigned>(data.size()), report.get());
        EXPECT_EQ(d.usable, r.usable) << r.msg.substr(0, 12);
        EXPECT_EQ(d.oversized_field, r.oversized) << r.msg.substr(0, 12);
    }
    data.clear();
    const std::string rrn = with(10, "1234567890123");
    data.assign(rrn.begin(), rrn.end());
    ASSERT_TRUE(ecr_decode_final(data.data(), static_cast<unsigned>(data.size()), report.get()).usable);
    EXPECT_EQ(report->ResponseCode, 0);
    EXPECT_DOUBLE_EQ(report->Amount, 12.34);
    EXPECT_STREQ(report->MerchantId, "MERCHANT0001");  // field 9, before the RRN
    EXPECT_STREQ(report->RRN, "");
    EXPECT_STREQ(report->TerminalID, "");
}

TEST_F(Decoder, FieldLongerThanItsScratchIsRefused)
{
    std::vector<std::string> f = standard_fields();
    f[4] = std::string(300, '4');  // the card number is cut, but not from 300 bytes
    EXPECT_EQ(SE_SIZE, parse(message("PUR12.", "00", f)));
    EXPECT_STREQ("", report->PAN);
    f[4] = std::string(256, '4');
    EXPECT_EQ(SE_OK, parse(message("PUR12.", "00", f)));
    EXPECT_STREQ("4444444444444444444", report->PAN);
}

TEST_F(Decoder, BalanceAmountIsNotDivided)
{
    ASSERT_EQ(SE_OK, parse("BAL12.00" + FS + "01" + FS + "2" + FS + "1234"));
    EXPECT_DOUBLE_EQ(1234.0, report->Amount);
    ASSERT_EQ(SE_OK, parse("PUR12.00" + FS + "01" + FS + "2" + FS + "1234"));
    EXPECT_DOUBLE_EQ(12.34, report->Amount);
}

TEST_F(Decoder, IntegerConversionsStopAtTheFirstOtherCharacter)
{
    ASSERT_EQ(SE_OK, parse("PUR12.00" + FS + "12AB" + FS + " -3" + FS + "12.5E1"));
    EXPECT_EQ(12, report->EcrNum);
    EXPECT_EQ(0xFFFFFFFFu, report->EcrReceiptNum);  // no valid receipt number: marked, not wrapped
    EXPECT_DOUBLE_EQ(1.25, report->Amount);
    ASSERT_EQ(SE_OK, parse("PUR12.00" + FS + "X" + FS + "99999999999999999999"));
    EXPECT_EQ(0, report->EcrNum);
    EXPECT_NE(0u, report->EcrReceiptNum) << "saturates, never wraps to zero";
}

// Every numeric field reads its text as a leading decimal number (blanks and
// a sign allowed, stopping at the first other character) and narrows it to
// the record's width; amounts also take a fraction, an exponent or a hex form.
// A `long` of 32 bits saturates where one of 64 bits still holds the number.
// The date and time positions of field 8 read behind a short field as zeros,
// not as what the field before it left.
TEST_F(Decoder, NumericFieldTexts)
{
    const long long kMax32 = 2147483647, kMax64 = 9223372036854775807LL;
    const uint32_t kNone = 0xFFFFFFFFu;
    const struct {
        const char* text;
        long long long64, long32;  // the number read, per width of long
        uint32_t wide;             // the receipt number
        double plain;              // an amount before the division by 100
    } whole[] = {
        {"0", 0, 0, 0, 0.0},
        {"57", 57, 57, 57, 57.0},
        {"000000001234", 1234, 1234, 1234, 1234.0},
        {"00000000000000000000000000001", 1, 1, 1, 1.0},
        {"", 0, 0, 0, 0.0},
        {" 42", 42, 42, 42, 42.0},
        {"\t 42", 42, 42, 42, 42.0},
        {"42 ", 42, 42, 42, 42.0},
        {"4 2", 4, 4, 4, 4.0},
        {"+42", 42, 42, 42, 42.0},
        {"-42", -42, -42, kNone, -42.0},
        {"-", 0, 0, 0, 0.0},
        {"+-1", 0, 0, 0, 0.0},
        {"12AB", 12, 12, 12, 12.0},
        {"AB12", 0, 0, 0, 0.0},
        {"1.5", 1, 1, 1, 1.5},
        {"1e3", 1, 1, 1, 1000.0},
        {"0x1F", 0, 0, 0, 31.0},
        {"INF", 0, 0, 0, std::numeric_limits<double>::infinity()},
        {"65535", 65535, 65535, 65535, 65535.0},
        {"65536", 65536, 65536, 65536, 65536.0},
        {"2147483647", kMax32, kMax32, 2147483647u, 2147483647.0},
        {"2147483648", 2147483648LL, kMax32, 2147483648u, 2147483648.0},
        {"-2147483649", -2147483649LL, -kMax32 - 1, kNone, -2147483649.0},
        {"4294967295", 4294967295LL, kMax32, 4294967295u, 4294967295.0},
        {"4294967296", 4294967296LL, kMax32, kNone, 4294967296.0},
        {"999999999999999", 999999999999999LL, kMax32, kNone, 999999999999999.0},
        {"9999999999999999", 9999999999999999LL, kMax32, kNone, 9999999999999999.0},
        {"123456789012345678", 123456789012345678LL, kMax32, kNone, 123456789012345678.0},
        {"9223372036854775807", kMax64, kMax32, kNone, 9223372036854775807.0},
        {"9223372036854775808", kMax64, kMax32, kNone, 9223372036854775808.0},
        {"99999999999999999999", kMax64, kMax32, kNone, 99999999999999999999.0},
        {"1000000000000000000000000000000000000000", kMax64, kMax32, kNone, 1e39},
    };
    for (const auto& c : whole) {
        SCOPED_TRACE(c.text);
        const long long n = sizeof(long) == 8 ? c.long64 : c.long32;
        const std::string t = c.text;
        ASSERT_EQ(SE_OK, parse(message("LRD12.", "00", {t, t, t, t, t, "PAN", "251207", t, t})));
        EXPECT_EQ(static_cast<uint16_t>(n), report->EcrNum);
        EXPECT_EQ(c.wide, report->EcrReceiptNum);
        EXPECT_EQ(c.plain / 100.0, report->Amount);
        EXPECT_EQ(static_cast<uint32_t>(n), report->InvoceNumber);
        EXPECT_EQ(static_cast<uint32_t>(n), report->BatchId);
        EXPECT_EQ(c.plain / 100.0, report->AddAmount);
        EXPECT_EQ(c.plain / 100.0, report->TotalAmount);

        ASSERT_EQ(SE_OK, parse(message("BAL12.", "00", {"1", "2", t})));
        EXPECT_EQ(c.plain, report->Amount);

        ASSERT_EQ(SE_PARAM, parse(message("SLO12.", "00", std::vector<std::string>(12, t))));
        EXPECT_EQ(static_cast<uint32_t>(n), report->BatchId);
        EXPECT_EQ(static_cast<uint16_t>(n), report->CurrencyReports[0].CurrencyCode);
        EXPECT_EQ(c.plain / 100.0, report->CurrencyReports[0].Amount);
        EXPECT_EQ(static_cast<uint16_t>(n), report->CurrencyReports[0].TotalTrxCount);
    }

    const struct {
        const char* text;
        uint32_t invoice;
        const char* approval;
        uint8_t day, month, hours, minutes;
        const char* issuer;
    } dated[] = {
        {"000123A1B2C307121530ISSUER1", 123, "A1B2C3", 7, 12, 15, 30, "ISSUER1"},
        {"000123A1B2C3", 123, "A1B2C3", 0, 0, 0, 0, ""},
        {"000123A1B2C3070", 123, "A1B2C3", 7, 0, 0, 0, ""},
        {"000123A1B", 123, "A1B", 0, 0, 0, 0, ""},
        {"0001", 1, "", 0, 0, 0, 0, ""},
        {"", 0, "", 0, 0, 0, 0, ""},
        {"-00001A1B2C3+7 8-9 A", kNone, "A1B2C3", 7, 8, 247, 0, ""},
        {"12 456A1B2C31x2 3", 12, "A1B2C3", 1, 2, 3, 0, ""},
        {"99999999999999999999ISSUER", 999999, "999999", 99, 99, 99, 99, "ISSUER"},
    };
    for (const auto& c : dated) {
        SCOPED_TRACE(c.text);
        std::vector<std::string> f = standard_fields();
        f[6] = std::string(40, '7');
        f[7] = c.text;
        ASSERT_EQ(SE_OK, parse(message("PUR12.", "00", f)));
        EXPECT_EQ(c.invoice, report->InvoceNumber);
        EXPECT_STREQ(c.approval, report->ApprovalCode);
        EXPECT_EQ(c.day, report->TransactionDateDay);
        EXPECT_EQ(c.month, report->TransactionDateMonth);
        EXPECT_EQ(c.hours, report->TransactionTimeHours);
        EXPECT_EQ(c.minutes, report->TransactionTimeMinutes);
        EXPECT_STREQ(c.issuer, report->IssuerName);
        EXPECT_STREQ("MERCHANT0001", report->MerchantId);
    }
}

TEST_F(Decoder, SettlementReportCarriesTotalsBeforeTheAdditionalData)
{
    std::vector<std::string> totals = {"000000100000", "5", "2", "7"};
    for (const char* header : {"SLR12.", "XRP12."}) {
        ASSERT_EQ(SE_OK, parse(message(header, "00", cat(cat(standard_fields(), totals), tail_fields())))) << header;
        EXPECT_DOUBLE_EQ(1000.0, report->TotalAmount);
        EXPECT_EQ(5, report->SalesCount);
        EXPECT_EQ(2, report->RefundsCount);
        EXPECT_EQ(7, report->TotalTrxCount);
        EXPECT_STREQ("ADDITIONAL", report->Fld63Sf89);
        EXPECT_STREQ("RECEIPT LINE 1\nLINE 2", report->Receipt);
    }
    // A purchase takes the same four fields as additional data, bank and receipt.
    ASSERT_EQ(SE_OK, parse(message("PUR12.", "00", cat(standard_fields(), totals))));
    EXPECT_DOUBLE_EQ(0.0, report->TotalAmount);
    EXPECT_STREQ("000000100000", report->Fld63Sf89);
    EXPECT_EQ("5", std::string(report->NameBank, strnlen(report->NameBank, 20)));
    EXPECT_STREQ("2", report->Receipt);
}

TEST_F(Decoder, FullWidthTextsHaveNoTerminator)
{
    std::vector<std::string> f = cat(standard_fields(), {std::string(999, 'D'), std::string(20, 'B'),
                                                         std::string(2048, 'R'), "", ""});
    ASSERT_EQ(SE_OK, parse(message("PUR12.", "00", f)));
    EXPECT_EQ(std::string(999, 'D'), std::string(report->Fld63Sf89, sizeof report->Fld63Sf89));
    EXPECT_EQ(std::string(20, 'B'), std::string(report->NameBank, sizeof report->NameBank));
    EXPECT_EQ(std::string(2048, 'R'), std::string(report->Receipt, sizeof report->Receipt));

    for (size_t i : {13u, 14u, 15u}) {
        std::vector<std::string> g = f;
        g[i] += "X";
        EXPECT_EQ(SE_SIZE, parse(message("PUR12.", "00", g))) << "field " << i + 5;
    }
}

TEST_F(Decoder, LogosNeedATrailingSeparatorForTheirSize)
{
    std::vector<std::string> f = cat(standard_fields(), {"", "", "", "LOGO", "SIGNATURE"});
    ASSERT_EQ(SE_OK, parse(message("PUR12.", "00", f)));
    EXPECT_EQ(4u, report->BankLogoSize);
    EXPECT_EQ(0u, report->SignatureLogoSize) << "the last field of the payload has no known size";
    EXPECT_EQ(0, report->SignatureLogo[0]);

    ASSERT_EQ(SE_OK, parse(message("PUR12.", "00", f) + FS));
    EXPECT_EQ(9u, report->SignatureLogoSize);
    EXPECT_EQ(0, std::memcmp(report->SignatureLogo, "SIGNATURE", 9));

    f.pop_back();
    ASSERT_EQ(SE_OK, parse(message("PUR12.", "00", f) + FS)) << "signature missing";
    EXPECT_EQ(4u, report->BankLogoSize);
    EXPECT_EQ(0u, report->SignatureLogoSize);

    std::string big(8192, '\x7F');
    f = cat(standard_fields(), {"", "", "", big, big});
    ASSERT_EQ(SE_OK, parse(message("PUR12.", "00", f) + FS));
    EXPECT_EQ(8192u, report->BankLogoSize);
    EXPECT_EQ(8192u, report->SignatureLogoSize);
    f[16] += "X";
    EXPECT_EQ(SE_SIZE, parse(message("PUR12.", "00", f) + FS));
    EXPECT_EQ(0u, report->SignatureLogoSize);
}

TEST_F(Decoder, CardIdentificationPrefix)
{
    std::vector<std::string> f = cat({"5555********4444", std::string(32, 'K'), "PRODUCT-7"}, standard_fields());
    ASSERT_EQ(SE_OK, parse(message("CID12.", "00", f)));
    EXPECT_EQ(30, report->TrxType);
    EXPECT_EQ(std::string(32, 'K'), std::string(report->RNK, sizeof report->RNK));
    EXPECT_EQ("PRODUCT-7", std::string(report->ProductCode, strnlen(report->ProductCode, 32)));
    EXPECT_STREQ("411111******1111", report->PAN) << "the standard sequence follows";
    EXPECT_EQ(1, report->EcrNum);
    EXPECT_STREQ("TERM0001", report->TerminalID);

    f[0] = std::string(20, '5');
    EXPECT_EQ(SE_SIZE, parse(message("CID12.", "00", f)));
    f[0] = "1";
    f[1] = std::string(33, 'K');
    EXPECT_EQ(SE_SIZE, parse(message("CID12.", "00", f)));
    f[1] = "";
    f[2] = std::string(33, 'P');
    EXPECT_EQ(SE_SIZE, parse(message("CID12.", "00", f)));
}

TEST_F(Decoder, LoyaltySequences)
{
    ASSERT_EQ(SE_OK, parse(message("LRD12.", "00",
                                   {"03", "8", "000000000500", "000321", "000045", "6011********0001", "251207",
                                    "000000000100", "000000000700", "EXTRA"})));
    EXPECT_EQ(23, report->TrxType);
    EXPECT_EQ(3, report->EcrNum);
    EXPECT_EQ(8u, report->EcrReceiptNum);
    EXPECT_DOUBLE_EQ(5.0, report->Amount);
    EXPECT_EQ(321u, report->InvoceNumber);
    EXPECT_EQ(45u, report->BatchId);
    EXPECT_STREQ("6011********0001", report->PAN);
    EXPECT_STREQ("251207", report->LoyalOperDate);
    EXPECT_DOUBLE_EQ(1.0, report->AddAmount);
    EXPECT_DOUBLE_EQ(7.0, report->TotalAmount);
    EXPECT_STREQ("", report->Fld63Sf89);

    ASSERT_EQ(SE_OK, parse(message("LRW12.", "00", {"03", "8", "000000000500", "1", "2", "PAN", "251207", "9"})));
    EXPECT_STREQ("251207", report->LoyalOperDate);
    EXPECT_DOUBLE_EQ(0.0, report->AddAmount) << "only LRD carries amounts after the date";
    EXPECT_EQ(SE_SIZE, parse(message("LRW12.", "00", {"03", "8", "1", "1", "2", "PAN", "2512071"})));

    for (const char* h : {"LWV12.", "LDV12.", "LWR12.", "LDR12."}) {
        ASSERT_EQ(SE_OK, parse(message(h, "00", {"03", "8", "000000000500", "1", "2", "PAN", "251207"}))) << h;
        EXPECT_STREQ("PAN", report->PAN);
        EXPECT_STREQ("", report->LoyalOperDate) << h << " ends after the card number";
    }

    ASSERT_EQ(SE_OK, parse(message("LGO12.", "00", {"03", "8", "11", "22", "PAN", "GIFT5", "17"})));
    EXPECT_EQ(28, report->TrxType);
    EXPECT_DOUBLE_EQ(0.0, report->Amount) << "LGO has no amount";
    EXPECT_EQ(11u, report->InvoceNumber);
    EXPECT_EQ(22u, report->BatchId);
    EXPECT_STREQ("GIFT5", report->LoyalGiftCode);
    EXPECT_EQ(17, report->LoyalGiftCount);
    EXPECT_EQ(SE_SIZE, parse(message("LGO12.", "00", {"03", "8", "11", "22", "PAN", "GIFT56", "17"})));
    EXPECT_EQ(SE_SIZE, parse(message("LWV12.", "00", {"03", "8", "1", "1", "2", std::string(20, 'P')})));
}

std::vector<std::string> currency_blocks(int count)
{
    std::vector<std::string> f = {"000777"};
    for (int i = 1; i <= count; ++i) {
        std::string n = std::to_string(i);
        f.insert(f.end(), {std::to_string(640 + i), n + "00", n + "01", n + "02", n + "03", n + "04", n + "05",
                           n + "06", n, std::to_string(10 + i), std::to_string(20 + i)});
    }
    return f;
}

TEST_F(Decoder, MultiCurrencySettlementWithSixBlocks)
{
    ASSERT_EQ(SE_OK, parse(message("SLO12.", "00", currency_blocks(6))));
    EXPECT_EQ(38, report->TrxType);
    EXPECT_EQ(777u, report->BatchId);
    EXPECT_EQ(0, report->EcrNum) << "no cash register fields";
    for (int i = 0; i < 6; ++i) {
        const CurrencyReport& c = report->CurrencyReports[i];
        double n = i + 1;
        EXPECT_EQ(641 + i, c.CurrencyCode);
        EXPECT_DOUBLE_EQ(n, c.Amount);
        EXPECT_DOUBLE_EQ(n + 0.01, c.DebitsCommissionAmount) << "the commission comes first on the wire";
        EXPECT_DOUBLE_EQ(n + 0.02, c.DebitsAmount);
        EXPECT_DOUBLE_EQ(n + 0.03, c.AddAmount);
        EXPECT_DOUBLE_EQ(n + 0.04, c.CreditsCommissionAmount);
        EXPECT_DOUBLE_EQ(n + 0.05, c.CreditsAmount);
        EXPECT_DOUBLE_EQ(n + 0.06, c.TotalAmount);
        EXPECT_EQ(i + 1, c.SalesCount);
        EXPECT_EQ(11 + i, c.RefundsCount);
        EXPECT_EQ(21 + i, c.TotalTrxCount);
    }
    EXPECT_EQ(0, report->CurrencyCode) << "the decoder fills only the blocks";
}

TEST_F(Decoder, MultiCurrencySettlementWithFiveBlocks)
{
    ASSERT_EQ(SE_PARAM, parse(message("SLO12.", "00", currency_blocks(5))));
    EXPECT_EQ(645, report->CurrencyReports[4].CurrencyCode);
    EXPECT_EQ(25, report->CurrencyReports[4].TotalTrxCount);
    EXPECT_EQ(0, report->CurrencyReports[5].CurrencyCode);
    EXPECT_TRUE(zero_from(&report->CurrencyReports[5]));
    std::vector<std::string> f = currency_blocks(6);
    f[5] = std::string(300, '1');
    EXPECT_EQ(SE_SIZE, parse(message("SLO12.", "00", f)));
}

TEST_F(Decoder, StoredTransactionAnswer)
{
    std::vector<std::string> f = cat(standard_fields(), tail_fields());
    ASSERT_EQ(SE_OK, parse_np(message("GTL11.", "00", f) + FS));
    EXPECT_EQ(0, report->TrxType);
    EXPECT_STREQ("GTL", report->OpTag);
    EXPECT_DOUBLE_EQ(12.34, report->Amount);
    EXPECT_STREQ("TERM0001", report->TerminalID);
    EXPECT_STREQ("ADDITIONAL", report->Fld63Sf89) << "no settlement totals in the short sequence";
    EXPECT_STREQ("RECEIPT LINE 1\nLINE 2", report->Receipt);
    EXPECT_EQ(5u, report->BankLogoSize);
    EXPECT_EQ(3u, report->SignatureLogoSize);

    ASSERT_EQ(SE_OK, parse_np(message("bal11.", "00", f)));
    EXPECT_DOUBLE_EQ(12.34, report->Amount) << "always divided";
    EXPECT_STREQ("bal", report->OpTag);

    EXPECT_EQ(SE_SYNTAX, parse_np(message("PUR12.", "00", f)));
    ASSERT_EQ(SE_OK, parse_np("PUR11.00" + FS));
}

TEST_F(Decoder, StoredTransactionLimits)
{
    std::vector<std::string> f = cat(standard_fields(), tail_fields());
    f[14] = std::string(21, 'B');
    EXPECT_EQ(SE_SIZE, parse_np(message("GTS11.", "00", f)));
    EXPECT_STREQ("ADDITIONAL", report->Fld63Sf89);
    EXPECT_EQ(0, report->NameBank[0]);

    f = cat(standard_fields(), tail_fields());
    f[15] = std::string(2049, 'R');
    EXPECT_EQ(SE_SIZE, parse_np(message("GTS11.", "00", f)));
    EXPECT_EQ(0, report->Receipt[0]);

    f = standard_fields();
    f.push_back("ADD");
    f.push_back("BANK");
    ASSERT_EQ(SE_OK, parse_np(message("GTS11.", "00", f)));
    EXPECT_EQ("BANK", std::string(report->NameBank, 4));
    EXPECT_EQ(0, report->Receipt[0]);
}

class DecoderLog : public Decoder {
protected:
    void SetUp() override
    {
        logtest::ResetProcessLogger(dir);
        path = dir.file("decoder.log");
        ASSERT_TRUE(ConfigureFile(path));
        el::set_logging(true);
    }
    std::string finish()
    {
        el::set_logging(false);
        CloseLog();
        return support::read_file(path);
    }
    logtest::ScratchDir dir;
    std::string path;
};

TEST_F(DecoderLog, RecordsOfRejectedResponses)
{
    parse("PUR12.12345" + FS);
    parse("XYZ12.00" + FS);
    parse("PUR19.00" + FS);
    parse("PUR12.0");
    ecr_parse_response(nullptr, 8, nullptr);
    std::string log = finish();
    EXPECT_NE(std::string::npos, log.find(" [LOG_ERROR> ] [ecr_parse_response:")) << log;
    EXPECT_NE(std::string::npos, log.find("] Cannot find field separator\n")) << log;
    EXPECT_NE(std::string::npos, log.find("[UNCKNOWN MSG TYPE]")) << log;
    EXPECT_NE(std::string::npos, log.find("[UNCKNOWN MSG NUM]")) << log;
    EXPECT_NE(std::string::npos, log.find("]  Buffer size less than 8\n")) << log;
    EXPECT_NE(std::string::npos, log.find("]  NULL response_buf  NULL report_ctx \n")) << log;
}

TEST_F(DecoderLog, StoredTransactionTraceRecords)
{
    std::vector<std::string> f = standard_fields();
    f.insert(f.end(), {"ADD", "BANK", "RCPT"});
    ASSERT_EQ(SE_OK, parse_np(message("GTS11.", "00", f)));
    f.pop_back();
    ASSERT_EQ(SE_OK, parse_np(message("GTS11.", "00", f)));
    f.back() = std::string(21, 'B');
    ASSERT_EQ(SE_SIZE, parse_np(message("GTS11.", "00", f)));
    std::string log = finish();
    EXPECT_NE(std::string::npos, log.find(" [LOG_INFO>  ] [ecr_parse_response_NP:")) << log;
    EXPECT_NE(std::string::npos, log.find("] NameBank []\n")) << log;
    EXPECT_NE(std::string::npos, log.find("] Receipt start []\n")) << log;
    EXPECT_NE(std::string::npos, log.find("] Receipt error []\n")) << log;
    EXPECT_NE(std::string::npos, log.find("] NameBank error\n")) << log;
    EXPECT_NE(std::string::npos, log.find("[Receipt]")) << log;
}

}  // namespace
