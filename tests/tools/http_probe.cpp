#include "tools/http_probe.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace httpprobe {

namespace asio = boost::asio;
namespace http = boost::beast::http;

namespace {

int connect_to(unsigned port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

Reply raw(unsigned port, const std::string& bytes, unsigned timeout_ms)
{
    Reply r;
    const int fd = connect_to(port);
    if (fd < 0)
        return r;
    timeval tv{static_cast<time_t>(timeout_ms / 1000), static_cast<suseconds_t>(timeout_ms % 1000 * 1000)};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    asio::io_context ioc;
    asio::ip::tcp::socket sock(ioc, asio::ip::tcp::v4(), fd);
    boost::system::error_code ec;
    asio::write(sock, asio::buffer(bytes), ec);  // a refusal may come before all is sent
    boost::beast::flat_buffer buf;
    http::response_parser<http::string_body> parser;
    parser.body_limit(1 << 20);
    http::read(sock, buf, parser, ec);
    if (!ec || ec == http::error::end_of_stream) {
        r.status = static_cast<int>(parser.get().result_int());
        r.body = parser.get().body();
        r.json = nlohmann::json::parse(r.body, nullptr, false);
    }
    return r;
}

Reply call(unsigned port, const std::string& method, const std::string& path, const std::string& body)
{
    return raw(port, method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                         "\r\nConnection: close\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
}

int idle_connection(unsigned port) { return connect_to(port); }

EventStream::EventStream(unsigned port, const std::string& path)
{
    m_fd = connect_to(port);
    if (m_fd < 0)
        return;
    const std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n";
    if (send(m_fd, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size()))
        return;
    m_thread = std::thread([this] {
        while (!m_stop.load()) {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char b[4096];
            const ssize_t n = recv(m_fd, b, sizeof b, 0);
            if (n <= 0)
                return;
            std::lock_guard<std::mutex> lk(m_mu);
            m_text.append(b, static_cast<size_t>(n));
        }
    });
}

EventStream::~EventStream()
{
    m_stop.store(true);
    if (m_thread.joinable())
        m_thread.join();
    if (m_fd >= 0)
        close(m_fd);
}

std::string EventStream::text() const
{
    std::lock_guard<std::mutex> lk(m_mu);
    return m_text;
}

}  // namespace httpprobe
