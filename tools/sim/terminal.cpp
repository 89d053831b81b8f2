// Terminal simulator: the far end of one link, driven by a queued script.
//
// Everything blocking happens on the script thread inside poll() together
// with a wake-up pipe, so the destructor can stop a running script at once.
#include "sim/terminal.h"
#include "sim/ports.h"

#include "compat/compat.h"

#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace sim {

namespace {

constexpr char kAck = 0x06;
// While the pseudo-terminal has no slave open, wait this long between looks.
constexpr int kHangupPollMs = 20;
// How long a send step waits for the library to appear on the link.
constexpr unsigned kLinkWaitMs = 30000;

struct Stopped {};  // thrown on the script thread when the terminal is destroyed

int remaining_ms(uint64_t deadline) {
    uint64_t now = GetTickCount();
    if (now >= deadline) return 0;
    uint64_t left = deadline - now;
    return left > 1000000 ? 1000000 : static_cast<int>(left);
}

}  // namespace

// One item parsed from the library's byte stream.
struct Item {
    Event::Kind kind;  // RecvFrame, RecvAck, RecvRaw (raw also for a bad frame)
    std::string data;
    bool bad_frame;    // a complete frame whose check byte is wrong
};

struct Terminal::Impl {
    Link link;
    uint16_t port = 0;
    std::string tty;

    int listen_fd = -1;  // TCP
    int conn_fd = -1;    // TCP accepted connection, UDP socket, PTY master
    int wake_rd = -1, wake_wr = -1;
    bool slave_seen = false;  // PTY: a slave was open at the last look
    bool have_peer = false;   // UDP: a datagram has arrived
    sockaddr_in peer{};

    FrameParser parser;  // of the incoming stream
    std::deque<Item> items;

    std::mutex mu;
    std::condition_variable cv;
    std::deque<std::function<void(Terminal&)>> steps;
    std::vector<Event> events;
    std::vector<std::string> errors;
    bool running = false;
    bool stop = false;
    std::thread thread;

    void record(Event::Kind kind, std::string data) { record_at(kind, std::move(data), GetTickCount()); }
    void record_at(Event::Kind kind, std::string data, uint64_t at) {
        std::lock_guard<std::mutex> lk(mu);
        events.push_back(Event{kind, std::move(data), at});
    }
    // Sent items carry the time just before their first byte went to the link:
    // the library cannot have seen them earlier, so a pause measured from
    // there is never shorter than the library's own.
    uint64_t write_started = 0;
    void record_sent(Event::Kind kind, std::string data) { record_at(kind, std::move(data), write_started); }
    void error(const std::string& text) {
        std::lock_guard<std::mutex> lk(mu);
        errors.push_back(text);
    }
    bool stopping() {
        std::lock_guard<std::mutex> lk(mu);
        return stop;
    }

    // ---- link management (script thread) ----

    void close_conn() {
        if (conn_fd >= 0) close(conn_fd);
        conn_fd = -1;
        parser.reset();
    }

    void accept_pending() {
        int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        if (conn_fd >= 0) {
            // The library reconnected: the old connection is finished.
            close_conn();
        }
        conn_fd = fd;
    }

    void peer_closed() {
        record(Event::PeerClosed, "");
        if (link == Link::Tcp) close_conn();
    }

    // Feed received bytes to the frame parser.
    void parse(const char* p, size_t n) {
        parser.feed(p, n, [this](FrameParser::Kind kind, std::string data) {
            switch (kind) {
            case FrameParser::Kind::Frame:
                record(Event::RecvFrame, data);
                items.push_back(Item{Event::RecvFrame, std::move(data), false});
                break;
            case FrameParser::Kind::Ack:
                record(Event::RecvAck, data);
                items.push_back(Item{Event::RecvAck, std::move(data), false});
                break;
            case FrameParser::Kind::Raw:
            case FrameParser::Kind::TooLong:
            case FrameParser::Kind::BadCheck: {
                const bool bad_frame = kind == FrameParser::Kind::BadCheck;
                record(Event::RecvRaw, data);
                items.push_back(Item{Event::RecvRaw, std::move(data), bad_frame});
                break;
            }
            }
        });
    }

