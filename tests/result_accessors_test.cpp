// Result accessors read straight from a last report filled by the test:
// exact byte counts of the text copies, the conversions of the numbers, the
// report-kind checks, the multi-currency blocks, the summary counters and the
// CP1251 -> UTF-8 conversion of the receipt and bank-name exports.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/service_terminal.h"

namespace {

constexpr unsigned char kSentinel = 0xA5;

class ResultAccessors : public ::testing::Test {
protected:
    void SetUp() override
    {
        ecr = create_object();
        ASSERT_NE(ecr, nullptr);
        r = ecr->GetLastReport();
        std::memset(r, 0, sizeof(*r));
    }

    // Fill a text field completely with non-zero bytes (no terminator) and
    // check that the accessor copies exactly `width` bytes.
    template <std::size_t N>
    void expect_fixed_copy(char (&field)[N], int (*exported)(char*), const char* name)
    {
        for (std::size_t i = 0; i < N; ++i)
            field[i] = static_cast<char>('a' + i % 26);
        std::vector<unsigned char> buf(N + 8, kSentinel);
        ASSERT_EQ(exported(reinterpret_cast<char*>(buf.data())), 0) << name;
        EXPECT_EQ(std::memcmp(buf.data(), field, N), 0) << name;
        for (std::size_t i = N; i < buf.size(); ++i)
            ASSERT_EQ(buf[i], kSentinel) << name << " wrote byte " << i;
    }

