// Payment operations through the exported functions against the simulated
// terminal, with the completion callback on the operation's thread.  These
// dialogues end before a final response, so none waits for the confirmation
// pause.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <memory>
#include <string>
#include <thread>

#include "VarkoClass2017/VarkoClass2017.h"
#include "compat/compat.h"
#include "ecrbridge.h"
#include "support/payment_harness.h"
#include "support/sim_link.h"

using support::Recorder;
using support::msg;

namespace {

const std::string FS = "\x1c";

// The common request layout with default properties (ECR 1, receipt 0,
// currency 980, no card data, entry mode off).
std::string common_request(const std::string& header, const std::string& amount, const std::string& add,
                           const std::string& entry = "0", const std::string& auth = "")
{
    return header + "01" + FS + "0" + FS + amount + FS + add + FS + "980" + FS + "000000" + FS + FS + FS + FS +
           "000" + FS + "00" + FS + FS + FS + FS + entry + FS + auth + FS + FS;
}

class Payments : public support::PaymentTest<> {
protected:
    Recorder& rec = Recorder::instance();
};

// Without a connection the member returns E_FAIL, runs no callback and
// leaves the state word at 1; the asynchronous export, which returns nothing,
// tells its application through the callback (20).  Both say "link not open".
TEST_F(Payments, PurchaseWithoutConnectionIsNotSent)
{
    unsigned long r = 0;
    EXPECT_EQ(ecr->PosPurchase(12.34, 0, &r), E_FAIL);
    EXPECT_EQ(r, 0u);  // the member does not write the result pointer
    EXPECT_EQ(OnTRX(), 1);
    EXPECT_EQ(ecrb_last_outcome(), ECRB_OUTCOME_NOT_SENT);
    EXPECT_STREQ(ecrb_last_outcome_reason(), "link not open");
    char text[64] = {};
    ecrb_last_error_text(text, sizeof text);
    EXPECT_STREQ(text, "link not open");
    EXPECT_EQ(EchoTest(&r), E_FAIL);
    EXPECT_TRUE(rec.completions().empty());

    PosPurchase(1.00, 0);
    ASSERT_TRUE(rec.wait_for(1, 5000));
    support::drain();
    EXPECT_EQ(rec.completions()[0].result, 20u);
    EXPECT_EQ(OnTRX(), 20);
    EXPECT_EQ(ecrb_last_outcome(), ECRB_OUTCOME_NOT_SENT);
    EXPECT_STREQ(ecrb_last_outcome_reason(), "link not open");
}

TEST_F(Payments, NegativePurchaseIsSentAsRefundWithoutAdditionalAmount)
{
    sim::Terminal t(sim::Link::Tcp);
    support::script_refused(t, "REF10.", "REF12.");
    connect(t);
    PosPurchase(-10.0, 5.0);
    ASSERT_TRUE(rec.wait_for(1, 10000));
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
    ASSERT_EQ(t.frames_received().size(), 1u);
    EXPECT_EQ(t.frames_received()[0], common_request("REF10.", "000000001000", "000000000000"));
    // A first answer with a wrong number ends the transaction with 20.
    EXPECT_EQ(rec.completions()[0].result, 20u);
    EXPECT_EQ(OnTRX(), 20);
}

TEST_F(Payments, VoidSendsTheInvoiceAsSixDigits)
{
    sim::Terminal t(sim::Link::Tcp);
    support::script_refused(t, "VOD10.", "VOD12.");
    support::script_refused(t, "VOD10.", "VOD12.");
    connect(t);
    PosVoid(42);
    PosVoid(0);
    ASSERT_TRUE(rec.wait_for(2, 10000));
    ASSERT_TRUE(t.wait_done(5000));
    ASSERT_EQ(t.frames_received().size(), 2u);
    EXPECT_EQ(t.frames_received()[0], "VOD10.000042" + FS);
    EXPECT_EQ(t.frames_received()[1], "VOD10." + std::string(6, '\0') + FS);  // no invoice number
}

TEST_F(Payments, InvoiceThatDoesNotFitSixDigitsIsRefusedBeforeSending)
{
    sim::Terminal t(sim::Link::Tcp);
    support::script_refused(t, "VID10.", "VID12.");
    connect(t);
    unsigned long r = 0;
    EXPECT_EQ(PosVoidInterrupt(1000000, &r), E_INVALIDARG);
    EXPECT_EQ(PosVoidInterrupt(-1, &r), E_INVALIDARG);
    EXPECT_EQ(ecr->PosPartVoid(1234567, 1.0, &r), E_INVALIDARG);
    EXPECT_EQ(OnTRX(), 0);  // nothing started
    EXPECT_EQ(PosVoidInterrupt(999999, &r), 0);
    ASSERT_TRUE(t.wait_done(5000));
    ASSERT_EQ(t.frames_received().size(), 1u);
    EXPECT_EQ(t.frames_received()[0], common_request("VID10.", "000000000000", "000000000000"));
    EXPECT_EQ(rec.completions().size(), 1u);
}

TEST_F(Payments, PingIsAcknowledgedWithoutCallback)
{
    sim::Terminal t(sim::Link::Tcp);
    support::script_request(t, "PNG10.", "PNG11.");
    connect(t);
    unsigned long r = 7;
    PosPing(&r);
    ASSERT_TRUE(t.wait_done(10000));
    support::drain();
    EXPECT_TRUE(t.errors().empty());
    EXPECT_FALSE(rec.wait_for(1, 500));
    EXPECT_EQ(t.frames_received(), std::vector<std::string>{"PNG10."});
    EXPECT_EQ(OnTRX(), 1);
    EXPECT_EQ(r, 7u);
    // The member reports 0 when the ping ran and 1 when it could not start.
    PosClose();
    EXPECT_EQ(ecr->PosPing(&r), 1);
}

TEST_F(Payments, CancelDuringTheReadLoopEndsWithZero)
{
    sim::Terminal t(sim::Link::Tcp);
    support::script_cancelled(t, "PUR10.", "PUR11.");
    connect(t);
    const std::thread::id self = std::this_thread::get_id();
    PosPurchase(1.0, 0);
    ASSERT_TRUE(rec.wait_for(1, 10000));
    std::vector<support::Completion> c = rec.completions();
    EXPECT_EQ(c[0].result, 0u);
    EXPECT_NE(c[0].thread, self);
    EXPECT_EQ(c[0].state_inside, 0);
    EXPECT_EQ(OnTRX(), 0);
    EXPECT_EQ(ecr->m_LastReport.ResponseCode, 0);
    EXPECT_EQ(ecr->m_LastReport.TrxType, 0);
    // The text message that came after the cancel was not acknowledged.
    ASSERT_TRUE(t.wait_done(5000));
    uint64_t sms = support::event_time(t, sim::Event::SentFrame, "SMS");
    ASSERT_NE(sms, 0u);
    for (const sim::Event& e : t.events())
        EXPECT_FALSE(e.kind == sim::Event::RecvAck && e.at_ms > sms);
}

TEST_F(Payments, CancelStopsASilentSerialReadAtOnce)
{
    sim::Terminal t(sim::Link::Pty);
    support::script_cancelled(t, "PUR10.", "PUR11.");
    connect(t);
    PosPurchase(2.5, 0);
    ASSERT_TRUE(t.wait_done(10000));
    const uint64_t cancelled = GetTickCount();
    ASSERT_TRUE(rec.wait_for(1, 5000));
    EXPECT_EQ(rec.completions()[0].result, 0u);
    EXPECT_LT(rec.completions()[0].at_ms, cancelled + 3000);  // one serial byte wait at most
    // The next transaction starts with the flag cleared.
    rec.clear();
}

TEST_F(Payments, InterruptIsRefusedAfterAPurchaseAndSentAfterAnInterruptiblePurchase)
{
    sim::Terminal t(sim::Link::Tcp);
    support::script_cancelled(t, "PUR10.", "PUR11.");
    support::script_cancelled(t, "PIR10.", "PIR11.");
    t.expect_frame("IRT10.").send_ack().send_frame("IRT11.00").expect_ack();
    connect(t);

    PosPurchase(1.0, 0);
    ASSERT_TRUE(rec.wait_for(1, 10000));
    ASSERT_TRUE(support::wait_cancel_message(t));
    EXPECT_EQ(PosInterruptTrx(), E_FAIL);

    unsigned long r = 0;
    EXPECT_EQ(PosPurchaseInterrupt(3.0, 0, &r), 0);  // returns after its callback
    ASSERT_EQ(rec.completions().size(), 2u);
    EXPECT_EQ(rec.completions()[1].thread, std::this_thread::get_id());
    ASSERT_TRUE(support::wait_cancel_message(t, 2));
    EXPECT_EQ(PosInterruptTrx(), 0);
    EXPECT_EQ(ecr->m_Param.trx_type, 0);  // the records were cleared

    ASSERT_TRUE(t.wait_done(10000));
    EXPECT_TRUE(t.errors().empty());
    std::vector<std::string> f = t.frames_received();
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[1], common_request("PIR10.", "000000000300", "000000000000"));
    EXPECT_EQ(f[2], "IRT10." + FS);
    // No other operation: nothing more to interrupt.
    EXPECT_EQ(PosInterruptTrx(), E_FAIL);
}

