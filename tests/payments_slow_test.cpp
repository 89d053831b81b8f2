// Complete payments through the exported functions against the simulated
// terminal: each final response is confirmed after the terminal's 5 s pause,
// and the time budget cases wait out whole response time-outs.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "VarkoClass2017/VarkoClass2017.h"
#include "compat/compat.h"
#include "ecrbridge.h"
#include "support/payment_harness.h"

using support::Recorder;
using support::msg;

namespace {

// A final purchase response with the given response code.
std::string final_response(const std::string& header_and_code)
{
    return msg({header_and_code, "01", "57", "000000001234", "000000000000", "444433******1111", "1227JOHN",
                "THANK YOU", "000321A1B2C30812153000BANK", "MERCHANT01", "000000051000004567", "123456789012",
                "VISA CLASSIC", "TERM0001"});
}

class PaymentsSlow : public support::PaymentTest<> {
protected:

    // A whole purchase on the given link; returns after the callback.
    void purchase_over(sim::Link link, const std::string& code)
    {
        sim::Terminal t(link);
        static std::atomic<int> state_during{-1};
        state_during = -1;
        t.expect_frame("PUR10.").step([](sim::Terminal&) { state_during = OnTRX(); });
        t.send_ack().send_frame("PUR11.").expect_ack();
        support::script_final(t, final_response("PUR12." + code), "PUR13.");
        connect(t);

        const uint64_t started = GetTickCount();
        PosPurchase(12.34, 0);
        EXPECT_LT(GetTickCount() - started, 500u);  // returns at once
        ASSERT_TRUE(rec.wait_for(1, 30000));
        ASSERT_TRUE(t.wait_done(5000));
        EXPECT_TRUE(t.errors().empty()) << t.errors()[0];

        const unsigned long expected = std::stoul(code);
        support::Completion c = rec.completions()[0];
        EXPECT_EQ(c.result, expected);
        EXPECT_NE(c.thread, std::this_thread::get_id());
        EXPECT_EQ(c.state_inside, static_cast<int>(expected));
        EXPECT_EQ(state_during.load(), 1);
        EXPECT_EQ(OnTRX(), static_cast<int>(expected));

        // The library confirms the final response no sooner than 5 s after it.
        const uint64_t final_sent = support::event_time(t, sim::Event::SentFrame, "PUR12.");
        const uint64_t confirmed = support::event_time(t, sim::Event::RecvFrame, "PUR13.");
        ASSERT_NE(final_sent, 0u);
        EXPECT_GE(confirmed, final_sent + 5100);
        EXPECT_LT(confirmed, final_sent + 8000);
        EXPECT_GE(c.at_ms, confirmed);

        char rrn[16] = {};
        EXPECT_EQ(get_LastTrxRRN(rrn), 0);
        EXPECT_STREQ(rrn, "123456789012");
        double amount = 0;
        EXPECT_EQ(get_LastTrxAmount(&amount), 0);
        EXPECT_DOUBLE_EQ(amount, 12.34);
        EXPECT_EQ(ecr->m_LastReport.ResponseCode, expected);
        EXPECT_STREQ(ecr->m_LastReport.TerminalID, "TERM0001");
    }

    Recorder& rec = Recorder::instance();
};

TEST_F(PaymentsSlow, PurchaseOverTcp) { purchase_over(sim::Link::Tcp, "00"); }

TEST_F(PaymentsSlow, PurchaseOverUdp) { purchase_over(sim::Link::Udp, "05"); }

TEST_F(PaymentsSlow, PurchaseOverPseudoTerminal) { purchase_over(sim::Link::Pty, "51"); }

// The terminal's text messages during an ordinary purchase reach the
// application's message callback in order; a notice without text does not.
TEST_F(PaymentsSlow, PurchaseForwardsTheTerminalsTextMessages)
{
    sim::Terminal t(sim::Link::Tcp);
    support::script_request(t, "PUR10.", "PUR11.");
    t.send_frame(msg({"SMS10.INSERT CARD", "0"})).expect_ack();
    t.send_frame(msg({"SMS10.ENTER PIN", "0"})).expect_ack();
    t.send_frame("PIR21.").expect_ack().pause(300).send_frame("PIR22.").expect_ack();
    support::script_final(t, final_response("PUR12.00"), "PUR13.");
    connect(t);

    PosPurchase(1.00, 0);
    ASSERT_TRUE(rec.wait_for(1, 30000));
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
    EXPECT_EQ(rec.completions()[0].result, 0u);
    EXPECT_EQ(rec.messages(), (std::vector<std::string>{"INSERT CARD", "ENTER PIN"}));
}

TEST_F(PaymentsSlow, TwoPurchasesInARowNeverOverlap)
{
    sim::Terminal t(sim::Link::Tcp);
    support::script_request(t, "PUR10.", "PUR11.");
    support::script_final(t, final_response("PUR12.00"), "PUR13.");
    support::script_request(t, "PUR10.", "PUR11.");
    support::script_final(t, final_response("PUR12.55"), "PUR13.");
    connect(t);

    PosPurchase(1.0, 0);
    PosPurchase(2.0, 0);  // waits for the first operation
    const uint64_t second_returned = GetTickCount();
    ASSERT_TRUE(rec.wait_for(2, 30000));
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];

    std::vector<support::Completion> c = rec.completions();
    EXPECT_EQ(c[0].result, 0u);
    EXPECT_EQ(c[1].result, 55u);
    EXPECT_GE(second_returned, c[0].at_ms);
    EXPECT_NE(c[0].thread, std::this_thread::get_id());
    EXPECT_NE(c[1].thread, std::this_thread::get_id());

