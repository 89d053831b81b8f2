// Replay of a recorded exchange: the library's log file holds hex dumps of
// every frame it sent ("SEND TO TERMINAL"), every message it received
// ("Received from terminal") and every ACK byte it read while waiting for one
// ("RECV FROM TERMINAL").  Played back in order, the terminal's side of the
// recording reproduces at a developer's desk what happened at a cash desk.
#pragma once
#include <atomic>
#include <functional>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "ecrsim/link.h"

namespace ecrsim {

struct ReplayStep {
    enum Kind {
        ExpectFrame,  // the library sent a frame: data = its message text
        ExpectAck,    // the library sent a lone ACK
        SendFrame,    // the terminal sent a frame: data = its message text
        SendAck,      // the terminal sent an ACK
    } kind;
    std::string data;
};

// One hex dump of the log: its label and bytes.
struct LogDump {
    std::string label;
    std::string bytes;
    size_t size = 0;  // as its header announced it
};

// Reads the hex dumps of a log one line at a time, so that a log of any size
// is read in bounded memory.  A dump whose listing is shorter than its
// announced size keeps the bytes that were there; one that announces more
// than kMaxBytes keeps the first kMaxBytes.
class LogDumpReader {
public:
    // Larger than the largest frame the library reads or writes.
    static constexpr size_t kMaxBytes = 64 * 1024;

    enum class Line {
        Other,    // not part of a dump
        Header,   // a dump starts: current() is it (the previous one has ended)
        Listing,  // a listing line of current(); its bytes were added
    };
    // One line of the log, without its line end.
    Line feed(std::string_view line);
    // The dump being read, or the last one.
    const LogDump& current() const { return m_dump; }
    // current() still takes listing lines.
    bool open() const { return m_open; }
    // current() has every byte its header announced (or kMaxBytes of them).
    bool complete() const;

private:
    LogDump m_dump;
    bool m_open = false;
};

// Every hex dump of a log text, in order.
std::vector<LogDump> parse_log_dumps(const std::string& log_text);
// The terminal's side of the recorded traffic.
std::vector<ReplayStep> replay_script(const std::vector<LogDump>& dumps);
// Reads a log file (line by line); false with a reason when it cannot be read.
bool load_replay(const std::string& path, std::vector<ReplayStep>* steps, std::string* error);

struct ReplayResult {
    size_t steps_done = 0;
    bool completed = false;       // every step played
    bool peer_gone = false;       // the link went away first (TCP: wait for the next connection)
    std::vector<std::string> notes;  // mismatches and time-outs, in order
};

// Plays the steps over the link.  A frame from the library whose six-character
// header differs from the recording is noted and taken as the expected one;
// each expected item is waited for up to timeout_ms.
// Starts at step `start` (to go on after a reconnection).
ReplayResult play_replay(const std::vector<ReplayStep>& steps, ByteLink& link, const std::atomic<bool>* stop,
                         unsigned timeout_ms = 60000, size_t start = 0);

}  // namespace ecrsim
