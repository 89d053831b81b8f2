// Whole payments against the scripted terminal: every final response is
// acknowledged after 100 ms and confirmed after 5 s, so each case here takes
// more than five seconds.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "compat/compat.h"
#include "support/library_link.h"
#include "protocol/transaction_exchange.h"
#include "sim/payment_script.h"

namespace {

const std::string FSs(1, '\x1c');

_init_transaction_request request_for(uint16_t op)
{
    _init_transaction_request r;
    std::memset(&r, 0, sizeof r);
    r.trx_type = op;
    r.ecr_num = 1;
    r.ecr_receipt_num = 57;
    r.amount = 12.34;
    r.currency_code = 643;
    return r;
}

std::string final_purchase()
{
    return sim::join_fields({"PUR12.000", "01", "57", "000000001234", "000000000000", "411111******1111", "1227",
                             "", "000042ABC12308121530VISA", "MERCHANT01", "000000001002", "123456789012",
                             "VISA CLASSIC", "TERM0001"});
}

// Library side of a whole payment: init, then reports until SE_OK or an error.
unsigned int run_payment(PosHandle* h, _init_transaction_request* request, _ecr_transaction_report* report,
                         int* messages)
{
    unsigned int status = pos_init_transaction(h, request);
    if (status != SE_OK)
        return status;
    *messages = 0;
    for (;;) {
        status = pos_read_transaction_report(h, report);
        if (status != SE_MESSAGE)
            return status;
        ++*messages;
    }
}

class CompletePurchase : public ::testing::TestWithParam<sim::Link> {};

TEST_P(CompletePurchase, BytesAndPausesOnTheWire)
{
    sim::Terminal t(GetParam());
    support::LibraryLink lib(t);
    ASSERT_TRUE(lib.open());
    sim::Payment p;
    p.request_prefix = "PUR10.";
    p.first_answer = "PUR11.";
    p.intermediate = {sim::join_fields({"SMS11.INSERT CARD", "0"}), "PUR00.01"};
    p.final_response = final_purchase();
    p.confirmation = "PUR13.";
    sim::queue_payment(t, p);
    t.start();

    _init_transaction_request request = request_for(1);
    _ecr_transaction_report report;
    std::memset(&report, 0, sizeof report);
    int messages = -1;
    EXPECT_EQ(run_payment(lib.handle(), &request, &report, &messages), SE_OK);
    EXPECT_EQ(messages, 1);  // the text message; the wait notice is read past
    ASSERT_TRUE(t.wait_done(20000));
    ASSERT_TRUE(t.errors().empty()) << t.errors()[0];

    // Every byte in both directions, in order.
    const std::string request_text = "PUR10.01" + FSs + "57" + FSs + "000000001234" + FSs + "000000000000" + FSs +
                                     "643" + FSs + "000000" + FSs + FSs + FSs + FSs + "000" + FSs + "00" + FSs + FSs +
                                     FSs + FSs + "0" + FSs + FSs + FSs;
    const auto ev = t.events();
    using K = sim::Event;
    const std::vector<std::pair<K::Kind, std::string>> want = {
        {K::RecvFrame, request_text}, {K::SentAck, "\x06"},        {K::SentFrame, "PUR11."},
        {K::RecvAck, "\x06"},         {K::SentFrame, p.intermediate[0]}, {K::RecvAck, "\x06"},
        {K::SentFrame, "PUR00.01"},   {K::RecvAck, "\x06"},        {K::SentFrame, p.final_response},
        {K::RecvAck, "\x06"},         {K::RecvFrame, "PUR13."},    {K::SentAck, "\x06"},
    };
    std::vector<std::pair<K::Kind, std::string>> got;
    for (const auto& e : ev) {
        if (e.kind != K::Closed && e.kind != K::PeerClosed)
            got.emplace_back(e.kind, e.kind == K::SentAck || e.kind == K::RecvAck ? std::string("\x06") : e.data);
    }
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].first, want[i].first) << "item " << i;
        EXPECT_EQ(got[i].second, want[i].second) << "item " << i;
    }

    // ACK at least 100 ms after the final response, the confirmation at
    // least 5000 ms after that ACK.  Received items are stamped when read, so
    // lower bounds are taken from the final's send, stamped before it went.
    sim::PaymentTimes times;
    ASSERT_TRUE(sim::payment_times(ev, p.final_response, &times));
    EXPECT_GE(times.ack_received - times.final_sent, 100u);
    EXPECT_LT(times.ack_received - times.final_sent, 1500u);
    EXPECT_GE(times.confirmation - times.final_sent, 100u + 5000u);
    EXPECT_LT(times.confirmation - times.ack_received, 6500u);

    // The report is the decoded final response.
    EXPECT_EQ(report.TrxType, 1);
    EXPECT_EQ(report.ResponseCode, 0);
    EXPECT_DOUBLE_EQ(report.Amount, 12.34);
    EXPECT_STREQ(report.RRN, "123456789012");
    EXPECT_STREQ(report.ApprovalCode, "ABC123");
    EXPECT_STREQ(report.TerminalID, "TERM0001");
}

