// Interrupt (IRT10.) and abort (PUR11. / PUR13.) against the scripted terminal.
#include <gtest/gtest.h>

#include <cstring>

#include "compat/compat.h"
#include "support/library_link.h"
#include "protocol/interrupt_abort.h"
#include "sim/payment_script.h"

namespace {

const std::string FSs(1, '\x1c');
// The abort does not wait for the ACK of its request: the ACK is skipped while
// the answer frame is read, whether it comes alone or with the answer.
constexpr unsigned ACK_ALONE_MS = 300;

class Control : public ::testing::TestWithParam<sim::Link> {
protected:
    Control() : t(GetParam()), lib(t) { std::memset(&report, 0, sizeof report); }
    sim::Terminal t;
    support::LibraryLink lib;
    _ecr_transaction_report report;
};

TEST_P(Control, InterruptAnsweredAndAcknowledged)
{
    ASSERT_TRUE(lib.open());
    sim::queue_single_answer(t, "IRT10.", sim::join_fields({"IRT11.", "0"}), 10000);
    t.start();
    EXPECT_EQ(send_receive_interrupt(lib.handle()), SE_OK);
    ASSERT_TRUE(t.wait_done(10000));
    ASSERT_TRUE(t.errors().empty()) << t.errors()[0];
    ASSERT_EQ(t.frames_received().size(), 1u);
    EXPECT_EQ(t.frames_received()[0], "IRT10." + FSs);
}

TEST_P(Control, AbortAnsweredByTwelveRunsTheWholeSequence)
{
    ASSERT_TRUE(lib.open());
    t.expect_frame("PUR11.", 10000).send_ack().pause(ACK_ALONE_MS).send_frame(sim::join_fields({"PUR12.", "000"}));
    t.expect_ack(10000).expect_frame("PUR13.", 10000).send_ack();
    t.start();
    EXPECT_EQ(send_receive_abort(lib.handle(), &report), SE_OK);
    ASSERT_TRUE(t.wait_done(10000));
    ASSERT_TRUE(t.errors().empty()) << t.errors()[0];
    const std::vector<std::string> want = {"PUR11." + FSs, "PUR13." + FSs};
    EXPECT_EQ(t.frames_received(), want);
}

TEST_P(Control, AbortAnsweredByTextMessage)
{
    ASSERT_TRUE(lib.open());
    t.expect_frame("PUR11.", 10000).send_ack().pause(ACK_ALONE_MS);
    t.send_frame(sim::join_fields({"SMS11.CARD IN USE", "1"}));
    t.expect_ack(10000).pause(500);
    t.start();
    EXPECT_EQ(send_receive_abort(lib.handle(), &report), SE_MESSAGE);
    ASSERT_TRUE(t.wait_done(10000));
    ASSERT_TRUE(t.errors().empty()) << t.errors()[0];
    EXPECT_STREQ(report.MsgText, "CARD IN USE");
    EXPECT_EQ(report.MsgFlag, 1);
    EXPECT_EQ(t.frames_received().size(), 1u);  // no PUR13.
}

TEST_P(Control, AbortAnsweredByTenIsRefusedWithoutAck)
{
    ASSERT_TRUE(lib.open());
    t.expect_frame("PUR11.", 10000).send_ack().pause(ACK_ALONE_MS).send_frame("PUR10.").pause(600);
    t.start();
    EXPECT_EQ(send_receive_abort(lib.handle(), &report), SE_SYNTAX);
    ASSERT_TRUE(t.wait_done(10000));
    EXPECT_EQ(sim::count_events(t.events(), sim::Event::RecvAck), 0u);
    EXPECT_EQ(t.frames_received().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Links, Control, ECR_ALL_LINKS,
                         support::LinkParamName());

TEST(Interrupt, ShortAnswerStillGivesOk)
{
    sim::Terminal t(sim::Link::Pty);
    support::LibraryLink lib(t);
    ASSERT_TRUE(lib.open());
    sim::queue_single_answer(t, "IRT10.", "irt11", 10000);
    t.start();
    EXPECT_EQ(send_receive_interrupt(lib.handle()), SE_OK);
    ASSERT_TRUE(t.wait_done(10000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
}

TEST(Interrupt, OtherAnswerIsASyntaxError)
{
    sim::Terminal t(sim::Link::Pty);
    support::LibraryLink lib(t);
    ASSERT_TRUE(lib.open());
    support::LogCapture log("exch", false);
    t.expect_frame("IRT10.", 10000).send_ack().pause(50).send_frame("IRT12.").pause(500);
    t.start();
    EXPECT_EQ(send_receive_interrupt(lib.handle()), SE_SYNTAX);
    ASSERT_TRUE(t.wait_done(10000));
    EXPECT_EQ(sim::count_events(t.events(), sim::Event::RecvAck), 0u);
    const std::string text = log.text();
    EXPECT_NE(text.find("[send_receive_interrupt:"), std::string::npos) << text;
    EXPECT_NE(text.find("]  parse messgae error! return SE_SYNTAX"), std::string::npos) << text;
}

TEST(Interrupt, NoAnswerWithinTheResponseTimeout)
{
    sim::Terminal t(sim::Link::Pty);
    support::LibraryLink lib(t);
    ASSERT_TRUE(lib.open());
    lib.set_response_timeout(1);
    support::LogCapture log("exch", false);
    t.expect_frame("IRT10.", 10000).send_ack().pause(4000);
    t.start();
    EXPECT_EQ(send_receive_interrupt(lib.handle()), SE_READ);
    EXPECT_NE(log.text().find(" pos_read_packet fail, code[19]"), std::string::npos);
}

TEST(Interrupt, InterruptFlagIsNotLookedAt)
{
    // On a socket link nothing below the exchange looks at the flag either.
    sim::Terminal t(sim::Link::Tcp);
    support::LibraryLink lib(t);
    ASSERT_TRUE(lib.open());
    sim::queue_single_answer(t, "IRT10.", "IRT11.", 10000);
    t.start();
    lib.handle()->interrupt.store(1);
    EXPECT_EQ(send_receive_interrupt(lib.handle()), SE_OK);
    lib.handle()->interrupt.store(0);
    ASSERT_TRUE(t.wait_done(10000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
}

TEST(Abort, NullReportWithTextMessageDoesNotCrash)
{
    sim::Terminal t(sim::Link::Pty);
    support::LibraryLink lib(t);
    ASSERT_TRUE(lib.open());
    t.expect_frame("PUR11.", 10000).send_ack().send_frame(sim::join_fields({"SMS11.BUSY", "1"})).expect_ack(10000);
    t.start();
    EXPECT_EQ(send_receive_abort(lib.handle(), nullptr), SE_MESSAGE);
    ASSERT_TRUE(t.wait_done(10000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
}

TEST(Abort, LongTextIsCutToFit)
{
    sim::Terminal t(sim::Link::Pty);
    support::LibraryLink lib(t);
    ASSERT_TRUE(lib.open());
    _ecr_transaction_report report;
    std::memset(&report, 0x55, sizeof report);
    t.expect_frame("PUR11.", 10000).send_ack().send_frame("SMS11." + std::string(120, 'x')).expect_ack(10000);
    t.start();
    EXPECT_EQ(send_receive_abort(lib.handle(), &report), SE_MESSAGE);
    EXPECT_EQ(std::string(report.MsgText), std::string(49, 'x'));
    EXPECT_EQ(report.PinResult[0], 0x55);
}

TEST(ControlArguments, NullHandle)
{
    EXPECT_EQ(send_receive_interrupt(nullptr), SE_PARAM);
    _ecr_transaction_report report;
    EXPECT_EQ(send_receive_abort(nullptr, &report), SE_PARAM);
}

}  // namespace
