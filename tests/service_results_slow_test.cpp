// Results of real transactions against the scripted terminal: a purchase
// read back through every accessor, the accessors after a refused start and
// after a failed transaction, a multi-currency settlement read block by
// block, a card-group read completed by its payment, the card
// identification, and an audit longer than 256 records.  Each transaction
// takes more than five seconds (the terminal's final response is confirmed
// after 5 s).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "compat/compat.h"
#include "support/service_terminal.h"

using namespace support;

namespace {

std::atomic<long> g_last_result{-1};
std::atomic<int> g_completions{0};
void on_complete(unsigned long result)
{
    g_last_result = static_cast<long>(result);
    ++g_completions;
}

class ServiceResults : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_last_result = -1;
        g_completions = 0;
        OnTrxComplete(on_complete);
    }
    void open()
    {
        t.start();
        ecr = connect(t);
        ASSERT_NE(ecr, nullptr);
    }
    void finish(unsigned timeout_ms = 30000)
    {
        EXPECT_TRUE(t.wait_done(timeout_ms));
        const auto errors = t.errors();
        EXPECT_TRUE(errors.empty()) << (errors.empty() ? "" : errors.front());
    }
    // The terminal's side of a whole payment.
    void payment(const std::string& request, const std::string& first, const std::string& final_response,
                 const std::string& confirmation)
    {
        t.expect_frame(request, 10000).send_ack().send_frame(first).expect_ack(10000);
        t.send_frame(final_response).expect_ack(10000).expect_frame(confirmation, 15000).send_ack();
    }

    sim::Terminal t{sim::Link::Tcp};
    CVarkoClass2017* ecr = nullptr;
};

