// Socket channels, serial line functions and the transport facade over real
// loopback sockets and pseudo-terminals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <vector>

#include "log_test_util.h"
#include "protocol/pos_handle.h"
#include "transport/comport.h"
#include "support/transport_rig.h"

namespace {

// ---- socket channels ---------------------------------------------------------

TEST(SocketChannel, ReceiveTakesWhatIsThereWithoutWaitingForMore)
{
    sim::Terminal term(sim::Link::Tcp);
    CTCPSocket s;
    s.SetRemoteAddress("127.0.0.1", term.port());
    s.SetLocalAddress("", 0);
    ASSERT_TRUE(s.Open());
    term.send_frame("A").pause(400).send_frame("BC");
    term.start();
    unsigned char buf[256];
    uint64_t t0 = GetTickCount();
    ASSERT_EQ(s.Receive(buf, sizeof buf), 4);
    EXPECT_EQ(support::bytes(buf, 4), sim::frame("A"));
    // Where a frame ends is the frame reader's business: no wait for silence.
    EXPECT_LT(GetTickCount() - t0, 300u);
    EXPECT_EQ(s.Receive(buf, sizeof buf), 5);
    EXPECT_EQ(support::bytes(buf, 5), sim::frame("BC"));
}

TEST(SocketChannel, PeerClosingEndsReceiveWithWhatArrived)
{
    sim::Terminal term(sim::Link::Tcp);
    CTCPSocket s;
    s.SetRemoteAddress("127.0.0.1", term.port());
    ASSERT_TRUE(s.Open());
    term.send_raw("abc").pause(30).close_link();
    term.start();
    unsigned char buf[64];
    ASSERT_EQ(s.Receive(buf, sizeof buf), 3);
    EXPECT_EQ(support::bytes(buf, 3), "abc");
    // Nothing more: 0 at once (after the short rest that keeps callers from spinning).
    uint64_t t0 = GetTickCount();
    EXPECT_EQ(s.Receive(buf, sizeof buf), 0);
    uint64_t took = GetTickCount() - t0;
    EXPECT_GE(took, 100u);
    EXPECT_LT(took, 1000u);
    // Sending to the closed connection fails without a broken-pipe signal.
    int r = 0;
    for (int i = 0; i < 3 && r >= 0; ++i) r = s.Send(buf, 3);
    EXPECT_EQ(r, -1);
}

TEST(SocketChannel, BufferFullEndsReceive)
{
    sim::Terminal term(sim::Link::Tcp);
    CTCPSocket s;
    s.SetRemoteAddress("127.0.0.1", term.port());
    ASSERT_TRUE(s.Open());
    term.send_raw("0123456789");
    term.start();
    unsigned char buf[4];
    uint64_t t0 = GetTickCount();
    ASSERT_EQ(s.Receive(buf, 4), 4);
    EXPECT_EQ(support::bytes(buf, 4), "0123");
    EXPECT_LT(GetTickCount() - t0, 1000u);
}

TEST(SocketChannel, ClosedChannelAndBadArguments)
{
    CTCPSocket s;
    unsigned char buf[8];
    EXPECT_EQ(s.GetDescriptor(), -1);
    EXPECT_EQ(s.Receive(buf, 8), 0);
    EXPECT_EQ(s.Send(buf, 8), 0);
    EXPECT_EQ(s.Receive(nullptr, 8), -1);
    EXPECT_EQ(s.Receive(buf, 0), -1);
    EXPECT_EQ(s.Send(nullptr, 8), -1);
    CUDPSocket u;
    EXPECT_EQ(u.ReceiveFrom(buf, 8), 0);
    EXPECT_EQ(u.ReceiveFrom(nullptr, 8), -1);
    EXPECT_FALSE(s.Connect());
}

TEST(SocketChannel, UdpWithoutBindAddressOpensAndTalks)
{
    sim::Terminal term(sim::Link::Udp);
    CUDPSocket u;
    u.SetRemoteAddress("127.0.0.1", term.port());
    u.SetLocalAddress("", 0);
    ASSERT_TRUE(u.Open());
    int fd = u.GetDescriptor();
    ASSERT_GE(fd, 0);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    term.expect_frame("PING", 3000).send_frame("PONG");
    term.start();
    std::string f = sim::frame("PING1.");
    std::vector<unsigned char> out(f.begin(), f.end());
    ASSERT_EQ(u.SendTo(out.data(), static_cast<int>(out.size())), static_cast<int>(out.size()));
    unsigned char buf[64];
    int n = u.ReceiveFrom(buf, sizeof buf);
    ASSERT_EQ(n, 7);
    EXPECT_EQ(support::bytes(buf, 7), sim::frame("PONG"));
    ASSERT_TRUE(term.wait_done(3000));
    EXPECT_TRUE(term.errors().empty());
}

TEST(SocketChannel, BindsToGivenLocalAddress)
{
    sim::Terminal term(sim::Link::Tcp);
    int local = support::closed_port();
    CTCPSocket s;
    s.SetRemoteAddress("127.0.0.1", term.port());
    s.SetLocalAddress("127.0.0.1", local);
    ASSERT_TRUE(s.Open());
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ASSERT_EQ(getsockname(s.GetDescriptor(), reinterpret_cast<sockaddr*>(&a), &len), 0);
    EXPECT_EQ(ntohs(a.sin_port), local);
    // 0.0.0.0 leaves the socket unbound: the system picks the port at connect.
    CTCPSocket s2;
    s2.SetRemoteAddress("127.0.0.1", term.port());
    s2.SetLocalAddress("0.0.0.0", local);
    ASSERT_TRUE(s2.Open());
    len = sizeof a;
    getsockname(s2.GetDescriptor(), reinterpret_cast<sockaddr*>(&a), &len);
    EXPECT_NE(ntohs(a.sin_port), local);
}

class SocketLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        logtest::ResetProcessLogger(m_dir);
        m_path = m_dir.file("transport.log");
        ASSERT_TRUE(ConfigureFile(m_path));
        el::set_logging(true);
    }
    std::string Finish()
    {
        el::set_logging(false);
        CloseLog();
        return support::read_file(m_path);
    }
    logtest::ScratchDir m_dir;
    std::string m_path;
};

