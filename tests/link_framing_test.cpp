// The frame reader on real links (TCP, UDP, pseudo-terminal): frames cut at
// any byte, merged with each other and with ACK bytes, garbage, a bad check
// byte, the size cap; and the set-up of the links themselves.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ecrbridge.h"
#include "support/library_link.h"
#include "protocol/pos_handle.h"
#include "protocol/pos_link.h"
#include "transport/comport.h"
#include "support/transport_rig.h"

namespace {

const std::string kAck(1, '\x06');

class LinkFraming : public ::testing::TestWithParam<sim::Link> {
protected:
    // Reads one packet; "" with the status when it fails.
    std::string read(unsigned int* status)
    {
        unsigned int len = 0;
        *status = pos_read_packet(link.handle(), buf.data(), &len);
        return *status == SE_OK ? support::bytes(buf.data(), len) : std::string();
    }
    std::string read_ok()
    {
        unsigned int status = 0;
        const std::string m = read(&status);
        EXPECT_EQ(status, SE_OK);
        return m;
    }
    sim::Terminal term{GetParam()};
    support::LibraryLink link{term};
    std::vector<unsigned char> buf = std::vector<unsigned char>(POS_MAX_MESSAGE);
};

TEST_P(LinkFraming, FrameCutAtEveryPositionIsReadWhole)
{
    ASSERT_TRUE(link.open());
    const std::string message = sim::join_fields({"PUR12.05", "01", "57"});
    const std::string f = sim::frame(message);
    if (GetParam() == sim::Link::Udp)
        term.expect_ack();  // the terminal learns the library's address
    for (size_t cut = 1; cut < f.size(); ++cut)
        term.send_raw(f.substr(0, cut)).pause(15).send_raw(f.substr(cut));
    term.start();
    if (GetParam() == sim::Link::Udp)
        pos_link_send_ack(link.handle());
    for (size_t cut = 1; cut < f.size(); ++cut)
        EXPECT_EQ(read_ok(), message) << "cut after byte " << cut;
}

TEST_P(LinkFraming, MergedFramesAndAcksComeOutOneByOne)
{
    ASSERT_TRUE(link.open());
    if (GetParam() == sim::Link::Udp)
        term.expect_ack();
    term.send_raw(kAck + sim::frame("PUR11.") + sim::frame("SMS10.X") + kAck + std::string("\xff\x00", 2) +
                  sim::frame("PUR12.00"));
    term.start();
    if (GetParam() == sim::Link::Udp)
        pos_link_send_ack(link.handle());
    PosAckWait seen;
    EXPECT_EQ(pos_link_wait_ack(link.handle(), Deadline::in_ms(2000), PosWake::OnInterrupt, &seen), SE_OK);
    EXPECT_EQ(read_ok(), "PUR11.");
    EXPECT_EQ(read_ok(), "SMS10.X");
    EXPECT_EQ(read_ok(), "PUR12.00");
}

TEST_P(LinkFraming, BadCheckByteIsDroppedAndReadingGoesOn)
{
    ASSERT_TRUE(link.open());
    support::LogCapture log("exch", false);
    std::string bad = sim::frame("PUR12.51");
    bad.back() = static_cast<char>(bad.back() ^ 1);
    if (GetParam() == sim::Link::Udp)
        term.expect_ack();
    term.send_raw(bad).pause(200).send_frame("PUR12.05").send_raw(bad);
    term.start();
    if (GetParam() == sim::Link::Udp)
        pos_link_send_ack(link.handle());
    EXPECT_EQ(read_ok(), "PUR12.05");
    EXPECT_EQ(link.handle()->bad_frames, 1u);
    unsigned int status = 0;
    EXPECT_EQ(read(&status), "");
    EXPECT_EQ(status, SE_SYNTAX);  // nothing good before the deadline
    EXPECT_EQ(link.handle()->bad_frames, 2u);
    char text[80];
    EXPECT_EQ(ecrb_last_error_text(text, sizeof text), 0);
    EXPECT_STREQ(text, "frames with a bad check byte were received");
    // The dump shows the dropped frame whole, so a technician sees it.
    EXPECT_NE(log.text().find("Frame with a bad check byte dropped, size[11]"), std::string::npos);
}

TEST_P(LinkFraming, FrameAtTheCapIsReadAndOneByteOverIsRefused)
{
    ASSERT_TRUE(link.open());
    const std::string at_cap(POS_MAX_READ_MESSAGE, 'A');
    if (GetParam() == sim::Link::Udp)
        term.expect_ack();
    term.send_frame(at_cap).send_frame(at_cap + "B").send_frame("NEXT");
    term.start();
    if (GetParam() == sim::Link::Udp)
        pos_link_send_ack(link.handle());
    EXPECT_EQ(read_ok(), at_cap);
    buf.assign(POS_MAX_MESSAGE + 64, 0xEE);
    buf.resize(POS_MAX_MESSAGE);  // an exact-size buffer for the refused frame
    unsigned int status = 0;
    EXPECT_EQ(read(&status), "");
    EXPECT_EQ(status, SE_SIZE);
    EXPECT_EQ(read_ok(), "NEXT");  // the rest of the refused frame is skipped
}

// An approval whose images hold the control bytes (0x03 also right before
// 0x02, as a check byte taken for an STX would be).  pad is chosen so that no
// 0x03 inside happens to be followed by a right check byte: such a frame
// would end there on a stream, by the rule that the first ETX that checks
// ends a frame (with_early_check: pad chosen so that one does).
std::string image_approval(bool with_early_check = false)
{
    const std::string logo("\x03\x02\x00\x06\x15\x03\x03\x02\x02\x15\x06\x00\x03", 13);
    const std::string signature("\x00\x15\x03\x06\x02\x03\x02", 7);
    for (char pad = 'A';; ++pad) {
        const std::string m = sim::join_fields({"PUR12.00", "1", "7", "000000001234", "", "411111******1111", "",
                                                "", "000042ABC123011209", "MID" + std::string(1, pad), "", "RRN",
                                                "VISA", "T1", "", "BANK", "RECEIPT", logo, signature, ""});
        unsigned char x = 0;
        bool early = false;
        for (size_t i = 0; i + 1 < m.size(); ++i) {
            x ^= static_cast<unsigned char>(m[i]);
            early = early || (m[i] == '\x03' && (x ^ static_cast<unsigned char>(m[i + 1])) == 0);
        }
        if (early == with_early_check)
            return m;
    }
}

TEST_P(LinkFraming, ImageBytesNeverEndAnApprovalCutAnywhereAndMerged)
{
    ASSERT_TRUE(link.open());
    const std::string approval = image_approval();
    const std::string f = sim::frame(approval);
    const std::string next = sim::frame("PUR13.");
    // A frame that never checks: 20,000 bytes ending in 0x03 with no check
    // byte; the STX of the real answer right after it is not its check byte.
    const std::string garbage = "\x02" + std::string(20000, 'G') + "\x03";
    if (GetParam() == sim::Link::Udp)
        term.expect_ack();
    for (size_t cut = 1; cut < f.size(); ++cut)
        term.send_raw(f.substr(0, cut)).pause(10).send_raw(f.substr(cut) + next);
    term.send_raw(garbage).pause(10).send_raw(f);
    // A datagram is a frame, even where a 0x03 inside is followed by a
    // byte that checks (on a stream the first ETX that checks ends a frame).
    const std::string early = image_approval(true);
    if (GetParam() == sim::Link::Udp)
        term.send_raw(sim::frame(early));
    term.start();
    if (GetParam() == sim::Link::Udp)
        pos_link_send_ack(link.handle());
    for (size_t cut = 1; cut < f.size(); ++cut) {
        EXPECT_EQ(read_ok(), approval) << "cut after byte " << cut;
        EXPECT_EQ(read_ok(), "PUR13.") << "cut after byte " << cut;
    }
    EXPECT_EQ(link.handle()->bad_frames, 0u);
    buf.resize(POS_MAX_RESPONSE);
    unsigned int len = 0;
    ASSERT_EQ(pos_link_read_frame(link.handle(), buf.data(), POS_MAX_RESPONSE, &len, Deadline::in_ms(3000)), SE_OK);
    EXPECT_EQ(support::bytes(buf.data(), len), approval);
    EXPECT_EQ(link.handle()->bad_frames, 1u);  // the garbage, dumped and counted
    if (GetParam() == sim::Link::Udp) {
        EXPECT_EQ(read_ok(), early);
    }
}

INSTANTIATE_TEST_SUITE_P(Links, LinkFraming, ECR_ALL_LINKS, support::LinkParamName());

// ---- set-up of the links ----

TEST(LinkSetup, SerialLineIsLocalAndHeldExclusively)
{
    sim::Terminal term(sim::Link::Pty);
    const std::string path = term.tty_path();
    _comport_handle* first = nullptr;
    ASSERT_EQ(comport_open(&first, path.c_str(), 115200, 7, 2, 0), SE_OK);
    termios tty{};
    ASSERT_EQ(tcgetattr(first->fd, &tty), 0);
    EXPECT_NE(tty.c_cflag & CLOCAL, 0u);

    _comport_handle* second = nullptr;
    EXPECT_EQ(comport_open(&second, path.c_str(), 115200, 7, 2, 0), SE_OPEN);
    EXPECT_EQ(second, nullptr);
    char text[160];
    EXPECT_EQ(ecrb_last_error_text(text, sizeof text), 0);
    EXPECT_EQ(std::string(text).find("open " + path + ": in use by another process"), 0u) << text;

    comport_close(first);
    ASSERT_EQ(comport_open(&second, path.c_str(), 115200, 7, 2, 0), SE_OK)
        << (ecrb_last_error_text(text, sizeof text), text);
    comport_close(second);
}

// A listener that never accepts, its queue full: further connects hang.
TEST(LinkSetup, ConnectToABlackholeFailsWithinTheConnectTimeOut)
{
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    ASSERT_EQ(listen(listener, 0), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(fd);
    }
    Sleep(100);

    CTransport tr;
    tr.SetType(TT_TCP);
    tr.SetRemoteIP("127.0.0.1");
    tr.SetRemotePort(ntohs(a.sin_port));
    const uint64_t t0 = GetTickCount();
    EXPECT_FALSE(tr.Open());
    const uint64_t took = GetTickCount() - t0;
    EXPECT_GE(took, 4900u);
    EXPECT_LT(took, 6000u);
    char text[160];
    EXPECT_EQ(ecrb_last_error_text(text, sizeof text), 0);
    EXPECT_EQ(std::string(text), "connect to 127.0.0.1:" + std::to_string(ntohs(a.sin_port)) +
                                     ": Connection timed out");
    // Cut to fit: the first bytes and the terminator.
    EXPECT_EQ(ecrb_last_error_text(text, 8), 1);
    EXPECT_STREQ(text, "connect");
    EXPECT_EQ(ecrb_last_error_text(nullptr, 8), -1);
    tr.Close();
    for (int fd : fillers)
        close(fd);
    close(listener);
}

TEST(LinkSetup, FailedUdpBindLeavesNoUsableChannel)
{
    sim::Terminal term(sim::Link::Udp);
    CTransport tr;
    tr.SetType(TT_UDP);
    tr.SetRemoteIP("127.0.0.1");
    tr.SetRemotePort(term.port());
    tr.SetBindIP("192.0.2.1");  // not an address of this host
    tr.SetBindPort(0);
    EXPECT_FALSE(tr.Open());
    const unsigned char a = 'A';
    EXPECT_EQ(tr.Write(&a, 1), 0);  // nothing goes out from some other port
    char text[160];
    ecrb_last_error_text(text, sizeof text);
    EXPECT_EQ(std::string(text), "bind to 192.0.2.1:0: Cannot assign requested address");
    tr.Close();
}

}  // namespace