TEST_F(Payments, AbortIsRefusedAfterASettlement)
{
    sim::Terminal t(sim::Link::Tcp);
    support::script_cancelled(t, "STL10.", "STL11.");
    connect(t);
    unsigned long r = 0;
    PosSettle(&r);
    ASSERT_TRUE(rec.wait_for(1, 10000));
    EXPECT_EQ(ecr->m_Param.trx_type, 7);
    EXPECT_EQ(ecr->PosAbortTrx(), E_FAIL);
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_EQ(t.frames_received(), std::vector<std::string>{"STL10." + FS});
}

TEST_F(Payments, SetPurchTimeoutChecksItsRangeAndKeepsTheBudgetWhileClosed)
{
    EXPECT_EQ(SetPurchTimeout(39), E_INVALIDARG);
    EXPECT_EQ(SetPurchTimeout(421), E_INVALIDARG);
    EXPECT_EQ(ecr->m_PurchTimeout, 40);
    EXPECT_EQ(SetPurchTimeout(120), E_FAIL);  // not open
    EXPECT_EQ(ecr->m_PurchTimeout, 120);

    sim::Terminal t(sim::Link::Tcp);
    connect(t);
    EXPECT_EQ(ecr->GetPosHandle()->response_timeout, 40);  // opening resets the read time-out
    EXPECT_EQ(SetPurchTimeout(420), 0);
    EXPECT_EQ(ecr->m_PurchTimeout, 420);
    EXPECT_EQ(ecr->GetPosHandle()->response_timeout, 420);
    EXPECT_EQ(ecr->GetPosHandle()->packet_timeout, 5);
}

