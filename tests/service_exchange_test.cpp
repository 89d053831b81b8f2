// Service exchanges against the scripted terminal simulator over loopback TCP,
// UDP and a pseudo-terminal: exact request bytes, results, ACKs and the pause
// before each ACK.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "compat/compat.h"
#include "protocol/audit.h"
#include "protocol/card_group.h"
#include "protocol/discount.h"
#include "protocol/pos_session.h"
#include "protocol/stored_transactions.h"
#include "protocol/terminal_info.h"
#include "support/service_rig.h"

using support::kFS;
using support::Rig;
using support::ack_delay;
using sim::Event;

namespace {

// The pause before the ACK of a response is never early; the upper bound
// leaves room for a loaded machine.
void expect_service_pause(const Rig& rig, const std::string& response)
{
    const long long d = ack_delay(rig, response);
    EXPECT_GE(d, 1000) << "ACK came early or not at all";
    EXPECT_LT(d, 2500);
}

}  // namespace

// Every exchange runs over TCP, UDP and the serial line.
class ServiceLinks : public ::testing::TestWithParam<sim::Link> {
};
class DiscountExchange : public ServiceLinks {
};
class CardGroupExchange : public ServiceLinks {
};
class TerminalInfoExchange : public ServiceLinks {
};
class StoredTransactionExchange : public ServiceLinks {
};
class AuditExchange : public ServiceLinks {
};
class XReportExchange : public ServiceLinks {
};
class SingleExchange : public ServiceLinks {
};

// ---------------------------------------------------------------- discount

TEST_P(DiscountExchange, CardWithTrack2AndHashNeedsNoCancel)
{
    Rig rig(GetParam());
    const std::string answer = "DSC11.T1" + kFS + "4111=2512" + kFS + "T3" + kFS + "HASH";
    rig.term.expect_frame("DSC10.").send_ack().send_frame(answer).expect_ack(5000).pause(300);
    ASSERT_TRUE(rig.start());
    _ecr_mread_report rep{};
    EXPECT_EQ(pos_discount_init(rig.h, &rep), SE_OK);
    EXPECT_EQ(rig.finish(), "");
    EXPECT_EQ(rig.term.frames_received(), std::vector<std::string>{"DSC10." + kFS});
    EXPECT_STREQ(rep.track2, "4111=2512");
    EXPECT_STREQ(rep.sha1hash, "HASH");
    EXPECT_EQ(rep.operation, 4);
    expect_service_pause(rig, answer);
}

TEST_P(DiscountExchange, HashAloneIsCardData)
{
    Rig rig(GetParam());
    const std::string answer = "DSC11." + kFS + kFS + kFS + "H";
    rig.term.expect_frame("DSC10.").send_ack().send_frame(answer).expect_ack(5000).pause(300);
    ASSERT_TRUE(rig.start());
    _ecr_mread_report rep{};
    EXPECT_EQ(pos_discount_init(rig.h, &rep), SE_OK);
    EXPECT_EQ(rig.finish(), "");
    EXPECT_EQ(rig.term.frames_received().size(), 1u);
}

TEST_P(DiscountExchange, NoCardDataCancelsTheRequest)
{
    Rig rig(GetParam());
    const std::string answer = "DSC11.T1" + kFS + kFS + "T3";
    rig.term.expect_frame("DSC10.").send_ack().send_frame(answer).expect_ack(5000)
        .expect_frame("DSC12.", 3000).send_ack();
    ASSERT_TRUE(rig.start());
    _ecr_mread_report rep{};
    EXPECT_EQ(pos_discount_init(rig.h, &rep), SE_NOCARD);
    EXPECT_EQ(rig.finish(), "");
    EXPECT_EQ(rig.term.frames_received(), (std::vector<std::string>{"DSC10." + kFS, "DSC12." + kFS}));
}

