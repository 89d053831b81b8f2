// What the terminal does next, and what it is doing now.
//
// The Director decides each payment's course (response code, pauses,
// notices, faults, card number) from, in this order: the control API's queue
// of one-payment plans, the magic amounts, and the standing rule (the command
// line's options, or a rule the API set).  It also holds what the control
// API reads back: the terminal's state, the recent wire events, the counters.
//
// Thread use: the terminal's thread calls the "terminal side" members, the
// control server's thread the "control side" ones.  Every member takes one
// short internal lock and does no I/O under it, so the terminal never waits
// on the control API; the listener is called after the lock is released.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace ecrsim {

enum class Fault {
    None,
    BadLrc,   // every frame the terminal sends carries a wrong check byte
    DropAck,  // frames are answered but never acknowledged
    Silence,  // nothing is sent
    Close,    // the terminal hangs up (TCP; other links forget the exchange)
};
// "bad-lrc", "drop-ack", "silence", "close" (and "none"); false for an unknown name.
bool parse_fault(const std::string& name, Fault* out);
const char* fault_name(Fault f);

// Where in a payment a fault starts; it lasts to the end of that payment.
enum class Step {
    Ack = 0,      // the request has come, before the terminal's ACK
    First = 1,    // after the first answer was acknowledged
    Final = 2,    // in place of the final response
    Confirm = 3,  // when the confirmation comes, before its ACK
};
// "ack", "first", "final", "confirm".
bool parse_step(const std::string& name, Step* out);
const char* step_name(Step s);

// One payment's course.
struct Plan {
    std::string code = "00";               // response code (two digits)
    unsigned delay_ms = 0;                 // pause before the final response
    std::vector<int> wait_notices;         // minutes of each wait notice, after the first answer
    std::vector<std::string> messages;     // texts for the cash desk (CP1251), after the notices
    Fault fault = Fault::None;
    Step fault_step = Step::Ack;
    std::string pan;                       // card number sent in the final response (empty: a masked one)
    bool decide = false;                   // wait for a decision of the control API before the final
    std::string origin;                    // "command line", "rule", "queue", "magic 7001.51"
};

// A decision for a payment that waits for one.
struct Decision {
    enum Kind { Approve, Decline, Silence, Close, Wait, Message } kind = Approve;
    std::string code;  // Decline: two digits
    int minutes = 0;   // Wait
    std::string text;  // Message (CP1251)
};

// One thing seen on the link or in the terminal, as the console draws it.
struct WireEvent {
    uint64_t seq = 0;      // numbered by the Director, from 1
    uint64_t t_ms = 0;     // monotonic milliseconds
    std::string dir;       // "ecr" (cash register to terminal), "term", "none"
    std::string kind;      // "frame", "ack", "nak", "pause", "state", "note"
    std::string label;     // decoded and masked
    std::string hex;       // masked hex dump, frames only
    std::string anomaly;   // what went wrong, if anything
};

// What the terminal is doing, and the last payment's outcome.
struct TerminalState {
    bool busy = false;
    std::string request;   // message code of the running request
    std::string step;      // "request", "card", "decision", "pin", "final", "confirm"
    long long amount = 0;  // minor units
    std::string response;  // "final", "confirm": the response code sent
    std::string pan;       // "final", "confirm": the card number, masked
    bool has_last = false;
    std::string last_request, last_code, last_pan;  // last_pan masked
    long long last_amount = 0;
};

struct Counters {
    unsigned long long requests = 0, payments = 0, approved = 0, declined = 0, unconfirmed = 0;
    unsigned long long frames_in = 0, frames_out = 0, acks_in = 0, acks_out = 0, bad_frames = 0;
    unsigned long long faults = 0, magic = 0, queued_used = 0, decisions = 0, connections = 0;
    unsigned long long events_lost = 0;  // events pushed out of the ring before a reader saw them
};

// One row of the magic-amount table.
struct MagicRow {
    const char* amounts;  // "7001.NN"
    const char* outcome;  // what the terminal does
};
const std::vector<MagicRow>& magic_table();
// The plan an amount (minor units) chooses, or false when it is not magic.
bool magic_plan(long long amount, Plan* out);

class Director {
public:
    explicit Director(Plan standing = Plan(), bool magic = true);

    // ---- terminal side ----
    // The plan of the next payment of `amount`: the queue's first, else a
    // magic amount's, else the standing rule.
    Plan plan_for(long long amount);
    // The standing rule (for requests that are no payment).
    Plan standing() const;
    // A decision posted for the waiting payment, if one came.
    bool take_decision(Decision* out);
    void set_state(const TerminalState& s);
    // A payment's final response went out (confirmed or not).
    void payment_done(const std::string& request, const std::string& code, const std::string& masked_pan,
                      long long amount, bool confirmed);
    // Whether wire events are wanted (a listener is set).
    bool recording() const;
    void emit(WireEvent ev);
    void count_connection();

    // ---- control side ----
    static constexpr size_t kMaxQueue = 64;
    bool enqueue(Plan p, std::string* why);
    std::vector<Plan> queue() const;
    void clear_queue();
    void set_standing(Plan p);
    void restore_standing();  // the command line's rule again
    // Hands a decision to the payment that waits; false (with why) when none waits.
    bool decide(const Decision& d, std::string* why);
    TerminalState state() const;
    Counters counters() const;
    bool magic_on() const { return m_magic; }
    // Events after `after_seq` still held (at most the last kRing); the
    // number of the last event emitted so far.
    static constexpr size_t kRing = 2000;
    uint64_t events_after(uint64_t after_seq, std::vector<WireEvent>* out, size_t max) const;
    void note_lost(unsigned long long n);
    // Called, outside the lock, after every emit and state change.
    void set_listener(std::function<void()> listener);

private:
    void notify();

    mutable std::mutex m_mu;
    const Plan m_initial;
    Plan m_standing;
    const bool m_magic;
    std::deque<Plan> m_queue;
    bool m_have_decision = false;
    Decision m_decision;
    TerminalState m_state;
    Counters m_counters;
    std::deque<WireEvent> m_ring;
    uint64_t m_seq = 0;
    std::function<void()> m_listener;
};

// Money in minor units as "12.34".
std::string money_text(long long minor);

}  // namespace ecrsim