TEST_F(Payments, DiscountRequestAndItsCompletion)
{
    sim::Terminal t(sim::Link::Tcp);
    support::script_refused(t, "RDC10.", "RDC12.");
    support::script_refused(t, "RDC14.", "RDC12.");
    connect(t);
    unsigned long r = 0;
    EXPECT_EQ(ecr->CompleteTransaction(1, 0, &r), E_FAIL);  // no discount request yet
    EXPECT_EQ(ecr->ReqDiscount(7, &r), 0);
    EXPECT_TRUE(ecr->m_DiscountPending);  // set whatever the result
    EXPECT_EQ(ecr->CompleteTransaction(4, 0, &r), E_FAIL);
    EXPECT_EQ(ecr->CompleteTransaction(0, 0, &r), E_FAIL);
    EXPECT_TRUE(ecr->m_DiscountPending);
    EXPECT_EQ(ecr->CompleteTransaction(2, 99.0, &r), 0);
    EXPECT_FALSE(ecr->m_DiscountPending);
    EXPECT_EQ(ecr->CompleteTransaction(2, 0, &r), E_FAIL);
    ASSERT_TRUE(t.wait_done(5000));
    std::vector<std::string> f = t.frames_received();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0], "RDC10.07" + FS);
    EXPECT_EQ(f[1], "RDC14.2" + FS + "000000000000" + FS);  // the double is not sent
    EXPECT_EQ(rec.completions().size(), 2u);
}

