#include "ecrsim/replay.h"

#include "compat/compat.h"
#include "sim/frame.h"

#include <fstream>

namespace ecrsim {

namespace {

constexpr char kStx = 0x02;
constexpr char kAck = 0x06;
constexpr size_t kHexColumn = 47;  // 16 bytes: two digits each, blanks between
constexpr unsigned kGapMs = 40;

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// "000 | 02 50 ..." : the offset column of a listing line.
bool listing_line(std::string_view line, size_t* hex_start)
{
    size_t i = 0;
    while (i < line.size() && hex_value(line[i]) >= 0)
        ++i;
    if (i < 3 || line.compare(i, 3, " | ") != 0)
        return false;
    *hex_start = i + 3;
    return true;
}

// Decimal number at the start of text, saturating; 0 when there is none.
size_t leading_number(std::string_view text)
{
    size_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            break;
        v = v > (static_cast<size_t>(-1) - 9) / 10 ? static_cast<size_t>(-1) : v * 10 + static_cast<size_t>(c - '0');
    }
    return v;
}

}  // namespace

bool LogDumpReader::complete() const
{
    return m_dump.bytes.size() >= m_dump.size || m_dump.bytes.size() >= kMaxBytes;
}

LogDumpReader::Line LogDumpReader::feed(std::string_view line)
{
    static constexpr std::string_view kHeader = "HEX DUMP: Buffer address = 0x";
    static constexpr std::string_view kSize = ", size = ";
    static constexpr std::string_view kLabel = ", function: [";
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    const size_t h = line.find(kHeader);
    if (h != std::string_view::npos) {
        const size_t sz = line.find(kSize, h);
        const size_t fn = line.find(kLabel, h);
        const size_t end = line.rfind(']');
        m_open = false;
        if (sz == std::string_view::npos || fn == std::string_view::npos || end == std::string_view::npos ||
            end < fn + kLabel.size())
            return Line::Other;
        m_dump.label.assign(line.substr(fn + kLabel.size(), end - (fn + kLabel.size())));
        m_dump.bytes.clear();
        m_dump.size = leading_number(line.substr(sz + kSize.size()));
        m_open = !complete();
        return Line::Header;
    }
    if (!m_open)
        return Line::Other;
    size_t hs = 0;
    if (!listing_line(line, &hs)) {
        if (!line.empty())
            m_open = false;  // the listing ended early
        return line.empty() ? Line::Listing : Line::Other;
    }
    const std::string_view hex = line.substr(hs, kHexColumn);
    std::string& bytes = m_dump.bytes;
    for (size_t i = 0; i + 1 < hex.size() && !complete(); i += 3) {
        const int hi = hex_value(hex[i]), lo = hex_value(hex[i + 1]);
        if (hi < 0 || lo < 0)
            break;
        bytes += static_cast<char>(hi * 16 + lo);
    }
    if (complete())
        m_open = false;
    return Line::Listing;
}

namespace {

// Feeds one line and keeps what it adds to the dumps read so far.
void collect(LogDumpReader& reader, std::string_view line, std::vector<LogDump>* out)
{
    const LogDumpReader::Line kind = reader.feed(line);
    if (kind == LogDumpReader::Line::Header)
        out->push_back(reader.current());
    else if (kind == LogDumpReader::Line::Listing && !out->empty())
        out->back().bytes.append(reader.current().bytes, out->back().bytes.size(), std::string::npos);
}

}  // namespace

std::vector<LogDump> parse_log_dumps(const std::string& log_text)
{
    std::vector<LogDump> out;
    LogDumpReader reader;
    size_t at = 0;
    while (at < log_text.size()) {
        size_t nl = log_text.find('\n', at);
        if (nl == std::string::npos)
            nl = log_text.size();
        collect(reader, std::string_view(log_text).substr(at, nl - at), &out);
        at = nl + 1;
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
    // Line by line: only the dumps are kept, never the whole log.
    std::vector<LogDump> dumps;
    LogDumpReader reader;
    std::string line;
    while (std::getline(f, line))
        collect(reader, line, &dumps);
    *steps = replay_script(dumps);
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
