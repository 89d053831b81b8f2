// Every wait of an exchange over TCP or UDP ends at its own deadline, not when
// the socket's 30 s receive time-out happens to expire: ACK waits, response
// reads, the payment report loop and the transaction worker's time budget,
// measured against the simulated terminal over loopback sockets.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "VarkoClass2017/VarkoClass2017.h"
#include "compat/compat.h"
#include "ecrbridge.h"
#include "protocol/audit.h"
#include "protocol/card_read.h"
#include "protocol/interrupt_abort.h"
#include "protocol/transaction_exchange.h"
#include "support/service_rig.h"
#include "support/payment_harness.h"

namespace {

_init_transaction_request purchase_request()
{
    _init_transaction_request r;
    std::memset(&r, 0, sizeof r);
    r.trx_type = 1;
    r.ecr_num = 1;
    r.ecr_receipt_num = 57;
    r.amount = 12.34;
    r.currency_code = 643;
    return r;
}

// ------------------------------------------------------------ ACK waits

TEST(SocketDeadlineSlow, ServiceAckWaitAfterANakEndsAtFiveSecondsOverTcp)
{
    support::Rig rig(sim::Link::Tcp);
    rig.term.expect_frame("NDX10.", 10000).send_raw("\x15").pause(12000);
    support::LogCapture log("svc", true);
    ASSERT_TRUE(rig.start());
    const uint64_t t0 = GetTickCount();
    EXPECT_EQ(Pos_Print_X_Report(rig.h), SE_EXEC);
    const uint64_t took = GetTickCount() - t0;
    EXPECT_GE(took, 5000u);
    EXPECT_LT(took, 6500u);  // was about 30 s: one receive waited out the socket time-out
    EXPECT_NE(log.text().find("[Pos_Print_X_Report:"), std::string::npos);
    EXPECT_EQ(rig.count(sim::Event::RecvAck), 0u);
}

TEST(SocketDeadlineSlow, InterruptAckWaitEndsAtTwentySecondsOverTcp)
{
    support::Rig rig(sim::Link::Tcp);
    rig.term.expect_frame("IRT10.", 10000).pause(26000);
    ASSERT_TRUE(rig.start());
    const uint64_t t0 = GetTickCount();
    EXPECT_EQ(send_receive_interrupt(rig.h), SE_EXEC);
    const uint64_t took = GetTickCount() - t0;
    EXPECT_GE(took, 20000u);
    EXPECT_LT(took, 22000u);  // was 30 s
    const std::vector<std::string> frames = rig.term.frames_received();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], "IRT10." + support::kFS);
}

TEST(SocketDeadlineSlow, CardBelongingConfirmationAckWaitEndsAtTheResponseTimeoutOverTcp)
{
    support::Rig rig(sim::Link::Tcp);
    rig.term.send_frame("PCC12.33" + support::kFS + "1").expect_ack(5000);
    rig.term.expect_frame("PCC13.", 10000).pause(10000);
    ASSERT_TRUE(rig.start(3));
    unsigned short belonging = 0;
    const uint64_t t0 = GetTickCount();
    EXPECT_EQ(pos_read_card_belonging(rig.h, &belonging), SE_EXEC);
    const uint64_t took = GetTickCount() - t0;
    const uint64_t confirmed = rig.at(sim::Event::RecvFrame, "PCC13.");
    ASSERT_NE(confirmed, 0u);
    EXPECT_GE(took, 3000u);
    EXPECT_GE(t0 + took, confirmed + 3000 - 5);  // the ACK wait starts as the frame goes out
    EXPECT_LT(t0 + took, confirmed + 4500);       // was 30 s
    EXPECT_EQ(belonging, '5');
}

// -------------------------------------------------------- response reads

TEST(SocketDeadlineSlow, SilentTerminalEndsTheReportReadAtFortySecondsOverTcp)
{
    support::Rig rig(sim::Link::Tcp);
    rig.term.pause(46000);
    ASSERT_TRUE(rig.start());
    ASSERT_EQ(pos_set_timeouts(rig.h, 5, 40), SE_OK);
    _ecr_transaction_report report;
    std::memset(&report, 0, sizeof report);
    const uint64_t t0 = GetTickCount();
    EXPECT_EQ(pos_read_transaction_report(rig.h, &report), SE_READ);
    const uint64_t took = GetTickCount() - t0;
    EXPECT_GE(took, 40000u);
    EXPECT_LT(took, 42000u);  // was 60 s: two receives of 30 s each
    EXPECT_EQ(rig.count(sim::Event::RecvAck), 0u);
}