TEST_F(Payments, CardReadCompletionsConsumeOrKeepTheReadCard)
{
    sim::Terminal t(sim::Link::Tcp);
    support::script_refused(t, "DSC12.", "DSC12.");
    support::script_refused(t, "DSC12.", "DSC12.");
    support::script_refused(t, "DSC12.", "DSC12.");
    connect(t);
    unsigned long r = 0;
    EXPECT_EQ(PosDiscountCompletion(5.0, 0, &r), E_FAIL);  // no card read
    ecr->m_CardReadPending = true;                         // as a card read leaves it
    EXPECT_EQ(PosDiscountCompletion(-1.0, 0, &r), E_FAIL);
    EXPECT_EQ(PosDiscountCompletion(5.0, 0, &r), 0);
    EXPECT_EQ(PosDiscountCompletion(6.0, 0, &r), 0);  // the read card stays usable
    EXPECT_TRUE(ecr->m_CardReadPending);
    EXPECT_EQ(ecr->PosGetGroupCompletion(7.0, 0, &r), 0);
    EXPECT_FALSE(ecr->m_CardReadPending);
    EXPECT_EQ(ecr->PosGetGroupCompletion(7.0, 0, &r), E_FAIL);
    ASSERT_TRUE(t.wait_done(5000));
    std::vector<std::string> f = t.frames_received();
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0], common_request("DSC12.", "000000000500", "000000000000"));
    EXPECT_EQ(f[1], common_request("DSC12.", "000000000600", "000000000000"));
    EXPECT_EQ(f[2], common_request("DSC12.", "000000000700", "000000000000"));
    EXPECT_EQ(rec.completions().size(), 3u);
}

TEST_F(Payments, CancelDropsEveryPendingCompletion)
{
    ecr->m_CardReadPending = true;
    ecr->m_DiscountPending = true;
    ecr->m_CheckCardPending = true;
    EXPECT_EQ(CancelTransaction(), 0);
    EXPECT_FALSE(ecr->m_CardReadPending);
    EXPECT_FALSE(ecr->m_DiscountPending);
    EXPECT_FALSE(ecr->m_CheckCardPending);
    unsigned long r = 0;
    EXPECT_EQ(PurchaseCheckCardCompleteTran(true, &r), E_FAIL);
}

TEST_F(Payments, AuthorisationCompletionWithoutCardTakesSixCharacters)
{
    sim::Terminal t(sim::Link::Tcp);
    support::script_refused(t, "AFC10.", "AFC12.");
    connect(t);
    unsigned long r = 0;
    char seven[] = "1234567";
    char six[] = "A1B2C3";
    EXPECT_EQ(ecr->PosAuthFinNoCard(seven, 1.0, 0, &r), E_INVALIDARG);
    EXPECT_EQ(ecr->PosAuthFinNoCard(nullptr, 1.0, 0, &r), E_INVALIDARG);
    EXPECT_EQ(OnTRX(), 0);
    EXPECT_EQ(ecr->PosAuthFinNoCard(six, 1.0, 0.5, &r), 0);
    ASSERT_TRUE(t.wait_done(5000));
    ASSERT_EQ(t.frames_received().size(), 1u);
    EXPECT_EQ(t.frames_received()[0], common_request("AFC10.", "000000000100", "000000000050", "1", "A1B2C3"));
}

