// The payment exchange against the scripted terminal: first answers, wait
// notices, text messages, notices and the interrupt flag; and the message
// rules on their own.  Cases that reach a confirmed final response take
// over 5 s each and live in transaction_exchange_slow_test.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "compat/compat.h"
#include "support/library_link.h"
#include "protocol/transaction_exchange.h"
#include "protocol/transaction_rules.h"
#include "sim/payment_script.h"

namespace {

const std::string FSs(1, '\x1c');

// The purchase of 12.34 with register 1 and receipt 57 (66 bytes).
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

std::string confirmation_of(const std::string& msg)
{
    unsigned char out[6];
    build_confirmation(reinterpret_cast<const unsigned char*>(msg.data()), static_cast<unsigned>(msg.size()), out);
    return std::string(reinterpret_cast<char*>(out), 6);
}

const unsigned char* bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// ---------------------------------------------------------------- rules

TEST(ConfirmationRule, NumberDependsOnTheResponseCode)
{
    EXPECT_EQ(confirmation_of("PUR12.000"), "PUR13.");
    EXPECT_EQ(confirmation_of("REF12.000"), "REF13.");
    EXPECT_EQ(confirmation_of("DSC11.000"), "DSC15.");
    EXPECT_EQ(confirmation_of("RFC12.000"), "RFC15.");
    EXPECT_EQ(confirmation_of("RDC11.000"), "RDC12.");
    EXPECT_EQ(confirmation_of("PCC14.000"), "PCC15.");
    EXPECT_EQ(confirmation_of("RDC15.000"), "RDC16.");
}

TEST(ConfirmationRule, CodeLettersKeptAsReceived)
{
    EXPECT_EQ(confirmation_of("pur12.000"), "pur13.");
    EXPECT_EQ(confirmation_of("dSc12.000"), "dSc15.");
    EXPECT_EQ(confirmation_of("rdc11.000"), "rdc12.");
}

TEST(WaitNotice, MinutesAreTwoDigitsAfterTheHeader)
{
    unsigned int minutes = 77;
    const std::string five = "PUR00.05";
    EXPECT_TRUE(is_wait_notice(bytes(five), 8));
    ASSERT_TRUE(wait_notice_minutes(bytes(five), 8, &minutes));
    EXPECT_EQ(minutes, 5u);
    const std::string ninety_nine = "XYZ00.99" + FSs;
    ASSERT_TRUE(wait_notice_minutes(bytes(ninety_nine), 9, &minutes));
    EXPECT_EQ(minutes, 99u);
    EXPECT_FALSE(is_wait_notice(bytes(std::string("PUR01.05")), 8));
}

TEST(WaitNotice, NonDigitMinutesAreNotRead)
{
    unsigned int minutes = 77;
    EXPECT_FALSE(wait_notice_minutes(bytes(std::string("PUR00.x5")), 8, &minutes));
    EXPECT_FALSE(wait_notice_minutes(bytes(std::string("PUR00.5-")), 8, &minutes));
    EXPECT_FALSE(wait_notice_minutes(bytes(std::string("PUR00.0")), 7, &minutes));
    EXPECT_EQ(minutes, 77u);
}

TEST(ProgressNotice, FirstFiveBytesExactly)
{
    EXPECT_TRUE(is_progress_notice(bytes(std::string("PIR21.")), 6));
    EXPECT_TRUE(is_progress_notice(bytes(std::string("RFI21")), 5));
    EXPECT_TRUE(is_progress_notice(bytes(std::string("VID21.x")), 7));
    EXPECT_FALSE(is_progress_notice(bytes(std::string("pir21.")), 6));
    EXPECT_FALSE(is_progress_notice(bytes(std::string("PUR21.")), 6));
    EXPECT_FALSE(is_progress_notice(bytes(std::string("PIR2")), 4));
}

TEST(TextMessage, TextAndFlagStored)
{
    _ecr_transaction_report r;
    std::memset(&r, 0, sizeof r);
    const std::string msg = "SMS11.INSERT CARD" + FSs + "1";
    store_text_message(bytes(msg), static_cast<unsigned>(msg.size()), &r);
    EXPECT_STREQ(r.MsgText, "INSERT CARD");
    EXPECT_EQ(r.MsgFlag, 1);
}

TEST(TextMessage, FlagZeroLeavesTheFlagAsItWas)
{
    _ecr_transaction_report r;
    std::memset(&r, 0, sizeof r);
    const std::string zero = "sms11.WAIT" + FSs + "0";
    store_text_message(bytes(zero), static_cast<unsigned>(zero.size()), &r);
    EXPECT_STREQ(r.MsgText, "WAIT");
    EXPECT_EQ(r.MsgFlag, 0);
    r.MsgFlag = 1;
    store_text_message(bytes(zero), static_cast<unsigned>(zero.size()), &r);
    EXPECT_EQ(r.MsgFlag, 1);
}

TEST(TextMessage, LongTextIsCutTo49AndTerminated)
{
    _ecr_transaction_report r;
    std::memset(&r, 0xAA, sizeof r);
    const std::string text(300, 'T');
    const std::string msg = "SMS11." + text + FSs + "1";
    store_text_message(bytes(msg), static_cast<unsigned>(msg.size()), &r);
    EXPECT_EQ(std::string(r.MsgText), std::string(49, 'T'));
    EXPECT_EQ(r.MsgText[49], '\0');
    // The field after MsgText is not touched.
    EXPECT_EQ(static_cast<unsigned char>(r.PinResult[0]), 0xAA);
    EXPECT_EQ(r.MsgFlag, 1);
}

TEST(TextMessage, ShorterTextClearsTheRestOfThePreviousOne)
{
    _ecr_transaction_report r;
    std::memset(&r, 0, sizeof r);
    const std::string first = "SMS11.A LONGER TEXT";
    const std::string second = "SMS11.HI" + FSs;
    store_text_message(bytes(first), static_cast<unsigned>(first.size()), &r);
    store_text_message(bytes(second), static_cast<unsigned>(second.size()), &r);
    EXPECT_STREQ(r.MsgText, "HI");
    EXPECT_EQ(r.MsgFlag, 0);
}

TEST(TextMessage, NoFieldLeavesTheText)
{
    _ecr_transaction_report r;
    std::memset(&r, 0, sizeof r);
    std::strcpy(r.MsgText, "KEEP");
    store_text_message(bytes(std::string("SMS11.")), 6, &r);
    EXPECT_STREQ(r.MsgText, "KEEP");
}

// ------------------------------------------------------------ arguments

TEST(TransactionArguments, NullsAreRefusedAndLogged)
{
    support::LogCapture log("exch", false);
    _ecr_transaction_report report;
    _init_transaction_request request = purchase_request();
    PosHandle dummy;
    EXPECT_EQ(pos_init_transaction(nullptr, nullptr), SE_PARAM);
    EXPECT_EQ(pos_init_transaction(nullptr, &request), SE_PARAM);
    EXPECT_EQ(pos_read_transaction_report(&dummy, nullptr), SE_PARAM);
    EXPECT_EQ(pos_read_transaction_report(nullptr, &report), SE_PARAM);
    const std::string text = log.text();
    EXPECT_NE(text.find("[pos_init_transaction:"), std::string::npos) << text;
    EXPECT_NE(text.find("]  NULL pos_handle  NULL ecr_init_request \n"), std::string::npos) << text;
    EXPECT_NE(text.find("]  NULL pos_handle \n"), std::string::npos) << text;
    EXPECT_NE(text.find("[pos_read_transaction_report:"), std::string::npos) << text;
}

TEST(TransactionArguments, RequestWithoutLayoutIsNotSent)
{
    sim::Terminal t(sim::Link::Tcp);
    support::LibraryLink lib(t);
    ASSERT_TRUE(lib.open());
    support::LogCapture log("exch", false);
    _init_transaction_request request = purchase_request();
    request.trx_type = 44;  // cash-back has no request layout
    EXPECT_EQ(pos_init_transaction(lib.handle(), &request), SE_SYNTAX);
    EXPECT_NE(log.text().find(" ecr_build_init_transaction error[15]"), std::string::npos);
    t.pause(300).start();
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_TRUE(t.frames_received().empty());
}

// ------------------------------------------------ the first answer, all links

class FirstAnswer : public ::testing::TestWithParam<sim::Link> {};

TEST_P(FirstAnswer, RequestBytesAndAcknowledgedFirstAnswer)
{
    sim::Terminal t(GetParam());
    support::LibraryLink lib(t);
    ASSERT_TRUE(lib.open());
    t.expect_frame("PUR10.", 10000).send_ack().pause(50).send_frame("PUR11.").expect_ack(10000);
    t.start();
    _init_transaction_request request = purchase_request();
    EXPECT_EQ(pos_init_transaction(lib.handle(), &request), SE_OK);
    ASSERT_TRUE(t.wait_done(10000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
    const std::string want = "PUR10.01" + FSs + "57" + FSs + "000000001234" + FSs + "000000000000" + FSs + "643" +
                             FSs + "000000" + FSs + FSs + FSs + FSs + "000" + FSs + "00" + FSs + FSs + FSs + FSs + "0" +
                             FSs + FSs + FSs;
    ASSERT_EQ(want.size(), 66u);
    ASSERT_EQ(t.frames_received().size(), 1u);
    EXPECT_EQ(t.frames_received()[0], want);
}

TEST_P(FirstAnswer, NumberedTwelveIsRefusedWithoutAck)
{
    sim::Terminal t(GetParam());
    support::LibraryLink lib(t);
    ASSERT_TRUE(lib.open());
    t.expect_frame("PUR10.", 10000).send_ack().pause(50).send_frame("PUR12.000" + FSs).pause(700);
    t.start();
    _init_transaction_request request = purchase_request();
    EXPECT_EQ(pos_init_transaction(lib.handle(), &request), SE_SYNTAX);
    ASSERT_TRUE(t.wait_done(10000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
    EXPECT_EQ(sim::count_events(t.events(), sim::Event::RecvAck), 0u);
}

TEST_P(FirstAnswer, OtherCodeIsRefused)
{
    sim::Terminal t(GetParam());
    support::LibraryLink lib(t);
    ASSERT_TRUE(lib.open());
    t.expect_frame("PUR10.", 10000).send_ack().pause(50).send_frame("REF11.").pause(700);
    t.start();
    _init_transaction_request request = purchase_request();
    EXPECT_EQ(pos_init_transaction(lib.handle(), &request), SE_SYNTAX);
    ASSERT_TRUE(t.wait_done(10000));
    EXPECT_EQ(sim::count_events(t.events(), sim::Event::RecvAck), 0u);
}

INSTANTIATE_TEST_SUITE_P(Links, FirstAnswer, ECR_ALL_LINKS,
                         support::LinkParamName());

TEST(FirstAnswerPty, LowerCaseCodeAndNumbersThirteenFifteenAccepted)
{
    for (const char* answer : {"pur13.", "PUR15.x"}) {
        sim::Terminal t(sim::Link::Pty);
        support::LibraryLink lib(t);
        ASSERT_TRUE(lib.open());
        t.expect_frame("PUR10.", 10000).send_ack().send_frame(answer).expect_ack(10000);
        t.start();
        _init_transaction_request request = purchase_request();
        EXPECT_EQ(pos_init_transaction(lib.handle(), &request), SE_OK) << answer;
        ASSERT_TRUE(t.wait_done(10000));
        EXPECT_TRUE(t.errors().empty()) << answer;
    }
}

// ------------------------------------------------------ the request ACK

TEST(RequestAck, OtherByteThenSilenceGivesExecAfterTheResponseTimeout)
{
    sim::Terminal t(sim::Link::Pty);
    support::LibraryLink lib(t);
    ASSERT_TRUE(lib.open());
    lib.set_response_timeout(1);
    support::LogCapture log("exch", false);
    t.expect_frame("PUR10.", 10000).send_raw("\x15").pause(4000);
    t.start();
    _init_transaction_request request = purchase_request();
    const uint64_t start = GetTickCount();
    EXPECT_EQ(pos_init_transaction(lib.handle(), &request), SE_EXEC);
    const uint64_t took = GetTickCount() - start;
    EXPECT_GE(took, 1000u);
    EXPECT_LT(took, 3900u);  // one serial read may block 2 s past the deadline
    EXPECT_NE(log.text().find("Received ack[\x15]"), std::string::npos);
}

TEST(RequestAck, OtherByteThenClosedLinkGivesExec)
{
    sim::Terminal t(sim::Link::Tcp);
    support::LibraryLink lib(t);
    ASSERT_TRUE(lib.open());
    lib.set_response_timeout(1);
    support::LogCapture log("exch", false);
    t.expect_frame("PUR10.", 10000).send_raw("N").pause(100).close_link();
    t.start();
    _init_transaction_request request = purchase_request();
    const uint64_t start = GetTickCount();
    EXPECT_EQ(pos_init_transaction(lib.handle(), &request), SE_EXEC);
    EXPECT_LT(GetTickCount() - start, 3000u);
    const std::string text = log.text();
    EXPECT_NE(text.find("[pos_init_transaction:"), std::string::npos);
    EXPECT_NE(text.find("Received ack[N]"), std::string::npos) << text;
}

TEST(RequestAck, InterruptFlagDuringTheWaitReturnsOk)
{
    sim::Terminal t(sim::Link::Pty);
    support::LibraryLink lib(t);
    ASSERT_TRUE(lib.open());
    support::LogCapture log("exch", false);
    t.expect_frame("PUR10.", 10000).pause(6000);
    t.start();
    PosHandle* h = lib.handle();
    std::thread raiser([h] {
        Sleep(300);
        h->interrupt.store(1);
    });
    _init_transaction_request request = purchase_request();
    const uint64_t start = GetTickCount();
    EXPECT_EQ(pos_init_transaction(h, &request), SE_OK);
    EXPECT_LT(GetTickCount() - start, 3000u);
    raiser.join();
    h->interrupt.store(0);
    EXPECT_NE(log.text().find("Interapted! return SE_OK"), std::string::npos);
}

// --------------------------------------------- messages before the final

class ReportPty : public ::testing::Test {
protected:
    ReportPty() : t(sim::Link::Pty), lib(t) { std::memset(&report, 0, sizeof report); }
    sim::Terminal t;
    support::LibraryLink lib;
    _ecr_transaction_report report;
};

TEST_F(ReportPty, TextMessageWithFlagOne)
{
    ASSERT_TRUE(lib.open());
    const std::string sms = sim::join_fields({"SMS11.ENTER PIN", "1"});
    t.pause(50).send_frame(sms).expect_ack(5000);
    t.start();
    EXPECT_EQ(pos_read_transaction_report(lib.handle(), &report), SE_MESSAGE);
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
    EXPECT_STREQ(report.MsgText, "ENTER PIN");
    EXPECT_EQ(report.MsgFlag, 1);
    const auto ev = t.events();
    const int sent = sim::find_event(ev, sim::Event::SentFrame, sms);
    const int ack = sim::find_event(ev, sim::Event::RecvAck);
    ASSERT_GE(sent, 0);
    ASSERT_GT(ack, sent);
    EXPECT_GE(ev[ack].at_ms - ev[sent].at_ms, 100u);
    EXPECT_LT(ev[ack].at_ms - ev[sent].at_ms, 1500u);
}

TEST_F(ReportPty, TextMessageWithFlagZero)
{
    ASSERT_TRUE(lib.open());
    t.pause(50).send_frame(sim::join_fields({"SMS11.PLEASE WAIT", "0"})).expect_ack(5000);
    t.start();
    EXPECT_EQ(pos_read_transaction_report(lib.handle(), &report), SE_MESSAGE);
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_STREQ(report.MsgText, "PLEASE WAIT");
    EXPECT_EQ(report.MsgFlag, 0);
}

TEST_F(ReportPty, WaitNoticeOfZeroMinutesEndsTheLoop)
{
    ASSERT_TRUE(lib.open());
    lib.set_response_timeout(30);
    t.pause(50).send_frame("PUR00.00").expect_ack(5000).pause(3000);
    t.start();
    const uint64_t start = GetTickCount();
    EXPECT_EQ(pos_read_transaction_report(lib.handle(), &report), SE_READ);
    EXPECT_LT(GetTickCount() - start, 2000u);  // far below the 30 s response time-out
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
    EXPECT_EQ(t.frames_received().size(), 0u);
}

TEST_F(ReportPty, WaitNoticeWithoutDigitsKeepsTheDeadline)
{
    ASSERT_TRUE(lib.open());
    lib.set_response_timeout(2);
    t.pause(50).send_frame("PUR00.x9").expect_ack(5000).pause(5000);
    t.start();
    const uint64_t start = GetTickCount();
    EXPECT_EQ(pos_read_transaction_report(lib.handle(), &report), SE_READ);
    const uint64_t took = GetTickCount() - start;
    EXPECT_GE(took, 2000u);
    EXPECT_LT(took, 4900u);  // one serial read may block 2 s past the deadline
}

TEST_F(ReportPty, ProgressNoticeAndTheNextPacketAreAcknowledged)
{
    ASSERT_TRUE(lib.open());
    t.pause(50).send_frame("PIR21.").expect_ack(5000).pause(50).send_frame("PIR22.anything").expect_ack(5000).pause(
        300);
    t.start();
    EXPECT_EQ(pos_read_transaction_report(lib.handle(), &report), SE_MESSAGE);
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
    EXPECT_TRUE(t.frames_received().empty());  // nothing confirmed
    EXPECT_EQ(report.TrxType, 0);              // nothing decoded
}

TEST_F(ReportPty, ProgressNoticeWithoutNextPacketGivesRead)
{
    ASSERT_TRUE(lib.open());
    lib.set_response_timeout(1);
    support::LogCapture log("exch", false);
    t.pause(50).send_frame("VID21.").expect_ack(5000).pause(4000);
    t.start();
    EXPECT_EQ(pos_read_transaction_report(lib.handle(), &report), SE_READ);
    EXPECT_NE(log.text().find("Can't read packet error[19] return SE_READ"), std::string::npos);
}

TEST_F(ReportPty, InterruptFlagSeenWhenAPacketArrives)
{
    ASSERT_TRUE(lib.open());
    t.pause(50).send_frame(sim::join_fields({"PUR12.000", "01"})).pause(1000);
    t.start();
    lib.handle()->interrupt.store(1);
    EXPECT_EQ(pos_read_transaction_report(lib.handle(), &report), SE_OK);
    lib.handle()->interrupt.store(0);
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_EQ(sim::count_events(t.events(), sim::Event::RecvAck), 0u);
    EXPECT_EQ(report.TrxType, 0);
}

TEST_F(ReportPty, NothingWithinTheResponseTimeoutGivesRead)
{
    ASSERT_TRUE(lib.open());
    lib.set_response_timeout(1);
    t.pause(3500);
    t.start();
    const uint64_t start = GetTickCount();
    EXPECT_EQ(pos_read_transaction_report(lib.handle(), &report), SE_READ);
    const uint64_t took = GetTickCount() - start;
    EXPECT_GE(took, 1000u);
    EXPECT_LT(took, 3900u);
}

}  // namespace