INSTANTIATE_TEST_SUITE_P(Links, CompletePurchase, ECR_ALL_LINKS,
                         support::LinkParamName());

// The confirmation number for each kind of final response.
struct ConfirmCase {
    const char* name;
    std::string final_response;
    std::string confirmation;
};

class Confirmation : public ::testing::TestWithParam<ConfirmCase> {};

TEST_P(Confirmation, SentAfterTheFinalResponse)
{
    sim::Terminal t(sim::Link::Pty);
    support::LibraryLink lib(t);
    ASSERT_TRUE(lib.open());
    const ConfirmCase& c = GetParam();
    t.pause(50).send_frame(c.final_response).expect_ack(5000).expect_frame("", 10000).send_ack();
    t.start();
    _ecr_transaction_report report;
    std::memset(&report, 0, sizeof report);
    EXPECT_EQ(pos_read_transaction_report(lib.handle(), &report), SE_OK);
    ASSERT_TRUE(t.wait_done(10000));
    ASSERT_TRUE(t.errors().empty()) << t.errors()[0];
    ASSERT_EQ(t.frames_received().size(), 1u);
    EXPECT_EQ(t.frames_received()[0], c.confirmation);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, Confirmation,
    ::testing::Values(ConfirmCase{"RDC11", sim::join_fields({"RDC11.000", "01"}), "RDC12."},
                      ConfirmCase{"PCC14", sim::join_fields({"PCC14.000", "01"}), "PCC15."},
                      ConfirmCase{"DSC11", sim::join_fields({"DSC11.000", "01"}), "DSC15."},
                      ConfirmCase{"PUR12", sim::join_fields({"PUR12.000", "01"}), "PUR13."},
                      ConfirmCase{"RFC12", sim::join_fields({"RFC12.000", "01"}), "RFC15."},
                      ConfirmCase{"LowerCaseRef", sim::join_fields({"ref12.000", "01"}), "ref13."}),
    [](const ::testing::TestParamInfo<ConfirmCase>& i) { return std::string(i.param.name); });