TEST_P(DiscountExchange, AccountOfTwentyCharactersSendsFifteen)
{
    Rig rig(GetParam());
    const std::string answer = "DSC11." + kFS + "TRACK2";
    rig.term.expect_frame("DSC10.").send_ack().send_frame(answer).expect_ack(5000).pause(1300);
    ASSERT_TRUE(rig.start());
    _ecr_mread_report rep{};
    char account[] = "ABCDEFGHIJKLMNOPQRST";
    const uint64_t t0 = GetTickCount();
    EXPECT_EQ(pos_discount_init_accid(rig.h, &rep, account, 'S'), SE_OK);
    const uint64_t took = GetTickCount() - t0;
    EXPECT_EQ(rig.finish(), "");
    const std::vector<std::string> frames = rig.term.frames_received();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], "DSC10.ABCDEFGHIJKLMNO" + kFS + "S" + kFS);
    EXPECT_EQ(frames[0].size(), 24u);
    EXPECT_STREQ(rep.track2, "TRACK2");
    // The ACK goes out at once; the pause comes before the decoding.
    EXPECT_LT(ack_delay(rig, answer), 700);
    EXPECT_GE(took, 1000u);
    EXPECT_EQ(rig.count(Event::RecvAck), 1u);
}

TEST_P(DiscountExchange, AccountWithTabAndRefundMode)
{
    Rig rig(GetParam());
    const std::string answer = "GRC11." + kFS + "T2";
    rig.term.expect_frame("GRC10.").send_ack().send_frame(answer).expect_ack(5000).pause(1200);
    ASSERT_TRUE(rig.start());
    _ecr_mread_report rep{};
    char account[] = "12\t34";
    EXPECT_EQ(pos_discount_init_accid(rig.h, &rep, account, 'R'), SE_OK);
    EXPECT_EQ(rig.finish(), "");
    EXPECT_EQ(rig.term.frames_received(), std::vector<std::string>{"GRC10.12?34" + kFS});
    EXPECT_EQ(rep.operation, 31);
}

TEST_P(DiscountExchange, AccountRefusedWithThreeAcksAtOnce)
{
    Rig rig(GetParam());
    const std::string answer = "DSC11.3" + kFS;
    rig.term.expect_frame("DSC10.").send_ack().send_frame(answer).expect_ack(5000).pause(200);
    ASSERT_TRUE(rig.start());
    _ecr_mread_report rep{};
    char account[] = "5555";
    const uint64_t t0 = GetTickCount();
    EXPECT_EQ(pos_discount_init_accid(rig.h, &rep, account, 'C'), SE_REPLY3);
    EXPECT_LT(GetTickCount() - t0, 1000u);
    EXPECT_EQ(rig.finish(), "");
    EXPECT_EQ(rig.term.frames_received(), std::vector<std::string>{"DSC10.5555" + kFS + "C" + kFS});
    const long long d = ack_delay(rig, answer);
    EXPECT_GE(d, 0);
    EXPECT_LT(d, 700);
}

TEST_P(DiscountExchange, AccountWrongCodeIsAcknowledgedThenRefused)
{
    Rig rig(GetParam());
    const std::string answer = "GRC11." + kFS + "T2";
    rig.term.expect_frame("DSC10.").send_ack().send_frame(answer).expect_ack(5000).pause(200);
    ASSERT_TRUE(rig.start());
    _ecr_mread_report rep{};
    char account[] = "1";
    EXPECT_EQ(pos_discount_init_accid(rig.h, &rep, account, 'S'), SE_SYNTAX);
    EXPECT_EQ(rig.finish(), "");
    EXPECT_EQ(rig.count(Event::RecvAck), 1u);
    EXPECT_EQ(pos_discount_init_accid(rig.h, &rep, nullptr, 'S'), SE_PARAM);
}

