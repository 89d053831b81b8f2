#include "ecrsim/replay.h"

#include "compat/compat.h"
#include "sim/frame.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace ecrsim {

namespace {

constexpr char kStx = 0x02;
constexpr char kAck = 0x06;
constexpr size_t kHexColumn = 47;  // 16 bytes: two digits each, blanks between
constexpr unsigned kGapMs = 40;

bool is_hex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// "000 | 02 50 ..." : the offset column of a listing line.
bool listing_line(const std::string& line, size_t* hex_start)
{
    size_t i = 0;
    while (i < line.size() && is_hex(line[i]))
        ++i;
    if (i < 3 || line.compare(i, 3, " | ") != 0)
        return false;
    *hex_start = i + 3;
    return true;
}

}  // namespace

std::vector<LogDump> parse_log_dumps(const std::string& log_text)
{
    static const std::string kHeader = "HEX DUMP: Buffer address = 0x";
    std::vector<LogDump> out;
    std::istringstream in(log_text);
    std::string line;
    bool inside = false;
    size_t want = 0;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t h = line.find(kHeader);
        if (h != std::string::npos) {
            const size_t sz = line.find(", size = ", h);
            const size_t fn = line.find(", function: [", h);
            const size_t end = line.rfind(']');
            if (sz == std::string::npos || fn == std::string::npos || end == std::string::npos || end < fn) {
                inside = false;
                continue;
            }
            LogDump d;
            d.label = line.substr(fn + 13, end - (fn + 13));
            want = static_cast<size_t>(std::strtoul(line.c_str() + sz + 9, nullptr, 10));
            out.push_back(d);
            inside = want > 0;
            continue;
        }
        if (!inside)
            continue;
        size_t hs = 0;
        if (!listing_line(line, &hs)) {
            if (!line.empty())
                inside = false;  // the listing ended early
            continue;
        }
        const std::string hex = line.substr(hs, kHexColumn);
        std::string& bytes = out.back().bytes;
        for (size_t i = 0; i + 1 < hex.size() && bytes.size() < want; i += 3) {
            if (!is_hex(hex[i]) || !is_hex(hex[i + 1]))
                break;
            bytes += static_cast<char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
        }
        if (bytes.size() >= want)
            inside = false;
    }
    return out;
}

std::vector<ReplayStep> replay_script(const std::vector<LogDump>& dumps)
{
    std::vector<ReplayStep> steps;
    for (const LogDump& d : dumps) {
        const std::string& b = d.bytes;
        if (d.label == "SEND TO TERMINAL") {
            size_t at = 0;
            if (!b.empty() && b[0] == kAck) {  // a lone ACK, or ACK + frame (audit confirmation)
                steps.push_back(ReplayStep{ReplayStep::ExpectAck, std::string()});
                at = 1;
            }
            if (b.size() >= at + 3 && b[at] == kStx)
                steps.push_back(ReplayStep{ReplayStep::ExpectFrame, b.substr(at + 1, b.size() - at - 3)});
        } else if (d.label == "Received from terminal") {
            steps.push_back(ReplayStep{ReplayStep::SendFrame, b});
        } else if (d.label == "RECV FROM TERMINAL") {
            if (b.size() == 1 && b[0] == kAck)
                steps.push_back(ReplayStep{ReplayStep::SendAck, std::string()});
        }
    }
    return steps;
}

bool load_replay(const std::string& path, std::vector<ReplayStep>* steps, std::string* error)
{
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        *error = "cannot read " + path;
        return false;
    }
    std::ostringstream ss;
    ss << f.rdbuf();
    *steps = replay_script(parse_log_dumps(ss.str()));
    if (steps->empty()) {
        *error = "no recorded traffic in " + path;
        return false;
    }
    return true;
}

ReplayResult play_replay(const std::vector<ReplayStep>& steps, ByteLink& link, const std::atomic<bool>* stop,
                         unsigned timeout_ms, size_t start)
{
    ReplayResult res;
    res.steps_done = start;
    // Frames and ACKs of the library, parsed from the byte stream.
    sim::FrameParser parser;
    struct Item {
        bool ack;
        std::string msg;
    };
    std::vector<Item> items;
    // A frame counts whatever its check byte: the recording shows what the
    // cash register meant to send.
    auto keep = [&](sim::FrameParser::Kind kind, std::string data) {
        if (kind == sim::FrameParser::Kind::Ack)
            items.push_back(Item{true, std::string()});
        else if (kind == sim::FrameParser::Kind::Frame)
            items.push_back(Item{false, std::move(data)});
        else if (kind == sim::FrameParser::Kind::BadCheck)
            items.push_back(Item{false, data.substr(1, data.size() - 3)});
    };
    auto pull = [&](uint64_t deadline) -> int {  // 1 item ready, 0 time-out, -1 gone/stopped
        for (;;) {
            if (!items.empty())
                return 1;
            if (stop != nullptr && stop->load())
                return -1;
            const uint64_t now = GetTickCount();
            if (now >= deadline)
                return 0;
            char buf[4096];
            const int n = link.read_some(buf, sizeof buf, deadline - now > 100 ? 100 : static_cast<int>(deadline - now));
            if (n < 0)
                return -1;
            parser.feed(buf, static_cast<size_t>(n), keep);
        }
    };

    for (size_t i = start; i < steps.size(); ++i) {
        const ReplayStep& s = steps[i];
        if (s.kind == ReplayStep::SendAck || s.kind == ReplayStep::SendFrame) {
            Sleep(kGapMs);
            const bool ok = link.write_bytes(s.kind == ReplayStep::SendAck ? std::string(1, kAck) : sim::frame(s.data));
            if (!ok) {
                res.notes.push_back("step " + std::to_string(i + 1) + ": the link took no bytes");
                res.peer_gone = true;
                return res;
            }
            res.steps_done = i + 1;
            continue;
        }
        const uint64_t deadline = GetTickCount() + timeout_ms;
        for (;;) {
            const int r = pull(deadline);
            if (r < 0) {
                res.peer_gone = !(stop != nullptr && stop->load());
                return res;
            }
            if (r == 0) {
                res.notes.push_back("step " + std::to_string(i + 1) + ": nothing came from the cash register");
                return res;
            }
            Item it = items.front();
            items.erase(items.begin());
            if (s.kind == ReplayStep::ExpectAck) {
                if (!it.ack)
                    res.notes.push_back("step " + std::to_string(i + 1) + ": a frame came instead of ACK: " +
                                        sim::printable(it.msg));
                break;
            }
            if (it.ack)
                continue;  // an ACK the recording does not show
            if (it.msg.compare(0, 6, s.data, 0, 6) != 0)
                res.notes.push_back("step " + std::to_string(i + 1) + ": expected " + sim::printable(s.data.substr(0, 6)) +
                                    ", got " + sim::printable(it.msg.substr(0, 6)));
            break;
        }
        res.steps_done = i + 1;
    }
    res.completed = true;
    return res;
}

}  // namespace ecrsim