TEST_F(ServiceResults, PurchaseIsReadBackThroughEveryAccessor)
{
    const std::string receipt = cp1251_text(300);
    payment("PUR10.", "PUR11.", full_answer("PUR12.", "00", receipt), "PUR13.");
    open();
    unsigned long r = 0;
    const uint64_t start = GetTickCount();
    ASSERT_EQ(ecr->PosPurchase(12.34, 0.5, &r), 0);
    EXPECT_GE(GetTickCount() - start, 5000u);
    finish();
    EXPECT_EQ(g_completions.load(), 1);
    EXPECT_EQ(g_last_result.load(), 0);

    char text[6145];
    ASSERT_EQ(get_LastTrxRRN(text), 0);
    EXPECT_STREQ(text, "123456789012");
    ASSERT_EQ(get_LastTrxPAN(text), 0);
    EXPECT_STREQ(text, "4111111111111111234");  // cut to 19
    ASSERT_EQ(get_LastTrxApprovalCode(text), 0);
    EXPECT_STREQ(text, "A1B2C3");
    ASSERT_EQ(get_LastTrxIssuerName(text), 0);
    EXPECT_STREQ(text, "VISAISS");
    ASSERT_EQ(get_LastTrxMerchantId(text), 0);
    EXPECT_STREQ(text, "MERCHANT0000001");
    ASSERT_EQ(get_LastTrxCardName(text), 0);
    EXPECT_STREQ(text, "VISA CLASSIC");
    ASSERT_EQ(get_LastTrxTerminalID(text), 0);
    EXPECT_STREQ(text, "TERM0001");
    ASSERT_EQ(get_LastTrxFld63Sf89(text), 0);
    EXPECT_STREQ(text, "ADDITIONAL DATA");
    ASSERT_EQ(get_LastTrxNameBank(text), 0);
    EXPECT_EQ(std::string(text), utf8_of(kBankName));
    ASSERT_EQ(get_LastTrxReceipt(text), 0);
    EXPECT_EQ(std::string(text), utf8_of(receipt));
    char tag[4] = {'x', 'x', 'x', '!'};
    ASSERT_EQ(get_LastTrxOpTag(tag), 0);
    EXPECT_EQ(std::string(tag, 4), "PUR!");

    long l = 0;
    ASSERT_EQ(get_LastTrxCardExpireMonth(&l), 0);
    EXPECT_EQ(l, 12);
    ASSERT_EQ(get_LastTrxCardExpireYear(&l), 0);
    EXPECT_EQ(l, 27);
    ASSERT_EQ(get_LastTrxTransactionDateDay(&l), 0);
    EXPECT_EQ(l, 5);
    ASSERT_EQ(get_LastTrxTransactionDateMonth(&l), 0);
    EXPECT_EQ(l, 3);
    ASSERT_EQ(get_LastTrxTransactionTimeHours(&l), 0);
    EXPECT_EQ(l, 14);
    ASSERT_EQ(get_LastTrxTransactionTimeMinutes(&l), 0);
    EXPECT_EQ(l, 45);
    ASSERT_EQ(get_LastTrxEcrNum(&l), 0);
    EXPECT_EQ(l, 7);
    ASSERT_EQ(get_LastTrxEcrReceiptNum(&l), 0);
    EXPECT_EQ(l, 123456);
    ASSERT_EQ(get_LastTrxPosEntryMode(&l), 0);
    EXPECT_EQ(l, 51);
    double d = 0;
    ASSERT_EQ(get_LastTrxAmount(&d), 0);
    EXPECT_DOUBLE_EQ(d, 12.34);
    ASSERT_EQ(get_LastTrxAddAmount(&d), 0);
    EXPECT_DOUBLE_EQ(d, 0.5);
    unsigned short code = 99;
    ASSERT_EQ(ecr->get_LastTrxLoyalRespCode(&code), 0);
    EXPECT_EQ(code, 0);
    // Not a multi-currency settlement.
    d = -1;
    EXPECT_EQ(ecr->get_LastTrxDebitsAmount(&d), ECR_E_WRONG_REPORT);
    EXPECT_EQ(d, -1);
    EXPECT_EQ(ecr->PosGetMultiCurrencyReportByIndex(1), ECR_E_WRONG_REPORT);

    // The invoice number and its log record.
    LogDir dir;
    ASSERT_EQ(put_EcrLogingPath(dir.path().c_str()), 0);
    ASSERT_EQ(get_LastTrxInvoceNumber(&l), 0);
    EXPECT_EQ(l, 321);
    EXPECT_NE(dir.drained_log().find("This is invoice num in ECR  object[321]"), std::string::npos);

    // A start refused for want of a connection keeps the previous results.
    ASSERT_EQ(ecr->PosClose(), 0);
    EXPECT_EQ(ecr->PosPurchase(1.00, 0, &r), E_FAIL);
    EXPECT_EQ(g_completions.load(), 1);
    ASSERT_EQ(get_LastTrxAmount(&d), 0);
    EXPECT_DOUBLE_EQ(d, 12.34);
    ASSERT_EQ(get_LastTrxRRN(text), 0);
    EXPECT_STREQ(text, "123456789012");
}

TEST_F(ServiceResults, FailedTransactionLeavesOnlyItsResponseCode)
{
    payment("PUR10.", "PUR11.", full_answer("PUR12.", "00", "RECEIPT"), "PUR13.");
    // The second purchase: a wait notice of zero minutes ends the reading at
    // once without a final response.
    t.expect_frame("PUR10.", 20000).send_ack().send_frame("PUR11.").expect_ack(10000);
    t.send_frame("PUR00.000").expect_ack(10000);
    open();
    unsigned long r = 0;
    ASSERT_EQ(ecr->PosPurchase(12.34, 0, &r), 0);
    double d = 0;
    ASSERT_EQ(get_LastTrxAmount(&d), 0);
    ASSERT_DOUBLE_EQ(d, 12.34);

    ASSERT_EQ(ecr->PosPurchase(50.00, 0, &r), 0);
    finish();
    EXPECT_EQ(g_last_result.load(), 20);
    unsigned short code = 0;
    ASSERT_EQ(ecr->get_LastTrxLoyalRespCode(&code), 0);
    EXPECT_EQ(code, 20);
    ASSERT_EQ(get_LastTrxAmount(&d), 0);
    EXPECT_EQ(d, 0.0);
    char text[6145];
    ASSERT_EQ(get_LastTrxRRN(text), 0);
    EXPECT_STREQ(text, "");
    ASSERT_EQ(get_LastTrxReceipt(text), 0);
    EXPECT_STREQ(text, "");
}