TEST(DiscountExchangeSerial, AccountWithoutResponseStillAcknowledgesOverSerial)
{
    Rig rig(sim::Link::Pty);
    rig.term.expect_frame("DSC10.").send_ack().pause(3500);
    ASSERT_TRUE(rig.start(1));
    _ecr_mread_report rep{};
    char account[] = "42";
    const uint64_t t0 = GetTickCount();
    EXPECT_EQ(pos_discount_init_accid(rig.h, &rep, account, 'S'), SE_READ);
    const uint64_t took = GetTickCount() - t0;
    EXPECT_GE(took, 1000u);
    EXPECT_LT(took, 4000u);
    EXPECT_EQ(rig.finish(), "");
    EXPECT_EQ(rig.term.frames_received(), std::vector<std::string>{"DSC10.42" + kFS + "S" + kFS});
    EXPECT_EQ(rig.count(Event::RecvAck), 1u);
}

TEST_P(DiscountExchange, InformationDecoded)
{
    Rig rig(GetParam());
    const std::string answer = "DIN11.05Coffee Shop1550";
    rig.term.expect_frame("DIN10.").send_ack().send_frame(answer).expect_ack(5000);
    ASSERT_TRUE(rig.start());
    _ecr_discount_info info{};
    EXPECT_EQ(pos_discount_init_ex(rig.h, &info), SE_OK);
    EXPECT_EQ(rig.finish(), "");
    EXPECT_EQ(rig.term.frames_received(), std::vector<std::string>{"DIN10." + kFS});
    EXPECT_EQ(info.merchant_id, 5);
    EXPECT_STREQ(info.merchant_name, "Coffee Shop");
    EXPECT_DOUBLE_EQ(info.rate, 15.0);
    EXPECT_STREQ(info.info, "05Coffee Shop1550");
    expect_service_pause(rig, answer);
}

TEST_P(DiscountExchange, ShortDiscountFieldIsNoCardAfterTheAck)
{
    Rig rig(GetParam());
    support::LogCapture log("svc", true);
    const std::string answer = "DIN11.05X155";
    rig.term.expect_frame("DIN10.").send_ack().send_frame(answer).expect_ack(5000);
    ASSERT_TRUE(rig.start());
    _ecr_discount_info info{};
    EXPECT_EQ(pos_discount_init_ex(rig.h, &info), SE_NOCARD);
    EXPECT_EQ(rig.finish(), "");
    EXPECT_EQ(rig.count(Event::RecvAck), 1u);
    EXPECT_NE(log.text().find("]  ecr_parse_disc_response fail, code[25]"), std::string::npos);
}

// ---------------------------------------------------------------- card group

TEST_P(CardGroupExchange, AnswerWithOtherCodeIsRefusedWithoutAck)
{
    Rig rig(GetParam());
    support::LogCapture log("svc", true);
    rig.term.expect_frame("GGP10.").send_ack().send_frame("GRC11.Gold").pause(1400);
    ASSERT_TRUE(rig.start());
    _ecr_mread_report rep{};
    EXPECT_EQ(pos_get_group(rig.h, &rep, "GGP"), SE_SYNTAX);
    EXPECT_EQ(rig.finish(), "");
    EXPECT_EQ(rig.term.frames_received(), std::vector<std::string>{"GGP10." + kFS});
    EXPECT_EQ(rig.count(Event::RecvAck), 0u);
    const std::string text = log.text();
    const size_t rec = text.find("[pos_get_group:");
    ASSERT_NE(rec, std::string::npos);
    EXPECT_NE(text.find("]  parse messgae error! return SE_SYNTAX", rec), std::string::npos);
}