TEST_F(SocketLog, ConnectToClosedPortFailsWithRecord)
{
    CTCPSocket s;
    int port = support::closed_port();
    s.SetRemoteAddress("127.0.0.1", port);
    EXPECT_FALSE(s.Open());
    std::string log = Finish();
    std::string want = "] ERRROR:Cannot connect socket error[ errno[" + std::to_string(ECONNREFUSED) + "][" +
                       std::strerror(ECONNREFUSED) + "]";
    EXPECT_NE(log.find(" [LOG_ERROR> ] [Connect:"), std::string::npos) << log;
    EXPECT_NE(log.find(want), std::string::npos) << log;
}

TEST_F(SocketLog, RemoteAnyAddressFailsWithRecord)
{
    CTCPSocket s;
    s.SetRemoteAddress("0.0.0.0", 2000);
    EXPECT_FALSE(s.Open());
    std::string log = Finish();
    EXPECT_NE(log.find("ERRROR:Cannot connect socket error[ errno["), std::string::npos) << log;
}

TEST_F(SocketLog, BindFailureIsLogged)
{
    // Occupy a port, then ask for the same one.
    sim::Terminal busy(sim::Link::Udp);
    CUDPSocket u;
    u.SetRemoteAddress("127.0.0.1", 9);
    u.SetLocalAddress("127.0.0.1", busy.port());
    EXPECT_FALSE(u.Open());
    std::string log = Finish();
    EXPECT_NE(log.find("] ERRROR:Cannot bind socket error[" + std::to_string(EADDRINUSE) + "]"), std::string::npos)
        << log;
}

