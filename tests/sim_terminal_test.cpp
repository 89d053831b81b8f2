// The terminal simulator itself, driven by plain sockets and a pty slave.
#include "sim/terminal.h"

#include "compat/compat.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

int connect_tcp(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string read_exact(int fd, size_t n, int timeout_ms) {
    std::string out;
    uint64_t deadline = GetTickCount() + timeout_ms;
    while (out.size() < n && GetTickCount() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buf[4096];
        ssize_t r = read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (r <= 0) break;
        out.append(buf, static_cast<size_t>(r));
    }
    return out;
}

double cpu_seconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

}  // namespace

TEST(SimFrame, BuildsFrameWithCheckByte) {
    EXPECT_EQ(sim::frame("A"), std::string("\x02\x41\x03\x42", 4));
    EXPECT_EQ(sim::frame(""), std::string("\x02\x03\x03", 3));
    EXPECT_EQ(sim::join_fields({"PUR12.", "00", "1"}), std::string("PUR12.\x1c" "00\x1c" "1"));
}

TEST(SimTcp, RecordsAckFramesAndRawAndAnswers) {
    sim::Terminal t(sim::Link::Tcp);
    ASSERT_NE(t.port(), 0);
    t.expect_frame("PUR", 5000).send_ack().send_frame("PUR12.X").expect_ack(5000);
    t.start();
    int fd = connect_tcp(t.port());
    ASSERT_GE(fd, 0);
    std::string out = std::string("\x55\x06", 2) + sim::frame("PUR10.1");
    ASSERT_EQ(send(fd, out.data(), out.size(), MSG_NOSIGNAL), (ssize_t)out.size());
    std::string want = std::string("\x06", 1) + sim::frame("PUR12.X");
    EXPECT_EQ(read_exact(fd, want.size(), 5000), want);
    ASSERT_EQ(send(fd, "\x06", 1, MSG_NOSIGNAL), 1);
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
    auto ev = t.events();
    ASSERT_EQ(ev.size(), 6u);
    EXPECT_EQ(ev[0].kind, sim::Event::RecvRaw);
    EXPECT_EQ(ev[0].data, "\x55");
    EXPECT_EQ(ev[1].kind, sim::Event::RecvAck);
    EXPECT_EQ(ev[2].kind, sim::Event::RecvFrame);
    EXPECT_EQ(ev[2].data, "PUR10.1");
    EXPECT_EQ(ev[3].kind, sim::Event::SentAck);
    EXPECT_EQ(ev[4].kind, sim::Event::SentFrame);
    EXPECT_EQ(ev[5].kind, sim::Event::RecvAck);
    EXPECT_EQ(t.frames_received(), std::vector<std::string>{"PUR10.1"});
    close(fd);
}

TEST(SimTcp, BadCheckByteIsAnErrorAndEndsScript) {
    sim::Terminal t(sim::Link::Tcp);
    t.expect_frame("", 5000).send_ack();
    t.start();
    int fd = connect_tcp(t.port());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, "\x02\x41\x03\x43", 4, MSG_NOSIGNAL), 4);
    ASSERT_TRUE(t.wait_done(5000));
    ASSERT_EQ(t.errors().size(), 1u);
    auto ev = t.events();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].kind, sim::Event::RecvRaw);
    EXPECT_EQ(ev[0].data, std::string("\x02\x41\x03\x43", 4));
    close(fd);
}

TEST(SimTcp, WrongPrefixAndTimeoutAreErrors) {
    sim::Terminal t(sim::Link::Tcp);
    t.expect_frame("PUR", 5000);
    t.start();
    int fd = connect_tcp(t.port());
    std::string f = sim::frame("REF10.");
    send(fd, f.data(), f.size(), MSG_NOSIGNAL);
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_EQ(t.errors().size(), 1u);

    sim::Terminal t2(sim::Link::Tcp);
    t2.expect_ack(300);
    uint64_t t0 = GetTickCount();
    t2.start();
    ASSERT_TRUE(t2.wait_done(5000));
    EXPECT_GE(GetTickCount() - t0, 300u);
    EXPECT_EQ(t2.errors().size(), 1u);
    close(fd);
}

TEST(SimTcp, PeerReconnectIsAcceptedAndCloseRecorded) {
    sim::Terminal t(sim::Link::Tcp);
    t.expect_frame("A", 5000).expect_frame("B", 5000).send_frame("C").close_link();
    t.start();
    int fd = connect_tcp(t.port());
    std::string a = sim::frame("A");
    send(fd, a.data(), a.size(), MSG_NOSIGNAL);
    // Wait until the first frame is in before reconnecting.
    for (int i = 0; i < 100 && t.frames_received().empty(); ++i) Sleep(20);
    close(fd);
    int fd2 = connect_tcp(t.port());
    std::string b = sim::frame("B");
    send(fd2, b.data(), b.size(), MSG_NOSIGNAL);
    EXPECT_EQ(read_exact(fd2, 4, 5000), sim::frame("C"));
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_TRUE(t.errors().empty());
    char c;
    EXPECT_EQ(read(fd2, &c, 1), 0);  // the terminal closed its end
    auto ev = t.events();
    EXPECT_EQ(ev.back().kind, sim::Event::Closed);
    close(fd2);
}

TEST(SimUdp, RepliesToLastSender) {
    sim::Terminal t(sim::Link::Udp);
    t.expect_frame("PING", 5000).send_ack();
    t.start();
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(t.port());
    std::string f = sim::frame("PING1.");
    sendto(fd, f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    EXPECT_EQ(read_exact(fd, 1, 5000), "\x06");
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_TRUE(t.errors().empty());
    close(fd);
}

TEST(SimPty, SlaveOpenedClosedAndReopenedWithoutSpinning) {
    sim::Terminal t(sim::Link::Pty);
    ASSERT_FALSE(t.tty_path().empty());
    t.expect_frame("A", 5000).pause(400).send_frame("B").expect_frame("C", 5000);
    double cpu0 = cpu_seconds();
    t.start();
    int s = open(t.tty_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(s, 0);
    std::string a = sim::frame("A");
    ASSERT_EQ(write(s, a.data(), a.size()), (ssize_t)a.size());
    for (int i = 0; i < 100 && t.frames_received().empty(); ++i) Sleep(20);
    close(s);  // no slave open while the terminal pauses: POLLHUP on the master
    Sleep(300);
    s = open(t.tty_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(s, 0);
    EXPECT_EQ(read_exact(s, 4, 5000), sim::frame("B"));
    std::string c = sim::frame("C");
    ASSERT_EQ(write(s, c.data(), c.size()), (ssize_t)c.size());
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_TRUE(t.errors().empty());
    EXPECT_EQ(t.frames_received(), (std::vector<std::string>{"A", "C"}));
    bool peer_closed = false;
    for (auto& e : t.events()) peer_closed |= e.kind == sim::Event::PeerClosed;
    EXPECT_TRUE(peer_closed);
    // About 0.7 s of waiting with the slave closed part of the time.
    EXPECT_LT(cpu_seconds() - cpu0, 0.2);
    close(s);
}

TEST(SimLifecycle, DestructorStopsALongWaitPromptly) {
    uint64_t t0 = GetTickCount();
    {
        sim::Terminal t(sim::Link::Tcp);
        t.expect_frame("", 60000);
        t.start();
        Sleep(50);
    }
    EXPECT_LT(GetTickCount() - t0, 1000u);
}
