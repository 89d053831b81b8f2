// Scriptable terminal simulator for tests and tools.
//
// A Terminal is the far end of one link: it listens on loopback TCP, answers
// UDP datagrams, or holds the master side of a pseudo-terminal whose slave
// path the library opens.  A test queues script steps and starts the script;
// the steps run in order on the terminal's own thread, and every byte seen or
// sent is recorded as an Event with its monotonic time, so a test can assert
// exact bytes and measured pauses afterwards.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/frame.h"

namespace sim {

enum class Link { Tcp, Udp, Pty };

struct Event {
    enum Kind {
        RecvFrame,  // a complete frame from the library; data = message text (no STX/ETX/LRC)
        RecvAck,    // a lone ACK byte from the library
        RecvRaw,    // other bytes from the library that were not part of a good frame
        SentFrame,  // data = message text framed and sent
        SentAck,    // one ACK byte sent
        SentRaw,    // data = raw bytes sent as they are
        Closed,     // the terminal closed its end of the link
        PeerClosed, // the library closed its end
    };
    Kind kind;
    std::string data;
    uint64_t at_ms;  // GetTickCount(): received items when complete, sent items just before their first byte
};

class Terminal {
public:
    explicit Terminal(Link link);  // starts listening at once (ephemeral loopback port / openpty)
    ~Terminal();                   // stops the script and closes everything
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    Link link() const;
    uint16_t port() const;         // TCP/UDP port on 127.0.0.1
    std::string tty_path() const;  // PTY slave path

    // ---- script steps (queued; run in order after start()) ----
    // Wait (up to timeout_ms) for one complete frame with a good check byte whose
    // message starts with prefix; a mismatch or time-out is recorded as an error
    // and ends the script.  Lone ACK bytes and other bytes before it are recorded.
    Terminal& expect_frame(const std::string& prefix = "", unsigned timeout_ms = 60000);
    // Wait for one ACK byte (frames that arrive meanwhile are an error).
    Terminal& expect_ack(unsigned timeout_ms = 60000);
    Terminal& send_frame(const std::string& message);
    Terminal& send_raw(const std::string& bytes);
    Terminal& send_ack();
    // Faults of the link: the bytes written in pieces of `piece` bytes with
    // gap_ms between them (over UDP one datagram per piece), recorded as one
    // SentRaw item.  Merging is send_raw of several frames and ACKs at once.
    Terminal& send_split(const std::string& bytes, size_t piece, unsigned gap_ms);
    // UDP: the bytes sent to the library from another local socket (a forger);
    // recorded as SentRaw "forged:" + bytes.
    Terminal& send_forged(const std::string& bytes);
    // Do nothing for ms milliseconds; bytes that arrive meanwhile are recorded.
    Terminal& pause(unsigned ms);
    // Close the terminal's end (TCP: the accepted connection; PTY: the master).
    Terminal& close_link();
    // Close the terminal's end as soon as the library's bytes are there,
    // without reading them (TCP: the connection is reset).
    Terminal& close_link_unread(unsigned timeout_ms = 60000);
    // A custom step, run on the script thread.
    Terminal& step(std::function<void(Terminal&)> fn);

    void start();
    // True when every step ran (with or without errors) within timeout_ms.
    bool wait_done(unsigned timeout_ms);

    std::vector<Event> events() const;
    std::vector<std::string> errors() const;        // empty when the script ran as written
    std::vector<std::string> frames_received() const;

    // For custom steps and reactive servers: raw access on the script thread.
    // Write bytes to the library; read what is available within timeout_ms.
    bool write_bytes(const std::string& bytes);
    std::string read_bytes(unsigned timeout_ms, size_t max = 65536);

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

}  // namespace sim