TEST_F(SocketLog, FacadeOpenRecordsAndUnknownType)
{
    sim::Terminal term(sim::Link::Tcp);
    CTransport tr;
    ASSERT_TRUE(support::open_to(tr, term));
    tr.Close();
    tr.SetType(static_cast<TransportType>(3));
    EXPECT_FALSE(tr.Open());
    EXPECT_EQ(tr.GetHandle(), nullptr);
    std::string log = Finish();
    EXPECT_NE(log.find("] Try connect to terminal..."), std::string::npos);
    EXPECT_NE(log.find("] Connecting via TCP-socket!"), std::string::npos);
    EXPECT_NE(log.find("] Try connect to [127.0.0.1:" + std::to_string(term.port()) + "]"), std::string::npos);
    EXPECT_NE(log.find(" [LOG_ERROR> ] [Open:"), std::string::npos);
    EXPECT_NE(log.find("] Uncknown connection type!"), std::string::npos) << log;
}

TEST_F(SocketLog, SerialOpenRecords)
{
    sim::Terminal term(sim::Link::Pty);
    _comport_handle* port = nullptr;
    ASSERT_EQ(comport_open(&port, term.tty_path().c_str(), 115200, 7, 2, 0), SE_OK);
    int fd = port->fd;
    comport_close(port);
    std::string log = Finish();
    EXPECT_NE(log.find("]  Open[" + term.tty_path() + "}\n"), std::string::npos) << log;
    EXPECT_NE(log.find("]  Open res[" + std::to_string(fd) + "}\n"), std::string::npos) << log;
}

// ---- serial line ---------------------------------------------------------------

TEST(SerialLine, RejectsBadSettingsAndMissingDevice)
{
    sim::Terminal term(sim::Link::Pty);
    _comport_handle* port = reinterpret_cast<_comport_handle*>(0x1);
    EXPECT_EQ(comport_open(&port, term.tty_path().c_str(), 115200, 7, 5, 0), SE_PARAM);
    EXPECT_EQ(comport_open(&port, term.tty_path().c_str(), 115200, 7, 2, 3), SE_PARAM);
    EXPECT_EQ(comport_open(nullptr, term.tty_path().c_str(), 115200, 7, 2, 0), SE_PARAM);
    port = reinterpret_cast<_comport_handle*>(0x1);
    EXPECT_EQ(comport_open(&port, "/dev/no-such-serial-device", 115200, 7, 2, 0), SE_OPEN);
    EXPECT_EQ(port, nullptr);
}

TEST(SerialLine, AppliesLineSettings)
{
    sim::Terminal term(sim::Link::Pty);
    _comport_handle* port = nullptr;
    ASSERT_EQ(comport_open(&port, term.tty_path().c_str(), 115200, 7, 2, 0), SE_OK);
    ASSERT_NE(port, nullptr);
    termios t{};
    ASSERT_EQ(tcgetattr(port->fd, &t), 0);
    // (A pseudo-terminal always keeps 8 data bits without parity, so the
    // character size and parity cannot be observed here.)
    EXPECT_EQ(cfgetospeed(&t), B115200);
    EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | ISTRIP), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 20);
    EXPECT_NE(fcntl(port->fd, F_GETFD) & FD_CLOEXEC, 0);
    // 19200 leaves the speed as it was; two stop bits for code 2.
    _comport_handle* again = port;
    ASSERT_EQ(comport_reopen(&again, term.tty_path().c_str(), 19200, 8, 0, 2), SE_OK);
    ASSERT_EQ(tcgetattr(again->fd, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B115200);
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    comport_close(again);
}

TEST(SerialLine, WriteFrameGoesOutInChunksOf18)
{
    // A sequenced-packet socket keeps the boundary of every write.
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
    _comport_handle port;
    port.fd = sv[0];
    std::string data;
    for (int i = 0; i < 40; ++i) data += static_cast<char>('a' + i % 26);
    EXPECT_EQ(comport_writeframe(&port, reinterpret_cast<const unsigned char*>(data.data()), 40), 40u);
    std::vector<size_t> sizes;
    std::string got;
    char buf[64];
    ssize_t r;
    while ((r = recv(sv[1], buf, sizeof buf, MSG_DONTWAIT)) > 0) {
        sizes.push_back(static_cast<size_t>(r));
        got.append(buf, static_cast<size_t>(r));
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{18, 18, 4}));
    EXPECT_EQ(got, data);
    close(sv[0]);
    close(sv[1]);
}

