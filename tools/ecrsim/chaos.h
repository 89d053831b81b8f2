// Seeded chaos for the terminal simulator (ecrsim --chaos SEED).
//
// At random steps of each exchange the terminal misbehaves: the faults of
// --fault from a random step of a payment, extra wait notices and text
// messages, a delay up to past the cash register's time-outs, and on the
// wire a frame split in two writes, an ACK merged with the next frame,
// duplicated frames and ACKs, a NAK for the request, a stray ACK, a bad
// check byte, a link dropped in the middle of a frame, and per link a lost
// or duplicated datagram (UDP) or a corrupted byte (pseudo-terminal).
//
// Every choice comes from one generator seeded from the seed alone, drawn in
// the order the engine asks, so the same seed and the same requests give the
// same faults.  mark_operation(N) reseeds it from (seed, N): a driver that
// marks each of its operations can replay any one of them on its own.
//
// Thread use: the terminal's thread decides and sends; the control thread
// marks operations and reads the counts.  Decisions take a short lock; no
// I/O happens under it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ecrsim/director.h"
#include "ecrsim/link.h"

namespace ecrsim {

enum class ChaosKind {
    // The course of a payment.
    Silence,     // the terminal goes silent from a random step
    DropAck,     // it stops acknowledging from a random step
    Close,       // it hangs up at a random step
    BadLrc,      // every frame from a random step has a wrong check byte
    LongDelay,   // it works up to past the cash register's response time-out
    WaitNotice,  // an extra wait notice
    Message,     // an extra text message
    // On the wire.
    Split,       // a frame in two writes with a pause between
    Merge,       // an ACK held back and written with the next frame
    Delay,       // a pause before a frame or an ACK
    DupFrame,    // a frame written twice
    DupAck,      // an ACK written twice
    Nak,         // the request is answered with NAK and forgotten
    StrayAck,    // an ACK nobody asked for, before a frame
    BadCheck,    // one frame with a wrong check byte
    DropLink,    // the link drops in the middle of a frame
    UdpLoss,     // UDP: a datagram is lost
    UdpDup,      // UDP: a datagram arrives twice
    PtyCorrupt,  // pseudo-terminal: a byte of a frame is changed
    Count
};
const char* chaos_kind_name(ChaosKind k);

// What a write of the terminal carries.
enum class ChaosPiece {
    RequestAck,  // the ACK of a request (a NAK may stand in for it)
    Ack,         // any other ACK
    Frame,       // a frame
};

// One decision: kind (Count: none) and its arguments.
struct ChaosAction {
    ChaosKind kind = ChaosKind::Count;
    unsigned a = 0, b = 0;  // split point and pause, delay, byte position and mask...
    bool any() const { return kind != ChaosKind::Count; }
};

// The link operations an injection needs; the engine supplies them.
struct ChaosIo {
    std::function<bool(const std::string&)> write;  // false: the link failed
    std::function<bool(unsigned)> pause;            // false: the peer went away or a stop came
    std::function<void()> hang_up;
    std::function<void(ChaosKind, const std::string&)> note;  // one injected fault, described
};

class Chaos {
public:
    // rate: the chance that a step gets a fault (0..1).  response_timeout_ms:
    // the cash register's time-out that a long delay goes past.
    Chaos(uint64_t seed, double rate, LinkKind link, unsigned response_timeout_ms = 40000);

    uint64_t seed() const { return m_seed; }
    double rate() const { return m_rate; }
    // The operation number the next faults carry; reseeds from (seed, op).
    void mark_operation(uint64_t op);
    // While off, nothing is injected and nothing is drawn.
    void set_enabled(bool on);
    bool enabled() const;
    // A request came: counts it (its number names the faults until a driver
    // marks operations).
    void begin_request();
    // "op N" when operations are marked, else "request N".
    std::string where() const;

    // ---- decisions (deterministic from the seed) ----
    // May give a payment's plan one course fault.  Returns it (Count: none).
    ChaosKind shape_plan(Plan* plan);
    ChaosAction decide(ChaosPiece piece, size_t bytes);

    // Where each injected fault is written, one line each ("chaos: op 12:
    // split: ...").
    void set_log(std::function<void(const std::string&)> log);
    // Writes the line of one fault to the log and to io.note.
    void report(ChaosIo& io, ChaosKind k, const std::string& detail);

    // ---- carrying out ----
    // Writes the piece with whatever fault is drawn for it; false when the
    // link failed or was dropped (the exchange is over).  A NAK for a
    // request sets *forget: the terminal does not take that request.
    bool send(ChaosPiece piece, const std::string& bytes, ChaosIo& io, bool* forget = nullptr);
    // Writes an ACK held back for merging, if any (before the terminal waits).
    bool flush(ChaosIo& io);
    // A new connection: nothing held back from the last one.
    void reset_link();

    // The count of each kind injected, in the order of ChaosKind.
    std::vector<unsigned long long> counts() const;
    unsigned long long total() const;
    static bool applies(ChaosKind k, ChaosPiece piece, LinkKind link);

private:
    uint64_t next();  // splitmix64, under the lock
    unsigned below(unsigned n) { return static_cast<unsigned>(next() % n); }
    bool hit();
    void count(ChaosKind k);

    const uint64_t m_seed;
    const double m_rate;
    const LinkKind m_link;
    const unsigned m_timeout_ms;
    mutable std::mutex m_mu;
    uint64_t m_state;
    bool m_on = true;
    bool m_marked = false;
    uint64_t m_op = 0, m_requests = 0;
    std::function<void(const std::string&)> m_log;
    std::string m_held;  // an ACK waiting to go out with the next frame
    unsigned long long m_counts[static_cast<int>(ChaosKind::Count)] = {};
};

}  // namespace ecrsim
