// TCP and UDP channels to the terminal.
#include "transport/udpsocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "Logging/log.h"
#include "compat/compat.h"

namespace {

// A burst ends when no further byte follows within this pause.
constexpr int kBurstGapMs = 100;
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

bool peer_gone(int err)
{
    return err == EPIPE || err == ECONNRESET || err == ENOTCONN || err == ESHUTDOWN;
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
    set_address(m_remote, address, port);
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
    m_socket = socket(Family, SockType | SOCK_CLOEXEC, Protocol);
    if (m_socket < 0) {
        m_socket = -1;
        return false;
    }
    if (m_local.sin_family != 0 && m_local.sin_addr.s_addr != htonl(INADDR_ANY)) {
        if (bind(m_socket, reinterpret_cast<const sockaddr*>(&m_local), sizeof m_local) != 0) {
            int err = errno;
            LOGREC(LOG_ERROR) << "ERRROR:Cannot bind socket error[" << err << "]";
            return false;
        }
    }
    if (SockType == SOCK_STREAM)
        return Connect();
    return true;
}

template <int SockType, int Protocol, int Family>
bool CTSocket<SockType, Protocol, Family>::Connect()
{
    int err = 0;
    if (m_socket == -1) {
        err = EBADF;
    } else if (m_remote.sin_addr.s_addr == htonl(INADDR_ANY)) {
        err = EADDRNOTAVAIL;
    } else if (connect(m_socket, reinterpret_cast<const sockaddr*>(&m_remote), sizeof m_remote) != 0) {
        err = errno;
    } else {
        return true;
    }
    LOGREC(LOG_ERROR) << "ERRROR:Cannot connect socket error[" << " errno[" << err << "][" << std::strerror(err) << "]";
    return false;
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
        ssize_t r = recvfrom(m_socket, buffer + done, static_cast<size_t>(length - done), MSG_NOSIGNAL, nullptr,
                             nullptr);
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
        if (done >= length)
            break;
        pollfd p{m_socket, POLLIN, 0};
        int ready = poll(&p, 1, kBurstGapMs);
        if (ready < 0) {
            int err = errno;
            LOGREC(LOG_ERROR) << "ERRROR make select[" << err << "]";
            continue;
        }
        if (ready == 0)
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
