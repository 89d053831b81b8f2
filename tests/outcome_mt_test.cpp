// One owner of the link and the lifecycle under threads: while a payment
// runs, other exchanges are refused at once and send nothing; PosClose and
// destroy_object stop the payment and wait for it; a callback may call every
// export; four threads calling exports at random neither crash nor hang.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "VarkoClass2017/VarkoClass2017.h"
#include "compat/compat.h"
#include "ecrbridge.h"
#include "ecrbridge/instance.h"
#include "ecrbridge/operation_thread.h"
#include "protocol/pos_handle.h"
#include "support/files.h"
#include "support/payment_harness.h"
#include "sim/payment_script.h"
#include "support/sim_link.h"

using support::Recorder;
using support::msg;

namespace {

const std::string kApproval = msg({"PUR12.00", "01", "57", "000000001234", "000000000000", "444433******1111",
                                   "1227JOHN", "THANK YOU", "000321A1B2C30812153000BANK", "MERCHANT01",
                                   "000000051000004567", "123456789012", "VISA CLASSIC", "TERM0001"});

class LinkOwner : public support::PaymentTest<::testing::TestWithParam<sim::Link>> {
protected:
    void connect(sim::Terminal& t)
    {
        support::PaymentTest<::testing::TestWithParam<sim::Link>>::connect(t);
        ASSERT_EQ(pos_set_timeouts(ecr->GetPosHandle(), 5, 3), 0u);
    }
    // Request acknowledged and answered; the terminal then waits before its
    // approval, leaving the payment running.
    static void running_payment(sim::Terminal& t, unsigned wait_ms)
    {
        t.expect_frame("PUR10.").send_ack().send_frame("PUR11.").expect_ack().pause(wait_ms);
    }