    CVarkoClass2017* ecr = nullptr;
    _ecr_transaction_report* r = nullptr;
};

TEST_F(ResultAccessors, TextAccessorsCopyTheFieldsFullWidthAndNoMore)
{
    expect_fixed_copy(r->RRN, get_LastTrxRRN, "RRN");
    expect_fixed_copy(r->PAN, get_LastTrxPAN, "PAN");
    expect_fixed_copy(r->ApprovalCode, get_LastTrxApprovalCode, "ApprovalCode");
    expect_fixed_copy(r->IssuerName, get_LastTrxIssuerName, "IssuerName");
    expect_fixed_copy(r->MerchantId, get_LastTrxMerchantId, "MerchantId");
    expect_fixed_copy(r->CardName, get_LastTrxCardName, "CardName");
    expect_fixed_copy(r->TerminalID, get_LastTrxTerminalID, "TerminalID");
    expect_fixed_copy(r->Track3, get_LastTrxTrack3, "Track3");
    expect_fixed_copy(r->Fld63Sf89, get_LastTrxFld63Sf89, "Fld63Sf89");
    EXPECT_EQ(sizeof(r->RRN), 13u);
    EXPECT_EQ(sizeof(r->Fld63Sf89), 999u);
}

TEST_F(ResultAccessors, ShortTextIsCopiedWithTheZerosOfItsField)
{
    std::strcpy(r->RRN, "1234");
    std::vector<unsigned char> buf(16, kSentinel);
    ASSERT_EQ(get_LastTrxRRN(reinterpret_cast<char*>(buf.data())), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(buf.data()), "1234");
    for (int i = 4; i < 13; ++i)
        EXPECT_EQ(buf[i], 0) << i;
    EXPECT_EQ(buf[13], kSentinel);
}

TEST_F(ResultAccessors, LogosAreCopiedAsRawBytes)
{
    for (std::size_t i = 0; i < sizeof(r->BankLogo); ++i) {
        r->BankLogo[i] = static_cast<uint8_t>(i * 7);
        r->SignatureLogo[i] = static_cast<uint8_t>(255 - i);
    }
    std::vector<unsigned char> buf(8192 + 4, kSentinel);
    ASSERT_EQ(get_LastTrxBankLogo(reinterpret_cast<char*>(buf.data())), 0);
    EXPECT_EQ(std::memcmp(buf.data(), r->BankLogo, 8192), 0);
    EXPECT_EQ(buf[8192], kSentinel);
    std::fill(buf.begin(), buf.end(), kSentinel);
    ASSERT_EQ(get_LastTrxSignatureLogo(reinterpret_cast<char*>(buf.data())), 0);
    EXPECT_EQ(std::memcmp(buf.data(), r->SignatureLogo, 8192), 0);
    EXPECT_EQ(buf[8192], kSentinel);
}

TEST_F(ResultAccessors, OpTagWritesExactlyThreeBytes)
{
    std::memcpy(r->OpTag, "PUR", 4);
    char buf[5] = {'x', 'x', 'x', 'Q', 'W'};
    ASSERT_EQ(get_LastTrxOpTag(buf), 0);
    EXPECT_EQ(std::string(buf, 5), "PURQW");
}

TEST_F(ResultAccessors, NullPointersGiveMinusOneFromTheExportsAndOneFromTheMembers)
{
    EXPECT_EQ(get_LastTrxRRN(nullptr), -1);
    EXPECT_EQ(get_LastTrxReceipt(nullptr), -1);
    EXPECT_EQ(get_LastTrxNameBank(nullptr), -1);
    EXPECT_EQ(get_LastTrxAmount(nullptr), -1);
    EXPECT_EQ(get_LastTrxEcrNum(nullptr), -1);
    EXPECT_EQ(get_LastTrxSalesCount(nullptr), -1);
    EXPECT_EQ(get_LastTrxOpTag(nullptr), -1);

    EXPECT_EQ(ecr->get_LastTrxRRN(nullptr), 1);
    EXPECT_EQ(ecr->get_LastTrxPAN(nullptr), 1);
    EXPECT_EQ(ecr->get_LastTrxReceipt(nullptr), 1);
    EXPECT_EQ(ecr->get_LastTrxAmount(nullptr), 1);
    EXPECT_EQ(ecr->get_LastTrxLoyalRespCode(nullptr), 1);
    EXPECT_EQ(ecr->get_LastTrxDebitsAmount(nullptr), 1);
    EXPECT_EQ(ecr->get_LastTrxRNK(nullptr), 1);
    EXPECT_EQ(ecr->get_LastTrxTrack2(nullptr), 1);
}

TEST_F(ResultAccessors, NullPointerRecordsAreWrittenToTheLog)
{
    support::LogDir dir;
    ASSERT_EQ(put_EcrLogingPath(dir.path().c_str()), 0);
    ASSERT_EQ(ecr->get_LastTrxRRN(nullptr), 1);
    ASSERT_EQ(ecr->get_LastTrxReceipt(nullptr), 1);
    ASSERT_EQ(ecr->get_LastTrxCardName(nullptr), 1);
    const std::string log = dir.drained_log();
    EXPECT_NE(log.find("[get_LastTrxRRN:"), std::string::npos) << log;
    EXPECT_NE(log.find("]  bstrRRN == NULL"), std::string::npos) << log;
    EXPECT_NE(log.find("]  receipt == NULL"), std::string::npos) << log;
    EXPECT_NE(log.find("]  pVal == NULL"), std::string::npos) << log;
}

TEST_F(ResultAccessors, NumbersAreWidenedFromTheirFields)
{
    r->Amount = 12.34;
    r->AddAmount = 0.5;
    r->TotalAmount = 99.99;
    r->EcrNum = 65535;
    r->EcrReceiptNum = 4000000000u;
    r->InvoceNumber = 321;
    r->ProcessingCode = 123456;
    r->BatchId = 77;
    r->CardExpireYear = 27;
    r->CardExpireMonth = 12;
    r->TransactionDateDay = 5;
    r->TransactionDateMonth = 3;
    r->TransactionTimeHours = 14;
    r->TransactionTimeMinutes = 45;
    r->PosEntryMode = 51;
    r->PosConditionCode = 7;
    r->CaptureReference = 42;
    r->SalesCount = 3;
    r->RefundsCount = 2;
    r->TotalTrxCount = 5;
    r->LoyalGiftCount = 9;
    r->ResponseCode = 1;
    r->CurrencyCode = 643;

    double d = 0;
    ASSERT_EQ(get_LastTrxAmount(&d), 0);
    EXPECT_DOUBLE_EQ(d, 12.34);
    ASSERT_EQ(get_LastTrxAddAmount(&d), 0);
    EXPECT_DOUBLE_EQ(d, 0.5);
    ASSERT_EQ(get_LastTrxTotalAmount(&d), 0);
    EXPECT_DOUBLE_EQ(d, 99.99);
    ASSERT_EQ(ecr->get_LastTrxLoyalTotalAmount(&d), 0);
    EXPECT_DOUBLE_EQ(d, 99.99);

    long l = 0;
    ASSERT_EQ(get_LastTrxEcrNum(&l), 0);
    EXPECT_EQ(l, 65535);
    l = 0;
    EXPECT_EQ(get_LastTrxEcrReceiptNum(&l), E_INVALIDARG);  // beyond a 32-bit long: refused, not wrapped
    EXPECT_EQ(l, 0);
    ASSERT_EQ(get_LastTrxInvoceNumber(&l), 0);
    EXPECT_EQ(l, 321);
    ASSERT_EQ(get_LastTrxProcessingCode(&l), 0);
    EXPECT_EQ(l, 123456);
    ASSERT_EQ(ecr->get_LastTrxBatchId(&l), 0);
    EXPECT_EQ(l, 77);
    ASSERT_EQ(get_LastTrxCardExpireYear(&l), 0);
    EXPECT_EQ(l, 27);
    ASSERT_EQ(get_LastTrxCardExpireMonth(&l), 0);
    EXPECT_EQ(l, 12);
    ASSERT_EQ(get_LastTrxTransactionDateDay(&l), 0);
    EXPECT_EQ(l, 5);
    ASSERT_EQ(get_LastTrxTransactionDateMonth(&l), 0);
    EXPECT_EQ(l, 3);
    ASSERT_EQ(get_LastTrxTransactionTimeHours(&l), 0);
    EXPECT_EQ(l, 14);
    ASSERT_EQ(get_LastTrxTransactionTimeMinutes(&l), 0);
    EXPECT_EQ(l, 45);
    ASSERT_EQ(get_LastTrxPosEntryMode(&l), 0);
    EXPECT_EQ(l, 51);
    ASSERT_EQ(get_LastTrxPosConditionCode(&l), 0);
    EXPECT_EQ(l, 7);
    ASSERT_EQ(get_LastTrxCaptureReference(&l), 0);
    EXPECT_EQ(l, 42);

    unsigned short u = 0;
    ASSERT_EQ(get_LastTrxSalesCount(&u), 0);
    EXPECT_EQ(u, 3);
    ASSERT_EQ(get_LastTrxRefundsCount(&u), 0);
    EXPECT_EQ(u, 2);
    ASSERT_EQ(get_LastTrxTotalTrxCount(&u), 0);
    EXPECT_EQ(u, 5);
    ASSERT_EQ(ecr->get_LastTrxLoyalGiftCount(&u), 0);
    EXPECT_EQ(u, 9);
    ASSERT_EQ(ecr->get_LastTrxLoyalRespCode(&u), 0);
    EXPECT_EQ(u, 1);
    ASSERT_EQ(ecr->get_LastTrxCurrencyCode(&u), 0);
    EXPECT_EQ(u, 643);
}

TEST_F(ResultAccessors, InvoiceNumberIsAlsoLogged)
{
    support::LogDir dir;
    ASSERT_EQ(put_EcrLogingPath(dir.path().c_str()), 0);
    r->InvoceNumber = 4711;
    long l = 0;
    ASSERT_EQ(get_LastTrxInvoceNumber(&l), 0);
    EXPECT_EQ(l, 4711);
    const std::string log = dir.drained_log();
    EXPECT_NE(log.find("[get_LastTrxInvoceNumber:"), std::string::npos) << log;
    EXPECT_NE(log.find("This is invoice num in ECR  object[4711]"), std::string::npos) << log;
}

TEST_F(ResultAccessors, DebitAndCreditAmountsOnlyForAMultiCurrencySettlement)
{
    r->TrxType = 1;
    r->DebitsAmount = 1.5;
    r->DebitsCommissionAmount = 0.25;
    r->CreditsAmount = 3.0;
    r->CreditsCommissionAmount = 0.75;
    double d = -1.0;
    EXPECT_EQ(ecr->get_LastTrxDebitsAmount(&d), ECR_E_WRONG_REPORT);
    EXPECT_EQ(ecr->get_LastTrxDebitsCommissionAmount(&d), 5023);
    EXPECT_EQ(ecr->get_LastTrxCreditsAmount(&d), 5023);
    EXPECT_EQ(ecr->get_LastTrxCreditsCommissionAmount(&d), 5023);
    EXPECT_EQ(d, -1.0);  // nothing written

    r->TrxType = 38;
    ASSERT_EQ(ecr->get_LastTrxDebitsAmount(&d), 0);
    EXPECT_DOUBLE_EQ(d, 1.5);
    ASSERT_EQ(ecr->get_LastTrxDebitsCommissionAmount(&d), 0);
    EXPECT_DOUBLE_EQ(d, 0.25);
    ASSERT_EQ(ecr->get_LastTrxCreditsAmount(&d), 0);
    EXPECT_DOUBLE_EQ(d, 3.0);
    ASSERT_EQ(ecr->get_LastTrxCreditsCommissionAmount(&d), 0);
    EXPECT_DOUBLE_EQ(d, 0.75);
}

TEST_F(ResultAccessors, MultiCurrencyBlocksAreSelectedOneByOne)
{
    EXPECT_EQ(ecr->PosGetMultiCurrencyReportByIndex(1), ECR_E_WRONG_REPORT);  // not a settlement
    r->TrxType = 38;
    for (int i = 0; i < 6; ++i) {
        CurrencyReport& b = r->CurrencyReports[i];
        b.CurrencyCode = static_cast<uint16_t>(100 + i);
        b.Amount = 10.0 + i;
        b.DebitsAmount = 20.0 + i;
        b.DebitsCommissionAmount = 30.0 + i;
        b.AddAmount = 40.0 + i;
        b.CreditsAmount = 50.0 + i;
        b.CreditsCommissionAmount = 60.0 + i;
        b.TotalAmount = 70.0 + i;
        b.SalesCount = static_cast<uint16_t>(1 + i);
        b.RefundsCount = static_cast<uint16_t>(2 + i);
        b.TotalTrxCount = static_cast<uint16_t>(3 + i);
    }
    EXPECT_EQ(ecr->PosGetMultiCurrencyReportByIndex(0), E_INVALIDARG);
    EXPECT_EQ(ecr->PosGetMultiCurrencyReportByIndex(7), E_INVALIDARG);

    for (int index = 1; index <= 6; ++index) {
        ASSERT_EQ(ecr->PosGetMultiCurrencyReportByIndex(static_cast<unsigned char>(index)), 0);
        const int i = index - 1;
        unsigned short u = 0;
        double d = 0;
        ASSERT_EQ(ecr->get_LastTrxCurrencyCode(&u), 0);
        EXPECT_EQ(u, 100 + i);
        ASSERT_EQ(get_LastTrxAmount(&d), 0);
        EXPECT_DOUBLE_EQ(d, 10.0 + i);
        ASSERT_EQ(ecr->get_LastTrxDebitsAmount(&d), 0);
        EXPECT_DOUBLE_EQ(d, 20.0 + i);
        ASSERT_EQ(ecr->get_LastTrxDebitsCommissionAmount(&d), 0);
        EXPECT_DOUBLE_EQ(d, 30.0 + i);
        ASSERT_EQ(get_LastTrxAddAmount(&d), 0);
        EXPECT_DOUBLE_EQ(d, 40.0 + i);
        ASSERT_EQ(ecr->get_LastTrxCreditsAmount(&d), 0);
        EXPECT_DOUBLE_EQ(d, 50.0 + i);
        ASSERT_EQ(ecr->get_LastTrxCreditsCommissionAmount(&d), 0);
        EXPECT_DOUBLE_EQ(d, 60.0 + i);
        ASSERT_EQ(get_LastTrxTotalAmount(&d), 0);
        EXPECT_DOUBLE_EQ(d, 70.0 + i);
        ASSERT_EQ(get_LastTrxSalesCount(&u), 0);
        EXPECT_EQ(u, 1 + i);
        ASSERT_EQ(get_LastTrxRefundsCount(&u), 0);
        EXPECT_EQ(u, 2 + i);
        ASSERT_EQ(get_LastTrxTotalTrxCount(&u), 0);
        EXPECT_EQ(u, 3 + i);
    }
}

TEST_F(ResultAccessors, PointerAccessorsPointIntoTheReports)
{
    char* p = nullptr;
    ASSERT_EQ(ecr->get_LastTrxRNK(&p), 0);
    EXPECT_EQ(p, r->RNK);
    ASSERT_EQ(ecr->get_LastTrxProductCode(&p), 0);
    EXPECT_EQ(p, r->ProductCode);
    ASSERT_EQ(ecr->get_LastTrxLoyalOperDate(&p), 0);
    EXPECT_EQ(p, r->LoyalOperDate);
    ASSERT_EQ(ecr->get_LastTrxLoyalPAN(&p), 0);
    EXPECT_EQ(p, r->PAN);
    ASSERT_EQ(ecr->get_LastTrxLoyalGiftCode(&p), 0);
    EXPECT_EQ(p, r->LoyalGiftCode);
}

TEST_F(ResultAccessors, CardReadTextsOnlyAfterAFuelCardRead)
{
    _ecr_mread_report& m = ecr->m_MReadReport;
    std::memset(&m, 0, sizeof(m));
    std::strcpy(m.track2, "TRACK2");
    char* p = nullptr;
    for (uint16_t op : {0, 3, 4, 29, 31}) {
        m.operation = op;
        EXPECT_EQ(ecr->get_LastTrxTrack1(&p), 1) << op;
        EXPECT_EQ(ecr->get_LastTrxTrack2(&p), 1) << op;
        EXPECT_EQ(ecr->get_LastTrxSHA1Hash(&p), 1) << op;
        EXPECT_EQ(p, nullptr);
    }
    m.operation = 33;
    ASSERT_EQ(ecr->get_LastTrxTrack1(&p), 0);
    EXPECT_EQ(p, m.track1);
    ASSERT_EQ(ecr->get_LastTrxTrack2(&p), 0);
    EXPECT_EQ(p, m.track2);
    ASSERT_EQ(ecr->get_LastTrxSHA1Hash(&p), 0);
    EXPECT_EQ(p, m.sha1hash);
}

TEST_F(ResultAccessors, SummaryCountersReadTheLastSummary)
{
    ecr->m_GsiReport = _ecr_gsi_report{3, 9.55, 1, 0.2, 4, 120.0};
    int n = -1;
    double d = -1;
    ASSERT_EQ(CountPurchaseTransaction(&n), 0);
    EXPECT_EQ(n, 3);
    ASSERT_EQ(CountRefundTransaction(&n), 0);
    EXPECT_EQ(n, 1);
    ASSERT_EQ(CountVoidTransaction(&n), 0);
    EXPECT_EQ(n, 4);
    ASSERT_EQ(TotolAmoundPurchaseTransaction(&d), 0);
    EXPECT_DOUBLE_EQ(d, 9.55);
    ASSERT_EQ(TotolAmoundRefundTransaction(&d), 0);
    EXPECT_DOUBLE_EQ(d, 0.2);
    ASSERT_EQ(TotolAmoundVoidTransaction(&d), 0);
    EXPECT_DOUBLE_EQ(d, 120.0);

    EXPECT_EQ(CountPurchaseTransaction(nullptr), E_FAIL);
    EXPECT_EQ(CountRefundTransaction(nullptr), E_FAIL);
    EXPECT_EQ(CountVoidTransaction(nullptr), E_FAIL);
    EXPECT_EQ(TotolAmoundPurchaseTransaction(nullptr), E_FAIL);
    EXPECT_EQ(TotolAmoundRefundTransaction(nullptr), E_FAIL);
    EXPECT_EQ(TotolAmoundVoidTransaction(nullptr), E_FAIL);
}

TEST_F(ResultAccessors, DiscountAccessors)
{
    ecr->m_DiscountInfo.merchant_id = 5;
    std::strcpy(ecr->m_DiscountInfo.merchant_name, "Coffee Shop");
    std::strcpy(ecr->m_DiscountInfo.info, "05Coffee Shop1550");
    ecr->m_DiscountInfo.rate = 15.0;

    EXPECT_EQ(ecr->get_DiscountMerchantID(nullptr), 0);
    EXPECT_EQ(ecr->get_DiscountMerchantName(nullptr), 1);
    EXPECT_EQ(ecr->get_DiscountInfo(nullptr), 1);
    EXPECT_EQ(ecr->get_DiscountRate(nullptr), 1);

    unsigned char id = 0;
    ASSERT_EQ(ecr->get_DiscountMerchantID(&id), 0);
    EXPECT_EQ(id, 5);
    char* p = nullptr;
    ASSERT_EQ(ecr->get_DiscountMerchantName(&p), 0);
    EXPECT_STREQ(p, "Coffee Shop");
    ASSERT_EQ(ecr->get_DiscountInfo(&p), 0);
    EXPECT_STREQ(p, "05Coffee Shop1550");
    double rate = 0;
    ASSERT_EQ(ecr->get_DiscountRate(&rate), 0);
    EXPECT_DOUBLE_EQ(rate, 15.0);
}

// ---- receipt and bank name in UTF-8 ---------------------------------------

using support::cp1251_text;

TEST_F(ResultAccessors, FullReceiptWithoutTerminatorIsConvertedInFull)
{
    const std::string text = cp1251_text(sizeof(r->Receipt));
    std::memcpy(r->Receipt, text.data(), text.size());  // 2048 bytes, no terminator
    std::memset(r->BankLogo, 'Z', sizeof(r->BankLogo));  // the field behind it is not text
    const std::string expected = support::utf8_of(text);
    ASSERT_GT(expected.size(), 2048u);
    ASSERT_LE(expected.size(), 6144u);

    std::vector<unsigned char> buf(6145 + 64, kSentinel);
    ASSERT_EQ(get_LastTrxReceipt(reinterpret_cast<char*>(buf.data())), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data())), expected);
    // Nothing beyond the converted text and its terminator was written.
    for (std::size_t i = expected.size() + 1; i < buf.size(); ++i)
        ASSERT_EQ(buf[i], kSentinel) << "byte " << i;
}

