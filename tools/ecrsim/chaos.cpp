#include "ecrsim/chaos.h"

namespace ecrsim {

namespace {

constexpr char kAck = 0x06;
constexpr char kNak = 0x15;
constexpr int kKinds = static_cast<int>(ChaosKind::Count);

const char* const kNames[kKinds] = {"silence",  "drop-ack",  "close",      "bad-lrc",    "long-delay",
                                    "wait-notice", "message", "split",     "merge",      "delay",
                                    "dup-frame", "dup-ack",  "nak",        "stray-ack",  "bad-check",
                                    "drop-link", "udp-loss", "udp-dup",    "pty-corrupt"};

// The plan faults in the order shape_plan draws them.
const ChaosKind kPlanKinds[] = {ChaosKind::Silence,   ChaosKind::DropAck,    ChaosKind::Close,  ChaosKind::BadLrc,
                                ChaosKind::LongDelay, ChaosKind::WaitNotice, ChaosKind::Message};

uint64_t mix(uint64_t z)
{
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

}  // namespace

const char* chaos_kind_name(ChaosKind k)
{
    const int i = static_cast<int>(k);
    return i >= 0 && i < kKinds ? kNames[i] : "none";
}

Chaos::Chaos(uint64_t seed, double rate, LinkKind link, unsigned response_timeout_ms)
    : m_seed(seed), m_rate(rate), m_link(link), m_timeout_ms(response_timeout_ms), m_state(mix(seed))
{
}

void Chaos::mark_operation(uint64_t op)
{
    std::lock_guard<std::mutex> lk(m_mu);
    m_marked = true;
    m_op = op;
    m_state = mix(m_seed ^ mix(op + 0x9E3779B97F4A7C15ULL));
    m_held.clear();
}

void Chaos::set_enabled(bool on)
{
    std::lock_guard<std::mutex> lk(m_mu);
    m_on = on;
}

bool Chaos::enabled() const
{
    std::lock_guard<std::mutex> lk(m_mu);
    return m_on;
}

void Chaos::begin_request()
{
    std::lock_guard<std::mutex> lk(m_mu);
    ++m_requests;
}

std::string Chaos::where() const
{
    std::lock_guard<std::mutex> lk(m_mu);
    return m_marked ? "op " + std::to_string(m_op) : "request " + std::to_string(m_requests);
}

uint64_t Chaos::next()
{
    m_state += 0x9E3779B97F4A7C15ULL;
    return mix(m_state);
}

bool Chaos::hit()
{
    // 2^-32 steps: the rate as a whole number of them, so that the draw
    // itself stays exact.
    const uint64_t r = next() >> 32;
    return static_cast<double>(r) < m_rate * 4294967296.0;
}

void Chaos::count(ChaosKind k)
{
    std::lock_guard<std::mutex> lk(m_mu);
    ++m_counts[static_cast<int>(k)];
}

bool Chaos::applies(ChaosKind k, ChaosPiece piece, LinkKind link)
{
    const bool frame = piece == ChaosPiece::Frame;
    switch (k) {
    case ChaosKind::Split:
    case ChaosKind::StrayAck:
    case ChaosKind::BadCheck:
    case ChaosKind::DropLink:
        return frame;
    case ChaosKind::Delay:
        return true;
    case ChaosKind::DupFrame:
        return frame && link != LinkKind::Udp;
    case ChaosKind::Merge:
        return !frame;
    case ChaosKind::DupAck:
        return !frame && link != LinkKind::Udp;
    case ChaosKind::Nak:
        return piece == ChaosPiece::RequestAck;
    case ChaosKind::UdpLoss:
    case ChaosKind::UdpDup:
        return link == LinkKind::Udp;
    case ChaosKind::PtyCorrupt:
        return frame && link == LinkKind::Pty;
    default:
        return false;  // the plan's kinds
    }
}

ChaosKind Chaos::shape_plan(Plan* plan)
{
    ChaosKind k = ChaosKind::Count;
    unsigned arg = 0;
    {
        std::lock_guard<std::mutex> lk(m_mu);
        if (!m_on || !hit())
            return ChaosKind::Count;
        k = kPlanKinds[below(sizeof kPlanKinds / sizeof kPlanKinds[0])];
        arg = static_cast<unsigned>(next() >> 8);
    }
    switch (k) {
    case ChaosKind::Silence:
    case ChaosKind::DropAck:
    case ChaosKind::Close:
    case ChaosKind::BadLrc:
        if (plan->fault != Fault::None)
            return ChaosKind::Count;  // a fault of its own (a magic amount) stays
        plan->fault = k == ChaosKind::Silence   ? Fault::Silence
                      : k == ChaosKind::DropAck ? Fault::DropAck
                      : k == ChaosKind::Close   ? Fault::Close
                                                : Fault::BadLrc;
        plan->fault_step = static_cast<Step>(arg % 4);
        break;
    case ChaosKind::LongDelay:
        plan->delay_ms += arg % (m_timeout_ms + 3000);
        break;
    case ChaosKind::WaitNotice:
        plan->wait_notices.push_back(static_cast<int>(arg % 3));
        break;
    default:
        plan->messages.push_back("CHAOS: A TEXT MESSAGE");
        break;
    }
    count(k);
    return k;
}

ChaosAction Chaos::decide(ChaosPiece piece, size_t bytes)
{
    ChaosAction act;
    std::lock_guard<std::mutex> lk(m_mu);
    if (!m_on || !hit())
        return act;
    ChaosKind candidates[kKinds];
    unsigned n = 0;
    for (int i = 0; i < kKinds; ++i)
        if (applies(static_cast<ChaosKind>(i), piece, m_link))
            candidates[n++] = static_cast<ChaosKind>(i);
    act.kind = candidates[below(n)];
    const unsigned len = static_cast<unsigned>(bytes);
    switch (act.kind) {
    case ChaosKind::Split:
        act.a = len > 1 ? 1 + below(len - 1) : 0;
        act.b = 20 + below(400);
        break;
    case ChaosKind::Delay:
        act.a = 100 + below(2900);
        break;
    case ChaosKind::DupFrame:
    case ChaosKind::DupAck:
    case ChaosKind::UdpDup:
    case ChaosKind::StrayAck:
        act.b = below(100);
        break;
    case ChaosKind::DropLink:
        act.a = len > 0 ? below(len) : 0;
        break;
    case ChaosKind::PtyCorrupt:
        act.a = len > 2 ? 1 + below(len - 2) : 0;
        act.b = 1 + below(255);
        break;
    default:
        break;
    }
    return act;
}

bool Chaos::send(ChaosPiece piece, const std::string& bytes, ChaosIo& io, bool* forget)
{
    const ChaosAction act = decide(piece, bytes.size());
    std::string held;
    if (piece == ChaosPiece::Frame) {
        std::lock_guard<std::mutex> lk(m_mu);
        held.swap(m_held);
    }
    if (!act.any())
        return io.write(held + bytes);
    count(act.kind);
    const std::string what = piece == ChaosPiece::Frame ? "frame of " + std::to_string(bytes.size()) + " bytes"
                                                        : std::string("ACK");
    std::string out = bytes;
    std::string detail;
    bool ok = true;
    switch (act.kind) {
    case ChaosKind::Split:
        detail = what + " split after byte " + std::to_string(act.a) + ", " + std::to_string(act.b) + " ms apart";
        report(io, act.kind, detail);
        ok = io.write(held + out.substr(0, act.a)) && io.pause(act.b) && io.write(out.substr(act.a));
        break;
    case ChaosKind::Merge: {
        report(io, act.kind, "ACK held back for the next frame");
        std::lock_guard<std::mutex> lk(m_mu);
        m_held += out;
        break;
    }
    case ChaosKind::Delay:
        report(io, act.kind, what + " delayed " + std::to_string(act.a) + " ms");
        ok = io.pause(act.a) && io.write(held + out);
        break;
    case ChaosKind::DupFrame:
    case ChaosKind::DupAck:
    case ChaosKind::UdpDup:
        report(io, act.kind, what + " sent twice, " + std::to_string(act.b) + " ms apart");
        ok = io.write(held + out) && io.pause(act.b) && io.write(out);
        break;
    case ChaosKind::Nak:
        report(io, act.kind, "NAK for the request, which is not taken");
        ok = io.write(held + std::string(1, kNak));
        if (forget != nullptr)
            *forget = true;
        break;
    case ChaosKind::StrayAck:
        report(io, act.kind, "ACK before a " + what);
        ok = io.write(held + std::string(1, kAck)) && io.pause(act.b) && io.write(out);
        break;
    case ChaosKind::BadCheck:
        report(io, act.kind, what + " with a wrong check byte");
        out.back() = static_cast<char>(out.back() ^ 0x55);
        ok = io.write(held + out);
        break;
    case ChaosKind::DropLink:
        report(io, act.kind, "link dropped after byte " + std::to_string(act.a) + " of a " + what);
        io.write(held + out.substr(0, act.a));
        io.hang_up();
        ok = false;
        break;
    case ChaosKind::UdpLoss:
        report(io, act.kind, what + " lost");
        ok = held.empty() || io.write(held);
        break;
    case ChaosKind::PtyCorrupt:
        report(io, act.kind, what + ": byte " + std::to_string(act.a) + " changed");
        out[act.a] = static_cast<char>(out[act.a] ^ static_cast<char>(act.b));
        ok = io.write(held + out);
        break;
    default:
        ok = io.write(held + out);
        break;
    }
    return ok;
}

void Chaos::report(ChaosIo& io, ChaosKind k, const std::string& detail)
{
    const std::string line = "chaos: " + where() + ": " + chaos_kind_name(k) + ": " + detail;
    std::function<void(const std::string&)> log;
    {
        std::lock_guard<std::mutex> lk(m_mu);
        log = m_log;
    }
    if (log)
        log(line);
    if (io.note)
        io.note(k, line);
}

void Chaos::set_log(std::function<void(const std::string&)> log)
{
    std::lock_guard<std::mutex> lk(m_mu);
    m_log = std::move(log);
}

bool Chaos::flush(ChaosIo& io)
{
    std::string held;
    {
        std::lock_guard<std::mutex> lk(m_mu);
        held.swap(m_held);
    }
    return held.empty() || io.write(held);
}

void Chaos::reset_link()
{
    std::lock_guard<std::mutex> lk(m_mu);
    m_held.clear();
}

std::vector<unsigned long long> Chaos::counts() const
{
    std::lock_guard<std::mutex> lk(m_mu);
    return std::vector<unsigned long long>(m_counts, m_counts + kKinds);
}

unsigned long long Chaos::total() const
{
    unsigned long long t = 0;
    for (unsigned long long c : counts())
        t += c;
    return t;
}

}  // namespace ecrsim
