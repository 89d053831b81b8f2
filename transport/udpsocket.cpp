// TCP and UDP channels to the terminal.
#include "transport/udpsocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <new>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "Logging/log.h"
#include "compat/compat.h"
#include "protocol/channel.h"
#include "protocol/link_error.h"
#include "transport/poll_wait.h"

namespace {

// A terminal that writes its ACK byte and its answer in two writes holds the
// answer back (Nagle's rule) until we acknowledge the ACK byte, which the
// kernel would delay by up to 40 ms: a stream acknowledges at once.  The
// setting does not last, so it is renewed after every read.  Our own frames
// go out at once too.
void stream_acks_at_once(int fd, bool connected)
{
    const int one = 1;
    if (connected)
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

// When the terminal has closed the connection every call fails at once; the
// callers wait out their deadlines by calling again, so each such call first
// rests this long to keep those loops from spinning.
constexpr unsigned kPeerGoneBackoffMs = 100;

timeval to_timeval(int ms)
{
    timeval tv{};
    if (ms >= 1000) {
        tv.tv_sec = ms / 1000;
        tv.tv_usec = 0;
    } else {
        tv.tv_sec = 0;
        tv.tv_usec = ms * 1000;
    }
    return tv;
}

void set_address(sockaddr_in& addr, const char* address, int port)
{
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = inet_addr(address != nullptr ? address : "");
    addr.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
}

// A host name: the resolver runs on its own thread, waited for at most
// timeout_ms.  A lookup that cannot be cancelled keeps its record (a few
// hundred bytes, once per such open) since the resolver still writes it.
bool lookup_host(const char* text, int timeout_ms, in_addr* out)
{
    struct Lookup {
        gaicb cb{};
        addrinfo hints{};
        char name[256];
    };
    Lookup* l = new (std::nothrow) Lookup;
    if (l == nullptr) {
        link_error_set("cannot resolve \"%s\": out of memory", text);
        return false;
    }
    std::snprintf(l->name, sizeof l->name, "%s", text);
    l->hints.ai_family = AF_INET;
    l->hints.ai_socktype = SOCK_STREAM;
    l->cb.ar_name = l->name;
    l->cb.ar_request = &l->hints;
    gaicb* list[1] = {&l->cb};
    int rc = getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr);
    if (rc == 0) {
        const uint64_t deadline = GetTickCount() + static_cast<uint64_t>(timeout_ms);
        while ((rc = gai_error(&l->cb)) == EAI_INPROGRESS) {
            const uint64_t now = GetTickCount();
            if (now >= deadline)
                break;
            const uint64_t left = deadline - now;
            const timespec wait{static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000L};
            gai_suspend(list, 1, &wait);
        }
        if (rc == EAI_INPROGRESS) {
            link_error_set("cannot resolve \"%s\" within %d s", text, timeout_ms / 1000);
            if (gai_cancel(&l->cb) == EAI_NOTCANCELED)
                return false;  // the resolver still writes the record: it stays
            if (gai_error(&l->cb) == 0 && l->cb.ar_result != nullptr)
                freeaddrinfo(l->cb.ar_result);
            delete l;
            return false;
        }
    }
    const bool ok = rc == 0 && l->cb.ar_result != nullptr;
    if (ok)
        *out = reinterpret_cast<const sockaddr_in*>(l->cb.ar_result->ai_addr)->sin_addr;
    else
        link_error_set("cannot resolve \"%s\": %s", text, gai_strerror(rc));
    if (l->cb.ar_result != nullptr)
        freeaddrinfo(l->cb.ar_result);
    delete l;
    return ok;
}

// The terminal's address as the application gave it: a dotted IPv4 address
// (blanks around it are ignored) or a host name, resolved here within
// timeout_ms.  Anything else fails with the link error naming the text:
// inet_addr would have read "999.1.1.1" or "localhost" as 255.255.255.255
// and "1.2.3" as 1.2.0.3.
bool resolve_remote(const char* address, int timeout_ms, in_addr* out)
{
    char text[256];
    const char* from = address != nullptr ? address : "";
    while (*from == ' ' || *from == '\t')
        ++from;
    std::snprintf(text, sizeof text, "%s", from);
    for (size_t n = std::strlen(text); n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\t' || text[n - 1] == '\n');)
        text[--n] = '\0';
    if (text[0] == '\0') {
        link_error_set("no terminal address was given");
        return false;
    }
    if (inet_pton(AF_INET, text, out) == 1) {
        // (0.0.0.0 is refused by Connect, with its record.)
        if (out->s_addr == htonl(INADDR_BROADCAST)) {
            link_error_set("bad terminal address \"%s\": not the address of one host", text);
            return false;
        }
        return true;
    }
    if (std::strspn(text, "0123456789.") == std::strlen(text)) {
        link_error_set("bad terminal address \"%s\": not a dotted IPv4 address", text);
        return false;
    }
    return lookup_host(text, timeout_ms, out);
}

bool peer_gone(int err)
{
    return err == EPIPE || err == ECONNRESET || err == ENOTCONN || err == ESHUTDOWN;
}

// What a failed receive says of the terminal: gone, or No for another error.
LinkGone gone_by(int err)
{
    switch (err) {
    case ECONNRESET:
        return LinkGone::Reset;
    case ECONNREFUSED:
        return LinkGone::Refused;
    case EPIPE:
    case ENOTCONN:
    case ESHUTDOWN:
        return LinkGone::Closed;
    default:
        return LinkGone::No;
    }
}

// The link is dead: its text is the link error, the caller stops waiting.
int dead(LinkGone why)
{
    link_error_set("%s", link_gone_text(why));
    return PosChannel::gone(why);
}

const char* dotted(const sockaddr_in& a, char* text, socklen_t size)
{
    if (inet_ntop(AF_INET, &a.sin_addr, text, size) == nullptr)
        std::snprintf(text, size, "?");
    return text;
}

}  // namespace

template <int SockType, int Protocol, int Family>
CTSocket<SockType, Protocol, Family>::CTSocket() : m_socket(-1), m_remote{}, m_local{}, m_timeout(30000)
{
}

template <int SockType, int Protocol, int Family>
CTSocket<SockType, Protocol, Family>::~CTSocket()
{
    Close();
}

template <int SockType, int Protocol, int Family>
void CTSocket<SockType, Protocol, Family>::SetRemoteAddress(const char* address, int port)
{
    std::memset(&m_remote, 0, sizeof m_remote);
    m_remote.sin_family = AF_INET;
    m_remote.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
    m_remoteOk = resolve_remote(address, kConnectTimeoutMs, &m_remote.sin_addr);
}

template <int SockType, int Protocol, int Family>
void CTSocket<SockType, Protocol, Family>::SetLocalAddress(const char* address, int port)
{
    std::memset(&m_local, 0, sizeof m_local);
    if (address != nullptr && address[0] != '\0')
        set_address(m_local, address, port);
}

template <int SockType, int Protocol, int Family>
bool CTSocket<SockType, Protocol, Family>::Open()
{
    Close();
    if (!m_remoteOk)
        return false;  // the link error names the address
    m_socket = socket(Family, SockType | SOCK_CLOEXEC, Protocol);
    if (m_socket < 0) {
        m_socket = -1;
        return false;
    }
    if (m_local.sin_family != 0 && m_local.sin_addr.s_addr != htonl(INADDR_ANY)) {
        if (bind(m_socket, reinterpret_cast<const sockaddr*>(&m_local), sizeof m_local) != 0) {
            int err = errno;
            LOGREC(LOG_ERROR) << "ERRROR:Cannot bind socket error[" << err << "]";
            char text[INET_ADDRSTRLEN];
            link_error_set("bind to %s:%u: %s", dotted(m_local, text, sizeof text), ntohs(m_local.sin_port),
                           std::strerror(err));
            Close();
            return false;
        }
    }
    if (Connect())
        return true;
    Close();
    return false;
}

template <int SockType, int Protocol, int Family>
bool CTSocket<SockType, Protocol, Family>::Connect()
{
    int err = 0;
    if (m_socket == -1) {
        err = EBADF;
    } else if (m_remote.sin_addr.s_addr == htonl(INADDR_ANY)) {
        err = EADDRNOTAVAIL;
    } else if (ConnectWithin(kConnectTimeoutMs, &err)) {
        if (SockType == SOCK_STREAM)
            stream_acks_at_once(m_socket, true);
        return true;
    }
    LOGREC(LOG_ERROR) << "ERRROR:Cannot connect socket error[" << " errno[" << err << "][" << std::strerror(err) << "]";
    char text[INET_ADDRSTRLEN];
    link_error_set("connect to %s:%u: %s", dotted(m_remote, text, sizeof text), ntohs(m_remote.sin_port),
                   std::strerror(err));
    return false;
}

// connect() on a non-blocking socket, waiting for its outcome at most
// timeout_ms; the socket is blocking again afterwards.
template <int SockType, int Protocol, int Family>
bool CTSocket<SockType, Protocol, Family>::ConnectWithin(int timeout_ms, int* err)
{
    const int flags = fcntl(m_socket, F_GETFL);
    if (flags < 0 || fcntl(m_socket, F_SETFL, flags | O_NONBLOCK) != 0) {
        *err = errno;
        return false;
    }
    int result = 0;
    if (connect(m_socket, reinterpret_cast<const sockaddr*>(&m_remote), sizeof m_remote) != 0) {
        result = errno;
        if (result == EINPROGRESS) {
            const Deadline deadline = Deadline::in_ms(static_cast<uint64_t>(timeout_ms));
            result = ETIMEDOUT;
            for (;;) {
                if (deadline.passed())
                    break;
                pollfd p{m_socket, POLLOUT, 0};
                const int ready = poll(&p, 1, deadline.poll_ms());
                if (ready < 0 && errno == EINTR)
                    continue;
                if (ready > 0) {
                    int so_error = 0;
                    socklen_t len = sizeof so_error;
                    if (getsockopt(m_socket, SOL_SOCKET, SO_ERROR, &so_error, &len) != 0)
                        so_error = errno;
                    result = so_error;
                } else if (ready < 0) {
                    result = errno;
                }
                break;
            }
        }
    }
    fcntl(m_socket, F_SETFL, flags);
    *err = result;
    return result == 0;
}

template <int SockType, int Protocol, int Family>
bool CTSocket<SockType, Protocol, Family>::FromTerminal(const sockaddr_in& from, socklen_t len)
{
    if (SockType == SOCK_STREAM)
        return true;
    if (len >= sizeof from && from.sin_family == AF_INET && from.sin_addr.s_addr == m_remote.sin_addr.s_addr &&
        from.sin_port == m_remote.sin_port)
        return true;
    ++m_foreign;
    char text[INET_ADDRSTRLEN];
    LOGREC(LOG_ERROR) << "Datagram from another sender dropped [" << dotted(from, text, sizeof text) << ":"
                      << ntohs(from.sin_port) << "] dropped so far[" << m_foreign << "]";
    return false;
}

template <int SockType, int Protocol, int Family>
int CTSocket<SockType, Protocol, Family>::ReceiveSome(unsigned char* buffer, unsigned int max, Deadline deadline,
                                                      int wake_fd)
{
    // A gone peer, a refused datagram or a closed channel is reported after a
    // short rest, so that the loops above do not spin until their deadline.
    const auto failed = [&]() {
        return rest_unless_woken(kPeerGoneBackoffMs, deadline, wake_fd) == PosChannel::kWoken ? PosChannel::kWoken
                                                                                               : PosChannel::kFailed;
    };
    if (buffer == nullptr || max == 0)
        return PosChannel::kFailed;
    if (m_socket == -1)
        return failed();
    for (;;) {
        const int ready = poll_readable(m_socket, deadline, wake_fd);
        if (ready == PosChannel::kWoken)
            return PosChannel::kWoken;
        if (ready == 0)
            return PosChannel::kTimedOut;
        if (ready < 0)
            return failed();
        sockaddr_in from{};
        socklen_t from_len = sizeof from;
        const ssize_t r = recvfrom(m_socket, buffer, max, MSG_DONTWAIT | MSG_NOSIGNAL,
                                   reinterpret_cast<sockaddr*>(&from), &from_len);
        if (r < 0) {
            const int err = errno;
            if (err == EINTR || err == EAGAIN || err == EWOULDBLOCK)
                continue;
            if (gone_by(err) != LinkGone::No)
                return dead(gone_by(err));
            link_error_set("receive: %s", std::strerror(err));
            return failed();
        }
        if (r == 0) {
            if (SockType == SOCK_STREAM)
                return dead(LinkGone::Closed);
            continue;  // an empty datagram carries nothing
        }
        if (!FromTerminal(from, from_len))
            continue;
        if (SockType == SOCK_STREAM)
            stream_acks_at_once(m_socket, false);
        return static_cast<int>(r);
    }
}

template <int SockType, int Protocol, int Family>
void CTSocket<SockType, Protocol, Family>::Close()
{
    if (m_socket != -1) {
        shutdown(m_socket, SHUT_RDWR);
        closesocket(m_socket);
        m_socket = -1;
    }
}

template <int SockType, int Protocol, int Family>
template <bool Send>
int CTSocket<SockType, Protocol, Family>::DirectInteraction(unsigned char* buffer, int length)
{
    if (buffer == nullptr || length <= 0)
        return -1;
    if (m_socket == -1)
        return 0;
    timeval tv = to_timeval(m_timeout);
    if (setsockopt(m_socket, SOL_SOCKET, Send ? SO_SNDTIMEO : SO_RCVTIMEO, &tv, sizeof tv) != 0)
        return -1;

    int done = 0;
    if (Send) {
        while (done < length) {
            ssize_t r;
            if (SockType == SOCK_STREAM)
                r = send(m_socket, buffer + done, static_cast<size_t>(length - done), MSG_NOSIGNAL);
            else
                r = sendto(m_socket, buffer + done, static_cast<size_t>(length - done), MSG_NOSIGNAL,
                           reinterpret_cast<const sockaddr*>(&m_remote), sizeof m_remote);
            if (r < 0) {
                if (errno == EINTR)
                    continue;
                if (peer_gone(errno)) {
                    int err = errno;
                    Sleep(kPeerGoneBackoffMs);
                    errno = err;
                }
                return -1;
            }
            done += static_cast<int>(r);
        }
        return done;
    }

    for (;;) {
        sockaddr_in from{};
        socklen_t from_len = sizeof from;
        ssize_t r = recvfrom(m_socket, buffer + done, static_cast<size_t>(length - done), MSG_NOSIGNAL,
                             reinterpret_cast<sockaddr*>(&from), &from_len);
        if (r > 0 && !FromTerminal(from, from_len))
            continue;
        if (r < 0) {
            if (errno == EINTR)
                continue;
            if (peer_gone(errno) && done == 0) {
                int err = errno;
                Sleep(kPeerGoneBackoffMs);
                errno = err;
            }
            return -1;
        }
        if (r == 0) {
            // The terminal closed the connection.
            if (done == 0)
                Sleep(kPeerGoneBackoffMs);
            break;
        }
        done += static_cast<int>(r);
        break;
    }
    return done;
}

int CTCPSocket::Send(unsigned char* buffer, int length)
{
    return DirectInteraction<true>(buffer, length);
}

int CTCPSocket::Receive(unsigned char* buffer, int length)
{
    return DirectInteraction<false>(buffer, length);
}

int CUDPSocket::SendTo(unsigned char* buffer, int length)
{
    return DirectInteraction<true>(buffer, length);
}

int CUDPSocket::ReceiveFrom(unsigned char* buffer, int length)
{
    return DirectInteraction<false>(buffer, length);
}

template class CTSocket<1, 6, 2>;
template class CTSocket<2, 17, 2>;
template int CTSocket<1, 6, 2>::DirectInteraction<true>(unsigned char*, int);
template int CTSocket<1, 6, 2>::DirectInteraction<false>(unsigned char*, int);
template int CTSocket<2, 17, 2>::DirectInteraction<true>(unsigned char*, int);
template int CTSocket<2, 17, 2>::DirectInteraction<false>(unsigned char*, int);
