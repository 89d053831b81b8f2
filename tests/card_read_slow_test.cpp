// Card reads with the longer waits: the discount card wait sent to the
// terminal and the 5 s wait for the ACK of the request.
#include <gtest/gtest.h>

#include <cstring>

#include "compat/compat.h"
#include "support/library_link.h"
#include "protocol/card_read.h"
#include "sim/payment_script.h"

namespace {

const std::string FSs(1, '\x1c');

TEST(DiscountCardWait, ThirtySecondsSentAndAnswerAcceptedAfterThirtyThree)
{
    sim::Terminal t(sim::Link::Pty);
    support::LibraryLink lib(t);
    ASSERT_TRUE(lib.open());
    lib.set_response_timeout(10);  // the card wait, not the handle's, bounds the answer
    t.expect_frame("DCR10.", 10000).send_ack().pause(33000).send_frame("DCR11.T1").expect_ack(10000);
    t.start();
    _ecr_mread_report report;
    EXPECT_EQ(pos_magnetic_read(lib.handle(), &report, 1, 30), SE_OK);
    ASSERT_TRUE(t.wait_done(10000));
    ASSERT_TRUE(t.errors().empty()) << t.errors()[0];
    EXPECT_EQ(t.frames_received()[0], "DCR10." + FSs + "30");
    EXPECT_STREQ(report.track1, "T1");
}

TEST(DiscountCardWait, NoAnswerWithinThirtyFiveSeconds)
{
    sim::Terminal t(sim::Link::Pty);
    support::LibraryLink lib(t);
    ASSERT_TRUE(lib.open());
    lib.set_response_timeout(10);
    support::LogCapture log("exch", false);
    t.expect_frame("DCR10.", 10000).send_ack().pause(40000);
    t.start();
    _ecr_mread_report report;
    const uint64_t start = GetTickCount();
    EXPECT_EQ(pos_magnetic_read(lib.handle(), &report, 1, 30), SE_READ);
    const uint64_t took = GetTickCount() - start;
    EXPECT_GE(took, 35000u);
    EXPECT_LT(took, 38500u);
    EXPECT_NE(log.text().find(" pos_read_packet fail, code["), std::string::npos);
}

TEST(RequestAck, NakGivesExecAfterFiveSeconds)
{
    sim::Terminal t(sim::Link::Pty);
    support::LibraryLink lib(t);
    ASSERT_TRUE(lib.open());
    support::LogCapture log("exch", false);
    t.expect_frame("CRD10.", 10000).send_raw("\x15").pause(8000);
    t.start();
    _ecr_mread_report report;
    const uint64_t start = GetTickCount();
    EXPECT_EQ(pos_magnetic_read(lib.handle(), &report, 0, 0), SE_EXEC);
    const uint64_t took = GetTickCount() - start;
    EXPECT_GE(took, 5000u);
    EXPECT_LT(took, 7500u);
    const std::string text = log.text();
    EXPECT_NE(text.find("[pos_magnetic_read:"), std::string::npos) << text;
    EXPECT_NE(text.find(" Received data is not ACK[\x15]"), std::string::npos) << text;
}

}  // namespace