// A multi-currency settlement answer: batch number and six blocks of
// currency, seven amounts (commission before its base) and three counts.
std::string multi_currency_answer()
{
    std::vector<std::string> parts{"SLO12.00", "000017"};
    static const char* currencies[] = {"980", "840", "978", "643", "985", "826"};
    for (int b = 0; b < 6; ++b) {
        char amount[16];
        parts.push_back(currencies[b]);
        for (int a = 0; a < 7; ++a) {
            std::snprintf(amount, sizeof amount, "%012d", (b + 1) * 1000 + (a + 1) * 10);
            parts.push_back(amount);
        }
        parts.push_back(std::to_string(b + 1));
        parts.push_back(std::to_string(b + 2));
        parts.push_back(std::to_string(2 * b + 3));
    }
    return msg(parts);
}

TEST_F(ServiceResults, MultiCurrencySettlementIsReadBlockByBlock)
{
    payment("SLO10." + kFS, "SLO11.", multi_currency_answer(), "SLO13.");
    open();
    unsigned long r = 0;
    ASSERT_EQ(ecr->PosSettleMultiCurrency(0, &r), 0);
    finish();
    EXPECT_EQ(g_last_result.load(), 0);
    long batch = 0;
    ASSERT_EQ(ecr->get_LastTrxBatchId(&batch), 0);
    EXPECT_EQ(batch, 17);

    EXPECT_EQ(ecr->PosGetMultiCurrencyReportByIndex(0), E_INVALIDARG);
    EXPECT_EQ(ecr->PosGetMultiCurrencyReportByIndex(7), E_INVALIDARG);

    static const unsigned short currencies[] = {980, 840, 978, 643, 985, 826};
    for (int index = 1; index <= 6; ++index) {
        const int b = index - 1;
        ASSERT_EQ(ecr->PosGetMultiCurrencyReportByIndex(static_cast<unsigned char>(index)), 0);
        unsigned short u = 0;
        ASSERT_EQ(ecr->get_LastTrxCurrencyCode(&u), 0);
        EXPECT_EQ(u, currencies[b]) << index;
        double d = 0;
        const double base = (b + 1) * 10.0;
        ASSERT_EQ(get_LastTrxAmount(&d), 0);
        EXPECT_DOUBLE_EQ(d, base + 0.1);
        ASSERT_EQ(ecr->get_LastTrxDebitsCommissionAmount(&d), 0);
        EXPECT_DOUBLE_EQ(d, base + 0.2);
        ASSERT_EQ(ecr->get_LastTrxDebitsAmount(&d), 0);
        EXPECT_DOUBLE_EQ(d, base + 0.3);
        ASSERT_EQ(get_LastTrxAddAmount(&d), 0);
        EXPECT_DOUBLE_EQ(d, base + 0.4);
        ASSERT_EQ(ecr->get_LastTrxCreditsCommissionAmount(&d), 0);
        EXPECT_DOUBLE_EQ(d, base + 0.5);
        ASSERT_EQ(ecr->get_LastTrxCreditsAmount(&d), 0);
        EXPECT_DOUBLE_EQ(d, base + 0.6);
        ASSERT_EQ(get_LastTrxTotalAmount(&d), 0);
        EXPECT_DOUBLE_EQ(d, base + 0.7);
        ASSERT_EQ(get_LastTrxSalesCount(&u), 0);
        EXPECT_EQ(u, b + 1);
        ASSERT_EQ(get_LastTrxRefundsCount(&u), 0);
        EXPECT_EQ(u, b + 2);
        ASSERT_EQ(get_LastTrxTotalTrxCount(&u), 0);
        EXPECT_EQ(u, 2 * b + 3);
    }
}

