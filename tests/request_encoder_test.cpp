// Payment request encoder: every layout byte by byte, the range checks and
// the one change it makes to the record.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/request_encoder.h"

namespace {

const std::string FS = "\x1C";

class Encoder : public ::testing::Test {
protected:
    Encoder() : buf(16384, 0xEE) { std::memset(&req, 0, sizeof req); }

    // Encodes req; on success returns the message, on failure "" with status set.
    std::string encode()
    {
        len = 0xDEAD;
        status = ecr_build_init_transaction(buf.data(), &len, &req);
        if (status != SE_OK)
            return std::string();
        return std::string(reinterpret_cast<const char*>(buf.data()), len);
    }
    std::string encode(uint16_t op)
    {
        req.trx_type = op;
        return encode();
    }
    bool rest_is_zero() const
    {
        for (size_t i = len; i < buf.size(); ++i)
            if (buf[i] != 0)
                return false;
        return true;
    }
    // Common-layout tail for flags off, rrn zero and all texts empty.
    static std::string plain_card_block(const std::string& merchant = "00", const std::string& entry = "0")
    {
        return "000000" + FS + FS + FS + FS + "000" + FS + merchant + FS + FS + FS + FS + entry + FS + FS + FS;
    }

    std::vector<unsigned char> buf;
    _init_transaction_request req;
    unsigned int len = 0;
    unsigned int status = 0;
};

TEST_F(Encoder, WorkedPurchaseExampleIs66ExactBytes)
{
    req.amount = 12.34;
    req.ecr_num = 1;
    req.ecr_receipt_num = 57;
    req.currency_code = 643;
    std::string msg = encode(1);
    ASSERT_EQ(SE_OK, status);
    EXPECT_EQ("PUR10.01" + FS + "57" + FS + "000000001234" + FS + "000000000000" + FS + "643" + FS +
                  plain_card_block(),
              msg);
    EXPECT_EQ(66u, len);
    EXPECT_TRUE(rest_is_zero());
}

TEST_F(Encoder, RejectsNullArgumentsAndOperationsWithoutLayout)
{
    EXPECT_EQ(SE_PARAM, ecr_build_init_transaction(nullptr, &len, &req));
    EXPECT_EQ(SE_PARAM, ecr_build_init_transaction(buf.data(), nullptr, &req));
    EXPECT_EQ(SE_PARAM, ecr_build_init_transaction(buf.data(), &len, nullptr));
    for (uint16_t op : {0, 3, 4, 13, 29, 33, 34, 44, 48, 1000}) {
        encode(op);
        EXPECT_EQ(SE_SYNTAX, status) << "op " << op;
        EXPECT_EQ(0xDEADu, len) << "length untouched on failure, op " << op;
    }
}

TEST_F(Encoder, ShortLayoutsWithoutSeparator)
{
    EXPECT_EQ("PNG10.", encode(43));
    EXPECT_EQ(0xEE, buf[6]) << "the ping request does not clear the buffer";
    EXPECT_EQ("ECH10.", encode(39));
    EXPECT_TRUE(rest_is_zero());
    EXPECT_EQ("IFC10.", encode(40));
    EXPECT_EQ("IFN10.", encode(41));
    EXPECT_EQ("PPD10.", encode(6));
    std::strcpy(req.print_text, "HELLO\nWORLD");
    EXPECT_EQ("PST10.HELLO\nWORLD", encode(45));
    EXPECT_EQ(17u, len);
}

TEST_F(Encoder, PrintTextFilledToItsWidthIsReadNoFurther)
{
    std::memset(req.print_text, 'P', sizeof req.print_text);  // no terminator
    std::string msg = encode(45);
    ASSERT_EQ(SE_OK, status);
    EXPECT_EQ(6u + sizeof req.print_text, len);
    EXPECT_EQ("PST10." + std::string(sizeof req.print_text, 'P'), msg);
}

TEST_F(Encoder, SettlementLayoutsWithAndWithoutMerchant)
{
    EXPECT_EQ("STL10." + FS, encode(7));
    EXPECT_EQ("SLR10." + FS, encode(15));
    EXPECT_EQ("SLO10." + FS, encode(38));
    EXPECT_EQ("XRP10.", encode(32));
    req.merchant_id = 3;
    EXPECT_EQ("STL10.03" + FS, encode(7));
    EXPECT_EQ(9u, len);
    EXPECT_EQ("SLR10.03" + FS, encode(15));
    EXPECT_EQ("SLO10.03" + FS, encode(38));
    EXPECT_EQ("XRP10.03" + FS, encode(32));
    req.merchant_id = 99;
    EXPECT_EQ("STL10.99" + FS, encode(7));
    req.merchant_id = 100;
    for (uint16_t op : {7, 15, 38, 32}) {
        encode(op);
        EXPECT_EQ(SE_SYNTAX, status) << "op " << op;
    }
}

TEST_F(Encoder, CardIdentVoidAndDiscountRequests)
{
    EXPECT_EQ("CID10." + FS, encode(30));
    std::strcpy(req.invoice_num, "000042");
    EXPECT_EQ("VOD10.000042" + FS, encode(8));
    EXPECT_EQ(13u, len);
    req.discount_req_type = 7;
    EXPECT_EQ("RDC10.07" + FS, encode(9));
    req.discount_req_type = 99;
    EXPECT_EQ("RDC10.99" + FS, encode(9));
    req.discount_req_type = 100;
    encode(9);
    EXPECT_EQ(SE_SYNTAX, status);
}

// The invoice field is positional: a void without invoice number still
// carries the field's six (zero) bytes.
TEST_F(Encoder, VoidWithoutInvoiceKeepsTheSixBytesOfTheField)
{
    EXPECT_EQ("VOD10." + std::string(6, '\0') + FS, encode(8));
    EXPECT_EQ(13u, len);
}

TEST_F(Encoder, CompletionRequest)
{
    req.complete_type = 2;
    req.amount = 100.5;
    EXPECT_EQ("RDC14.2" + FS + "000000010050" + FS, encode(10));
    EXPECT_EQ(21u, len);
    req.complete_type = 10;
    encode(10);
    EXPECT_EQ(SE_SYNTAX, status);
    req.complete_type = 1;
    req.amount = 10000000000.0;
    encode(10);
    EXPECT_EQ(SE_SYNTAX, status);
    req.amount = -1.0;
    encode(10);
    EXPECT_EQ(SE_SYNTAX, status);
}

TEST_F(Encoder, PartialVoidChecksItsAmount)
{
    std::strcpy(req.invoice_num, "123456");
    req.amount = 9999999999.99;
    EXPECT_EQ("PVD10.123456" + FS + "999999999999" + FS, encode(20));
    EXPECT_EQ(26u, len);
    req.amount = 10000000000.0;
    encode(20);
    EXPECT_EQ(SE_SYNTAX, status);
    EXPECT_EQ("PVD10.123456" + FS, std::string(reinterpret_cast<char*>(buf.data()), 13))
        << "header and invoice are already in the buffer";
    req.amount = -0.01;
    encode(20);
    EXPECT_EQ(SE_SYNTAX, status);
}

TEST_F(Encoder, ServiceParametersWithoutParametersCarrySixteenSeparators)
{
    req.amount = 1;
    req.currency_code = 643;
    EXPECT_EQ("SEP10.000000000100" + FS + "643" + FS + std::string(16, '\x1C') + FS, encode(16));
    EXPECT_EQ(6u + 13 + 4 + 16 + 1, len);
}

TEST_F(Encoder, ServiceParametersWithTextsAndMerchantSymbol)
{
    req.amount = 0;
    req.currency_code = 980;
    std::strcpy(req.service_params[0].text, "ALPHA");
    std::memcpy(req.service_params[2].text, "0123456789ABCDEF", 16);  // full width, no terminator
    req.service_params[2].separator = 0x1C;
    req.merchant_id5_symbol = 'Q';
    std::string params = "ALPHA" + FS + FS + "0123456789ABCDEF" + FS + std::string(13, '\x1C');
    EXPECT_EQ("SEP10.000000000000" + FS + "980" + FS + params + "Q" + FS, encode(16));
    EXPECT_EQ('Q', req.merchant_id5_symbol) << "only the common layout clears the symbol";
}

TEST_F(Encoder, ServiceParametersWithMerchantData)
{
    req.amount = 2.5;
    req.currency_code = 7;
    req.nominal_number = 4;
    std::strcpy(req.service_params[1].text, "P2");
    std::string params = FS + "P2" + FS + std::string(14, '\x1C');
    EXPECT_EQ("SRC10.000000000250" + FS + "007" + FS + "4" + FS + params + FS + FS, encode(42));

    req.merchant_id = 5;
    std::memcpy(req.service_number, "123", 3);
    EXPECT_EQ("SRC10.000000000250" + FS + "007" + FS + "4" + FS + params + "05" + FS + "123" + FS, encode(42));

    req.merchant_id = 100;
    encode(42);
    EXPECT_EQ(SE_FORMAT, status);
}

TEST_F(Encoder, ServiceParameterNumbersThatDoNotFitAreRefused)
{
    req.nominal_number = 10;
    encode(42);
    EXPECT_EQ(SE_SYNTAX, status);
    req.nominal_number = 9;
    req.currency_code = 1000;
    encode(42);
    EXPECT_EQ(SE_SYNTAX, status);
    encode(16);
    EXPECT_EQ(SE_SYNTAX, status);
    req.currency_code = 1;
    req.amount = 10000000000.0;
    encode(16);
    EXPECT_EQ(SE_SYNTAX, status);
    req.amount = -5;
    encode(42);
    EXPECT_EQ(SE_SYNTAX, status);
}

TEST_F(Encoder, CommonLayoutAmounts)
{
    req.amount = 0.1;
    EXPECT_EQ("PUR10.00" + FS + "0" + FS + "000000000010" + FS + "000000000000" + FS + "000" + FS +
                  plain_card_block(),
              encode(1));
    req.amount = 9999999999.99;
    req.add_amount = 9999999999.99;
    EXPECT_NE(std::string::npos, encode(1).find("999999999999" + FS + "999999999999" + FS));
    req.amount = 10000000000.0;
    encode(1);
    EXPECT_EQ(SE_SYNTAX, status);
    req.amount = 1;
    req.add_amount = 10000000000.0;
    encode(1);
    EXPECT_EQ(SE_SYNTAX, status);
    req.add_amount = -0.01;
    encode(1);
    EXPECT_EQ(SE_SYNTAX, status);
}

TEST_F(Encoder, CommonLayoutRefusesANegativeAmount)
{
    req.amount = -0.01;
    encode(1);
    EXPECT_EQ(SE_SYNTAX, status);
    req.amount = -0.0;
    EXPECT_NE(std::string::npos, encode(1).find(FS + "000000000000" + FS + "000000000000" + FS));
}

TEST_F(Encoder, CommonLayoutNumberRanges)
{
    req.ecr_receipt_num = 9999999999ULL;
    EXPECT_EQ("PUR10.00" + FS + "9999999999" + FS, encode(1).substr(0, 20));
    req.ecr_receipt_num = 9999999999ULL + 1;
    encode(1);
    EXPECT_EQ(SE_SYNTAX, status);
    req.ecr_receipt_num = 0;
    req.ecr_num = 99;
    EXPECT_EQ("PUR10.99" + FS, encode(1).substr(0, 9));
    req.ecr_num = 100;
    encode(1);
    EXPECT_EQ(SE_SYNTAX, status);
    req.ecr_num = 0;
    req.currency_code = 1000;
    encode(1);
    EXPECT_EQ(SE_SYNTAX, status);
    req.currency_code = 0;
    req.merchant_id = 100;
    encode(1);
    EXPECT_EQ(SE_SYNTAX, status);
}

TEST_F(Encoder, CommonLayoutDigitFieldsAndTexts)
{
    std::strcpy(req.digits6, "123");
    std::strcpy(req.digits3, "");
    std::strcpy(req.card_track2, "4111=2512");
    std::strcpy(req.host_text, "HOST");
    req.merchant_id = 7;
    req.ecr_receipt_num = 42;
    std::string msg = encode(2);
    EXPECT_EQ("REF10.00" + FS + "42" + FS + "000000000000" + FS + "000000000000" + FS + "000" + FS + "000123" +
                  FS + FS + "4111=2512" + FS + FS + "000" + FS + "07" + FS + "HOST" + FS + FS + FS + "0" + FS +
                  FS + FS,
              msg);
    std::strcpy(req.digits6, "1234567");  // longer than six: its first six
    std::strcpy(req.digits3, "12");
    msg = encode(2);
    EXPECT_NE(std::string::npos, msg.find(FS + "123456" + FS));
    EXPECT_NE(std::string::npos, msg.find(FS + "012" + FS + "07" + FS));
}

TEST_F(Encoder, MerchantSymbolIsSentOnceAndCleared)
{
    req.merchant_id5_symbol = '5';
    std::string first = encode(1);
    ASSERT_EQ(SE_OK, status);
    EXPECT_EQ(FS + "0" + FS + FS + "5" + FS, first.substr(first.size() - 6));
    EXPECT_EQ(0, req.merchant_id5_symbol);
    std::string second = encode(1);
    EXPECT_EQ(FS + "0" + FS + FS + FS, second.substr(second.size() - 5));
    for (uint8_t c : {uint8_t('0'), uint8_t('Z'), uint8_t(0)}) {
        req.merchant_id5_symbol = c;
        std::string msg = encode(1);
        EXPECT_EQ(65u, msg.size()) << int(c);  // receipt number 0 is one digit
        EXPECT_EQ(c, req.merchant_id5_symbol) << "not sent, so not cleared";
    }
}

TEST_F(Encoder, RrnPinRequestAndEntryMode)
{
    std::memcpy(req.rrn, "000000000000", 12);
    req.pin_request = true;
    req.entry_mode = true;
    std::string msg = encode(1);
    EXPECT_EQ(FS + "1" + FS + "000000000000" + FS + "1" + FS + FS + FS, msg.substr(msg.size() - 20));
    EXPECT_EQ(65u + 1 + 12, len);
    std::memcpy(req.rrn, "123456789012", 12);
    msg = encode(1);
    EXPECT_NE(std::string::npos, msg.find(FS + "123456789012" + FS));
}

TEST_F(Encoder, CompletionWithoutCardCarriesTheApprovalCode)
{
    std::memcpy(req.auth_code, "AB12CD", 6);  // not terminated
    std::string msg = encode(17);
    ASSERT_EQ(SE_OK, status);
    EXPECT_EQ("AFC10.", msg.substr(0, 6));
    EXPECT_EQ(FS + "1" + FS + "AB12CD" + FS + FS, msg.substr(msg.size() - 11));
    // A shorter code still fills the positional field's six bytes.
    std::memset(req.auth_code, 0, sizeof req.auth_code);
    std::memcpy(req.auth_code, "1234", 4);
    msg = encode(17);
    EXPECT_EQ(FS + "1" + FS + std::string("1234\0\0", 6) + FS + FS, msg.substr(msg.size() - 11));
    // Other operations leave the approval code out.
    std::string plain = encode(1);
    EXPECT_EQ(FS + "0" + FS + FS + FS, plain.substr(plain.size() - 5));
}

TEST_F(Encoder, HeadersOfTheCommonLayout)
{
    const struct {
        uint16_t op;
        const char* header;
    } cases[] = {{1, "PUR10."},  {2, "REF10."},  {5, "DSC12."},  {11, "AUH10."}, {12, "AHF10."}, {14, "PCC10."},
                 {17, "AFC10."}, {18, "PIR10."}, {19, "RFI10."}, {21, "OFN10."}, {31, "RFC12."}, {35, "CSH10."},
                 {36, "CRC10."}, {37, "BAL10."}, {46, "ACC10."}, {47, "VID10."}};
    for (const auto& c : cases) {
        std::string msg = encode(c.op);
        ASSERT_EQ(SE_OK, status) << c.header;
        EXPECT_EQ(c.header, msg.substr(0, 6));
        std::string expected = "00" + FS + "0" + FS + "000000000000" + FS + "000000000000" + FS + "000" + FS +
                               plain_card_block("00", c.op == 17 ? "1" : "0");
        if (c.op == 17)  // the approval code's six (here zero) bytes before the last two separators
            expected.insert(expected.size() - 2, std::string(6, '\0'));
        EXPECT_EQ(expected, msg.substr(6)) << c.header;
    }
}

TEST_F(Encoder, LoyaltyLayoutsEndWhereTheirFieldsEnd)
{
    req.ecr_num = 2;
    req.ecr_receipt_num = 9;
    req.amount = 3;
    req.add_amount = 1;
    req.currency_code = 643;
    std::strcpy(req.invoice_num, "000777");
    std::strcpy(req.loyalty_ref, "REF001");
    req.loyalty_number = 42;
    EXPECT_EQ("LRW10.02" + FS + "9" + FS + "000000000300" + FS + "643", encode(22));
    EXPECT_EQ("LRD10.02" + FS + "9" + FS + "000000000300" + FS + "643", encode(23));
    EXPECT_EQ("LWV10.02" + FS + "000777" + FS + "000000000300", encode(24));
    EXPECT_EQ("LDV10.02" + FS + "000777" + FS + "000000000300", encode(25));
    EXPECT_EQ("LWR10.02" + FS + "000777" + FS + "9" + FS + "REF001" + FS + "000042" + FS + "000000000300",
              encode(26));
    EXPECT_EQ("LDR10.02" + FS + "000777" + FS + "9" + FS + "REF001" + FS + "000042" + FS + "000000000300",
              encode(27));
    EXPECT_EQ("LGO10.02" + FS + "9", encode(28));
    req.invoice_num[0] = 0;
    req.loyalty_ref[0] = 0;
    EXPECT_EQ("LWR10.02" + FS + FS + "9" + FS + FS + "000042" + FS + "000000000300", encode(26));
    req.loyalty_number = 1000000;
    encode(26);
    EXPECT_EQ(SE_SYNTAX, status);
}

}  // namespace