TEST_P(CardGroupExchange, NameWidths)
{
    Rig rig(GetParam());
    const std::string n64(64, 'N');
    rig.term.expect_frame("GGP10.").send_ack().send_frame("GGP11." + n64).expect_ack(5000)
        .expect_frame("GRC10.").send_ack().send_frame("GRC11." + std::string(65, 'N') + kFS + "x").expect_ack(5000)
        .expect_frame("GGP10.").send_ack().send_frame("GGP11.Gold" + kFS + "Other").expect_ack(5000);
    ASSERT_TRUE(rig.start());
    _ecr_mread_report rep{};
    ASSERT_EQ(pos_get_group(rig.h, &rep, "GGP"), SE_OK);
    EXPECT_EQ(std::string(rep.nameGroup, 64), n64);
    ASSERT_EQ(pos_get_group(rig.h, &rep, "GRC"), SE_OK);  // the decoder's refusal is not reported
    EXPECT_EQ(rep.nameGroup[0], 0);
    ASSERT_EQ(pos_get_group(rig.h, &rep, "GGP"), SE_OK);
    EXPECT_STREQ(rep.nameGroup, "Gold");
    EXPECT_EQ(rig.finish(), "");
}

TEST_P(CardGroupExchange, CancelAcceptsAnythingAfterTheNumber)
{
    Rig rig(GetParam());
    const std::string answer = "cnl11junk";
    rig.term.expect_frame("CNL10.").send_ack().send_frame(answer).expect_ack(5000);
    ASSERT_TRUE(rig.start());
    EXPECT_EQ(pos_cancel_get_group_completion(rig.h), SE_OK);
    EXPECT_EQ(rig.finish(), "");
    EXPECT_EQ(rig.term.frames_received(), std::vector<std::string>{"CNL10." + kFS});
    expect_service_pause(rig, answer);
    EXPECT_EQ(pos_cancel_get_group_completion(nullptr), SE_PARAM);
}

// ---------------------------------------------------------------- terminal information

TEST_P(TerminalInfoExchange, InmAnsweredWithInfIsRefused)
{
    Rig rig(GetParam());
    rig.term.expect_frame("INM10.").send_ack().send_frame("INF11.text").pause(1300);
    ASSERT_TRUE(rig.start());
    char text[256] = "keep";
    EXPECT_EQ(pos_get_name_software(rig.h, text, GIT_INM), SE_SYNTAX);
    EXPECT_EQ(rig.finish(), "");
    EXPECT_EQ(rig.term.frames_received(), std::vector<std::string>{"INM10." + kFS});
    EXPECT_EQ(rig.count(Event::RecvAck), 0u);
    EXPECT_STREQ(text, "keep");
}

TEST_P(TerminalInfoExchange, OtherKindAsksForSoftwareNameAndEmptyAnswerKeepsBuffer)
{
    Rig rig(GetParam());
    rig.term.expect_frame("GNS10.").send_ack().send_frame("GNS11.").expect_ack(5000)
        .expect_frame("INF10.").send_ack().send_frame("INF11.Build 7" + kFS).expect_ack(5000);
    ASSERT_TRUE(rig.start());
    char text[256];
    std::memset(text, 'k', sizeof(text));
    EXPECT_EQ(pos_get_name_software(rig.h, text, static_cast<tagGetInfoType>(7)), SE_OK);
    for (char c : text)
        ASSERT_EQ(c, 'k');
    EXPECT_EQ(pos_get_name_software(rig.h, text, GIT_INF), SE_OK);
    EXPECT_STREQ(text, "Build 7");
    EXPECT_EQ(rig.finish(), "");
}

TEST_P(TerminalInfoExchange, SerialNumberOnlyFirstField)
{
    Rig rig(GetParam());
    support::LogCapture log("svc", true);
    const std::string answer = "TSN11.00123456" + kFS + "rest" + kFS + "more";
    rig.term.expect_frame("TSN10.").send_ack().send_frame(answer).expect_ack(5000);
    ASSERT_TRUE(rig.start());
    char text[256] = {0};
    EXPECT_EQ(pos_get_serial_number(rig.h, text), SE_OK);
    EXPECT_EQ(rig.finish(), "");
    EXPECT_EQ(rig.term.frames_received(), std::vector<std::string>{"TSN10." + kFS});
    EXPECT_STREQ(text, "00123456");
    expect_service_pause(rig, answer);
    EXPECT_NE(log.text().find("[pos_get_serial_number:"), std::string::npos);
}

// ---------------------------------------------------------------- stored transactions