    // Read what is available on the link into buf; returns the byte count
    // (0 when nothing or the peer went away).
    size_t read_some(char* buf, size_t max) {
        if (conn_fd < 0) return 0;
        if (link == Link::Udp) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t r = recvfrom(conn_fd, buf, max, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
            if (r < 0) return 0;
            peer = from;
            have_peer = true;
            return static_cast<size_t>(r);
        }
        ssize_t r = link == Link::Tcp ? recv(conn_fd, buf, max, MSG_DONTWAIT) : read(conn_fd, buf, max);
        if (r > 0) return static_cast<size_t>(r);
        if (r == 0 && link == Link::Tcp) {
            peer_closed();
        } else if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            if (link == Link::Tcp) {
                peer_closed();
            } else if (slave_seen) {  // PTY: EIO once the slave is closed
                slave_seen = false;
                peer_closed();
            }
        }
        return 0;
    }

    // Block until the link has something (or is usable for writing when
    // want_write), a stop is asked, or the deadline passes.  Accepts TCP
    // connections as they come.  Returns true when the link is ready.
    bool wait_link(uint64_t deadline, bool want_write) {
        for (;;) {
            if (stopping()) throw Stopped{};
            pollfd fds[3];
            int n = 0;
            fds[n++] = pollfd{wake_rd, POLLIN, 0};
            int li = -1, ci = -1;
            if (link == Link::Tcp && listen_fd >= 0) {
                li = n;
                fds[n++] = pollfd{listen_fd, POLLIN, 0};
            }
            bool hung_up = false;
            if (conn_fd >= 0) {
                ci = n;
                fds[n++] = pollfd{conn_fd, static_cast<short>(want_write ? POLLOUT : POLLIN), 0};
            }
            int wait = remaining_ms(deadline);
            if (link == Link::Pty && conn_fd >= 0) {
                // Look at the master first: with no slave open it reports
                // POLLHUP at once, so then sleep in short steps instead.
                pollfd probe{conn_fd, POLLIN, 0};
                if (poll(&probe, 1, 0) >= 0 && (probe.revents & POLLHUP) && !(probe.revents & POLLIN)) {
                    hung_up = true;
                    if (slave_seen) {
                        slave_seen = false;
                        peer_closed();
                    }
                    n = ci;  // leave the master out of this poll
                    ci = -1;
                    if (wait > kHangupPollMs) wait = kHangupPollMs;
                } else {
                    slave_seen = true;
                }
            }
            int r = poll(fds, static_cast<nfds_t>(n), wait);
            if (r < 0 && errno != EINTR) return false;
            if (r > 0) {
                if (fds[0].revents) throw Stopped{};
                if (li >= 0 && (fds[li].revents & POLLIN)) {
                    accept_pending();
                    if (want_write && conn_fd >= 0) return true;
                    continue;
                }
                if (ci >= 0 && fds[ci].revents) {
                    if (want_write) {
                        if (fds[ci].revents & POLLOUT) return true;
                        if (fds[ci].revents & (POLLHUP | POLLERR)) {
                            // Drain and notice the hang-up through read().
                            char tmp[4096];
                            size_t got = read_some(tmp, sizeof tmp);
                            if (got) parse(tmp, got);
                        }
                        continue;
                    }
                    return true;
                }
            }
            (void)hung_up;
            if (remaining_ms(deadline) == 0) return false;
        }
    }

    // Receive and parse until an item is queued or the deadline passes.
    bool next_item(uint64_t deadline, Item& out) {
        for (;;) {
            if (!items.empty()) {
                out = items.front();
                items.pop_front();
                return true;
            }
            if (!wait_link(deadline, false)) return false;
            char buf[8192];
            size_t got = read_some(buf, sizeof buf);
            if (got) parse(buf, got);
        }
    }

    bool write_all(const std::string& bytes) {
        uint64_t deadline = GetTickCount() + kLinkWaitMs;
        if (link == Link::Udp) {
            while (!have_peer) {
                // Reply goes to the last sender: wait for the first datagram.
                if (!wait_link(deadline, false)) return false;
                char buf[8192];
                size_t got = read_some(buf, sizeof buf);
                if (got) parse(buf, got);
            }
            if (conn_fd < 0) return false;
            write_started = GetTickCount();
            ssize_t r = sendto(conn_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
            return r == static_cast<ssize_t>(bytes.size());
        }
        if (link == Link::Tcp && conn_fd < 0) accept_pending();
        size_t done = 0;
        while (done < bytes.size()) {
            if (!wait_link(deadline, true)) return false;
            if (conn_fd < 0) continue;
            if (done == 0) write_started = GetTickCount();
            ssize_t r = link == Link::Tcp
                            ? send(conn_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT)
                            : write(conn_fd, bytes.data() + done, bytes.size() - done);
            if (r > 0) {
                done += static_cast<size_t>(r);
            } else if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                return false;
            }
        }
        return true;
    }

    void run(Terminal& self) {
        for (;;) {
            std::function<void(Terminal&)> fn;
            {
                std::lock_guard<std::mutex> lk(mu);
                if (steps.empty() || stop) break;
                fn = std::move(steps.front());
                steps.pop_front();
            }
            bool ok = true;
            try {
                fn(self);
            } catch (const Stopped&) {
                break;
            } catch (const std::exception& e) {
                error(std::string("step failed: ") + e.what());
                ok = false;
            }
            {
                std::lock_guard<std::mutex> lk(mu);
                if (!ok || !errors.empty()) {
                    steps.clear();  // an error ends the script
                    break;
                }
            }
        }
        std::lock_guard<std::mutex> lk(mu);
        running = false;
        cv.notify_all();
    }
};

