// The 20 s acknowledgement waits of the interrupt request and of the abort
// confirmation.
#include <gtest/gtest.h>

#include "compat/compat.h"
#include "support/library_link.h"
#include "protocol/interrupt_abort.h"
#include "sim/payment_script.h"

#include <cstring>

namespace {

TEST(InterruptAckWait, AckAfterNineteenSecondsGoesOn)
{
    sim::Terminal t(sim::Link::Pty);
    support::LibraryLink lib(t);
    ASSERT_TRUE(lib.open());
    t.expect_frame("IRT10.", 10000).pause(19000).send_ack().pause(50).send_frame("IRT11.").expect_ack(10000);
    t.start();
    const uint64_t start = GetTickCount();
    EXPECT_EQ(send_receive_interrupt(lib.handle()), SE_OK);
    EXPECT_GE(GetTickCount() - start, 19000u);
    ASSERT_TRUE(t.wait_done(10000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
}

TEST(InterruptAckWait, AckAfterTwentyOneSecondsIsTooLate)
{
    sim::Terminal t(sim::Link::Pty);
    support::LibraryLink lib(t);
    ASSERT_TRUE(lib.open());
    support::LogCapture log("exch", false);
    t.expect_frame("IRT10.", 10000).pause(21000).send_ack().pause(500);
    t.start();
    const uint64_t start = GetTickCount();
    EXPECT_EQ(send_receive_interrupt(lib.handle()), SE_EXEC);
    const uint64_t took = GetTickCount() - start;
    EXPECT_GE(took, 20000u);
    EXPECT_LT(took, 21000u);
    const std::string text = log.text();
    EXPECT_NE(text.find(std::string(" Received data is not ACK[") + '\0' + "]"), std::string::npos);
}

TEST(Abort, ConfirmationNotAcknowledgedWithinTwentySeconds)
{
    // The short half: an answer other than ACK ends the wait only at the
    // deadline (a terminal that closed the link would end it at once).
    sim::Terminal t(sim::Link::Tcp);
    support::LibraryLink lib(t);
    ASSERT_TRUE(lib.open());
    t.expect_frame("PUR11.", 10000).send_ack().pause(300).send_frame("PUR12.");
    t.expect_ack(10000).expect_frame("PUR13.", 10000).send_raw("X").pause(21000);
    t.start();
    _ecr_transaction_report report;
    const uint64_t start = GetTickCount();
    EXPECT_EQ(send_receive_abort(lib.handle(), &report), SE_EXEC);
    const uint64_t took = GetTickCount() - start;
    EXPECT_GE(took, 20000u);
    EXPECT_LT(took, 23000u);
}

}  // namespace