TEST_P(StoredTransactionExchange, RequestBytes)
{
    Rig rig(GetParam());
    // Answers with a wrong number: every query ends before the decoder.
    rig.term.expect_frame().send_ack().send_frame("GTS12.")
        .expect_frame().send_ack().send_frame("GTI12.")
        .expect_frame().send_ack().send_frame("GTS12.")
        .expect_frame().send_ack().send_frame("GTL12.");
    ASSERT_TRUE(rig.start());
    _ecr_transaction_report rep{};
    EXPECT_EQ(pos_get_transaction_data_by_sequence_number(rig.h, 7, 42, &rep), SE_SYNTAX);
    EXPECT_EQ(pos_get_transaction_data_by_invoice(rig.h, 1, 123, &rep), SE_SYNTAX);
    EXPECT_EQ(pos_get_transaction_data_by_sequence_number(rig.h, 2, 98765, &rep), SE_SYNTAX);
    EXPECT_EQ(pos_get_last_transaction_data(rig.h, 99, &rep), SE_SYNTAX);
    EXPECT_EQ(rig.finish(), "");
    const std::vector<std::string> f = rig.term.frames_received();
    ASSERT_EQ(f.size(), 4u);
    EXPECT_EQ(f[0], "GTS10.07" + kFS + "0042");
    EXPECT_EQ(f[0].size(), 13u);
    EXPECT_EQ(f[1], "GTI10.000123" + kFS + "01");
    EXPECT_EQ(f[1].size(), 15u);
    EXPECT_EQ(f[2], "GTS10.02" + kFS + "9876");
    EXPECT_EQ(f[3], "GTL10.99");
    EXPECT_EQ(rig.count(Event::RecvAck), 0u);
}

TEST_P(StoredTransactionExchange, CountAndMissingCount)
{
    Rig rig(GetParam());
    const std::string answer = "GTC11.0015";
    rig.term.expect_frame("GTC10.03").send_ack().send_frame(answer).expect_ack(5000)
        .expect_frame("GTC10.04").send_ack().send_frame("GTC11.").expect_ack(5000);
    ASSERT_TRUE(rig.start());
    uint32_t count = 0;
    EXPECT_EQ(pos_get_count_transaction(rig.h, 3, &count), SE_OK);
    EXPECT_EQ(count, 15u);
    count = 777;
    EXPECT_EQ(pos_get_count_transaction(rig.h, 4, &count), SE_OK);
    EXPECT_EQ(count, 777u);
    EXPECT_EQ(rig.finish(), "");
    expect_service_pause(rig, answer);
    EXPECT_EQ(pos_get_count_transaction(rig.h, 4, nullptr), SE_PARAM);
}

TEST_P(StoredTransactionExchange, SummaryFourFields)
{
    Rig rig(GetParam());
    support::LogCapture log("svc", true);
    const std::string answer = "GSI11.3" + kFS + "955" + kFS + "1" + kFS + "20";
    rig.term.expect_frame("GSI10.00").send_ack().send_frame(answer).expect_ack(5000);
    ASSERT_TRUE(rig.start());
    _ecr_gsi_report s{};
    EXPECT_EQ(pos_get_summery_transaction_data(rig.h, 0, &s), SE_OK);
    EXPECT_EQ(rig.finish(), "");
    EXPECT_EQ(s.count1, 3u);
    EXPECT_DOUBLE_EQ(s.amount1, 9.55);
    EXPECT_EQ(s.count2, 1u);
    EXPECT_DOUBLE_EQ(s.amount2, 0.20);
    EXPECT_EQ(s.count3, 0u);
    EXPECT_DOUBLE_EQ(s.amount3, 0.0);
    EXPECT_NE(log.text().find("[pos_get_summery_transaction_data:"), std::string::npos);
}