    Recorder& rec = Recorder::instance();
};

uint64_t elapsed_since(uint64_t start) { return GetTickCount() - start; }

// PosTSN during a purchase made both fail once; now the purchase goes on and
// every other user of the link is turned away without a byte.
TEST_P(LinkOwner, OtherExchangesAreRefusedWhileAPaymentRuns)
{
    sim::Terminal t(GetParam());
    running_payment(t, 1500);
    support::script_final(t, kApproval, "PUR13.");
    connect(t);
    PosPurchase(12.34, 0);
    Sleep(700);  // the payment is reading now

    char text[300] = {};
    unsigned long n = 0, r = 0;
    const std::vector<std::pair<const char*, std::function<int()>>> others = {
        {"PosTSN", [&] { return PosTSN(text); }},
        {"PosGTC", [&] { return PosGTC(0, &n); }},
        {"PosGTL", [] { return PosGTL(0); }},
        {"PosAccFund", [&] { return PosAccFund(1.0, &r); }},
        {"PosOpen", [] { return PosOpen(0); }},
        {"ecrb_recover", [] { return ecrb_recover(); }},
        {"member PosPurchase", [&] { return ecr->PosPurchase(1.0, 0, &r); }},
    };
    for (const auto& other : others) {
        const uint64_t start = GetTickCount();
        const int result = other.second();
        EXPECT_TRUE(result == E_FAIL || result == ECRB_OUTCOME_NONE) << other.first << " " << result;
        EXPECT_LT(elapsed_since(start), 500u) << other.first;  // refused at once, nothing waited for
    }
    EXPECT_EQ(OnTRX(), 1);  // still the running payment's state

    ASSERT_TRUE(rec.wait_for(1, 20000));
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
    EXPECT_EQ(rec.completions()[0].result, 0u);
    EXPECT_EQ(ecrb_last_outcome(), ECRB_OUTCOME_APPROVED);
    const std::vector<std::string> f = t.frames_received();
    ASSERT_EQ(f.size(), 2u);  // the request and the confirmation, nothing else
    EXPECT_EQ(f[1].substr(0, 6), "PUR13.");
}

// PosClose (also on the serial line) and destroy_object during a payment
// stop it as a cancel does and wait for its end before anything is freed.
TEST_P(LinkOwner, CloseAndDestroyDuringAPaymentStopAndWait)
{
    for (const bool destroy : {false, true}) {
        rec.clear();
        sim::Terminal t(GetParam());
        running_payment(t, 3000);
        connect(t);
        PosPurchase(12.34, 0);
        Sleep(500);
        if (destroy) {
            destroy_object(create_object());
            EXPECT_FALSE(TheOperationThread().running());
            ecr = create_object();
            rec.install();
        } else {
            EXPECT_EQ(PosClose(), 0);
            EXPECT_EQ(ecr->GetPosHandle(), nullptr);
        }
        // The payment had ended, as cancelled by the cash register, before
        // the call returned; its callback follows (none after destroy).
        if (!destroy) {
            EXPECT_EQ(OnTRX(), 0);
            ASSERT_TRUE(rec.wait_for(1, 5000));
            EXPECT_EQ(rec.completions()[0].result, 0u);
        }
        support::drain();
        EXPECT_EQ(rec.completions().size(), destroy ? 0u : 1u);
        EXPECT_EQ(ecrb_last_outcome(), ECRB_OUTCOME_UNKNOWN);
        t.wait_done(5000);
    }
}

// The link is free once the completion is told: another thread starts the
// next exchange while the callback is still running (it once was refused
// until the callback had returned).
std::atomic<int> g_told{0};
void slow_callback(unsigned long)
{
    g_told = 1;
    Sleep(800);
    g_told = 2;
}

TEST_P(LinkOwner, NextExchangeDuringTheCompletionCallback)
{
    sim::Terminal t(GetParam());
    t.expect_frame("PUR10.").send_ack().send_frame("PUR11.").expect_ack();
    support::script_final(t, kApproval, "PUR13.");
    sim::queue_single_answer(t, "GTL10.", "GTL11.00" + kApproval.substr(8));
    connect(t);
    g_told = 0;
    OnTrxComplete(slow_callback);
    PosPurchase(12.34, 0);
    const uint64_t start = GetTickCount();
    while (g_told.load() == 0 && elapsed_since(start) < 20000)
        Sleep(5);
    ASSERT_EQ(g_told.load(), 1);
    EXPECT_EQ(OnTRX(), 0);
    EXPECT_EQ(PosGTL(0), 0);
    support::drain();
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
    EXPECT_EQ(t.frames_received().back(), "GTL10.00");
}

// Inside the completion callback every accessor gives the completed payment,
// also once another thread has started the next one (which clears the last
// report before its request goes out).
std::atomic<int> g_next_sent{0};
std::atomic<int> g_view_calls{0};
struct Seen {
    std::string rrn, approval, reason;
    double amount = 0;
    int outcome = -1;
} g_seen;

void viewing_callback(unsigned long)
{
    if (g_view_calls.fetch_add(1) != 0)
        return;  // the next payment's own callback
    const uint64_t start = GetTickCount();
    while (g_next_sent.load() == 0 && elapsed_since(start) < 20000)
        Sleep(5);
    char text[64] = {};
    get_LastTrxRRN(text);
    g_seen.rrn = text;
    get_LastTrxApprovalCode(text);
    g_seen.approval = text;
    get_LastTrxAmount(&g_seen.amount);
    g_seen.outcome = ecrb_last_outcome();
    g_seen.reason = ecrb_last_outcome_reason();
}

TEST_P(LinkOwner, CallbackReadsItsPaymentWhileTheNextOneRuns)
{
    const support::ScratchDir dir;  // records of this test only
    ASSERT_FALSE(dir.path().empty());
    ASSERT_EQ(ecrb_set_record_dir(dir.path().c_str()), 0);
    sim::Terminal t(GetParam());
    t.expect_frame("PUR10.").send_ack().send_frame("PUR11.").expect_ack();
    support::script_final(t, kApproval, "PUR13.");
    t.expect_frame("PUR10.").step([](sim::Terminal&) { g_next_sent = 1; }).pause(300).close_link();
    connect(t);
    g_next_sent = 0;
    g_view_calls = 0;
    g_seen = Seen{};
    OnTrxComplete(viewing_callback);
    PosPurchase(12.34, 0);
    const uint64_t start = GetTickCount();
    while (g_view_calls.load() == 0 && elapsed_since(start) < 20000)
        Sleep(5);
    unsigned long r = 0;
    EXPECT_EQ(ecr->PosPurchase(5.00, 0, &r), 0);  // the next payment, while the callback runs
    support::drain();
    EXPECT_EQ(g_view_calls.load(), 2);
    EXPECT_EQ(g_seen.rrn, "123456789012");
    EXPECT_EQ(g_seen.approval, "A1B2C3");
    EXPECT_DOUBLE_EQ(g_seen.amount, 12.34);
    EXPECT_EQ(g_seen.outcome, ECRB_OUTCOME_APPROVED);
    EXPECT_EQ(g_seen.reason, "approved by the terminal");
    // Outside the callback: the next payment, which the terminal never took.
    EXPECT_EQ(ecrb_last_outcome(), ECRB_OUTCOME_NOT_SENT);
    char rrn[16] = {};
    get_LastTrxRRN(rrn);
    EXPECT_STREQ(rrn, "");
    EXPECT_TRUE(t.wait_done(5000));
}

INSTANTIATE_TEST_SUITE_P(Links, LinkOwner, ECR_ALL_LINKS, support::LinkParamName());

// ---- callbacks ----------------------------------------------------------------

std::atomic<int> g_calls_done{0};
std::atomic<int> g_second_callback{0};

void second_callback(unsigned long) { g_second_callback.fetch_add(1); }

// Calls every kind of export from inside the completion callback: each must
// work or fail at once.
void calling_callback(unsigned long)
{
    OnTrxComplete(second_callback);  // registering from a callback
    OnMsgReceived(nullptr);
    char text[3000] = {};
    long l = 0;
    double d = 0;
    unsigned long n = 0;
    (void)OnTRX();
    (void)get_LastTrxRRN(text);
    (void)get_LastTrxAmount(&d);
    (void)get_LastTrxEcrReceiptNum(&l);
    (void)ecrb_last_outcome();
    (void)ecrb_last_outcome_reason();
    (void)CancelTransaction();
    (void)PosInterruptTrx();
    (void)SetPurchTimeout(40);
    EXPECT_EQ(PosClose(), 0);  // the payment is over: the link can go
    EXPECT_EQ(PosTSN(text), E_FAIL);
    EXPECT_EQ(PosGTC(0, &n), E_FAIL);
    EXPECT_EQ(ecrb_recover(), ECRB_OUTCOME_NONE);
    PosPurchase(1.0, 0);                // refused: no operation starts from a callback
    destroy_object(create_object());   // refused: the object is in use by this very call
    g_calls_done.fetch_add(1);
}

TEST(CallbackCalls, EveryExportFromTheCompletionCallback)
{
    support::fresh_object();
    const support::ScratchDir dir;  // no record another test left in the shared directory
    ASSERT_FALSE(dir.path().empty());
    ASSERT_EQ(ecrb_set_record_dir(dir.path().c_str()), 0);
    sim::Terminal t(sim::Link::Tcp);
    t.expect_frame("PUR10.").send_ack().send_frame("PUR11.").expect_ack();
    support::script_final(t, kApproval, "PUR13.");
    t.start();
    ASSERT_EQ(support::open_to(t), 0);
    g_calls_done = 0;
    g_second_callback = 0;
    OnTrxComplete(calling_callback);

    PosPurchase(12.34, 0);
    const uint64_t start = GetTickCount();
    while (g_calls_done.load() == 0 && elapsed_since(start) < 20000)
        Sleep(20);
    support::drain();
    EXPECT_EQ(g_calls_done.load(), 1);
    EXPECT_EQ(ecrb_last_outcome(), ECRB_OUTCOME_APPROVED);
    EXPECT_FALSE(TheOperationThread().running());  // the refused start left nothing behind
    // The callback registered from inside the callback is the one in use now.
    GetInstanse()->Fire_OnTrxComplete(7);
    EXPECT_EQ(g_second_callback.load(), 1);
    ASSERT_TRUE(t.wait_done(5000));
    destroy_object(create_object());
}

// ---- four threads ---------------------------------------------------------------

// The completion callback of the stress: every kind of export, from the
// operation's thread, while other threads call them too.
std::atomic<int> g_stress_callbacks{0};
void stress_callback(unsigned long)
{
    char text[3000] = {};
    unsigned long n = 0;
    long l = 0;
    (void)OnTRX();
    (void)get_LastTrxRRN(text);
    (void)get_LastTrxEcrReceiptNum(&l);
    (void)ecrb_last_outcome_reason();
    (void)PosGTL(0);
    (void)PosGTC(0, &n);
    (void)PosInterruptTrx();
    (void)CancelTransaction();
    (void)PosClose();
    PosPurchase(1.0, 0);
    destroy_object(create_object());
    OnTrxComplete(stress_callback);
    g_stress_callbacks.fetch_add(1);
}

class Stress : public ::testing::TestWithParam<sim::Link> {};

// Four threads call exports at random (PosClose and destroy_object among
// them) while a payment runs: no crash, no sanitizer report, no hang.
TEST_P(Stress, FourThreadsCallingExportsWhileAPaymentRuns)
{
    support::fresh_object();
    sim::Terminal t(GetParam());
    t.expect_frame("PUR10.").send_ack().send_frame("PUR11.").expect_ack().pause(600);
    support::script_final(t, kApproval, "PUR13.");
    t.start();
    ASSERT_EQ(support::open_to(t), 0);
    ASSERT_EQ(pos_set_timeouts(GetInstanse()->GetPosHandle(), 5, 2), 0u);
    OnTrxComplete(stress_callback);
    g_stress_callbacks = 0;
    PosPurchase(12.34, 0);

    std::atomic<bool> stop{false};
    std::atomic<int> calls{0};
    auto worker = [&](unsigned seed) {
        std::mt19937 rng(seed);
        char text[3000] = {};
        unsigned long n = 0;
        long l = 0;
        while (!stop.load()) {
            switch (rng() % 14) {
            case 0: (void)OnTRX(); break;
            case 1: (void)get_LastTrxRRN(text); break;
            case 2: (void)get_LastTrxEcrReceiptNum(&l); break;
            case 3: (void)PosTSN(text); break;
            case 4: (void)PosGTC(0, &n); break;
            case 5: (void)ecrb_last_outcome(); (void)ecrb_last_outcome_reason(); break;
            case 6: (void)PosInterruptTrx(); break;
            case 7: if (rng() % 8 == 0) (void)CancelTransaction(); break;
            case 8: if (rng() % 16 == 0) (void)PosClose(); break;
            case 9: OnTrxComplete(stress_callback); break;
            case 10: (void)SetPurchTimeout(40); break;
            case 11: if (rng() % 32 == 0) destroy_object(create_object()); break;
            case 12: if (rng() % 16 == 0) PosPurchase(1.0, 0); break;
            default: (void)ecrb_recover(); break;
            }
            calls.fetch_add(1);
        }
    };
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < 4; ++i)
        threads.emplace_back(worker, 1234u + i);
    Sleep(2500);
    stop = true;
    for (std::thread& th : threads)
        th.join();
    support::drain();
    EXPECT_GT(calls.load(), 100);
    EXPECT_FALSE(TheOperationThread().running());
    // Nothing is left holding the link: a new connection works at once.
    OnTrxComplete(nullptr);
    PosClose();
    sim::Terminal after(GetParam());
    sim::queue_single_answer(after, "GTL10.", "GTL11.00" + kApproval.substr(8));
    after.start();
    ASSERT_EQ(support::open_to(after), 0);
    EXPECT_EQ(PosGTL(0), 0);
    destroy_object(create_object());
}

INSTANTIATE_TEST_SUITE_P(Links, Stress, ECR_ALL_LINKS, support::LinkParamName());

}  // namespace