TEST_F(Payments, PrintMessageOfAThousandCharactersFromAFreedBuffer)
{
    sim::Terminal t(sim::Link::Tcp);
    support::script_refused(t, "PST10.", "PST12.");
    support::script_refused(t, "ECH10.", "ECH12.");
    connect(t);
    std::string text(1000, 'x');
    text[0] = 'A';
    text[999] = 'Z';
    {
        std::unique_ptr<char[]> buffer(new char[text.size() + 1]);
        std::memcpy(buffer.get(), text.c_str(), text.size() + 1);
        PosPrintMessage(buffer.get());
        std::memset(buffer.get(), '#', text.size());  // overwritten, then freed
    }
    std::string longer(1001, 'y');
    PosPrintMessage(&longer[0]);  // refused by the member: nothing is sent
    PosPrintMessage(nullptr);
    unsigned long r = 0;
    ASSERT_TRUE(rec.wait_for(1, 10000));
    EXPECT_EQ(EchoTest(&r), 0);
    ASSERT_TRUE(t.wait_done(5000));
    std::vector<std::string> f = t.frames_received();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0], "PST10." + text);
    EXPECT_EQ(f[1], "ECH10.");
    EXPECT_EQ(rec.completions().size(), 2u);
    char direct[1002];
    std::memset(direct, 'q', 1001);
    direct[1001] = '\0';
    EXPECT_EQ(ecr->PosPrintMessage(direct), E_INVALIDARG);
    EXPECT_EQ(ecr->PosPrintMessage(nullptr), E_INVALIDARG);
}

TEST_F(Payments, CheckCardWithNegativeAmountFiresTwenty)
{
    unsigned long r = 0;
    EXPECT_EQ(ecr->PosPurchaseCheckCard(-1.0, 0, &r), E_FAIL);
    ASSERT_EQ(rec.completions().size(), 1u);
    EXPECT_EQ(rec.completions()[0].result, 20u);
    EXPECT_EQ(ecr->PosPurchaseCheckCard(1.0, 0, &r), E_FAIL);  // not open
    EXPECT_EQ(rec.completions().size(), 1u);
    EXPECT_EQ(r, 0u);
}

TEST_F(Payments, ExceptionInTheOperationIsCaughtOnItsThread)
{
    // A callback that throws stands for any failure inside the member.
    sim::Terminal t(sim::Link::Tcp);
    support::script_refused(t, "PUR10.", "PUR12.");
    support::script_refused(t, "SLR10.", "SLR12.");
    connect(t);
    static std::atomic<bool> thrown{false};
    OnTrxComplete([](unsigned long) {
        thrown = true;
        throw std::runtime_error("boom");
    });
    support::LogCapture log("payexc", true);
    PosPurchase(1.0, 0);
    const uint64_t deadline = GetTickCount() + 10000;
    while (!thrown && GetTickCount() < deadline)
        Sleep(10);
    ASSERT_TRUE(thrown.load());
    rec.install();
    // The next operation still starts: the first one ended on its thread.
    PosSettleReported();
    ASSERT_TRUE(rec.wait_for(1, 10000));
    EXPECT_EQ(rec.completions()[0].result, 20u);
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_EQ(t.frames_received().size(), 2u);
    const std::string text = log.text();
    const size_t at = text.find("[operator():");
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_NE(text.find("] Start transaction fail! [boom]\n", at), std::string::npos) << text;
}

TEST_F(Payments, CheckCardFlowWithForeignCardStopsAfterThirtyThree)
{
    sim::Terminal t(sim::Link::Tcp);
    support::script_request(t, "PCC10.", "PCC11.");
    t.send_frame(msg({"PCC12.33", "2"})).expect_ack().expect_frame("PCC13.").send_ack();
    support::script_request(t, "PCC10.", "PCC11.");
    t.send_frame(msg({"PCC12.34", "1"})).expect_ack().expect_frame("PCC13.").send_ack();
    connect(t);

    auto prepare = [this] {
        std::memset(&ecr->m_Param, 0, sizeof(ecr->m_Param));
        ecr->m_Param.trx_type = 14;
        ecr->m_Param.amount = 5.0;
        ecr->m_Param.currency_code = 980;
        ecr->ApplyProperties();
    };
    prepare();
    EXPECT_EQ(ThreadFunc2(ecr), 0u);
    ASSERT_EQ(rec.completions().size(), 1u);
    EXPECT_EQ(rec.completions()[0].result, 33u);
    unsigned short belong = 9;
    EXPECT_EQ(ecr->get_CardBelong(&belong), 0);
    EXPECT_EQ(belong, 2);
    char tag[8] = {};
    EXPECT_EQ(get_LastTrxOpTag(tag), 0);
    EXPECT_STREQ(tag, "PCC");
    EXPECT_EQ(ecr->get_CardBelong(nullptr), 1);

    // No valid answer ("34" instead of "33"): the flow ends with 20.
    prepare();
    EXPECT_EQ(ThreadFunc2(ecr), 0u);
    ASSERT_EQ(rec.completions().size(), 2u);
    EXPECT_EQ(rec.completions()[1].result, 20u);
    EXPECT_EQ(ecr->get_CardBelong(&belong), 0);
    EXPECT_EQ(belong, 5);
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
}

