// The payment exchange across threads: one exchange at a time in the process
// (the second caller is refused at once and nothing of the first is
// disturbed), and the interrupt flag raised from another thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "compat/compat.h"
#include "support/library_link.h"
#include "protocol/transaction_exchange.h"
#include "sim/payment_script.h"

namespace {

TEST(OneExchangeAtATime, SecondCallerIsRefusedWithoutTouchingTheFirst)
{
    sim::Terminal ta(sim::Link::Pty), tb(sim::Link::Pty);
    support::LibraryLink la(ta), lb(tb);
    ASSERT_TRUE(la.open());
    ASSERT_TRUE(lb.open());
    ta.pause(1500).send_frame(sim::join_fields({"SMS11.FIRST", "1"})).expect_ack(5000);
    tb.pause(50).send_frame(sim::join_fields({"SMS11.SECOND", "0"})).expect_ack(10000);
    ta.start();
    tb.start();

    _ecr_transaction_report ra, rb;
    std::memset(&ra, 0, sizeof ra);
    std::memset(&rb, 0, sizeof rb);
    std::atomic<unsigned int> status_a{0xFFFF};
    PosHandle* ha = la.handle();
    std::thread first([&] { status_a = pos_read_transaction_report(ha, &ra); });

    Sleep(400);  // the first exchange is waiting for its packet now
    _init_transaction_request request;
    std::memset(&request, 0, sizeof request);
    request.trx_type = 1;
    const uint64_t start = GetTickCount();
    EXPECT_EQ(pos_read_transaction_report(lb.handle(), &rb), SE_EXEC);
    EXPECT_EQ(pos_init_transaction(lb.handle(), &request), SE_EXEC);
    EXPECT_LT(GetTickCount() - start, 200u);  // refused at once, not after a wait
    EXPECT_EQ(rb.MsgText[0], '\0');
    EXPECT_TRUE(tb.frames_received().empty());  // the request was not sent

    first.join();
    EXPECT_EQ(status_a.load(), SE_MESSAGE);
    EXPECT_STREQ(ra.MsgText, "FIRST");
    EXPECT_EQ(ra.MsgFlag, 1);
    ASSERT_TRUE(ta.wait_done(5000));
    EXPECT_TRUE(ta.errors().empty()) << ta.errors()[0];

    // Once the first has finished, the second handle is served.
    EXPECT_EQ(pos_read_transaction_report(lb.handle(), &rb), SE_MESSAGE);
    EXPECT_STREQ(rb.MsgText, "SECOND");
    ASSERT_TRUE(tb.wait_done(5000));
    EXPECT_TRUE(tb.errors().empty()) << tb.errors()[0];
}

// The flag raised while the report loop waits ends the read before the
// intermediate message that would come next; raised after a final response
// has been read, it does not drop it: what the terminal said is
// acknowledged, confirmed and decoded.
TEST(InterruptFromAnotherThread, ReportLoopStopsAtTheNextMessageButTakesAFinalResponse)
{
    for (const bool final_response : {false, true}) {
        sim::Terminal t(sim::Link::Tcp);
        support::LibraryLink lib(t);
        ASSERT_TRUE(lib.open());
        if (final_response)
            t.pause(100).send_frame(sim::join_fields({"PUR12.00", "01"})).expect_ack().expect_frame("PUR13.", 10000).send_ack();
        else
            t.pause(700).send_frame(sim::join_fields({"SMS10.WAIT", "0"})).pause(800);
        t.start();
        PosHandle* h = lib.handle();
        std::thread canceller([h, final_response] {
            Sleep(final_response ? 600 : 200);
            h->interrupt.store(1);
        });
        _ecr_transaction_report report;
        std::memset(&report, 0, sizeof report);
        const uint64_t start = GetTickCount();
        EXPECT_EQ(pos_read_transaction_report(h, &report), SE_OK);
        EXPECT_LT(GetTickCount() - start, final_response ? 8000u : 3000u);
        canceller.join();
        h->interrupt.store(0);
        ASSERT_TRUE(t.wait_done(5000));
        EXPECT_TRUE(t.errors().empty());
        EXPECT_EQ(sim::count_events(t.events(), sim::Event::RecvAck), final_response ? 1u : 0u);
        EXPECT_EQ(t.frames_received().size(), final_response ? 1u : 0u);
        EXPECT_EQ(report.EcrNum, final_response ? 1 : 0);
    }
}

}  // namespace