TEST_P(StoredTransactionExchange, SummaryAnsweredWithCountIsRefusedBeforeAck)
{
    Rig rig(GetParam());
    support::LogCapture log("svc", true);
    rig.term.expect_frame("GSI10.").send_ack().send_frame("GTC11.5").pause(1300);
    ASSERT_TRUE(rig.start());
    _ecr_gsi_report s{};
    EXPECT_EQ(pos_get_summery_transaction_data(rig.h, 1, &s), SE_SYNTAX);
    EXPECT_EQ(rig.finish(), "");
    EXPECT_EQ(rig.count(Event::RecvAck), 0u);
    const std::string text = log.text();
    EXPECT_NE(text.find("] for []"), std::string::npos);
    EXPECT_NE(text.find("]  parse messgae error! return SE_SYNTAX"), std::string::npos);
    EXPECT_EQ(text.find("pos_read_packet fail 2"), std::string::npos);  // single-transaction queries only
}

TEST_P(StoredTransactionExchange, SingleTransactionMismatchRecords)
{
    Rig rig(GetParam());
    support::LogCapture log("svc", true);
    rig.term.expect_frame("GTL10.").send_ack().send_frame("GTC11.5");
    ASSERT_TRUE(rig.start());
    _ecr_transaction_report rep{};
    EXPECT_EQ(pos_get_last_transaction_data(rig.h, 5, &rep), SE_SYNTAX);
    EXPECT_EQ(rig.finish(), "");
    const std::string text = log.text();
    const size_t fail2 = text.find("[pos_get_last_transaction_data:");
    ASSERT_NE(fail2, std::string::npos);
    const size_t rec2 = text.find("] pos_read_packet fail 2");
    const size_t syn = text.find("]  parse messgae error! return SE_SYNTAX");
    ASSERT_NE(rec2, std::string::npos);
    ASSERT_NE(syn, std::string::npos);
    EXPECT_LT(rec2, syn);
}

// ---------------------------------------------------------------- audit

namespace {
std::string audit_record(const std::string& head, char status, const std::string& number, const std::string& last)
{
    std::string m = head + status + number + last;
    m += std::string(6, 'a') + std::string(20, 'b') + std::string(6, 'c') + std::string(12, '1') +
         std::string(12, '2') + "d" + "ee" + "ffff" + "gggggg";
    return m;
}
const std::string kConfirm = "AUD12.";
}  // namespace

TEST_P(AuditExchange, ThreeRecordsEachConfirmed)
{
    Rig rig(GetParam());
    char sel[] = "01";
    rig.term.expect_frame("AUD10.").send_ack();
    for (const char* n : {"0001", "0002", "0003"})
        rig.term.send_frame(audit_record("AUD11.", '1', n, "0003")).expect_ack(3000).expect_frame(kConfirm, 3000);
    ASSERT_TRUE(rig.start());
    std::vector<_ecr_audit_report> records(5);  // emptied by the exchange
    EXPECT_EQ(pos_audit_request(rig.h, &records, sel), SE_OK);
    EXPECT_EQ(rig.finish(), "");
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(std::string(records[0].record_number, 4), "0001");
    EXPECT_EQ(std::string(records[2].record_number, 4), "0003");
    EXPECT_EQ(std::string(records[2].record_count, 4), "0003");
    EXPECT_EQ(std::string(records[1].item9, 6), "gggggg");
    EXPECT_EQ(records[0].more[0], 0);

    // Exactly: the request, then per record ACK + the framed "AUD12." (whose
    // check byte the simulator verified), and no other bytes.
    const std::vector<Event> ev = rig.events();
    std::vector<std::string> seen;
    for (const Event& e : ev) {
        if (e.kind == Event::RecvFrame)
            seen.push_back("F:" + e.data);
        else if (e.kind == Event::RecvAck)
            seen.push_back("ACK");
        else if (e.kind == Event::RecvRaw)
            seen.push_back("RAW");
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"F:AUD10.01" + kFS, "ACK", "F:AUD12.", "ACK", "F:AUD12.", "ACK",
                                              "F:AUD12."}));
    EXPECT_EQ(sim::frame("AUD12."), std::string("\x02" "AUD12.\x03\x7e"));
}