TEST(SocketDeadlineSlow, FirstAnswerWaitEndsAtTheResponseTimeoutOverUdp)
{
    support::Rig rig(sim::Link::Udp);
    rig.term.expect_frame("PUR10.", 10000).send_ack().pause(12000);
    ASSERT_TRUE(rig.start(7));
    _init_transaction_request request = purchase_request();
    EXPECT_EQ(pos_init_transaction(rig.h, &request), SE_READ);
    const uint64_t ended = GetTickCount();
    const uint64_t acked = rig.at(sim::Event::SentAck);
    ASSERT_NE(acked, 0u);
    EXPECT_GE(ended, acked + 7000 - 5);  // the wait starts as the ACK arrives
    EXPECT_LT(ended, acked + 8500);       // was 30 s
}

TEST(SocketDeadlineSlow, ServiceResponseWaitEndsAtTheResponseTimeoutOverUdp)
{
    support::Rig rig(sim::Link::Udp);
    rig.term.expect_frame("NDX10.", 10000).send_ack().pause(12000);
    ASSERT_TRUE(rig.start(4));
    const uint64_t t0 = GetTickCount();
    EXPECT_EQ(Pos_Print_X_Report(rig.h), SE_READ);
    const uint64_t ended = GetTickCount();
    const uint64_t acked = rig.at(sim::Event::SentAck);
    ASSERT_NE(acked, 0u);
    EXPECT_GE(ended - t0, 4000u);
    EXPECT_GE(ended, acked + 4000 - 5);
    EXPECT_LT(ended, acked + 5500);  // was 30 s
}

TEST(SocketDeadlineSlow, AuditPacketWaitEndsAtTheResponseTimeoutOverTcp)
{
    support::Rig rig(sim::Link::Tcp);
    rig.term.expect_frame("AUD10.", 10000).send_ack().pause(12000);
    ASSERT_TRUE(rig.start(3));
    std::vector<_ecr_audit_report> records;
    char selection[] = "0";
    const uint64_t t0 = GetTickCount();
    EXPECT_EQ(pos_audit_request(rig.h, &records, selection), SE_READ);
    const uint64_t ended = GetTickCount();
    const uint64_t acked = rig.at(sim::Event::SentAck);
    ASSERT_NE(acked, 0u);
    EXPECT_GE(ended - t0, 3000u);
    EXPECT_GE(ended, acked + 3000 - 5);
    EXPECT_LT(ended, acked + 4500);  // was 30 s
    EXPECT_TRUE(records.empty());
}

// A plain channel read of a silent terminal ends at the socket's 30 s
// receive time-out.
TEST(SocketDeadlineSlow, OneReadNeverWaitsLongerThanTheSocketTimeOut)
{
    sim::Terminal term(sim::Link::Tcp);
    CTransport tr;
    tr.SetType(TT_TCP);
    tr.SetRemoteIP("127.0.0.1");
    tr.SetRemotePort(term.port());
    ASSERT_TRUE(tr.Open());
    term.pause(40000);
    term.start();
    unsigned char buf[16];
    const uint64_t t0 = GetTickCount();
    EXPECT_EQ(tr.Read(buf, sizeof buf), -1);
    const uint64_t took = GetTickCount() - t0;
    EXPECT_GE(took, 30000u);
    EXPECT_LT(took, 34000u);  // room for a loaded machine
}

// ------------------------------------------------ the transaction worker

class WorkerBudgetSlow : public ::testing::Test {
protected:
    void SetUp() override { support::fresh_object(); }
    void TearDown() override
    {
        support::drain();
        PosClose();
        destroy_object(create_object());
    }

    // A purchase whose terminal answers the request and then says nothing:
    // the default budget allows one silent read of the 40 s response time-out.
    void silent_after_first_answer(sim::Link link)
    {
        sim::Terminal t(link);
        support::script_request(t, "PUR10.", "PUR11.");
        t.pause(50000);
        t.start();
        ASSERT_EQ(support::open_to(t), 0);
        PosPurchase(12.34, 0);
        ASSERT_TRUE(rec.wait_for(1, 70000));
        const uint64_t request = support::event_time(t, sim::Event::RecvFrame, "PUR10.");
        ASSERT_NE(request, 0u);
        const support::Completion c = rec.completions()[0];
        EXPECT_EQ(c.result, 20u);
        EXPECT_GE(c.at_ms, request + 40000);
        EXPECT_LT(c.at_ms, request + 46000);  // was about 60 s over TCP
        EXPECT_EQ(OnTRX(), 20);
        const std::vector<std::string> frames = t.frames_received();
        ASSERT_EQ(frames.size(), 1u);  // no confirmation, nothing else
    }

    support::Recorder& rec = support::Recorder::instance();
};

TEST_F(WorkerBudgetSlow, SilentTerminalEndsThePurchaseAfterFortySecondsOverTcp)
{
    silent_after_first_answer(sim::Link::Tcp);
}

TEST_F(WorkerBudgetSlow, SilentTerminalEndsThePurchaseAfterFortySecondsOverUdp)
{
    silent_after_first_answer(sim::Link::Udp);
}

}  // namespace