    // The second request went out only after the first confirmation was acknowledged.
    uint64_t first_done = 0;
    uint64_t second_request = 0;
    int requests = 0;
    for (const sim::Event& e : t.events()) {
        if (e.kind == sim::Event::SentAck && first_done == 0 &&
            support::event_time(t, sim::Event::RecvFrame, "PUR13.") != 0 &&
            e.at_ms >= support::event_time(t, sim::Event::RecvFrame, "PUR13."))
            first_done = e.at_ms;
        if (e.kind == sim::Event::RecvFrame && e.data.compare(0, 6, "PUR10.") == 0 && ++requests == 2)
            second_request = e.at_ms;
    }
    ASSERT_NE(first_done, 0u);
    ASSERT_NE(second_request, 0u);
    EXPECT_GE(second_request, first_done);
}

TEST_F(PaymentsSlow, OneSilentReadEndsTheDefaultBudgetWithTwenty)
{
    sim::Terminal t(sim::Link::Pty);  // the serial read keeps its deadline to the second
    support::script_request(t, "PUR10.", "PUR11.");
    connect(t);
    PosPurchase(1.0, 0);
    ASSERT_TRUE(rec.wait_for(1, 60000));
    const uint64_t request = support::event_time(t, sim::Event::RecvFrame, "PUR10.");
    support::Completion c = rec.completions()[0];
    EXPECT_EQ(c.result, 20u);
    EXPECT_GE(c.at_ms, request + 40000);
    EXPECT_LT(c.at_ms, request + 46000);
    EXPECT_EQ(ecr->m_LastReport.ResponseCode, 20);
    EXPECT_EQ(ecr->m_LastReport.TrxType, 0);
}

TEST_F(PaymentsSlow, ABudgetOfEightyToleratesOneSilentRead)
{
    EXPECT_EQ(SetPurchTimeout(80), E_FAIL);  // not open yet: only the budget is kept
    sim::Terminal t(sim::Link::Pty);  // the serial read keeps its deadline to the second
    support::script_request(t, "PUR10.", "PUR11.");
    connect(t);  // each read waits 40 s again
    PosPurchase(1.0, 0);
    ASSERT_TRUE(rec.wait_for(1, 120000));
    const uint64_t request = support::event_time(t, sim::Event::RecvFrame, "PUR10.");
    support::Completion c = rec.completions()[0];
    EXPECT_EQ(c.result, 20u);
    EXPECT_GE(c.at_ms, request + 80000);
    EXPECT_LT(c.at_ms, request + 88000);
}

TEST_F(PaymentsSlow, CheckCardPurchaseThenItsCompletion)
{
    sim::Terminal t(sim::Link::Tcp);
    support::script_request(t, "PCC10.", "PCC11.");
    support::script_final(t, msg({"PCC12.33", "2"}), "PCC13.");
    t.expect_frame("PCC14.").send_ack().send_frame("PCC15.00").expect_ack();
    support::script_final(t, final_response("PCC16.00"), "PCC17.");
    connect(t);

    static unsigned long belong_result = 0;
    PurchaseCheckCard(5.0, 0, &belong_result);
    ASSERT_TRUE(rec.wait_for(1, 30000));
    EXPECT_EQ(rec.completions()[0].result, 33u);
    EXPECT_EQ(belong_result, 20u);
    support::drain();
    EXPECT_TRUE(ecr->m_CheckCardPending);

    unsigned long r = 0;
    EXPECT_EQ(PurchaseCheckCardCompleteTran(true, &r), 0);
    ASSERT_EQ(rec.completions().size(), 2u);
    EXPECT_EQ(rec.completions()[1].result, 0u);
    EXPECT_EQ(rec.completions()[1].thread, std::this_thread::get_id());
    EXPECT_FALSE(ecr->m_CheckCardPending);
    EXPECT_EQ(PurchaseCheckCardCompleteTran(true, &r), E_FAIL);

    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
    std::vector<std::string> f = t.frames_received();
    ASSERT_EQ(f.size(), 4u);
    EXPECT_EQ(f[2], "PCC14.1\x1c");
    EXPECT_EQ(f[3], "PCC17.");
    char rrn[16] = {};
    EXPECT_EQ(get_LastTrxRRN(rrn), 0);
    EXPECT_STREQ(rrn, "123456789012");
}

TEST_F(PaymentsSlow, CheckCardFlowWithOwnCardReadsTheFinalReport)
{
    sim::Terminal t(sim::Link::Tcp);
    support::script_request(t, "PCC10.", "PCC11.");
    t.send_frame(msg({"PCC12.33", "1"})).expect_ack().expect_frame("PCC13.").send_ack();
    t.send_frame(msg({"SMS10.ENTER PIN", "0"})).expect_ack();
    support::script_final(t, final_response("PCC16.00"), "PCC17.");
    connect(t);

    CVarkoClass2017& e = *ecr;
    std::memset(&e.m_Param, 0, sizeof(e.m_Param));
    e.m_Param.trx_type = 14;
    e.m_Param.amount = 5.0;
    e.m_Param.currency_code = 980;
    e.ApplyProperties();
    EXPECT_EQ(ThreadFunc2(ecr), 0u);

    ASSERT_EQ(rec.completions().size(), 2u);
    EXPECT_EQ(rec.completions()[0].result, 33u);
    EXPECT_EQ(rec.completions()[1].result, 0u);
    EXPECT_EQ(rec.messages(), std::vector<std::string>{"ENTER PIN"});
    unsigned short belong = 0;
    EXPECT_EQ(ecr->get_CardBelong(&belong), 0);
    EXPECT_EQ(belong, 1);
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
}

}  // namespace
