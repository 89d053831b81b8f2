// Byte links of the terminal simulator program: the far end of one TCP
// connection, a UDP socket answering its last sender, or the master side of a
// pseudo-terminal.  The reactive engine only reads and writes bytes through
// the ByteLink interface, so tests can also hand it a link of their own.
#pragma once
#include <cstddef>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace ecrsim {

class ByteLink {
public:
    virtual ~ByteLink() = default;
    // Writes all bytes; false when the peer is gone or the link failed.
    virtual bool write_bytes(const std::string& bytes) = 0;
    // Waits up to timeout_ms for bytes: the count read (> 0), 0 when nothing
    // came in time, -1 when the peer has gone (connection closed, slave hung up).
    virtual int read_some(char* buf, size_t max, int timeout_ms) = 0;
    // The terminal hangs up (TCP closes the connection); links that cannot
    // hang up ignore it.
    virtual void hang_up() {}
};

enum class LinkKind { Tcp, Udp, Pty };

// The listening end of the simulator program.
class ServerLink : public ByteLink {
public:
    // Binds host:port (port 0 picks a free one) or opens a pseudo-terminal.
    // Null with a reason in *error when that fails.
    static std::unique_ptr<ServerLink> open(LinkKind kind, const std::string& host, uint16_t port,
                                            std::string* error);
    ~ServerLink() override;
    ServerLink(const ServerLink&) = delete;
    ServerLink& operator=(const ServerLink&) = delete;

    // "tcp 127.0.0.1:2000", "udp 127.0.0.1:2000" or "pty /dev/pts/N".
    std::string describe() const;
    LinkKind kind() const { return m_kind; }
    uint16_t port() const { return m_port; }

    // TCP: waits for the next connection (true once one is accepted).  UDP and
    // PTY are always ready.  Gives up after timeout_ms (< 0: no limit) or when
    // *stop becomes true (looked at every 100 ms).
    bool wait_peer(int timeout_ms, const std::atomic<bool>* stop);
    // TCP: closes the current connection (the terminal hangs up).
    void drop_peer();
    void hang_up() override { drop_peer(); }

    bool write_bytes(const std::string& bytes) override;
    int read_some(char* buf, size_t max, int timeout_ms) override;

private:
    ServerLink() = default;
    LinkKind m_kind = LinkKind::Tcp;
    std::string m_host;
    uint16_t m_port = 0;
    std::string m_tty;
    int m_listen = -1;  // TCP listening socket
    int m_fd = -1;      // TCP connection, UDP socket or PTY master
    bool m_slave_seen = false;
    bool m_have_peer = false;
    unsigned char m_peer[16] = {};  // UDP: sockaddr_in of the last sender
};

}  // namespace ecrsim
