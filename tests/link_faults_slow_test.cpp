// Whole payments over TCP, UDP and the pseudo-terminal while the simulated
// terminal cuts, merges and spoils its frames; cancel and interrupt of a
// payment that waits for a silent terminal.  Each payment that reaches its
// final response waits out the 5 s confirmation pause.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "VarkoClass2017/VarkoClass2017.h"
#include "compat/compat.h"
#include "ecrbridge.h"
#include "support/library_link.h"
#include "protocol/pos_handle.h"
#include "support/payment_harness.h"

using support::msg;
using support::Recorder;

namespace {

const std::string kAck(1, '\x06');

std::string final_response(const std::string& code, const std::string& rrn = "123456789012")
{
    return msg({"PUR12." + code, "01", "57", "000000001234", "000000000000", "444433******1111", "1227JOHN",
                "THANK YOU", "000321A1B2C30812153000BANK", "MERCHANT01", "000000051000004567", rrn,
                "VISA CLASSIC", "TERM0001"});
}

// A final response of exactly `size` message bytes: the usual fields, the
// two 8192-byte images, and a last field that fills up.
std::string response_of_size(size_t size)
{
    std::string m = msg({final_response("05"), "", "BANK", "RECEIPT", std::string(8192, 'L'), std::string(8192, 'S'),
                         ""});
    m += std::string(size - m.size(), 'P');
    return m;
}

std::string spoil_check(std::string frame)
{
    frame.back() = static_cast<char>(frame.back() ^ 0x55);
    return frame;
}

// The request, the terminal's ACK and its first answer, acknowledged.
void opening(sim::Terminal& t) { t.expect_frame("PUR10.").send_ack().send_frame("PUR11.").expect_ack(); }
// The library's ACK of the final response, its confirmation and the ACK.
void closing(sim::Terminal& t) { t.expect_ack().expect_frame("PUR13.", 20000).send_ack(); }

struct FaultCase {
    const char* name;
    std::function<void(sim::Terminal&)> script;
    unsigned long result;     // what the callback must receive
    uint32_t bank_logo_size;  // of the last report
};

const FaultCase kCases[] = {
    {"SplitByteByByte",
     [](sim::Terminal& t) {
         opening(t);
         t.send_split(sim::frame(msg({"PUR12.05", "01", "57", "000000001234"})), 1, 50);
         closing(t);
     },
     5, 0},
    {"MergedWithPrecedingAck",
     [](sim::Terminal& t) {
         t.expect_frame("PUR10.").send_raw(kAck + sim::frame("PUR11.")).expect_ack();
         t.send_raw(kAck + sim::frame(final_response("05")));
         closing(t);
     },
     5, 0},
    {"MergedWithTextMessage",
     [](sim::Terminal& t) {
         opening(t);
         t.send_raw(sim::frame(msg({"SMS10.INSERT CARD", "0"})) + sim::frame(final_response("05")));
         t.expect_ack();
         closing(t);
     },
     5, 0},
    {"MergedWithTheFrameBefore",
     [](sim::Terminal& t) {
         t.expect_frame("PUR10.").send_ack().send_raw(sim::frame("PUR11.") + sim::frame(final_response("05")));
         t.expect_ack();
         closing(t);
     },
     5, 0},
    {"GarbageBeforeStx",
     [](sim::Terminal& t) {
         opening(t);
         t.send_raw(std::string("\xff\x15junk\x03\x00", 8) + sim::frame(final_response("05")));
         closing(t);
     },
     5, 0},
    {"BadCheckByteIsDroppedAndTheNextFrameRead",
     [](sim::Terminal& t) {
         opening(t);
         t.send_raw(spoil_check(sim::frame(final_response("51")))).pause(300).send_frame(final_response("05"));
         closing(t);
     },
     5, 0},
    {"FrameAtTheCap",
     [](sim::Terminal& t) {
         opening(t);
         t.send_frame(response_of_size(POS_MAX_RESPONSE));
         closing(t);
     },
     5, 8192},
    {"FrameOneByteOverTheCap",
     [](sim::Terminal& t) {
         opening(t);
         t.send_frame(response_of_size(POS_MAX_RESPONSE + 1)).pause(500);
     },
     20, 0},
};

class LinkFaultsSlow : public ::testing::TestWithParam<std::tuple<sim::Link, size_t>> {
protected:
    void SetUp() override { ecr = support::fresh_object(); }
    void TearDown() override
    {
        support::drain();
        PosClose();
        destroy_object(create_object());
    }
    CVarkoClass2017* ecr = nullptr;
    Recorder& rec = Recorder::instance();
};

TEST_P(LinkFaultsSlow, PaymentEndsWithTheTerminalsResult)
{
    const FaultCase& c = kCases[std::get<1>(GetParam())];
    sim::Terminal t(std::get<0>(GetParam()));
    c.script(t);
    t.start();
    ASSERT_EQ(support::open_to(t), 0);

    PosPurchase(12.34, 0);
    ASSERT_TRUE(rec.wait_for(1, 30000));
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
    EXPECT_EQ(rec.completions()[0].result, c.result);
    EXPECT_EQ(ecr->m_LastReport.BankLogoSize, c.bank_logo_size);
    if (c.result == 5) {
        double amount = 0;
        EXPECT_EQ(get_LastTrxAmount(&amount), 0);
        EXPECT_DOUBLE_EQ(amount, 12.34);
    }
    int acks = 0;
    for (const sim::Event& e : t.events())
        acks += e.kind == sim::Event::RecvAck;
    // One ACK per frame the library took: the first answer, a text message,
    // the final response; none for a frame it refused.
    const int expected_acks = c.result == 20 ? 1 : std::string(c.name) == "MergedWithTextMessage" ? 3 : 2;
    EXPECT_EQ(acks, expected_acks);
}

std::string case_name(const ::testing::TestParamInfo<std::tuple<sim::Link, size_t>>& info)
{
    return std::string(support::link_label(std::get<0>(info.param))) + "_" + kCases[std::get<1>(info.param)].name;
}

INSTANTIATE_TEST_SUITE_P(Faults, LinkFaultsSlow,
                         ::testing::Combine(ECR_ALL_LINKS,
                                            ::testing::Range<size_t>(0, sizeof kCases / sizeof kCases[0])),
                         case_name);

// ---- cancel and interrupt while the terminal is silent ----

class LinkControlsSlow : public ::testing::TestWithParam<sim::Link> {
protected:
    void SetUp() override { support::fresh_object(); }
    void TearDown() override
    {
        support::drain();
        PosClose();
        destroy_object(create_object());
    }
    // Waits until the terminal has seen n ACK bytes from the library.
    static bool acks_seen(const sim::Terminal& t, int n, unsigned timeout_ms)
    {
        const uint64_t deadline = GetTickCount() + timeout_ms;
        while (GetTickCount() < deadline) {
            int acks = 0;
            for (const sim::Event& e : t.events())
                acks += e.kind == sim::Event::RecvAck;
            if (acks >= n)
                return true;
            Sleep(5);
        }
        return false;
    }
    Recorder& rec = Recorder::instance();
};

TEST_P(LinkControlsSlow, CancelOfASilentTerminalReachesTheCallbackAtOnce)
{
    sim::Terminal t(GetParam());
    opening(t);
    t.pause(8000);
    t.start();
    ASSERT_EQ(support::open_to(t), 0);

    PosPurchase(1.00, 0);
    ASSERT_TRUE(acks_seen(t, 1, 5000));
    Sleep(200);  // the library now waits for the next frame
    const uint64_t cancelled = GetTickCount();
    EXPECT_EQ(CancelTransaction(), 0);
    ASSERT_TRUE(rec.wait_for(1, 5000));
    EXPECT_EQ(rec.completions()[0].result, 0u);
    EXPECT_LT(rec.completions()[0].at_ms - cancelled, 1000u);
}

TEST_P(LinkControlsSlow, InterruptAnswerReachesTheInterruptExchange)
{
    sim::Terminal t(GetParam());
    t.expect_frame("PIR10.").send_ack().send_frame("PIR11.").expect_ack();
    t.expect_frame("IRT10.", 10000).send_ack().send_frame("IRT11.").expect_ack();
    t.start();
    ASSERT_EQ(support::open_to(t), 0);

    unsigned long result = 99;
    std::thread payment([&] { PosPurchaseInterrupt(1.00, 0, &result); });
    ASSERT_TRUE(acks_seen(t, 1, 5000));
    Sleep(200);
    const uint64_t asked = GetTickCount();
    EXPECT_EQ(PosInterruptTrx(), 0);
    EXPECT_LT(GetTickCount() - asked, 2000u);
    payment.join();
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
    ASSERT_TRUE(rec.wait_for(1, 1000));
    EXPECT_EQ(rec.completions()[0].result, 0u);
    const std::vector<std::string> frames = support::frames(t);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].substr(0, 6), "PIR10.");
    EXPECT_EQ(frames[1], std::string("IRT10.\x1c"));
}

INSTANTIATE_TEST_SUITE_P(Links, LinkControlsSlow, ECR_ALL_LINKS, support::LinkParamName());

// ---- a forger on another local port ----

TEST(LinkForgerySlow, DatagramFromAnotherPortChangesNothing)
{
    support::fresh_object();
    sim::Terminal t(sim::Link::Udp);
    opening(t);
    t.send_forged(sim::frame(final_response("00", "666666666666")));
    t.pause(300).send_frame(final_response("05"));
    closing(t);
    t.start();
    ASSERT_EQ(support::open_to(t), 0);

    PosPurchase(12.34, 0);
    Recorder& rec = Recorder::instance();
    ASSERT_TRUE(rec.wait_for(1, 30000));
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
    EXPECT_EQ(rec.completions()[0].result, 5u);
    char rrn[16] = {};
    EXPECT_EQ(get_LastTrxRRN(rrn), 0);
    EXPECT_STREQ(rrn, "123456789012");
    support::drain();
    PosClose();
    destroy_object(create_object());
}

}  // namespace