TEST_F(ResultAccessors, ReceiptOfTheLargestSizeFitsItsDocumentedBuffer)
{
    // Every byte a three-byte character: 6144 bytes and the terminator.
    std::memset(r->Receipt, 0x88, sizeof(r->Receipt));
    std::vector<unsigned char> buf(6145 + 16, kSentinel);
    ASSERT_EQ(get_LastTrxReceipt(reinterpret_cast<char*>(buf.data())), 0);
    std::string expected;
    for (int i = 0; i < 2048; ++i)
        expected += "\xE2\x82\xAC";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data())), expected);
    EXPECT_EQ(buf[6144], 0);
    EXPECT_EQ(buf[6145], kSentinel);
}

TEST_F(ResultAccessors, ShortReceiptAndAsciiReceipt)
{
    std::strcpy(r->Receipt, "\xD7\xE5\xEA");  // "Чек"
    char buf[6145];
    ASSERT_EQ(get_LastTrxReceipt(buf), 0);
    EXPECT_STREQ(buf, "\xD0\xA7\xD0\xB5\xD0\xBA");

    std::strcpy(r->Receipt, "TOTAL 12.34");
    ASSERT_EQ(get_LastTrxReceipt(buf), 0);
    EXPECT_STREQ(buf, "TOTAL 12.34");

    std::memset(r->Receipt, 0, sizeof(r->Receipt));
    ASSERT_EQ(get_LastTrxReceipt(buf), 0);
    EXPECT_STREQ(buf, "");
}