// A final response that cannot be decoded is acknowledged as a frame but
// never confirmed: the terminal keeps nothing the cash desk could not read.
TEST(FinalResponse, UndecodableResponseIsNotConfirmed)
{
    sim::Terminal t(sim::Link::Pty);
    support::LibraryLink lib(t);
    ASSERT_TRUE(lib.open());
    t.pause(50).send_frame("PUR19").expect_ack(5000).pause(1000);
    t.start();
    _ecr_transaction_report report;
    std::memset(&report, 0, sizeof report);
    EXPECT_EQ(pos_read_transaction_report(lib.handle(), &report), SE_SYNTAX);
    ASSERT_TRUE(t.wait_done(10000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
    EXPECT_TRUE(t.frames_received().empty());
}

// A text longer than its field after the amount: the response is confirmed,
// the field and those after it stay empty, and the record names the field.
TEST(FinalResponse, OversizedRrnIsConfirmedAndNamed)
{
    sim::Terminal t(sim::Link::Pty);
    support::LibraryLink lib(t);
    ASSERT_TRUE(lib.open());
    support::LogCapture log("exch", false);
    std::string final = final_purchase();
    final.replace(final.find("123456789012"), 12, "1234567890123");
    t.pause(50).send_frame(final).expect_ack(5000).expect_frame("PUR13.", 10000).send_ack();
    t.start();
    _ecr_transaction_report report;
    std::memset(&report, 0, sizeof report);
    EXPECT_EQ(pos_read_transaction_report(lib.handle(), &report), SE_OK);
    ASSERT_TRUE(t.wait_done(10000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
    EXPECT_STREQ(report.MerchantId, "MERCHANT01");
    EXPECT_STREQ(report.RRN, "");
    EXPECT_STREQ(report.CardName, "");
    EXPECT_NE(log.text().find("[pos_read_transaction_report:"), std::string::npos);
    EXPECT_NE(log.text().find("] Final response field[11] too long, left empty with the fields after it"),
              std::string::npos);
}

TEST(FinalResponse, ConfirmationNotAcknowledgedGivesExec)
{
    sim::Terminal t(sim::Link::Pty);
    support::LibraryLink lib(t);
    ASSERT_TRUE(lib.open());
    lib.set_response_timeout(1);
    support::LogCapture log("exch", false);
    t.pause(50).send_frame(final_purchase()).expect_ack(5000).expect_frame("PUR13.", 10000).send_raw("?").pause(
        4000);
    t.start();
    _ecr_transaction_report report;
    std::memset(&report, 0, sizeof report);
    EXPECT_EQ(pos_read_transaction_report(lib.handle(), &report), SE_EXEC);
    EXPECT_EQ(report.TrxType, 1);  // decoded before the confirmation, and kept
    EXPECT_NE(log.text().find("Readed[?] return SE_EXEC"), std::string::npos);
}

TEST(FinalResponse, InterruptDuringTheConfirmationWaitGivesExec)
{
    sim::Terminal t(sim::Link::Pty);
    support::LibraryLink lib(t);
    ASSERT_TRUE(lib.open());
    support::LogCapture log("exch", false);
    t.pause(50).send_frame(final_purchase()).expect_ack(5000).expect_frame("PUR13.", 10000).pause(6000);
    t.start();
    PosHandle* h = lib.handle();
    std::atomic<uint64_t> raised_at{0};
    std::thread raiser([h, &raised_at] {
        Sleep(5800);  // after the confirmation went out
        raised_at = GetTickCount();
        h->interrupt.store(1);
    });
    _ecr_transaction_report report;
    std::memset(&report, 0, sizeof report);
    EXPECT_EQ(pos_read_transaction_report(h, &report), SE_EXEC);
    // The confirmation is out: its ACK is still awaited for the 5 s packet
    // time-out after the flag, and no longer than that (not the 40 s).
    const uint64_t end = GetTickCount();
    raiser.join();
    EXPECT_GE(end - raised_at.load(), 5000u);
    EXPECT_LT(end - raised_at.load(), 5000u + 2500u);
    h->interrupt.store(0);
    EXPECT_NE(log.text().find("Read was interrapted -> exit from read"), std::string::npos);
}

TEST(WaitNotice, FiveMinutesMoveTheDeadlinePastTheResponseTimeout)
{
    sim::Terminal t(sim::Link::Pty);
    support::LibraryLink lib(t);
    ASSERT_TRUE(lib.open());
    lib.set_response_timeout(1);
    t.pause(50).send_frame("PUR00.05").expect_ack(5000).pause(3000);
    t.send_frame(final_purchase()).expect_ack(5000).expect_frame("PUR13.", 10000).send_ack();
    t.start();
    _ecr_transaction_report report;
    std::memset(&report, 0, sizeof report);
    EXPECT_EQ(pos_read_transaction_report(lib.handle(), &report), SE_OK);
    ASSERT_TRUE(t.wait_done(15000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
    EXPECT_EQ(report.ResponseCode, 0);
    EXPECT_STREQ(report.RRN, "123456789012");
}

}  // namespace