TEST_F(Payments, AbortAfterAPurchaseRunsTheAbortDialogue)
{
    sim::Terminal t(sim::Link::Tcp);
    support::script_cancelled(t, "PUR10.", "PUR11.");
    t.expect_frame("PUR11.").send_ack().pause(400).send_frame("PUR12.").expect_ack().expect_frame("PUR13.").send_ack();
    connect(t);
    PosPurchase(4.0, 0);
    ASSERT_TRUE(rec.wait_for(1, 10000));
    support::drain();
    ASSERT_TRUE(support::wait_cancel_message(t));
    EXPECT_EQ(ecr->PosAbortTrx(), 0);
    EXPECT_EQ(ecr->m_Param.trx_type, 0);  // cleared after the abort
    EXPECT_EQ(ecr->PosAbortTrx(), E_FAIL);
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
    std::vector<std::string> f = t.frames_received();
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[1], "PUR11.\x1c");
    EXPECT_EQ(f[2], "PUR13.\x1c");
}

TEST_F(Payments, AbortIsRefusedAfterAFlaggedTextMessage)
{
    sim::Terminal t(sim::Link::Tcp);
    support::script_request(t, "PUR10.", "PUR11.");
    t.send_frame(msg({"SMS10.DO NOT REMOVE CARD", "1"})).expect_ack();
    t.pause(200).step([](sim::Terminal&) { CancelTransaction(); });
    t.send_frame(msg({"SMS10.PLEASE WAIT", "0"}));
    connect(t);
    PosPurchase(4.0, 0);
    ASSERT_TRUE(rec.wait_for(1, 10000));
    support::drain();
    EXPECT_EQ(rec.completions()[0].result, 0u);
    EXPECT_EQ(ecr->m_Report.MsgFlag, 1);
    EXPECT_EQ(ecr->PosAbortTrx(), E_FAIL);
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_EQ(t.frames_received().size(), 1u);  // no abort request went out
}

TEST_F(Payments, CallbacksWithoutARegisteredFunction)
{
    OnTrxComplete(nullptr);
    OnMsgReceived(nullptr);
    {
        support::LogCapture log("nocallback", true);
        EXPECT_EQ(ecr->Fire_OnTrxComplete(17), 1);
        const std::string text = log.text();
        const size_t at = text.find(" [LOG_TRACE> ] [Fire_OnTrxComplete:");
        ASSERT_NE(at, std::string::npos) << text;
        EXPECT_NE(text.find("]  EMPTY callback function\n", at), std::string::npos) << text;
    }
    EXPECT_EQ(OnTRX(), 17);
    EXPECT_EQ(ecr->get_State(), 17u);
    EXPECT_EQ(ecr->Fire_OnMsgReceived("HELLO"), 1);
    rec.install();
    EXPECT_EQ(ecr->Fire_OnTrxComplete(3), 0);
    EXPECT_EQ(ecr->Fire_OnMsgReceived("HELLO"), 0);
    ASSERT_EQ(rec.completions().size(), 1u);
    EXPECT_EQ(rec.completions()[0].state_inside, 3);
    EXPECT_EQ(rec.messages(), std::vector<std::string>{"HELLO"});
}

}  // namespace
