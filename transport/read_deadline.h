// The deadline of a waiting loop, published to the socket reads it makes.
//
// A socket receive blocks until the first byte comes or the channel's 30 s
// receive time-out expires, so a loop that only compares the clock between
// reads would overshoot its own deadline by up to 30 s.  A loop that waits on
// a handle's transport therefore holds a ReadDeadline for as long as it
// waits; while it does, CTransport::Read in the socket modes first waits for
// the socket to become readable for at most the time left (never more than
// the 30 s time-out, not at all once the deadline has passed) and returns -1,
// as the channel does on its receive time-out, when nothing came.  The serial
// line is not affected (one read there blocks at most 2 s).
//
// The deadline belongs to the calling thread: a scope set by an exchange on
// one thread never shortens a read made by another thread, and a scope for
// one transport never touches reads of another.  Scopes nest; the innermost
// scope for a transport is the one that counts, and leaving it brings the
// enclosing one back.
#pragma once
#include <cstdint>

class CTransport;
struct PosHandle;

class ReadDeadline {
public:
    // deadline is a GetTickCount() value.  A null handle (or one without a
    // transport) makes a scope that affects nothing.
    ReadDeadline(const PosHandle* handle, uint64_t deadline);
    ReadDeadline(const CTransport* transport, uint64_t deadline);
    ~ReadDeadline();
    ReadDeadline(const ReadDeadline&) = delete;
    ReadDeadline& operator=(const ReadDeadline&) = delete;

    // The loop moved its deadline (a wait notice of the terminal).
    void Move(uint64_t deadline) { m_deadline = deadline; }

    // The deadline of the calling thread's innermost scope for transport;
    // false when no scope for it is open.
    static bool Current(const CTransport* transport, uint64_t* deadline);

private:
    const CTransport* m_transport;
    uint64_t m_deadline;
    const ReadDeadline* m_outer;  // the scope that was innermost before this one
};
