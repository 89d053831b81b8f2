// Card and PIN reads and the card-check purchase exchanges against the
// scripted terminal, and the card-read request builder and decoder alone.
#include <gtest/gtest.h>

#include <cstring>

#include "compat/compat.h"
#include "support/library_link.h"
#include "protocol/card_read.h"
#include "sim/payment_script.h"

namespace {

const std::string FSs(1, '\x1c');

std::string text_of(const char* field, size_t width) { return std::string(field, strnlen(field, width)); }

// ---------------------------------------------------------- the builder

std::string built(unsigned char mode, unsigned char wait)
{
    unsigned char buf[POS_MAX_MESSAGE];
    std::memset(buf, 0xEE, sizeof buf);
    unsigned int len = 0;
    EXPECT_EQ(ecr_build_crd_request(buf, &len, mode, wait), SE_OK);
    for (unsigned int i = len; i < sizeof buf; ++i) {
        if (buf[i] != 0) {
            ADD_FAILURE() << "byte " << i << " after the request is not zero";
            break;
        }
    }
    return std::string(reinterpret_cast<char*>(buf), len);
}

TEST(CardReadRequest, KindsAndWait)
{
    EXPECT_EQ(built(0, 0), "CRD10." + FSs);
    EXPECT_EQ(built(7, 30), "CRD10." + FSs);
    EXPECT_EQ(built(2, 30), "ACR10." + FSs);
    EXPECT_EQ(built(1, 0), "DCR10." + FSs);
    EXPECT_EQ(built(1, 100), "DCR10." + FSs);
    EXPECT_EQ(built(1, 5), "DCR10." + FSs + "05");
    EXPECT_EQ(built(1, 99), "DCR10." + FSs + "99");
}

TEST(CardReadRequest, NullArguments)
{
    unsigned char buf[POS_MAX_MESSAGE];
    unsigned int len = 0;
    EXPECT_EQ(ecr_build_crd_request(nullptr, &len, 0, 0), SE_PARAM);
    EXPECT_EQ(ecr_build_crd_request(buf, nullptr, 0, 0), SE_PARAM);
}

// ---------------------------------------------------------- the decoder

unsigned int parse(const std::string& msg, _ecr_mread_report* r)
{
    // An exact-size copy, so a read past the end is caught by the sanitizer.
    std::vector<unsigned char> copy(msg.begin(), msg.end());
    return ecr_parse_crd_response(copy.data(), static_cast<unsigned int>(copy.size()), r);
}

TEST(CardReadResponse, FourFields)
{
    _ecr_mread_report r;
    std::memset(&r, 0x33, sizeof r);
    ASSERT_EQ(parse(sim::join_fields({"CRD11.%B4111^DOE", ";4111=2712", "T3", "ab12"}), &r), SE_OK);
    EXPECT_EQ(r.operation, 3);
    EXPECT_EQ(std::string(r.message_code, 3), "CRD");
    EXPECT_EQ(text_of(r.track1, 100), "%B4111^DOE");
    EXPECT_EQ(text_of(r.track2, 100), ";4111=2712");
    EXPECT_EQ(text_of(r.track3, 110), "T3");
    EXPECT_STREQ(r.sha1hash, "ab12");
    EXPECT_EQ(text_of(r.nameGroup, 64), "");  // the record was zeroed
}

TEST(CardReadResponse, OperationByCode)
{
    _ecr_mread_report r;
    const std::pair<const char*, int> codes[] = {{"ACR11.", 33}, {"dsc11.", 4}, {"DCR11.", 29}, {"GrC11.", 31}};
    for (const auto& c : codes) {
        ASSERT_EQ(parse(std::string(c.first) + "xy", &r), SE_OK) << c.first;
        EXPECT_EQ(r.operation, c.second) << c.first;
        EXPECT_EQ(std::string(r.message_code, 3), std::string(c.first, 3));
    }
    EXPECT_EQ(parse("XYZ11.xy", &r), SE_SYNTAX);
    EXPECT_EQ(parse("CRD12.xy", &r), SE_SYNTAX);
    EXPECT_EQ(r.operation, 3);  // set before the number was checked
    EXPECT_EQ(parse("CRD11.", &r), SE_SYNTAX);  // shorter than 8
}

TEST(CardReadResponse, FieldLimits)
{
    _ecr_mread_report r;
    const std::string t100(100, '1'), t101(101, '1'), t110(110, '3'), t111(111, '3');
    // (join_fields puts a separator after the header: that is an empty track 1.)
    ASSERT_EQ(parse(sim::join_fields({"CRD11." + t100, t100, t110, t100}), &r), SE_OK);
    EXPECT_EQ(std::string(r.track1, 100), t100);
    EXPECT_EQ(std::string(r.track2, 100), t100);  // full width, no terminator
    EXPECT_EQ(std::string(r.track3, 110), t110);
    EXPECT_EQ(std::string(r.sha1hash), t100);
    EXPECT_EQ(parse(sim::join_fields({"CRD11.", t101}), &r), SE_SIZE);
    EXPECT_EQ(text_of(r.track2, 100), "");
    EXPECT_EQ(parse(sim::join_fields({"CRD11.", "", t111}), &r), SE_SIZE);
    EXPECT_EQ(parse(sim::join_fields({"CRD11.", "", "", t101}), &r), SE_SIZE);
    EXPECT_EQ(text_of(r.track3, 110), "");
}

TEST(CardReadResponse, FieldLongerThanTheScratchAreaIsRefused)
{
    support::LogCapture log("exch", false);
    _ecr_mread_report r;
    ASSERT_EQ(parse("CRD11." + std::string(5000, 'Z') + FSs + "T2", &r), SE_SIZE);
    EXPECT_EQ(r.operation, 3);
    EXPECT_EQ(text_of(r.track1, 100), "");
    EXPECT_EQ(text_of(r.track2, 100), "");
    EXPECT_NE(log.text().find(" Incorrect field size track1 [5000]"), std::string::npos);
}

// ------------------------------------------------- card reads on the wire

class CardRead : public ::testing::TestWithParam<sim::Link> {
protected:
    CardRead() : t(GetParam()), lib(t) { std::memset(&report, 0, sizeof report); }
    sim::Terminal t;
    support::LibraryLink lib;
    _ecr_mread_report report;
};

TEST_P(CardRead, PlainReadAcknowledgedAfterOneSecond)
{
    ASSERT_TRUE(lib.open());
    // An empty first field: the separator right after the header.
    const std::string answer = sim::join_fields({"CRD11.", ";4111111111111111=2712"});
    sim::queue_single_answer(t, "CRD10.", answer, 10000);
    t.start();
    EXPECT_EQ(pos_magnetic_read(lib.handle(), &report, 0, 0), SE_OK);
    ASSERT_TRUE(t.wait_done(10000));
    ASSERT_TRUE(t.errors().empty()) << t.errors()[0];
    ASSERT_EQ(t.frames_received().size(), 1u);
    EXPECT_EQ(t.frames_received()[0], "CRD10." + FSs);
    EXPECT_EQ(text_of(report.track1, 100), "");
    EXPECT_EQ(text_of(report.track2, 100), ";4111111111111111=2712");
    const auto ev = t.events();
    const int sent = sim::find_event(ev, sim::Event::SentFrame, answer);
    const int ack = sim::find_event(ev, sim::Event::RecvAck);
    ASSERT_GE(sent, 0);
    ASSERT_GT(ack, sent);
    EXPECT_GE(ev[ack].at_ms - ev[sent].at_ms, 1000u);
    EXPECT_LT(ev[ack].at_ms - ev[sent].at_ms, 2500u);
}

INSTANTIATE_TEST_SUITE_P(Links, CardRead, ECR_ALL_LINKS,
                         support::LinkParamName());

class CardReadPty : public ::testing::Test {
protected:
    CardReadPty() : t(sim::Link::Pty), lib(t) { std::memset(&report, 0, sizeof report); }
    sim::Terminal t;
    support::LibraryLink lib;
    _ecr_mread_report report;
};

TEST_F(CardReadPty, DiscountReadWithoutWaitSendsSevenBytes)
{
    ASSERT_TRUE(lib.open());
    sim::queue_single_answer(t, "DCR10.", "DCR11.T1", 10000);  // wait 0
    sim::queue_single_answer(t, "DCR10.", "DCR11.T1", 10000);  // wait 100
    t.start();
    EXPECT_EQ(pos_magnetic_read(lib.handle(), &report, 1, 0), SE_OK);
    EXPECT_EQ(pos_magnetic_read(lib.handle(), &report, 1, 100), SE_OK);
    ASSERT_TRUE(t.wait_done(10000));
    ASSERT_TRUE(t.errors().empty()) << t.errors()[0];
    const std::vector<std::string> want = {"DCR10." + FSs, "DCR10." + FSs};
    EXPECT_EQ(t.frames_received(), want);
    EXPECT_EQ(report.operation, 29);
    EXPECT_EQ(text_of(report.track1, 100), "T1");
}

TEST_F(CardReadPty, FuelCardRead)
{
    ASSERT_TRUE(lib.open());
    sim::queue_single_answer(t, "ACR10.", sim::join_fields({"ACR11.a", "b", "c"}), 10000);
    t.start();
    EXPECT_EQ(pos_magnetic_read(lib.handle(), &report, 2, 0), SE_OK);
    ASSERT_TRUE(t.wait_done(10000));
    EXPECT_EQ(t.frames_received()[0], "ACR10." + FSs);
    EXPECT_EQ(report.operation, 33);
    EXPECT_EQ(text_of(report.track3, 110), "c");
}

TEST_F(CardReadPty, LowerCaseAnswerAccepted)
{
    ASSERT_TRUE(lib.open());
    sim::queue_single_answer(t, "CRD10.", sim::join_fields({"crd11.T1", "T2"}), 10000);
    t.start();
    EXPECT_EQ(pos_magnetic_read(lib.handle(), &report, 0, 0), SE_OK);
    ASSERT_TRUE(t.wait_done(10000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
    EXPECT_EQ(std::string(report.message_code, 3), "crd");
    EXPECT_EQ(text_of(report.track2, 100), "T2");
}

TEST_F(CardReadPty, OverlongTrackOneStillAcknowledged)
{
    ASSERT_TRUE(lib.open());
    sim::queue_single_answer(t, "CRD10.", sim::join_fields({"CRD11." + std::string(101, 'A'), "T2", "T3"}),
                             10000);
    t.start();
    std::memset(&report, 0x41, sizeof report);
    EXPECT_EQ(pos_magnetic_read(lib.handle(), &report, 0, 0), SE_OK);
    ASSERT_TRUE(t.wait_done(10000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
    EXPECT_EQ(report.operation, 3);
    EXPECT_EQ(std::string(report.message_code, 3), "CRD");
    _ecr_mread_report empty;
    std::memset(&empty, 0, sizeof empty);
    EXPECT_EQ(std::memcmp(report.track1, empty.track1,
                          sizeof report - offsetof(_ecr_mread_report, track1)),
              0);
}

TEST_F(CardReadPty, NumberTwelveIsRefusedWithoutAck)
{
    ASSERT_TRUE(lib.open());
    support::LogCapture log("exch", false);
    t.expect_frame("CRD10.", 10000).send_ack().pause(50).send_frame("CRD12.x").pause(1500);
    t.start();
    EXPECT_EQ(pos_magnetic_read(lib.handle(), &report, 0, 0), SE_SYNTAX);
    ASSERT_TRUE(t.wait_done(10000));
    EXPECT_EQ(sim::count_events(t.events(), sim::Event::RecvAck), 0u);
    EXPECT_EQ(log.text().find("parse messgae error"), std::string::npos);  // not logged for card reads
}

TEST_F(CardReadPty, BadFrameIsDroppedAndTheNextOneRead)
{
    ASSERT_TRUE(lib.open());
    std::string bad = sim::frame("CRD11.BAD");
    bad.back() ^= 0x01;
    t.expect_frame("CRD10.", 10000).send_ack().pause(50).send_raw(bad).pause(1200);
    t.send_frame("CRD11.GOOD").expect_ack(10000);
    t.start();
    EXPECT_EQ(pos_magnetic_read(lib.handle(), &report, 0, 0), SE_OK);
    ASSERT_TRUE(t.wait_done(10000));
    EXPECT_EQ(text_of(report.track1, 100), "GOOD");
}

TEST_F(CardReadPty, NullRecordOrHandle)
{
    EXPECT_EQ(pos_magnetic_read(lib.handle(), nullptr, 0, 0), SE_PARAM);
    EXPECT_EQ(pos_magnetic_read(nullptr, &report, 0, 0), SE_PARAM);
    _ecr_transaction_report tr;
    EXPECT_EQ(pos_pin_read(nullptr, &tr, 1, 5), SE_PARAM);
    EXPECT_EQ(pos_pin_read(lib.handle(), nullptr, 1, 5), SE_PARAM);
    unsigned short belonging = 0;
    EXPECT_EQ(pos_read_card_belonging(lib.handle(), nullptr), SE_PARAM);
    EXPECT_EQ(pos_read_card_belonging(nullptr, &belonging), SE_PARAM);
    EXPECT_EQ(belonging, '5');
    EXPECT_EQ(pos_sent_tran_completion(nullptr, 1), SE_PARAM);
}

// ------------------------------------------------------------ PIN reads

class PinRead : public ::testing::Test {
protected:
    PinRead() : t(sim::Link::Pty), lib(t) { std::memset(&report, 0, sizeof report); }
    sim::Terminal t;
    support::LibraryLink lib;
    _ecr_transaction_report report;
};

TEST_F(PinRead, FourDigitsStored)
{
    ASSERT_TRUE(lib.open());
    sim::queue_single_answer(t, "APP10.", "APP11.1234", 10000);
    t.start();
    std::memset(report.PinResult, 'x', sizeof report.PinResult);
    EXPECT_EQ(pos_pin_read(lib.handle(), &report, 7, 10), SE_OK);
    ASSERT_TRUE(t.wait_done(10000));
    ASSERT_TRUE(t.errors().empty()) << t.errors()[0];
    EXPECT_EQ(t.frames_received()[0], "APP10.07" + FSs);
    EXPECT_EQ(text_of(report.PinResult, 6), "1234");
    EXPECT_EQ(report.TrxType, 34);
    EXPECT_STREQ(report.OpTag, "APP");
}

TEST_F(PinRead, SevenCharactersRefusedAfterTheAck)
{
    ASSERT_TRUE(lib.open());
    sim::queue_single_answer(t, "APP10.", "APP11.1234567", 10000);
    t.start();
    EXPECT_EQ(pos_pin_read(lib.handle(), &report, 42, 10), SE_SIZE);
    ASSERT_TRUE(t.wait_done(10000));
    ASSERT_TRUE(t.errors().empty()) << t.errors()[0];  // the ACK went out
    EXPECT_EQ(t.frames_received()[0], "APP10.42" + FSs);
    EXPECT_EQ(text_of(report.PinResult, 6), "");
}

TEST_F(PinRead, SixCharactersFillTheField)
{
    ASSERT_TRUE(lib.open());
    sim::queue_single_answer(t, "APP10.", "app11.654321" + FSs, 10000);
    t.start();
    EXPECT_EQ(pos_pin_read(lib.handle(), &report, 0, 10), SE_OK);
    ASSERT_TRUE(t.wait_done(10000));
    EXPECT_EQ(std::string(report.PinResult, 6), "654321");
    EXPECT_STREQ(report.OpTag, "app");
}

TEST_F(PinRead, ShortAnswerIsASyntaxErrorAfterTheAck)
{
    ASSERT_TRUE(lib.open());
    sim::queue_single_answer(t, "APP10.", "APP11.", 10000);
    t.start();
    EXPECT_EQ(pos_pin_read(lib.handle(), &report, 0, 10), SE_SYNTAX);
    ASSERT_TRUE(t.wait_done(10000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
    EXPECT_EQ(report.TrxType, 34);
}

// ------------------------------------------------ card-check purchase

class CardCheck : public ::testing::Test {
protected:
    CardCheck() : t(sim::Link::Pty), lib(t) {}
    sim::Terminal t;
    support::LibraryLink lib;
};

TEST_F(CardCheck, BelongingTwoReportedAndReplied)
{
    ASSERT_TRUE(lib.open());
    const std::string notice = sim::join_fields({"PCC12.33", "2"});
    t.pause(50).send_frame(notice).expect_ack(5000).expect_frame("PCC13.", 5000).send_ack();
    t.start();
    unsigned short belonging = '0';
    EXPECT_EQ(pos_read_card_belonging(lib.handle(), &belonging), SE_OK);
    EXPECT_EQ(belonging, '2');
    ASSERT_TRUE(t.wait_done(5000));
    ASSERT_TRUE(t.errors().empty()) << t.errors()[0];
    ASSERT_EQ(t.frames_received().size(), 1u);
    EXPECT_EQ(t.frames_received()[0], "PCC13.");  // six bytes, no separator
    const auto ev = t.events();
    const int sent = sim::find_event(ev, sim::Event::SentFrame, notice);
    const int ack = sim::find_event(ev, sim::Event::RecvAck);
    const int reply = sim::find_event(ev, sim::Event::RecvFrame);
    ASSERT_GE(sent, 0);
    ASSERT_GT(ack, sent);
    ASSERT_GT(reply, ack);
    // The pauses are never early; the upper bounds leave room for a loaded
    // machine.  Received items are stamped when the simulator reads them, so
    // the 800 ms lower bound is taken from the notice's send (stamped before
    // its first byte), not from the ACK, which a busy reader may stamp late.
    EXPECT_GE(ev[ack].at_ms - ev[sent].at_ms, 100u);
    EXPECT_LT(ev[ack].at_ms - ev[sent].at_ms, 2500u);
    EXPECT_GE(ev[reply].at_ms - ev[sent].at_ms, 100u + 800u);
    EXPECT_LT(ev[reply].at_ms - ev[ack].at_ms, 3000u);
}

TEST_F(CardCheck, OtherKindLeavesFiveButStillReplies)
{
    ASSERT_TRUE(lib.open());
    t.pause(50).send_frame(sim::join_fields({"pcc12.34", "1"})).expect_ack(5000).expect_frame("pcc13.", 5000);
    t.send_ack();
    t.start();
    unsigned short belonging = '0';
    EXPECT_EQ(pos_read_card_belonging(lib.handle(), &belonging), SE_OK);
    EXPECT_EQ(belonging, '5');
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
}

TEST_F(CardCheck, ReplyNotAcknowledgedGivesFive)
{
    ASSERT_TRUE(lib.open());
    lib.set_response_timeout(1);
    t.pause(50).send_frame(sim::join_fields({"PCC12.33", "1"})).expect_ack(5000).expect_frame("PCC13.", 5000);
    t.send_raw("Q").pause(3000);
    t.start();
    unsigned short belonging = '0';
    EXPECT_EQ(pos_read_card_belonging(lib.handle(), &belonging), SE_EXEC);
    EXPECT_EQ(belonging, '5');
}

TEST_F(CardCheck, OtherNoticeIsASyntaxErrorAfterTheAck)
{
    ASSERT_TRUE(lib.open());
    t.pause(50).send_frame("PCC11.33").expect_ack(5000).pause(1200);
    t.start();
    unsigned short belonging = '0';
    EXPECT_EQ(pos_read_card_belonging(lib.handle(), &belonging), SE_SYNTAX);
    EXPECT_EQ(belonging, '5');
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
    EXPECT_TRUE(t.frames_received().empty());
}

TEST_F(CardCheck, CompletionDeclined)
{
    ASSERT_TRUE(lib.open());
    sim::queue_single_answer(t, "PCC14.", "PCC15", 10000);
    t.start();
    EXPECT_EQ(pos_sent_tran_completion(lib.handle(), 0), SE_OK);
    ASSERT_TRUE(t.wait_done(10000));
    ASSERT_TRUE(t.errors().empty()) << t.errors()[0];
    EXPECT_EQ(t.frames_received()[0], "PCC14.2" + FSs);
}

TEST_F(CardCheck, CompletionConfirmedComparesFiveCharacters)
{
    ASSERT_TRUE(lib.open());
    sim::queue_single_answer(t, "PCC14.", "pcc15X", 10000);
    t.start();
    EXPECT_EQ(pos_sent_tran_completion(lib.handle(), 9), SE_OK);
    ASSERT_TRUE(t.wait_done(10000));
    EXPECT_EQ(t.frames_received()[0], "PCC14.1" + FSs);
}

TEST_F(CardCheck, CompletionWithOtherAnswer)
{
    ASSERT_TRUE(lib.open());
    t.expect_frame("PCC14.", 10000).send_ack().pause(50).send_frame("PCC16.").pause(1500);
    t.start();
    EXPECT_EQ(pos_sent_tran_completion(lib.handle(), 1), SE_SYNTAX);
    ASSERT_TRUE(t.wait_done(10000));
    EXPECT_EQ(sim::count_events(t.events(), sim::Event::RecvAck), 0u);
}

}  // namespace