TEST_P(AuditExchange, StatusTwoIsConfirmedThenEnds)
{
    Rig rig(GetParam());
    char sel[] = "7";
    rig.term.expect_frame("AUD10.").send_ack()
        .send_frame(audit_record("AUD11.", '0', "0001", "0009")).expect_ack(3000).expect_frame(kConfirm, 3000)
        .send_frame("AUD11.2").expect_ack(3000).expect_frame(kConfirm, 3000);
    ASSERT_TRUE(rig.start());
    std::vector<_ecr_audit_report> records;
    EXPECT_EQ(pos_audit_request(rig.h, &records, sel), SE_REPLY2);
    EXPECT_EQ(rig.finish(), "");
    ASSERT_EQ(records.size(), 1u);  // what came before stays
    EXPECT_EQ(std::string(records[0].record_number, 4), "0001");
}

TEST_P(AuditExchange, NumberTwelveGivesZeroRecordAndEnds)
{
    Rig rig(GetParam());
    char sel[] = "01";
    rig.term.expect_frame("AUD10.").send_ack()
        .send_frame(audit_record("AUD12.", '0', "0001", "0005")).expect_ack(3000).expect_frame(kConfirm, 3000);
    ASSERT_TRUE(rig.start());
    std::vector<_ecr_audit_report> records;
    EXPECT_EQ(pos_audit_request(rig.h, &records, sel), SE_OK);
    EXPECT_EQ(rig.finish(), "");
    ASSERT_EQ(records.size(), 1u);
    const _ecr_audit_report zero{};
    EXPECT_EQ(std::memcmp(&records[0], &zero, sizeof(zero)), 0);
}

TEST_P(AuditExchange, WrongMessageAndLongSelection)
{
    Rig rig(GetParam());
    support::LogCapture log("svc", true);
    char sel[] = "01";
    rig.term.expect_frame("AUD10.").send_ack().send_frame("NDX11.0").pause(500);
    ASSERT_TRUE(rig.start());
    std::vector<_ecr_audit_report> records;
    char sixteen[] = "0123456789ABCDEF";
    EXPECT_EQ(pos_audit_request(rig.h, &records, sixteen), SE_PARAM);  // nothing sent
    EXPECT_EQ(pos_audit_request(rig.h, &records, sel), SE_SYNTAX);
    EXPECT_EQ(pos_audit_request(rig.h, nullptr, sel), SE_PARAM);
    EXPECT_EQ(rig.finish(), "");
    EXPECT_EQ(rig.term.frames_received(), std::vector<std::string>{"AUD10.01" + kFS});
    EXPECT_EQ(rig.count(Event::RecvAck), 0u);
    const std::string text = log.text();
    EXPECT_NE(text.find("]  ecr_build_audit_request fail, code[3]"), std::string::npos);
    EXPECT_NE(text.find("]  Uncorrect message! return SE_SYNTAX"), std::string::npos);
}

// ---------------------------------------------------------------- X report

TEST_P(XReportExchange, RequestWithoutSeparatorAndAnswer)
{
    Rig rig(GetParam());
    const std::string answer = "NDX11.0";
    rig.term.expect_frame("NDX").send_ack().send_frame(answer).expect_ack(5000);
    ASSERT_TRUE(rig.start());
    EXPECT_EQ(Pos_Print_X_Report(rig.h), SE_OK);
    EXPECT_EQ(rig.finish(), "");
    EXPECT_EQ(rig.term.frames_received(), std::vector<std::string>{"NDX10."});
    expect_service_pause(rig, answer);
}

TEST_P(XReportExchange, NumberTwelveRefusedBeforeAck)
{
    Rig rig(GetParam());
    rig.term.expect_frame("NDX10.").send_ack().send_frame("NDX12.").pause(1300);
    ASSERT_TRUE(rig.start());
    EXPECT_EQ(Pos_Print_X_Report(rig.h), SE_SYNTAX);
    EXPECT_EQ(rig.finish(), "");
    EXPECT_EQ(rig.count(Event::RecvAck), 0u);
    EXPECT_EQ(Pos_Print_X_Report(nullptr), SE_PARAM);
}