TEST_F(ServiceResults, GroupReadIsCompletedByItsPayment)
{
    answer(t, "GGP10." + kFS, "GGP11.FUEL");
    payment("DSC12.", "DSC11.", full_answer("DSC12.", "00", "R"), "DSC15.");
    open();
    char* name = nullptr;
    ASSERT_EQ(ecr->PosGetGroup(&name), 0);
    EXPECT_STREQ(name, "FUEL");
    unsigned long r = 0;
    ASSERT_EQ(ecr->PosGetGroupCompletion(12.34, 0, &r), 0);
    finish();
    EXPECT_EQ(g_last_result.load(), 0);
    EXPECT_FALSE(ecr->m_CardReadPending);
    double d = 0;
    ASSERT_EQ(get_LastTrxAmount(&d), 0);
    EXPECT_DOUBLE_EQ(d, 12.34);
    // The read is used up: the cancel has nothing to cancel.
    EXPECT_EQ(ecr->PosCancelGetGroupCompletion(), E_FAIL);
}

TEST_F(ServiceResults, CardIdentificationRunsAfterACancelledGroupRead)
{
    const std::string rnk(32, 'K');  // fills the field: no terminator
    std::vector<std::string> parts{"CID12.00", "4111111111111111", rnk, "PRODUCT-7"};
    for (auto& f : full_fields("R"))
        parts.push_back(f);
    answer(t, "GGP10." + kFS, "GGP11.G");
    answer(t, "CNL10." + kFS, "CNL11.");
    payment("CID10." + kFS, "CID11.", msg(parts), "CID13.");
    open();
    // The cancel leaves the interrupt flag raised; the identification is a
    // transaction of its own and runs all the same.
    char* name = nullptr;
    ASSERT_EQ(ecr->PosGetGroup(&name), 0);
    ASSERT_EQ(ecr->PosCancelGetGroupCompletion(), 0);
    ASSERT_EQ(ecr->PosCardIdent(), 0);
    finish();
    EXPECT_EQ(g_completions.load(), 1);
    EXPECT_EQ(g_last_result.load(), 0);
    EXPECT_EQ(ecr->GetPosHandle()->interrupt.load(), 0);
    char* p = nullptr;
    ASSERT_EQ(ecr->get_LastTrxRNK(&p), 0);
    EXPECT_EQ(std::string(p, 32), rnk);
    ASSERT_EQ(ecr->get_LastTrxProductCode(&p), 0);
    EXPECT_STREQ(p, "PRODUCT-7");
    char pan[20];
    ASSERT_EQ(get_LastTrxPAN(pan), 0);
    EXPECT_STREQ(pan, "4111111111111111234");  // the standard fields follow the prefix
    char tag[4] = {};
    ASSERT_EQ(get_LastTrxOpTag(tag), 0);
    EXPECT_EQ(std::string(tag, 3), "CID");
}

TEST_F(ServiceResults, AuditOf300RecordsIsPagedPast256)
{
    audit(t, "ALL", 300);
    open();
    char selection[] = "ALL";
    char rec[78];
    for (unsigned n = 1; n <= 300; ++n) {
        ASSERT_EQ(PosAudit(selection, rec), 0) << n;
        ASSERT_EQ(std::string(rec, 78), handed(n, 300, n == 300 ? '0' : '1')) << n;
    }
    ASSERT_EQ(PosAudit(selection, rec), 0);
    EXPECT_EQ(std::string(rec, 2), std::string("0\0", 2));
    EXPECT_EQ(ecr->m_AuditRecords.size(), 300u);
    finish(90000);
}

}  // namespace
