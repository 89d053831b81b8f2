// A waiting loop's deadline bounds the socket reads it makes: the facade's
// Read over real loopback sockets and a pseudo-terminal, with and without a
// ReadDeadline scope.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "protocol/pos_handle.h"
#include "transport/read_deadline.h"
#include "transport_rig.h"

namespace {

// UDP: the terminal learns where to answer from the library's first datagram.
void introduce(CTransport& tr)
{
    const unsigned char hello = 'h';
    ASSERT_EQ(tr.Write(&hello, 1), 1);
}

TEST(ReadDeadline, SilentTcpReadEndsAtTheDeadline)
{
    sim::Terminal term(sim::Link::Tcp);
    CTransport tr;
    ASSERT_TRUE(rig::open_to(tr, term));
    term.pause(3000);
    term.start();
    unsigned char buf[64];
    const uint64_t t0 = GetTickCount();
    const ReadDeadline bounded(tr.GetHandle(), t0 + 300);
    EXPECT_EQ(tr.Read(buf, sizeof buf), -1);
    const uint64_t took = GetTickCount() - t0;
    EXPECT_GE(took, 300u);
    EXPECT_LT(took, 1000u);
}

TEST(ReadDeadline, SilentUdpReadEndsAtTheDeadline)
{
    sim::Terminal term(sim::Link::Udp);
    CTransport tr;
    ASSERT_TRUE(rig::open_to(tr, term));
    term.pause(3000);
    term.start();
    introduce(tr);
    unsigned char buf[64];
    const uint64_t t0 = GetTickCount();
    const ReadDeadline bounded(tr.GetHandle(), t0 + 400);
    EXPECT_EQ(tr.Read(buf, sizeof buf), -1);
    const uint64_t took = GetTickCount() - t0;
    EXPECT_GE(took, 400u);
    EXPECT_LT(took, 1100u);
}

TEST(ReadDeadline, BurstThatComesInTimeIsReadWhole)
{
    for (sim::Link link : {sim::Link::Tcp, sim::Link::Udp}) {
        sim::Terminal term(link);
        CTransport tr;
        ASSERT_TRUE(rig::open_to(tr, term));
        term.pause(200).send_frame("AB").pause(40).send_frame("C").pause(2000);
        const uint64_t t0 = GetTickCount();
        term.start();
        if (link == sim::Link::Udp)
            introduce(tr);
        unsigned char buf[64];
        const ReadDeadline bounded(tr.GetHandle(), t0 + 2000);
        const int n = tr.Read(buf, sizeof buf);
        const uint64_t took = GetTickCount() - t0;
        ASSERT_EQ(n, 9) << static_cast<int>(link);
        EXPECT_EQ(rig::bytes(buf, 9), sim::frame("AB") + sim::frame("C"));
        EXPECT_GE(took, 240u);
        EXPECT_LT(took, 1500u);  // ends 100 ms after the burst, not at the deadline
    }
}

TEST(ReadDeadline, PassedDeadlineStillTakesWhatIsWaiting)
{
    sim::Terminal term(sim::Link::Tcp);
    CTransport tr;
    ASSERT_TRUE(rig::open_to(tr, term));
    term.send_frame("READY").pause(3000);
    term.start();
    Sleep(300);  // the frame is in the socket now
    unsigned char buf[64];
    const ReadDeadline bounded(tr.GetHandle(), GetTickCount() - 1);
    ASSERT_EQ(tr.Read(buf, sizeof buf), 8);
    EXPECT_EQ(rig::bytes(buf, 8), sim::frame("READY"));
    // Nothing more: the read does not wait at all.
    const uint64_t t0 = GetTickCount();
    EXPECT_EQ(tr.Read(buf, sizeof buf), -1);
    EXPECT_LT(GetTickCount() - t0, 50u);
}

TEST(ReadDeadline, InnerScopeCountsAndLeavingItRestoresTheOuter)
{
    sim::Terminal term(sim::Link::Tcp);
    CTransport tr;
    ASSERT_TRUE(rig::open_to(tr, term));
    term.pause(4000);
    term.start();
    unsigned char buf[16];
    const uint64_t t0 = GetTickCount();
    const ReadDeadline outer(tr.GetHandle(), t0 + 900);
    {
        const ReadDeadline inner(tr.GetHandle(), t0 + 200);
        EXPECT_EQ(tr.Read(buf, sizeof buf), -1);
        const uint64_t took = GetTickCount() - t0;
        EXPECT_GE(took, 200u);
        EXPECT_LT(took, 700u);
    }
    EXPECT_EQ(tr.Read(buf, sizeof buf), -1);
    const uint64_t took = GetTickCount() - t0;
    EXPECT_GE(took, 900u);
    EXPECT_LT(took, 1600u);

    uint64_t deadline = 0;
    EXPECT_TRUE(ReadDeadline::Current(&tr, &deadline));
    EXPECT_EQ(deadline, t0 + 900);
}

TEST(ReadDeadline, MovedDeadlineAppliesToTheNextRead)
{
    sim::Terminal term(sim::Link::Tcp);
    CTransport tr;
    ASSERT_TRUE(rig::open_to(tr, term));
    term.pause(3000);
    term.start();
    unsigned char buf[16];
    const uint64_t t0 = GetTickCount();
    ReadDeadline bounded(tr.GetHandle(), t0);
    bounded.Move(t0 + 500);
    EXPECT_EQ(tr.Read(buf, sizeof buf), -1);
    const uint64_t took = GetTickCount() - t0;
    EXPECT_GE(took, 500u);
    EXPECT_LT(took, 1200u);
}

TEST(ReadDeadline, ScopeOfAnotherTransportDoesNotShortenARead)
{
    sim::Terminal term(sim::Link::Tcp);
    CTransport tr;
    CTransport other;
    ASSERT_TRUE(rig::open_to(tr, term));
    term.pause(300).send_frame("LATE").pause(2000);
    term.start();
    const ReadDeadline elsewhere(&other, GetTickCount() - 1);
    EXPECT_FALSE(ReadDeadline::Current(&tr, nullptr));
    unsigned char buf[64];
    ASSERT_EQ(tr.Read(buf, sizeof buf), 7);
    EXPECT_EQ(rig::bytes(buf, 7), sim::frame("LATE"));
}

TEST(ReadDeadline, ScopeOfAnotherThreadDoesNotShortenARead)
{
    sim::Terminal term(sim::Link::Tcp);
    CTransport tr;
    ASSERT_TRUE(rig::open_to(tr, term));
    term.pause(300).send_frame("LATE").pause(2000);
    term.start();

    // Another thread holds a passed deadline for the same transport while this
    // thread reads without one.
    std::mutex lock;
    std::condition_variable cv;
    bool held = false;
    bool release = false;
    std::thread holder([&] {
        const ReadDeadline bounded(&tr, GetTickCount() - 1);
        std::unique_lock<std::mutex> l(lock);
        held = true;
        cv.notify_all();
        cv.wait(l, [&] { return release; });
    });
    {
        std::unique_lock<std::mutex> l(lock);
        cv.wait(l, [&] { return held; });
    }
    EXPECT_FALSE(ReadDeadline::Current(&tr, nullptr));
    unsigned char buf[64];
    const int n = tr.Read(buf, sizeof buf);
    {
        std::lock_guard<std::mutex> l(lock);
        release = true;
    }
    cv.notify_all();
    holder.join();
    ASSERT_EQ(n, 7);
    EXPECT_EQ(rig::bytes(buf, 7), sim::frame("LATE"));
}

TEST(ReadDeadline, ClosedPeerStillRestsInsteadOfSpinning)
{
    sim::Terminal term(sim::Link::Tcp);
    CTransport tr;
    ASSERT_TRUE(rig::open_to(tr, term));
    term.close_link();
    term.start();
    ASSERT_TRUE(term.wait_done(5000));
    unsigned char buf[16];
    const uint64_t t0 = GetTickCount();
    const ReadDeadline bounded(tr.GetHandle(), t0 + 1000);
    const double cpu0 = rig::cpu_seconds();
    int calls = 0;
    while (GetTickCount() < t0 + 1000) {
        EXPECT_LT(tr.Read(buf, sizeof buf), 1);
        ++calls;
    }
    // Each read on the dead link rests 100 ms: about ten calls in a second.
    EXPECT_GE(calls, 5);
    EXPECT_LE(calls, 11);
    EXPECT_LT(rig::cpu_seconds() - cpu0, 0.3);
}

TEST(ReadDeadline, SerialLineIsNotAffected)
{
    sim::Terminal term(sim::Link::Pty);
    CTransport tr;
    ASSERT_TRUE(rig::open_to(tr, term));
    term.pause(300).send_raw("Z").pause(2000);
    term.start();
    // A passed deadline does not stop the serial read, which waits for the
    // byte within the line's own inter-byte time-out.
    const ReadDeadline bounded(tr.GetHandle(), GetTickCount() - 1);
    unsigned char byte = 0;
    ASSERT_EQ(tr.Read(&byte, 1), 1);
    EXPECT_EQ(byte, 'Z');
}

TEST(ReadDeadline, NullHandleMakesAScopeThatAffectsNothing)
{
    const ReadDeadline nothing(static_cast<const PosHandle*>(nullptr), 0);
    EXPECT_FALSE(ReadDeadline::Current(nullptr, nullptr));
    CTransport tr;
    EXPECT_FALSE(ReadDeadline::Current(&tr, nullptr));
}

}  // namespace