TEST(SerialLine, WriteFrameArrivesOnPtyMaster)
{
    sim::Terminal term(sim::Link::Pty);
    _comport_handle* port = nullptr;
    ASSERT_EQ(comport_open(&port, term.tty_path().c_str(), 115200, 7, 2, 0), SE_OK);
    std::string data(40, 'Q');
    std::string seen;
    term.step([&seen](sim::Terminal& t) {
        uint64_t deadline = GetTickCount() + 3000;
        while (seen.size() < 40 && GetTickCount() < deadline) seen += t.read_bytes(200);
    });
    term.start();
    EXPECT_EQ(comport_writeframe(port, reinterpret_cast<const unsigned char*>(data.data()), 40), 40u);
    ASSERT_TRUE(term.wait_done(5000));
    EXPECT_EQ(seen, data);
    EXPECT_EQ(comport_write(port, reinterpret_cast<const unsigned char*>("x"), 0), 0);
    EXPECT_EQ(comport_write(nullptr, reinterpret_cast<const unsigned char*>("x"), 1), -1);
    EXPECT_EQ(comport_writeframe(port, nullptr, 4), 0u);
    EXPECT_EQ(comport_write_all(port, reinterpret_cast<const unsigned char*>("x"), 0, 3), 0u);
    unsigned char buf[8];
    std::memset(buf, 0x55, sizeof buf);
    EXPECT_EQ(comport_read_all(port, buf, 8, 0), 0u);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(buf[7], 0);
    EXPECT_EQ(comport_read(port, buf, 0), 0);
    EXPECT_EQ(comport_read(nullptr, buf, 1), -1);
    comport_close(port);
    comport_close(nullptr);
}

TEST(SerialLine, ReadCollectsWhatIsThere)
{
    sim::Terminal term(sim::Link::Pty);
    _comport_handle* port = nullptr;
    ASSERT_EQ(comport_open(&port, term.tty_path().c_str(), 115200, 7, 2, 0), SE_OK);
    term.send_raw("hello world");
    term.start();
    ASSERT_TRUE(term.wait_done(3000));
    unsigned char buf[5];
    ASSERT_EQ(comport_read(port, buf, 5), 5);
    EXPECT_EQ(support::bytes(buf, 5), "hello");
    unsigned char all[6];
    EXPECT_EQ(comport_read_all(port, all, 6, 1), 6u);
    EXPECT_EQ(support::bytes(all, 6), " world");
    comport_close(port);
}

TEST(SerialLine, DevicePathMustFitSettingsRecord)
{
    _comport_context c;
    EXPECT_TRUE(c.SetDevice(std::string(56, 'd')));
    EXPECT_EQ(std::strlen(c.device_name), 56u);
    EXPECT_FALSE(c.SetDevice(std::string(57, 'd')));
    EXPECT_STREQ(c.device_name, "");
}

// ---- transport facade ------------------------------------------------------------

TEST(Facade, Defaults)
{
    CTransport tr;
    EXPECT_EQ(tr.GetType(), TT_COM);
    EXPECT_EQ(tr.GetRemotePort(), 2000);
    EXPECT_EQ(tr.GetRemoteIP(), "");
    EXPECT_EQ(tr.GetBindIP(), "");
    EXPECT_EQ(tr.GetHandle(), nullptr);
    unsigned char b;
    EXPECT_EQ(tr.Read(&b, 1), -1);  // no serial line open
    tr.SetType(TT_TCP);
    EXPECT_EQ(tr.Read(&b, 1), 0);
    tr.SetType(static_cast<TransportType>(3));
    EXPECT_EQ(tr.Read(&b, 1), 0);
    EXPECT_EQ(tr.Write(&b, 1), 0);
    tr.Close();
    tr.Close();
    EXPECT_EQ(tr.GetHandle(), nullptr);
}

