// The interrupt and the abort under the one owner of the link.  The thread
// that owns the link runs them, so closing or destroying the object during
// one waits for its end (the handle was once freed under its read), and a
// service call or a recovery racing one is turned away at once without a
// byte on the wire (their bytes once interleaved), and the other way round.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "VarkoClass2017/VarkoClass2017.h"
#include "compat/compat.h"
#include "ecrbridge.h"
#include "support/payment_harness.h"
#include "support/sim_link.h"

namespace {

using support::msg;
using Param = std::tuple<sim::Link, int>;

constexpr unsigned kAnswerPause = 1500;  // the terminal's pause before it answers a control
constexpr uint64_t kAtOnce = 500;        // a refused call returns well within this

class LinkControl : public support::PaymentTest<::testing::TestWithParam<Param>> {
protected:
    // The operation record of the cancelled payment is this test's own.
    void SetUp() override
    {
        support::PaymentTest<::testing::TestWithParam<Param>>::SetUp();
        char tmpl[] = "/tmp/ecr_owner_XXXXXX";
        m_dir = mkdtemp(tmpl);
        ASSERT_EQ(ecrb_set_record_dir(m_dir.c_str()), 0);
    }
    void TearDown() override
    {
        support::close_and_release();
        for (const char* f : {"/ecrbridge.oprecord", "/ecrbridge.oprecord.lock", "/ecrbridge.journal"})
            std::remove((m_dir + f).c_str());
        rmdir(m_dir.c_str());
    }
    sim::Link link() const { return std::get<0>(GetParam()); }
    int row() const { return std::get<1>(GetParam()); }
    bool abort() const { return (row() & 1) != 0; }
    std::string request() const { return abort() ? "PUR10." : "PIR10."; }

    // Request and first answer; the payment then waits for the terminal.
    void script_payment(sim::Terminal& t) const
    {
        t.expect_frame(request()).send_ack().send_frame(abort() ? "PUR11." : "PIR11.").expect_ack();
    }
    // The terminal's side of the control, answered after kAnswerPause.
    void script_control(sim::Terminal& t) const
    {
        if (abort())
            t.expect_frame("PUR11.").send_ack().pause(kAnswerPause).send_frame(msg({"PUR12.", "000"}))
                .expect_ack().expect_frame("PUR13.").send_ack();
        else
            t.expect_frame("IRT10.").send_ack().pause(kAnswerPause).send_frame("IRT11.").expect_ack();
    }
    std::vector<std::string> control_frames() const
    {
        return abort() ? std::vector<std::string>{"PUR11." + support::kFS, "PUR13." + support::kFS}
                       : std::vector<std::string>{"IRT10." + support::kFS};
    }
    // PosPurchaseInterrupt runs on its caller's thread, PosPurchase on the
    // library's operation thread.
    std::thread start_payment() const
    {
        if (abort()) {
            PosPurchase(1.0, 0);
            return std::thread();
        }
        return std::thread([] {
            unsigned long r = 0;
            PosPurchaseInterrupt(1.0, 0, &r);
        });
    }
    int control() const { return abort() ? create_object()->PosAbortTrx() : PosInterruptTrx(); }