// ---------------------------------------------------------------- the exchange itself

TEST(SingleExchangeSerial, ServicePauseOverSerialLine)
{
    Rig rig(sim::Link::Pty);
    const std::string answer = "TSN11.77";
    rig.term.expect_frame("TSN10.").send_ack().send_frame(answer).expect_ack(5000);
    ASSERT_TRUE(rig.start());
    char text[256] = {0};
    EXPECT_EQ(pos_get_serial_number(rig.h, text), SE_OK);
    EXPECT_EQ(rig.finish(), "");
    EXPECT_STREQ(text, "77");
    expect_service_pause(rig, answer);
}

TEST_P(SingleExchange, SessionStepsEndBeforeAckAndHandBackTheResponse)
{
    Rig rig(GetParam());
    rig.term.expect_frame("ABC10.").send_ack().send_frame("abc11.xyz").pause(1300);
    ASSERT_TRUE(rig.start());
    PosSession s(rig.h, "my_exchange");
    PosMsg req, resp;
    std::memcpy(req.data, "ABC10.\x1c", 7);
    req.len = 7;
    EXPECT_EQ(s.confirm(req, POS_SERVICE_ACK), SE_OK);
    EXPECT_EQ(s.receive(resp, req, s.response_deadline()), SE_OK);
    EXPECT_EQ(rig.finish(), "");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(resp.data), resp.len), "abc11.xyz");
    EXPECT_EQ(rig.count(Event::RecvAck), 0u);
}

TEST_P(SingleExchange, FiveCharacterCheckAndBuilderFailure)
{
    Rig rig(GetParam());
    support::LogCapture log("svc", true);
    rig.term.expect_frame("PCC14.").send_ack().send_frame("pcc15").expect_ack(5000);
    ASSERT_TRUE(rig.start());
    PosSession s(rig.h, "my_exchange");
    PosMsg req, resp;
    std::memcpy(req.data, "PCC14.1\x1c", 8);
    req.len = 8;
    EXPECT_EQ(s.confirm(req, POS_SERVICE_ACK), SE_OK);
    EXPECT_EQ(s.receive(resp, "PCC15", 5, s.response_deadline()), SE_OK);
    EXPECT_EQ(s.ack(POS_SERVICE_PAUSE_MS), SE_OK);
    EXPECT_EQ(rig.finish(), "");

    EXPECT_EQ(s.built(SE_FORMAT, "my_builder"), SE_FORMAT);
    EXPECT_EQ(pos_get_group(nullptr, nullptr, "GGP"), SE_PARAM);
    EXPECT_NE(log.text().find("[my_exchange:"), std::string::npos);
    EXPECT_NE(log.text().find("]  my_builder fail, code[19]"), std::string::npos);
    EXPECT_EQ(rig.term.frames_received().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Links, DiscountExchange, ECR_ALL_LINKS, support::LinkParamName());
INSTANTIATE_TEST_SUITE_P(Links, CardGroupExchange, ECR_ALL_LINKS, support::LinkParamName());
INSTANTIATE_TEST_SUITE_P(Links, TerminalInfoExchange, ECR_ALL_LINKS, support::LinkParamName());
INSTANTIATE_TEST_SUITE_P(Links, StoredTransactionExchange, ECR_ALL_LINKS, support::LinkParamName());
INSTANTIATE_TEST_SUITE_P(Links, AuditExchange, ECR_ALL_LINKS, support::LinkParamName());
INSTANTIATE_TEST_SUITE_P(Links, XReportExchange, ECR_ALL_LINKS, support::LinkParamName());
INSTANTIATE_TEST_SUITE_P(Links, SingleExchange, ECR_ALL_LINKS, support::LinkParamName());
