// Waits of the serial reader and the serial line that take seconds, and the
// CPU used while deadline loops wait on a link whose far end is gone.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "protocol/pos_handle.h"
#include "transport/comport.h"
#include "support/transport_rig.h"

namespace {

// The serial reader: up to one 2 s line read past its own deadlines.
constexpr uint64_t kSlack = 2600;

struct SerialRig {
    sim::Terminal term{sim::Link::Pty};
    CTransport tr;
    std::vector<unsigned char> buf = std::vector<unsigned char>(POS_MAX_MESSAGE);
    unsigned int len = 4242;
    ~SerialRig() { tr.Close(); }
    bool open() { return support::open_to(tr, term); }
    unsigned int read() { return pos_read_packet(tr.GetHandle(), buf.data(), &len); }
};

TEST(SerialReaderSlow, IdleLineIsFormatErrorAfterStartWait)
{
    SerialRig r;
    ASSERT_TRUE(r.open());
    uint64_t t0 = GetTickCount();
    EXPECT_EQ(r.read(), SE_FORMAT);
    uint64_t took = GetTickCount() - t0;
    EXPECT_GE(took, 1000u);
    EXPECT_LT(took, 1000u + kSlack);
    EXPECT_EQ(r.len, 4242u);
}

TEST(SerialReaderSlow, StxThenSilenceIsNoData)
{
    SerialRig r;
    ASSERT_TRUE(r.open());
    ASSERT_EQ(pos_set_timeouts(r.tr.GetHandle(), 1, 40), SE_OK);
    r.term.send_raw("\x02");
    r.term.start();
    uint64_t t0 = GetTickCount();
    EXPECT_EQ(r.read(), SE_NODATA);
    uint64_t took = GetTickCount() - t0;
    EXPECT_GE(took, 1000u);
    EXPECT_LT(took, 1000u + kSlack);
}

TEST(SerialReaderSlow, UnfinishedFrameIsReadError)
{
    SerialRig r;
    ASSERT_TRUE(r.open());
    ASSERT_EQ(pos_set_timeouts(r.tr.GetHandle(), 1, 40), SE_OK);
    r.term.send_raw("\x02PUR12.");
    r.term.start();
    uint64_t t0 = GetTickCount();
    EXPECT_EQ(r.read(), SE_READ);
    uint64_t took = GetTickCount() - t0;
    EXPECT_GE(took, 1000u);
    EXPECT_LT(took, 1000u + kSlack);
    EXPECT_EQ(r.len, 4242u);
}

TEST(SerialReaderSlow, InterruptDuringStartWaitEndsWithOk)
{
    SerialRig r;
    ASSERT_TRUE(r.open());
    PosHandle* h = r.tr.GetHandle();
    const uint64_t t0 = GetTickCount();  // before the raiser's 200 ms begin
    std::thread raiser([h] {
        Sleep(200);
        h->interrupt = 1;
    });
    EXPECT_EQ(r.read(), SE_OK);
    uint64_t took = GetTickCount() - t0;
    raiser.join();
    EXPECT_GE(took, 200u);
    EXPECT_LT(took, kSlack);
    EXPECT_EQ(r.len, 4242u);
}

TEST(SerialLineSlow, ReadReturnsWhatCameAfterSilence)
{
    sim::Terminal term(sim::Link::Pty);
    _comport_handle* port = nullptr;
    ASSERT_EQ(comport_open(&port, term.tty_path().c_str(), 115200, 7, 2, 0), SE_OK);
    term.send_raw("abc");
    term.start();
    ASSERT_TRUE(term.wait_done(3000));
    unsigned char buf[5] = {0};
    uint64_t t0 = GetTickCount();
    EXPECT_EQ(comport_read(port, buf, 5), 3);
    uint64_t took = GetTickCount() - t0;
    EXPECT_EQ(support::bytes(buf, 3), "abc");
    EXPECT_GE(took, 1950u);  // the line's 2.0 s inter-byte time
    EXPECT_LT(took, 3500u);
    t0 = GetTickCount();
    EXPECT_EQ(comport_read(port, buf, 5), 0);
    took = GetTickCount() - t0;
    EXPECT_GE(took, 1950u);
    EXPECT_LT(took, 3500u);
    comport_close(port);
}

// An exchange waiting out a 40 s response deadline on a TCP connection the
// terminal has closed: every read fails at once, yet the loop must sleep.
TEST(DeadLinkCpuSlow, ClosedTcpConnectionResponseWait)
{
    sim::Terminal term(sim::Link::Tcp);
    CTransport tr;
    ASSERT_TRUE(support::open_to(tr, term));
    term.close_link();
    term.start();
    ASSERT_TRUE(term.wait_done(3000));
    PosHandle* h = tr.GetHandle();
    std::vector<unsigned char> buf(POS_MAX_MESSAGE);
    unsigned int len = 0;
    double cpu0 = support::cpu_seconds();
    uint64_t t0 = GetTickCount();
    uint64_t deadline = t0 + static_cast<uint64_t>(h->response_timeout) * 1000;
    unsigned passes = 0;
    unsigned int status = SE_READ;
    while (GetTickCount() < deadline) {
        ++passes;
        status = pos_read_packet(h, buf.data(), &len);
        if (status == SE_OK) break;
    }
    double cpu = support::cpu_seconds() - cpu0;
    uint64_t took = GetTickCount() - t0;
    EXPECT_EQ(status, SE_FAIL);
    EXPECT_GE(took, 40000u);
    EXPECT_LT(took, 41000u);
    // Under 1 % of one core over the 40 s.
    EXPECT_LT(cpu, 0.01 * took / 1000.0) << "cpu " << cpu << " s in " << passes << " passes";
    RecordProperty("cpu_ms", static_cast<int>(cpu * 1000));
    RecordProperty("passes", static_cast<int>(passes));
    printf("closed TCP, 40 s response wait: %.3f s CPU (%.3f %% of a core), %u reads\n", cpu,
           100.0 * cpu / (took / 1000.0), passes);

    // The one-byte ACK wait and a frame write on the same dead link.
    cpu0 = support::cpu_seconds();
    t0 = GetTickCount();
    deadline = t0 + 5000;
    unsigned char last = 0;
    while (last != ACK && GetTickCount() < deadline) tr.Read(&last, 1);
    unsigned char m = 'A';
    pos_write_packet(h, &m, 1);
    cpu = support::cpu_seconds() - cpu0;
    took = GetTickCount() - t0;
    EXPECT_NE(last, ACK);
    EXPECT_LT(cpu, 0.01 * took / 1000.0) << "cpu " << cpu << " s";
    tr.Close();
}

// The same on a serial device that vanished (the pseudo-terminal's master closed).
TEST(DeadLinkCpuSlow, VanishedSerialDevice)
{
    sim::Terminal term(sim::Link::Pty);
    CTransport tr;
    ASSERT_TRUE(support::open_to(tr, term));
    term.close_link();
    term.start();
    ASSERT_TRUE(term.wait_done(3000));
    PosHandle* h = tr.GetHandle();
    std::vector<unsigned char> buf(POS_MAX_MESSAGE);
    unsigned int len = 0;
    double cpu0 = support::cpu_seconds();
    uint64_t t0 = GetTickCount();
    uint64_t deadline = t0 + 10000;
    unsigned int status = SE_OK;
    unsigned passes = 0;
    while (GetTickCount() < deadline) {
        ++passes;
        status = pos_read_packet(h, buf.data(), &len);
    }
    double cpu = support::cpu_seconds() - cpu0;
    uint64_t took = GetTickCount() - t0;
    EXPECT_EQ(status, SE_FORMAT);
    EXPECT_LT(cpu, 0.01 * took / 1000.0) << "cpu " << cpu << " s in " << passes << " passes";
    printf("vanished serial device, 10 s wait: %.3f s CPU, %u reads\n", cpu, passes);
    tr.Close();
}

}  // namespace
