// Framing and packet I/O over real links to the simulated terminal.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "protocol/pos_handle.h"
#include "transport/comport.h"
#include "support/transport_rig.h"

namespace {

struct Param {
    sim::Link link;
    const char* name;
};

class PacketRead : public ::testing::TestWithParam<Param> {};

TEST_P(PacketRead, ReadsOneCharacterFrame)
{
    sim::Terminal term(GetParam().link);
    CTransport tr;
    ASSERT_TRUE(support::open_to(tr, term));
    term.pause(50).send_raw(std::string("\x02\x41\x03\x42", 4));
    term.start();
    std::vector<unsigned char> buf(POS_MAX_MESSAGE, 0xEE);
    unsigned int len = 16384;
    if (GetParam().link == sim::Link::Udp) {
        unsigned char hello = ACK;  // the terminal answers the last sender
        ASSERT_EQ(tr.Write(&hello, 1), 1);
    }
    ASSERT_EQ(pos_read_packet(tr.GetHandle(), buf.data(), &len), SE_OK);
    EXPECT_EQ(len, 1u);
    EXPECT_EQ(buf[0], 0x41);
    tr.Close();
}

TEST_P(PacketRead, WrongCheckByteIsSyntaxError)
{
    sim::Terminal term(GetParam().link);
    CTransport tr;
    ASSERT_TRUE(support::open_to(tr, term));
    term.pause(50).send_raw(std::string("\x02\x41\x03\x43", 4));
    term.start();
    if (GetParam().link == sim::Link::Udp) {
        unsigned char hello = ACK;
        ASSERT_EQ(tr.Write(&hello, 1), 1);
    }
    std::vector<unsigned char> buf(POS_MAX_MESSAGE);
    unsigned int len = 77;
    EXPECT_EQ(pos_read_packet(tr.GetHandle(), buf.data(), &len), SE_SYNTAX);
    EXPECT_EQ(len, 77u);
    tr.Close();
}

INSTANTIATE_TEST_SUITE_P(Links, PacketRead,
                         ::testing::Values(Param{sim::Link::Pty, "serial"}, Param{sim::Link::Tcp, "tcp"},
                                           Param{sim::Link::Udp, "udp"}),
                         [](const ::testing::TestParamInfo<Param>& i) { return std::string(i.param.name); });

TEST(PacketReadSerial, SkipsBytesBeforeStx)
{
    sim::Terminal term(sim::Link::Pty);
    CTransport tr;
    ASSERT_TRUE(support::open_to(tr, term));
    term.send_raw("xy\x06z" + sim::frame("PUR12.OK"));
    term.start();
    std::vector<unsigned char> buf(POS_MAX_MESSAGE);
    unsigned int len = 0;
    ASSERT_EQ(pos_read_packet(tr.GetHandle(), buf.data(), &len), SE_OK);
    EXPECT_EQ(support::bytes(buf.data(), len), "PUR12.OK");
    tr.Close();
}

TEST(PacketReadSerial, EmptyMessageHasLengthZero)
{
    sim::Terminal term(sim::Link::Pty);
    CTransport tr;
    ASSERT_TRUE(support::open_to(tr, term));
    term.send_raw(std::string("\x02\x03\x03", 3));
    term.start();
    std::vector<unsigned char> buf(POS_MAX_MESSAGE);
    unsigned int len = 99;
    ASSERT_EQ(pos_read_packet(tr.GetHandle(), buf.data(), &len), SE_OK);
    EXPECT_EQ(len, 0u);
    tr.Close();
}

TEST(PacketReadSerial, ReadsOnlyOneFrameOfTwo)
{
    sim::Terminal term(sim::Link::Pty);
    CTransport tr;
    ASSERT_TRUE(support::open_to(tr, term));
    term.send_raw(sim::frame("AB") + sim::frame("CDE"));
    term.start();
    std::vector<unsigned char> buf(POS_MAX_MESSAGE);
    unsigned int len = 0;
    ASSERT_EQ(pos_read_packet(tr.GetHandle(), buf.data(), &len), SE_OK);
    EXPECT_EQ(support::bytes(buf.data(), len), "AB");
    ASSERT_EQ(pos_read_packet(tr.GetHandle(), buf.data(), &len), SE_OK);
    EXPECT_EQ(support::bytes(buf.data(), len), "CDE");
    tr.Close();
}

TEST(PacketReadSerial, TooLongFrameIsSizeError)
{
    sim::Terminal term(sim::Link::Pty);
    CTransport tr;
    ASSERT_TRUE(support::open_to(tr, term));
    term.send_raw("\x02" + std::string(16384, 'A'));
    term.start();
    std::vector<unsigned char> buf(POS_MAX_MESSAGE);
    unsigned int len = 5;
    EXPECT_EQ(pos_read_packet(tr.GetHandle(), buf.data(), &len), SE_SIZE);
    EXPECT_EQ(len, 5u);
    tr.Close();
    term.wait_done(5000);
}

TEST(PacketReadSocket, AckBeforeFrameInOneBurstIsSkipped)
{
    sim::Terminal term(sim::Link::Tcp);
    CTransport tr;
    ASSERT_TRUE(support::open_to(tr, term));
    term.send_raw("\x06" + sim::frame("PUR12.X"));
    term.start();
    std::vector<unsigned char> buf(POS_MAX_MESSAGE);
    unsigned int len = 0;
    ASSERT_EQ(pos_read_packet(tr.GetHandle(), buf.data(), &len), SE_OK);
    EXPECT_EQ(support::bytes(buf.data(), len), "PUR12.X");
    tr.Close();
}

TEST(PacketReadSocket, FrameThatNeverEndsIsReadErrorAfterThePacketTimeOut)
{
    // STX alone passes the check of zero bytes; it must not give a length of -2.
    sim::Terminal term(sim::Link::Tcp);
    CTransport tr;
    ASSERT_TRUE(support::open_to(tr, term));
    pos_set_timeouts(tr.GetHandle(), 1, 40);
    term.send_raw("\x02").pause(300).send_raw(std::string("\x02\x00", 2));
    term.start();
    std::vector<unsigned char> buf(POS_MAX_MESSAGE);
    unsigned int len = 7;
    const uint64_t t0 = GetTickCount();
    EXPECT_EQ(pos_read_packet(tr.GetHandle(), buf.data(), &len), SE_READ);
    const uint64_t took = GetTickCount() - t0;
    EXPECT_GE(took, 1000u);
    EXPECT_LT(took, 2500u);
    EXPECT_EQ(len, 7u);
    tr.Close();
}

TEST(PacketReadSocket, ClosedPeerGivesFail)
{
    sim::Terminal term(sim::Link::Tcp);
    CTransport tr;
    ASSERT_TRUE(support::open_to(tr, term));
    term.close_link();
    term.start();
    ASSERT_TRUE(term.wait_done(5000));
    std::vector<unsigned char> buf(POS_MAX_MESSAGE);
    unsigned int len = 0;
    EXPECT_EQ(pos_read_packet(tr.GetHandle(), buf.data(), &len), SE_FAIL);
    tr.Close();
}

TEST(PacketWrite, LargestMessageGoesOutAsOneFrame)
{
    sim::Terminal term(sim::Link::Tcp);
    CTransport tr;
    ASSERT_TRUE(support::open_to(tr, term));
    std::string msg(16384, 'M');
    for (size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<char>('0' + i % 40);
    std::string seen;
    term.step([&seen](sim::Terminal& t) {
        uint64_t deadline = GetTickCount() + 5000;
        while (seen.size() < 16387 && GetTickCount() < deadline) seen += t.read_bytes(200);
    });
    term.start();
    std::vector<unsigned char> m(msg.begin(), msg.end());
    EXPECT_EQ(pos_write_packet(tr.GetHandle(), m.data(), 16384), SE_OK);
    ASSERT_TRUE(term.wait_done(5000));
    EXPECT_EQ(seen.size(), 16387u);
    EXPECT_EQ(seen, sim::frame(msg));
    tr.Close();
}

TEST(PacketWrite, OneCharacterFrameOnSerialLine)
{
    sim::Terminal term(sim::Link::Pty);
    CTransport tr;
    ASSERT_TRUE(support::open_to(tr, term));
    std::string seen;
    term.step([&seen](sim::Terminal& t) { seen = t.read_bytes(3000); });
    term.start();
    unsigned char a = 'A';
    EXPECT_EQ(pos_write_packet(tr.GetHandle(), &a, 1), SE_OK);
    ASSERT_TRUE(term.wait_done(5000));
    EXPECT_EQ(seen, std::string("\x02\x41\x03\x42", 4));
    tr.Close();
}

TEST(PacketWrite, BadLengthsSendNothing)
{
    sim::Terminal term(sim::Link::Tcp);
    CTransport tr;
    ASSERT_TRUE(support::open_to(tr, term));
    std::vector<unsigned char> m(16385, 'x');
    EXPECT_EQ(pos_write_packet(tr.GetHandle(), m.data(), 16385), SE_PARAM);
    EXPECT_EQ(pos_write_packet(tr.GetHandle(), m.data(), 0), SE_PARAM);
    EXPECT_EQ(pos_write_packet(tr.GetHandle(), nullptr, 3), SE_PARAM);
    EXPECT_EQ(pos_write_packet(nullptr, m.data(), 3), SE_PARAM);
    std::string seen = "unset";
    term.step([&seen](sim::Terminal& t) { seen = t.read_bytes(300); });
    term.start();
    ASSERT_TRUE(term.wait_done(5000));
    EXPECT_EQ(seen, "");
    tr.Close();
}

TEST(PosHandleCalls, NullArgumentsAndTimeouts)
{
    unsigned char buf[4];
    unsigned int len = 0;
    EXPECT_EQ(pos_read_packet(nullptr, buf, &len), SE_PARAM);
    EXPECT_EQ(pos_open(nullptr, nullptr), SE_PARAM);
    EXPECT_EQ(pos_close(nullptr), SE_PARAM);
    EXPECT_EQ(pos_set_timeouts(nullptr, 1, 1), SE_PARAM);
    EXPECT_EQ(pos_clear_port(nullptr), SE_PARAM);

    sim::Terminal term(sim::Link::Tcp);
    CTransport tr;
    ASSERT_TRUE(support::open_to(tr, term));
    PosHandle* h = tr.GetHandle();
    EXPECT_EQ(h->packet_timeout, 5);
    EXPECT_EQ(h->response_timeout, 40);
    EXPECT_EQ(pos_set_timeouts(h, 7, 120), SE_OK);
    EXPECT_EQ(h->packet_timeout, 7);
    EXPECT_EQ(h->response_timeout, 120);
    EXPECT_EQ(pos_set_timeouts(h, 0, 0), SE_OK);
    EXPECT_EQ(h->packet_timeout, 5);
    EXPECT_EQ(h->response_timeout, 40);
    EXPECT_EQ(pos_read_packet(h, nullptr, &len), SE_PARAM);
    EXPECT_EQ(pos_read_packet(h, buf, nullptr), SE_PARAM);
    // A socket handle has no serial line to flush.
    EXPECT_EQ(pos_clear_port(h), SE_OK);
    tr.Close();
}

TEST(PosHandleCalls, OpenOfSerialDevice)
{
    sim::Terminal term(sim::Link::Pty);
    _comport_context settings;
    ASSERT_TRUE(settings.SetDevice(term.tty_path()));
    settings.baud_rate = 115200;
    settings.data_bits = 7;
    settings.parity = 2;
    PosHandle* h = reinterpret_cast<PosHandle*>(0x1);
    ASSERT_EQ(pos_open(&h, &settings), SE_OK);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->open, 1);
    EXPECT_NE(h->serial, nullptr);
    EXPECT_EQ(h->packet_timeout, 5);
    EXPECT_EQ(h->response_timeout, 30);
    EXPECT_EQ(pos_clear_port(h), SE_OK);
    EXPECT_EQ(pos_close(h), SE_OK);

    ASSERT_TRUE(settings.SetDevice("/dev/does-not-exist-ecr"));
    h = reinterpret_cast<PosHandle*>(0x1);
    EXPECT_EQ(pos_open(&h, &settings), SE_OPEN);
    EXPECT_EQ(h, nullptr);
}

}  // namespace
