#include "ecrsim/link.h"

#include "compat/compat.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace ecrsim {

namespace {

// While the pseudo-terminal has no slave open, look again after this long.
constexpr int kHangupPollMs = 20;
// How long a write may wait for the link to take more bytes.
constexpr int kWriteWaitMs = 5000;

bool parse_ipv4(const std::string& host, in_addr* out)
{
    const std::string h = host == "localhost" ? "127.0.0.1" : host;
    return inet_pton(AF_INET, h.c_str(), out) == 1;
}

}  // namespace

std::unique_ptr<ServerLink> ServerLink::open(LinkKind kind, const std::string& host, uint16_t port,
                                             std::string* error)
{
    std::unique_ptr<ServerLink> link(new ServerLink);
    link->m_kind = kind;
    link->m_host = host.empty() ? "127.0.0.1" : host;
    if (kind == LinkKind::Pty) {
        int master = -1, slave = -1;
        char name[256] = {0};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
            *error = std::string("openpty: ") + strerror(errno);
            return nullptr;
        }
        termios t{};
        if (tcgetattr(master, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(master, TCSANOW, &t);
        }
        if (tcgetattr(slave, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(slave, TCSANOW, &t);
        }
        close(slave);  // the cash register opens the slave by its path
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        link->m_fd = master;
        link->m_tty = name;
        return link;
    }

    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (!parse_ipv4(link->m_host, &a.sin_addr)) {
        *error = "not an IPv4 address: " + link->m_host;
        return nullptr;
    }
    const int type = kind == LinkKind::Tcp ? SOCK_STREAM : SOCK_DGRAM;
    int fd = socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + strerror(errno);
        return nullptr;
    }
    // Only a TCP listener reuses its address (past TIME_WAIT); on UDP the
    // option would let two simulators share one port without an error.
    if (kind == LinkKind::Tcp) {
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        *error = "bind " + link->m_host + ":" + std::to_string(port) + ": " + strerror(errno);
        close(fd);
        return nullptr;
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    link->m_port = ntohs(a.sin_port);
    if (kind == LinkKind::Tcp) {
        if (listen(fd, 4) != 0) {
            *error = std::string("listen: ") + strerror(errno);
            close(fd);
            return nullptr;
        }
        link->m_listen = fd;
    } else {
        link->m_fd = fd;
    }
    return link;
}

ServerLink::~ServerLink()
{
    if (m_fd >= 0)
        close(m_fd);
    if (m_listen >= 0)
        close(m_listen);
}

std::string ServerLink::describe() const
{
    switch (m_kind) {
    case LinkKind::Tcp:
        return "tcp " + m_host + ":" + std::to_string(m_port);
    case LinkKind::Udp:
        return "udp " + m_host + ":" + std::to_string(m_port);
    case LinkKind::Pty:
        break;
    }
    return "pty " + m_tty;
}

bool ServerLink::wait_peer(int timeout_ms, const std::atomic<bool>* stop)
{
    if (m_kind != LinkKind::Tcp)
        return true;
    if (m_fd >= 0)
        return true;
    const uint64_t deadline = GetTickCount() + static_cast<uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
        if (stop != nullptr && stop->load())
            return false;
        int wait = 100;
        if (timeout_ms >= 0) {
            const uint64_t now = GetTickCount();
            if (now >= deadline)
                return false;
            if (deadline - now < 100)
                wait = static_cast<int>(deadline - now);
        }
        pollfd p{m_listen, POLLIN, 0};
        if (poll(&p, 1, wait) > 0 && (p.revents & POLLIN)) {
            int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) {
                m_fd = fd;
                return true;
            }
        }
    }
}

void ServerLink::drop_peer()
{
    if (m_kind == LinkKind::Tcp && m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}

bool ServerLink::write_bytes(const std::string& bytes)
{
    if (m_fd < 0)
        return false;
    if (m_kind == LinkKind::Udp) {
        if (!m_have_peer)
            return false;  // nobody has spoken to the terminal yet
        sockaddr_in to{};
        std::memcpy(&to, m_peer, sizeof to);
        ssize_t r = sendto(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to),
                           sizeof to);
        return r == static_cast<ssize_t>(bytes.size());
    }
    size_t done = 0;
    const uint64_t deadline = GetTickCount() + kWriteWaitMs;
    while (done < bytes.size()) {
        ssize_t r = m_kind == LinkKind::Tcp
                        ? send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT)
                        : write(m_fd, bytes.data() + done, bytes.size() - done);
        if (r > 0) {
            done += static_cast<size_t>(r);
            continue;
        }
        if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        const uint64_t now = GetTickCount();
        if (now >= deadline)
            return false;
        pollfd p{m_fd, POLLOUT, 0};
        poll(&p, 1, static_cast<int>(deadline - now));
    }
    return true;
}

int ServerLink::read_some(char* buf, size_t max, int timeout_ms)
{
    if (m_fd < 0)
        return -1;
    const uint64_t deadline = GetTickCount() + static_cast<uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
        const uint64_t now = GetTickCount();
        int wait = now >= deadline ? 0 : static_cast<int>(deadline - now);
        if (m_kind == LinkKind::Pty) {
            // With no slave open the master reports a hang-up at once.
            pollfd probe{m_fd, POLLIN, 0};
            if (poll(&probe, 1, 0) >= 0 && (probe.revents & POLLHUP) && !(probe.revents & POLLIN)) {
                if (m_slave_seen) {
                    m_slave_seen = false;
                    return -1;
                }
                if (wait == 0)
                    return 0;
                Sleep(static_cast<unsigned>(wait < kHangupPollMs ? wait : kHangupPollMs));
                continue;
            }
            m_slave_seen = true;
        }
        pollfd p{m_fd, POLLIN, 0};
        int ready = poll(&p, 1, wait);
        if (ready < 0 && errno != EINTR)
            return -1;
        if (ready > 0) {
            ssize_t r;
            if (m_kind == LinkKind::Udp) {
                sockaddr_in from{};
                socklen_t len = sizeof from;
                r = recvfrom(m_fd, buf, max, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
                if (r > 0) {
                    std::memcpy(m_peer, &from, sizeof from);
                    m_have_peer = true;
                }
            } else if (m_kind == LinkKind::Tcp) {
                r = recv(m_fd, buf, max, MSG_DONTWAIT);
                if (r == 0)
                    return -1;
            } else {
                r = read(m_fd, buf, max);
            }
            if (r > 0)
                return static_cast<int>(r);
            if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                if (m_kind == LinkKind::Tcp)
                    return -1;
                if (m_kind == LinkKind::Pty && m_slave_seen) {  // EIO once the slave is closed
                    m_slave_seen = false;
                    return -1;
                }
            }
        }
        if (GetTickCount() >= deadline)
            return 0;
    }
}

}  // namespace ecrsim
