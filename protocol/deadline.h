// The instant by which a wait must end, on the monotonic millisecond clock.
//
// Every read and wait of the link takes one as an argument; it is computed
// once, when the wait starts, and compared on every pass.  Seconds and
// minutes of the protocol's time-outs become milliseconds here and nowhere
// else.
#pragma once
#include <cstdint>

#include "compat/compat.h"

class Deadline;

// A length of time, for a wait that starts later (after a write, say).
class Span {
public:
    static constexpr Span ms(uint64_t n) { return Span(n); }
    static constexpr Span s(uint64_t n) { return Span(n * 1000u); }
    Deadline from_now() const;

private:
    constexpr explicit Span(uint64_t ms) : m_ms(ms) {}
    uint64_t m_ms;
};

class Deadline {
public:
    static Deadline in_ms(uint64_t ms) { return Deadline(GetTickCount() + ms, ms); }
    static Deadline in_s(uint64_t seconds) { return Span::s(seconds).from_now(); }
    static Deadline in_minutes(uint64_t minutes) { return in_ms(minutes * kMsPerMinute); }
    // Already passed: a wait that takes only what is there.
    static Deadline now() { return Deadline(GetTickCount(), 0); }

    bool passed() const { return GetTickCount() >= m_at; }
    // Milliseconds left, for poll(): 0 when passed, capped at what an int holds.
    int poll_ms() const
    {
        const uint64_t now = GetTickCount();
        if (m_at <= now)
            return 0;
        const uint64_t left = m_at - now;
        return left > kPollCap ? static_cast<int>(kPollCap) : static_cast<int>(left);
    }
    // Whole seconds the deadline was set for (for texts that name the wait).
    uint64_t span_s() const { return m_span / kMsPerSecond; }
    // The earlier of the two.
    Deadline sooner(Deadline other) const { return other.m_at < m_at ? other : *this; }

private:
    friend class Span;
    static constexpr uint64_t kMsPerSecond = 1000;
    static constexpr uint64_t kMsPerMinute = 60000;
    static constexpr uint64_t kPollCap = 0x7FFFFFFF;
    Deadline(uint64_t at, uint64_t span) : m_at(at), m_span(span) {}
    uint64_t m_at;    // GetTickCount() value at which the wait ends
    uint64_t m_span;  // ms it was set for
};

inline Deadline Span::from_now() const { return Deadline::in_ms(m_ms); }