TEST(Facade, SerialOpenAndFailures)
{
    sim::Terminal term(sim::Link::Pty);
    CTransport tr;
    tr.SetComPortName("/dev/no-such-serial-device");
    EXPECT_FALSE(tr.Open());
    EXPECT_EQ(tr.GetHandle(), nullptr);
    tr.SetComPortName("");
    EXPECT_FALSE(tr.Open());
    EXPECT_EQ(tr.GetHandle(), nullptr);
    // A path longer than the settings record holds is refused, never cut:
    // its first 56 characters name a device that exists.
    std::string longpath = term.tty_path();
    while (longpath.size() < 56) longpath.insert(0, "/");
    longpath += "x";
    ASSERT_GT(longpath.size(), 56u);
    tr.SetComPortName(longpath);
    EXPECT_FALSE(tr.Open());
    EXPECT_EQ(tr.GetHandle(), nullptr);

    tr.SetComPortName(term.tty_path());
    ASSERT_TRUE(tr.Open());
    PosHandle* h = tr.GetHandle();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->transport, &tr);
    EXPECT_NE(h->serial, nullptr);
    EXPECT_EQ(h->packet_timeout, 5);
    EXPECT_EQ(h->response_timeout, 40);
    // Opening again closes and reopens the line.
    ASSERT_TRUE(tr.Open());
    ASSERT_NE(tr.GetHandle(), nullptr);
    tr.Close();
    EXPECT_EQ(tr.GetHandle(), nullptr);
    tr.Close();
}

TEST(Facade, UnreachableTcpKeepsHandleUntilClose)
{
    CTransport tr;
    tr.SetType(TT_TCP);
    tr.SetRemoteIP("127.0.0.1");
    tr.SetRemotePort(support::closed_port());
    EXPECT_FALSE(tr.Open());
    PosHandle* h = tr.GetHandle();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->transport, &tr);
    EXPECT_EQ(h->serial, nullptr);
    tr.Close();
    EXPECT_EQ(tr.GetHandle(), nullptr);
    tr.Close();
}

TEST(Facade, TypeChangedWhileOpenActsOnOpenedChannel)
{
    sim::Terminal term(sim::Link::Tcp);
    CTransport tr;
    ASSERT_TRUE(support::open_to(tr, term));
    term.send_raw("xyz");
    term.start();
    // Switched to serial while the TCP channel is open: reads still come from
    // the TCP channel, and Close releases that channel, not the embedded handle.
    tr.SetType(TT_COM);
    unsigned char buf[8];
    EXPECT_EQ(tr.Read(buf, sizeof buf), 3);
    EXPECT_EQ(support::bytes(buf, 3), "xyz");
    EXPECT_EQ(pos_clear_port(tr.GetHandle()), SE_OK);
    tr.Close();
    EXPECT_EQ(tr.GetHandle(), nullptr);

    // Serial open, then switched to UDP and opened: the serial handle is
    // released first and the UDP channel takes over.
    sim::Terminal pty(sim::Link::Pty);
    tr.SetComPortName(pty.tty_path());
    ASSERT_TRUE(tr.Open());
    tr.SetType(TT_UDP);
    tr.SetRemoteIP("127.0.0.1");
    sim::Terminal udp(sim::Link::Udp);
    tr.SetRemotePort(udp.port());
    ASSERT_TRUE(tr.Open());
    EXPECT_EQ(tr.GetHandle()->serial, nullptr);
    udp.expect_frame("U", 3000);
    udp.start();
    unsigned char u = 'U';
    EXPECT_EQ(pos_write_packet(tr.GetHandle(), &u, 1), SE_OK);
    ASSERT_TRUE(udp.wait_done(3000));
    EXPECT_TRUE(udp.errors().empty());
    tr.Close();
}

}  // namespace

namespace {
TEST(Facade, DestructorReleasesOpenSerialLine)
{
    sim::Terminal term(sim::Link::Pty);
    int before = -1;
    {
        CTransport tr;
        tr.SetComPortName(term.tty_path());
        ASSERT_TRUE(tr.Open());
        before = tr.GetHandle()->serial->fd;
    }
    // The descriptor of the line was closed with the facade.
    EXPECT_EQ(fcntl(before, F_GETFD), -1);
}
}  // namespace