TEST_F(ResultAccessors, UnconvertibleReceiptStaysInItsCodePageAndSucceeds)
{
    // 0x98 has no character in CP1251.
    std::memset(r->Receipt, 'A', sizeof(r->Receipt));
    r->Receipt[10] = '\x98';
    std::memset(r->BankLogo, 'Z', sizeof(r->BankLogo));
    std::vector<unsigned char> buf(6145, kSentinel);
    ASSERT_EQ(get_LastTrxReceipt(reinterpret_cast<char*>(buf.data())), 0);
    EXPECT_EQ(std::memcmp(buf.data(), r->Receipt, 2048), 0);
    EXPECT_EQ(buf[2048], 0);  // terminated after the copied bytes
    EXPECT_EQ(buf[2049], kSentinel);
}

TEST_F(ResultAccessors, FullBankNameIsConvertedWithoutReadingTheReceipt)
{
    const std::string name = "\xC1\xE0\xED\xEA \xD2\xE5\xF1\xF2 \xC0\xC1\xC2\xC3\xC4\xC5\xC6\xC7\xC8\xC9";  // 20 bytes
    ASSERT_EQ(name.size(), sizeof(r->NameBank));
    std::memcpy(r->NameBank, name.data(), name.size());
    std::memset(r->Receipt, 'R', sizeof(r->Receipt));  // right behind the name
    const std::string expected = support::utf8_of(name);

    std::vector<unsigned char> buf(61 + 8, kSentinel);
    ASSERT_EQ(get_LastTrxNameBank(reinterpret_cast<char*>(buf.data())), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data())), expected);
    for (std::size_t i = expected.size() + 1; i < buf.size(); ++i)
        ASSERT_EQ(buf[i], kSentinel) << "byte " << i;
}

TEST_F(ResultAccessors, AfterNoTransactionEverythingIsZeroOrEmpty)
{
    char text[6145];
    std::memset(text, 'x', sizeof text);
    ASSERT_EQ(get_LastTrxRRN(text), 0);
    EXPECT_STREQ(text, "");
    ASSERT_EQ(get_LastTrxReceipt(text), 0);
    EXPECT_STREQ(text, "");
    double d = 1;
    ASSERT_EQ(get_LastTrxAmount(&d), 0);
    EXPECT_EQ(d, 0.0);
    long l = 1;
    ASSERT_EQ(get_LastTrxInvoceNumber(&l), 0);
    EXPECT_EQ(l, 0);
}

}  // namespace
