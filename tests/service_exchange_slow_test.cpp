// Service exchanges whose waits run their full length (5 s and more).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compat/compat.h"
#include "protocol/audit.h"
#include "protocol/discount.h"
#include "protocol/terminal_info.h"
#include "support/service_rig.h"

using support::kFS;
using support::Rig;
using sim::Event;

// A terminal that answers with NAK: the ACK wait runs out after 5 s (plus at
// most one read of the serial line, 2 s) and the byte is logged raw.
TEST(ServiceSlow, NakInsteadOfAckOverSerial)
{
    Rig rig(sim::Link::Pty);
    support::LogCapture log("svc", true);
    rig.term.expect_frame("TSN10.").send_raw("\x15").pause(7500);
    ASSERT_TRUE(rig.start());
    char text[256] = "keep";
    const uint64_t t0 = GetTickCount();
    EXPECT_EQ(pos_get_serial_number(rig.h, text), SE_EXEC);
    const uint64_t took = GetTickCount() - t0;
    EXPECT_GE(took, 5000u);
    EXPECT_LT(took, 7500u);
    EXPECT_STREQ(text, "keep");
    EXPECT_EQ(rig.finish(), "");
    EXPECT_EQ(rig.count(Event::RecvAck), 0u);
    const std::string logged = log.text();
    const size_t rec = logged.find("[pos_get_serial_number:");
    ASSERT_NE(rec, std::string::npos);
    EXPECT_NE(logged.find("]  Received data is not ACK[\x15]", rec), std::string::npos);
}

// No ACK to the cancel of a discount request: SE_EXEC after 5 s.
TEST(ServiceSlow, DiscountCancelNotAcknowledged)
{
    Rig rig;
    support::LogCapture log("svc", true);
    const std::string answer = "DSC11." + kFS + kFS + kFS;
    rig.term.expect_frame("DSC10.").send_ack().send_frame(answer).expect_ack(5000)
        .expect_frame("DSC12.", 3000).send_raw("\x15").pause(6000);  // a NAK does not end the wait
    ASSERT_TRUE(rig.start());
    _ecr_mread_report rep{};
    const uint64_t t0 = GetTickCount();
    EXPECT_EQ(pos_discount_init(rig.h, &rep), SE_EXEC);
    const uint64_t took = GetTickCount() - t0;
    EXPECT_GE(took, 6000u);  // 1 s pause before the ACK, then the 5 s wait
    EXPECT_LT(took, 9000u);
    EXPECT_EQ(rig.finish(), "");
    EXPECT_NE(log.text().find("]  Received data is not ACK[\x15]"), std::string::npos);
}

// A terminal that accepts the audit request but sends no record: SE_READ
// when the response time-out (counted per packet) has passed.
TEST(ServiceSlow, AuditWithoutRecordsOverSerial)
{
    Rig rig(sim::Link::Pty);
    rig.term.expect_frame("AUD10.").send_ack().pause(6000);
    ASSERT_TRUE(rig.start(3));
    std::vector<_ecr_audit_report> records(2);
    char sel[] = "01";
    const uint64_t t0 = GetTickCount();
    EXPECT_EQ(pos_audit_request(rig.h, &records, sel), SE_READ);
    const uint64_t took = GetTickCount() - t0;
    EXPECT_GE(took, 3000u);
    EXPECT_LT(took, 6000u);
    EXPECT_TRUE(records.empty());
    EXPECT_EQ(rig.finish(), "");
}