Terminal::Terminal(Link link) : m_impl(new Impl) {
    Impl& d = *m_impl;
    d.link = link;
    int pfd[2];
    if (pipe2(pfd, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("sim: pipe failed");
    d.wake_rd = pfd[0];
    d.wake_wr = pfd[1];

    if (link == Link::Pty) {
        int master = -1, slave = -1;
        char name[256] = {0};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("sim: openpty failed");
        termios t{};
        if (tcgetattr(slave, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(slave, TCSANOW, &t);
        }
        if (tcgetattr(master, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(master, TCSANOW, &t);
        }
        close(slave);  // the library opens the slave by its path
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        d.conn_fd = master;
        d.tty = name;
        return;
    }

    int type = link == Link::Tcp ? SOCK_STREAM : SOCK_DGRAM;
    int fd = socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) throw std::runtime_error("sim: socket failed");
    // A UDP port is never shared: with SO_REUSEADDR the kernel hands out
    // ports that other terminals still hold.  It is taken in turn (see
    // bind_loopback_in_turn), and from the kernel only when that fails.
    if (link == Link::Tcp) {
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    d.port = link == Link::Udp ? bind_loopback_in_turn(fd) : 0;
    if (d.port == 0) {
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(fd);
            throw std::runtime_error("sim: bind failed");
        }
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        d.port = ntohs(a.sin_port);
    }
    if (link == Link::Tcp) {
        if (listen(fd, 8) != 0) {
            close(fd);
            throw std::runtime_error("sim: listen failed");
        }
        d.listen_fd = fd;
    } else {
        d.conn_fd = fd;
    }
}

Terminal::~Terminal() {
    Impl& d = *m_impl;
    {
        std::lock_guard<std::mutex> lk(d.mu);
        d.stop = true;
    }
    char b = 1;
    ssize_t ignored = write(d.wake_wr, &b, 1);
    (void)ignored;
    if (d.thread.joinable()) d.thread.join();
    d.close_conn();
    if (d.listen_fd >= 0) close(d.listen_fd);
    close(d.wake_rd);
    close(d.wake_wr);
}

Link Terminal::link() const { return m_impl->link; }
uint16_t Terminal::port() const { return m_impl->port; }
std::string Terminal::tty_path() const { return m_impl->tty; }

Terminal& Terminal::step(std::function<void(Terminal&)> fn) {
    std::lock_guard<std::mutex> lk(m_impl->mu);
    m_impl->steps.push_back(std::move(fn));
    return *this;
}

Terminal& Terminal::expect_frame(const std::string& prefix, unsigned timeout_ms) {
    return step([prefix, timeout_ms](Terminal& t) {
        Impl& d = *t.m_impl;
        uint64_t deadline = GetTickCount() + timeout_ms;
        Item it;
        for (;;) {
            if (!d.next_item(deadline, it)) {
                d.error("expect_frame(" + printable(prefix) + "): time-out after " + std::to_string(timeout_ms) + " ms");
                return;
            }
            if (it.kind == Event::RecvFrame) break;
            if (it.bad_frame) {
                d.error("expect_frame(" + printable(prefix) + "): frame with a bad check byte: " + printable(it.data));
                return;
            }
        }
        if (it.data.compare(0, prefix.size(), prefix) != 0)
            d.error("expect_frame(" + printable(prefix) + "): got " + printable(it.data));
    });
}

Terminal& Terminal::expect_ack(unsigned timeout_ms) {
    return step([timeout_ms](Terminal& t) {
        Impl& d = *t.m_impl;
        uint64_t deadline = GetTickCount() + timeout_ms;
        Item it;
        for (;;) {
            if (!d.next_item(deadline, it)) {
                d.error("expect_ack: time-out after " + std::to_string(timeout_ms) + " ms");
                return;
            }
            if (it.kind == Event::RecvAck) return;
            if (it.kind == Event::RecvFrame || it.bad_frame) {
                d.error("expect_ack: got a frame " + printable(it.data));
                return;
            }
        }
    });
}

Terminal& Terminal::send_frame(const std::string& message) {
    return step([message](Terminal& t) {
        if (t.m_impl->write_all(frame(message)))
            t.m_impl->record_sent(Event::SentFrame, message);
        else
            t.m_impl->error("send_frame(" + printable(message) + "): link not writable");
    });
}

Terminal& Terminal::send_raw(const std::string& bytes) {
    return step([bytes](Terminal& t) {
        if (t.m_impl->write_all(bytes))
            t.m_impl->record_sent(Event::SentRaw, bytes);
        else
            t.m_impl->error("send_raw(" + printable(bytes) + "): link not writable");
    });
}

Terminal& Terminal::send_ack() {
    return step([](Terminal& t) {
        if (t.m_impl->write_all(std::string(1, kAck)))
            t.m_impl->record_sent(Event::SentAck, std::string(1, kAck));
        else
            t.m_impl->error("send_ack: link not writable");
    });
}

Terminal& Terminal::send_split(const std::string& bytes, size_t piece, unsigned gap_ms) {
    return step([bytes, piece, gap_ms](Terminal& t) {
        Impl& d = *t.m_impl;
        const size_t step_size = piece == 0 ? 1 : piece;
        uint64_t first = 0;
        for (size_t at = 0; at < bytes.size(); at += step_size) {
            if (at != 0 && gap_ms != 0) {
                const uint64_t deadline = GetTickCount() + gap_ms;
                while (remaining_ms(deadline) > 0) {
                    if (!d.wait_link(deadline, false)) break;
                    char buf[8192];
                    size_t got = d.read_some(buf, sizeof buf);
                    if (got) d.parse(buf, got);
                }
            }
            if (!d.write_all(bytes.substr(at, step_size))) {
                d.error("send_split(" + printable(bytes) + "): link not writable");
                return;
            }
            if (at == 0) first = d.write_started;
        }
        d.record_at(Event::SentRaw, bytes, first);
    });
}

Terminal& Terminal::send_forged(const std::string& bytes) {
    return step([bytes](Terminal& t) {
        Impl& d = *t.m_impl;
        if (d.link != Link::Udp || !d.have_peer) {
            d.error("send_forged: no UDP peer known");
            return;
        }
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        d.write_started = GetTickCount();
        const ssize_t r = sendto(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL,
                                 reinterpret_cast<const sockaddr*>(&d.peer), sizeof d.peer);
        close(fd);
        if (r == static_cast<ssize_t>(bytes.size()))
            d.record_sent(Event::SentRaw, "forged:" + bytes);
        else
            d.error("send_forged: not sent");
    });
}

Terminal& Terminal::pause(unsigned ms) {
    return step([ms](Terminal& t) {
        Impl& d = *t.m_impl;
        uint64_t deadline = GetTickCount() + ms;
        while (remaining_ms(deadline) > 0) {
            if (!d.wait_link(deadline, false)) break;
            char buf[8192];
            size_t got = d.read_some(buf, sizeof buf);
            if (got) d.parse(buf, got);
        }
    });
}

Terminal& Terminal::close_link() {
    return step([](Terminal& t) {
        Impl& d = *t.m_impl;
        if (d.link == Link::Tcp && d.conn_fd < 0) d.accept_pending();
        d.close_conn();
        d.have_peer = false;
        d.record(Event::Closed, "");
    });
}

Terminal& Terminal::close_link_unread(unsigned timeout_ms) {
    return step([timeout_ms](Terminal& t) {
        Impl& d = *t.m_impl;
        if (!d.wait_link(GetTickCount() + timeout_ms, false)) {
            d.error("close_link_unread: nothing came");
            return;
        }
        d.close_conn();
        d.have_peer = false;
        d.record(Event::Closed, "");
    });
}

void Terminal::start() {
    Impl& d = *m_impl;
    {
        std::lock_guard<std::mutex> lk(d.mu);
        if (d.running) return;
    }
    if (d.thread.joinable()) d.thread.join();
    std::lock_guard<std::mutex> lk(d.mu);
    d.running = true;
    d.thread = std::thread([this] { m_impl->run(*this); });
}

bool Terminal::wait_done(unsigned timeout_ms) {
    Impl& d = *m_impl;
    std::unique_lock<std::mutex> lk(d.mu);
    return d.cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return !d.running; });
}

std::vector<Event> Terminal::events() const {
    std::lock_guard<std::mutex> lk(m_impl->mu);
    return m_impl->events;
}

std::vector<std::string> Terminal::errors() const {
    std::lock_guard<std::mutex> lk(m_impl->mu);
    return m_impl->errors;
}

std::vector<std::string> Terminal::frames_received() const {
    std::lock_guard<std::mutex> lk(m_impl->mu);
    std::vector<std::string> out;
    for (const Event& e : m_impl->events)
        if (e.kind == Event::RecvFrame) out.push_back(e.data);
    return out;
}

bool Terminal::write_bytes(const std::string& bytes) {
    bool ok = m_impl->write_all(bytes);
    if (ok) m_impl->record_sent(Event::SentRaw, bytes);
    return ok;
}

std::string Terminal::read_bytes(unsigned timeout_ms, size_t max) {
    Impl& d = *m_impl;
    std::string out;
    if (max == 0) return out;
    // Bytes of a frame that the parser holds unfinished belong to the caller now.
    out = d.parser.take_unfinished();
    if (out.size() > max) out.resize(max);
    if (!out.empty()) return out;
    uint64_t deadline = GetTickCount() + timeout_ms;
    while (out.empty()) {
        if (!d.wait_link(deadline, false)) break;
        std::string buf(max < 65536 ? max : 65536, '\0');
        size_t got = d.read_some(&buf[0], buf.size());
        if (got) {
            out.assign(buf.data(), got);
            d.record(Event::RecvRaw, out);
        } else if (remaining_ms(deadline) == 0) {
            break;
        }
    }
    return out;
}

}  // namespace sim
