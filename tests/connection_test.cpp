// Opening and closing the terminal link through the ECR object and the exports.
#include <gtest/gtest.h>

#include <cctype>

#include <string>

#include "VarkoClass2017/VarkoClass2017.h"
#include "ecrbridge.h"
#include "ecrbridge/instance.h"
#include "support/transport_rig.h"

namespace {

TEST(ConnectionMember, PosOpenAgainstTerminalAndUnreachable)
{
    sim::Terminal term(sim::Link::Tcp);
    CVarkoClass2017* ecr = GetInstanse();
    ASSERT_EQ(ecr->put_TransportType(2), 0);
    char ip[] = "127.0.0.1";
    ecr->put_PosIP(ip);
    ecr->put_PosPort(term.port());
    unsigned long value = 77;
    EXPECT_EQ(ecr->PosOpen(0, &value), 0);
    EXPECT_EQ(value, 0u);
    EXPECT_NE(ecr->m_Transport.GetHandle(), nullptr);
    // The link really is up: a frame reaches the terminal.
    term.expect_frame("Z", 3000);
    term.start();
    unsigned char z = 'Z';
    EXPECT_EQ(pos_write_packet(ecr->m_Transport.GetHandle(), &z, 1), SE_OK);
    EXPECT_TRUE(term.wait_done(3000));
    EXPECT_TRUE(term.errors().empty());
    EXPECT_EQ(ecr->PosClose(), 0);
    EXPECT_EQ(ecr->m_Transport.GetHandle(), nullptr);

    ecr->put_PosPort(static_cast<unsigned short>(support::closed_port()));
    value = 77;
    EXPECT_EQ(ecr->PosOpen(0, &value), 1);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(ecr->PosOpen(0, nullptr), 1);
    EXPECT_EQ(ecr->CommClose(), 0);
}

TEST(ConnectionMember, SerialDeviceFromUnixTty)
{
    sim::Terminal term(sim::Link::Pty);
    CVarkoClass2017* ecr = GetInstanse();
    ecr->put_TransportType(0);
    std::string path = term.tty_path();
    ecr->put_UnixTTY(&path[0]);
    unsigned long value = 77;
    EXPECT_EQ(ecr->PosOpen(3, &value), 0);
    EXPECT_EQ(value, 0u);
    ASSERT_NE(ecr->m_Transport.GetHandle(), nullptr);
    EXPECT_NE(ecr->m_Transport.GetHandle()->serial, nullptr);
    EXPECT_EQ(ecr->PosClose(), 0);
    char missing[] = "/dev/no-such-serial-device";
    ecr->put_UnixTTY(missing);
    EXPECT_EQ(ecr->PosOpen(3, &value), 1);
    EXPECT_EQ(value, 1u);
}

TEST(ConnectionExport, PosOpenAndClose)
{
    sim::Terminal term(sim::Link::Tcp);
    CVarkoClass2017* ecr = GetInstanse();
    ecr->put_TransportType(2);
    char ip[] = "127.0.0.1";
    ecr->put_PosIP(ip);
    ecr->put_PosPort(term.port());
    EXPECT_EQ(::PosOpen(0), 0);
    EXPECT_EQ(::PosClose(), 0);
    EXPECT_EQ(ecr->m_Transport.GetHandle(), nullptr);
    ecr->put_PosPort(static_cast<unsigned short>(support::closed_port()));
    EXPECT_EQ(::PosOpen(0), 1);
    EXPECT_EQ(::PosClose(), 0);
    EXPECT_EQ(::PosClose(), 0);
}

// The address is read at PosOpen: a host name is resolved, anything that is
// neither a dotted IPv4 address nor a name fails the open, naming the text,
// and nothing is ever sent to the broadcast address.
TEST(ConnectionExport, AddressesAreResolvedOrNamedAtOpen)
{
    sim::Terminal term(sim::Link::Tcp);
    ::put_TransportType(2);
    ::put_PosPort(term.port());
    const struct {
        const char* address;
        const char* error;  // "" when the open succeeds
    } cases[] = {
        {"localhost", ""},
        {" 127.0.0.1 ", ""},
        {"999.1.1.1", "bad terminal address \"999.1.1.1\": not a dotted IPv4 address"},
        {"1.2.3", "bad terminal address \"1.2.3\": not a dotted IPv4 address"},
        {"255.255.255.255", "bad terminal address \"255.255.255.255\": not the address of one host"},
        {"nohost.invalid", "cannot resolve \"nohost.invalid\": "},  // put_PosIP keeps 15 characters
    };
    for (const auto& c : cases) {
#if defined(__SANITIZE_THREAD__)
        // Host names are resolved by a thread the C library starts itself,
        // which ThreadSanitizer cannot follow; dotted addresses are checked.
        if (std::isalpha(static_cast<unsigned char>(c.address[0])))
            continue;
#endif
        std::string text = c.address;
        ::put_PosIP(&text[0]);
        const int opened = ::PosOpen(0);
        char why[256] = {0};
        ASSERT_EQ(ecrb_last_error_text(why, sizeof why), 0);
        EXPECT_EQ(opened, c.error[0] == '\0' ? 0 : 1) << c.address << ": " << why;
        EXPECT_EQ(std::string(why).rfind(c.error, 0), 0u) << c.address << ": " << why;
        ::PosClose();
    }
}

TEST(ConnectionExport, CommOpenTcp)
{
    EXPECT_EQ(::CommOpenTCP(nullptr, 2000), -1);
    sim::Terminal term(sim::Link::Tcp);
    char ip[] = "127.0.0.1";
    EXPECT_EQ(::CommOpenTCP(ip, static_cast<short>(term.port())), 0);
    CVarkoClass2017* ecr = GetInstanse();
    EXPECT_EQ(ecr->m_Transport.GetType(), TT_TCP);
    EXPECT_EQ(ecr->m_Transport.GetRemotePort(), term.port());
    EXPECT_EQ(::CommClose(), 0);
    EXPECT_EQ(ecr->m_Transport.GetHandle(), nullptr);
    EXPECT_EQ(::CommOpenTCP(ip, static_cast<short>(support::closed_port())), 1);
    EXPECT_EQ(::CommClose(), 0);
}

TEST(ConnectionExport, CommOpenTcpPortZeroMeansDefault)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(2000);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 1) != 0) {
        close(fd);
        GTEST_SKIP() << "port 2000 on loopback is in use here";
    }
    char ip[] = "127.0.0.1";
    EXPECT_EQ(::CommOpenTCP(ip, 0), 0);
    EXPECT_EQ(GetInstanse()->m_Transport.GetRemotePort(), 2000);
    int conn = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    EXPECT_GE(conn, 0);
    EXPECT_EQ(::CommClose(), 0);
    if (conn >= 0) close(conn);
    close(fd);
}

}  // namespace