    std::string m_dir;
    support::Recorder& rec = support::Recorder::instance();
};

// Waits until the terminal has seen the item (the machine may be loaded).
bool seen(const sim::Terminal& t, sim::Event::Kind kind, const std::string& prefix)
{
    for (const uint64_t until = GetTickCount() + 10000; GetTickCount() < until; Sleep(5))
        if (support::event_time(t, kind, prefix) != 0)
            return true;
    return false;
}

void join(std::thread& t)
{
    if (t.joinable())
        t.join();
}

// Rows: bit 0 abort (else interrupt), bit 1 destroy_object (else PosClose).
TEST_P(LinkControl, CloseOrDestroyWaitsForTheControl)
{
    const bool destroy = (row() & 2) != 0;
    sim::Terminal t(link());
    script_payment(t);
    script_control(t);
    connect(t);
    std::thread pay = start_payment();
    ASSERT_TRUE(seen(t, sim::Event::RecvAck, ""));  // the payment reads
    int result = -1;
    std::thread ctl([&] { result = control(); });
    ASSERT_TRUE(seen(t, sim::Event::RecvFrame, control_frames()[0].substr(0, 6)));  // out, not yet answered
    if (destroy) {
        destroy_object(create_object());
        ecr = create_object();
    } else {
        EXPECT_EQ(PosClose(), 0);
    }
    const uint64_t closed_at = GetTickCount();
    join(ctl);
    join(pay);
    support::drain();

    EXPECT_EQ(result, 0);
    EXPECT_GE(closed_at, support::event_time(t, sim::Event::SentFrame, abort() ? "PUR12." : "IRT11."));
    EXPECT_EQ(ecrb_last_outcome(), ECRB_OUTCOME_CANCELLED);
    if (!destroy) {
        ASSERT_EQ(rec.completions().size(), 1u);
        EXPECT_EQ(rec.completions()[0].result, 0u);
    }
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
    std::vector<std::string> want = {request()};
    for (const std::string& f : control_frames())
        want.push_back(f);
    ASSERT_EQ(t.frames_received().size(), want.size());
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_EQ(t.frames_received()[i].substr(0, 6), want[i].substr(0, 6)) << i;
}

// Rows: bit 0 abort (else interrupt), bit 1 the control first (else the
// service call and the recovery first).  The payment was cancelled before:
// the control is the kind its operation allows, and its record is left for
// the recovery.
TEST_P(LinkControl, RacingUsersOfTheLinkAreRefusedAndSendNothing)
{
    const bool control_first = (row() & 2) != 0;
    const std::string journal = msg({"GTL11.00", "01", "57", "000000001234", "000000000000", "444433******1111"});
    sim::Terminal t(link());
    script_payment(t);
    if (control_first) {
        script_control(t);
    } else {
        t.expect_frame("TSN10.").send_ack().pause(kAnswerPause).send_frame(msg({"TSN11.SN00012345"})).expect_ack();
        t.expect_frame("GTL10.").send_ack().pause(kAnswerPause).send_frame(journal).pause(300);
    }
    connect(t);
    std::thread pay = start_payment();
    ASSERT_TRUE(seen(t, sim::Event::RecvAck, ""));
    EXPECT_EQ(CancelTransaction(), 0);
    ASSERT_TRUE(rec.wait_for(1, 5000));
    join(pay);
    support::drain();

    char serial[300] = {};
    const std::vector<std::function<int()>> others = {[&] { return PosTSN(serial); }, [] { return ecrb_recover(); }};
    // Runs first on a thread of its own; second is called meanwhile and refused at once.
    const auto race = [&](const std::function<int()>& first, const std::string& first_frame,
                          const std::function<int()>& second) {
        int first_result = -1;
        std::thread th([&] { first_result = first(); });
        if (!seen(t, sim::Event::RecvFrame, first_frame)) {
            ADD_FAILURE() << first_frame << " never sent";
            th.join();
            return -1;
        }
        const uint64_t start = GetTickCount();
        EXPECT_EQ(second(), E_FAIL);
        EXPECT_LT(GetTickCount() - start, kAtOnce);
        th.join();
        return first_result;
    };
    if (control_first) {
        EXPECT_EQ(race([&] { return control(); }, control_frames()[0].substr(0, 6), [&] { return others[0]() == E_FAIL && others[1]() == E_FAIL
                                                                     ? E_FAIL : 0; }),
                  0);
    } else {
        EXPECT_EQ(race(others[0], "TSN10.", [&] { return control(); }), 0);
        EXPECT_STREQ(serial, "SN00012345");
        race(others[1], "GTL10.", [&] { return control(); });
    }

    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
    std::vector<std::string> want = {request()};
    if (control_first)
        for (const std::string& f : control_frames())
            want.push_back(f.substr(0, 6));
    else
        want.insert(want.end(), {"TSN10.", "GTL10."});
    ASSERT_EQ(t.frames_received().size(), want.size());
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_EQ(t.frames_received()[i].substr(0, 6), want[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(Links, LinkControl, ::testing::Combine(ECR_ALL_LINKS, ::testing::Range(0, 4)),
                         [](const ::testing::TestParamInfo<Param>& i) {
                             return std::string(support::link_label(std::get<0>(i.param))) + "_" +
                                    std::to_string(std::get<1>(i.param));
                         });

}  // namespace
