// One exchange on the link: the steps every exchange is written in.
//
//   PosSession s(h, "pos_get_group");          // the name its records carry
//   s.send(request)                             // frame and write
//   s.expect_ack(deadline)                      // the terminal's ACK
//   s.receive(response, "GGP11", deadline)      // one frame, its code checked
//   s.ack(pause_ms)                             // our ACK of that frame
//   s.confirm(message, deadline)                // send, then expect_ack
//   s.ask(request, answer)                      // confirm, then receive its answer
//
// Each step returns a status (SE_OK or the reason the exchange ends), dumps
// what crosses the link ("SEND TO TERMINAL", "RECV FROM TERMINAL", "Received
// from terminal") and writes the session's records under the caller's name.
// The records of a failed step are the session's Texts; an exchange whose
// texts differ passes its own, a quiet one passes none.
#pragma once
#include "protocol/deadline.h"
#include "protocol/pos_handle.h"
#include "protocol/pos_link.h"

// A message of the link: its bytes and its length.
struct PosMsg {
    unsigned char data[POS_MAX_MESSAGE];
    unsigned int len = 0;
    // The first n characters equal text, letter case ignored (false when shorter).
    bool starts_with(const char* text, unsigned int n) const;
    // Character i, or 0 past the end.
    unsigned char at(unsigned int i) const { return i < len ? data[i] : 0; }
};

class PosSession {
public:
    // Record texts of the steps; null: no record.  A record reads
    // lead + value + tail.
    struct Texts {
        const char* send_failed;    // lead; value: the status of pos_write_packet; tail "]"
        const char* no_ack;         // lead; value: the last byte as a character
        const char* no_ack_tail;
        const char* no_answer;      // lead; value: the last read status; tail "]"
    };
    // The records of the service exchanges.
    static const Texts kServiceTexts;
    // No records at all (the dumps stay).
    static const Texts kQuiet;

    // The payment exchange's policy: a raised interrupt flag ends a wait as
    // "interrupted" (no dump, no record, no link error text), not as a failure.
    enum class OnInterrupt { Fail, Stop };

    PosSession(PosHandle* h, const char* who, const Texts& texts = kServiceTexts,
               PosWake wake = PosWake::OnInterrupt, OnInterrupt policy = OnInterrupt::Fail);

    // An info record composed before every read attempt, logging on or off.
    void note_attempts(const char* text) { m_attempt_note = text; }
    // The records "pos_read_packet fail 1" (no answer) and "... fail 2"
    // (wrong answer), composed logging on or off.
    void note_read_failures() { m_failure_notes = true; }

    // A service request opens a new dialogue: forget_old_cancel, drop_stale.
    void begin()
    {
        forget_old_cancel();
        drop_stale();
    }
    // A request that opens a new dialogue: bytes left from an earlier
    // exchange are dropped first (dumped and logged).
    void drop_stale() { pos_link_drop_stale(m_h); }
    // A cancel raised while no exchange ran is over: it does not stop this one.
    void forget_old_cancel() { m_h->interrupt.store(0); }

    // The builder's status; a failure is recorded " <builder> fail, code[" st "]".
    unsigned int built(unsigned int status, const char* builder);
    unsigned int send(const PosMsg& m) { return send(m.data, m.len); }
    unsigned int send(const unsigned char* bytes, unsigned int n);
    // SE_OK on ACK, else SE_EXEC.  last_byte() is the last byte taken.
    unsigned int expect_ack(Deadline d) { return expect_ack(d, m_wake); }
    unsigned int expect_ack(Deadline d, PosWake wake);
    // One frame of at most 16383 bytes before d.
    // SE_OK, else the last read status (silent: see missed).  A Stop session
    // whose flag was raised returns SE_OK with interrupted() set.
    unsigned int read(PosMsg& out, Deadline d);
    // No answer came (status: the last read status): the records, then SE_READ.
    unsigned int missed(unsigned int status);
    // read, then the first n characters must equal prefix (case ignored):
    // SE_SYNTAX with the record mismatch (null: none) when they do not.
    unsigned int receive(PosMsg& out, const char* prefix, unsigned int n, Deadline d,
                         const char* mismatch = kParseError);
    // The answer to request: its code and the number 11.
    unsigned int receive(PosMsg& out, const PosMsg& request, Deadline d, const char* mismatch = kParseError);
    // The check of receive on its own.
    unsigned int check(const PosMsg& m, const char* prefix, unsigned int n, const char* mismatch = kParseError);
    unsigned int check(const PosMsg& m, const PosMsg& request, const char* mismatch = kParseError);
    // Pause, then our ACK (dumped): SE_OK when one byte went out, else SE_WRITE.
    unsigned int ack(unsigned int pause_ms);
    // send, then expect_ack with a deadline that starts when the frame is out.
    unsigned int confirm(const PosMsg& m, Span ack_within) { return confirm(m.data, m.len, ack_within); }
    unsigned int confirm(const unsigned char* bytes, unsigned int n, Span ack_within);
    // A service request and its answer: confirm within POS_SERVICE_ACK, then
    // receive the answer to request before the response deadline.
    unsigned int ask(const PosMsg& request, PosMsg& answer, const char* mismatch = kParseError);

    unsigned char last_byte() const { return m_ack.last; }
    // The last ACK wait saw an STX: the terminal was talking.
    bool frame_seen() const { return m_ack.frame_seen; }
    // A wait of a Stop session ended because the flag was raised.
    bool interrupted() const { return m_interrupted; }
    // What the channel returned for the last ACK we wrote.
    int ack_written() const { return m_ack_written; }
    // The response time-out of the handle, and the deadline it sets from now.
    Span response_wait() const { return Span::s(m_h->response_timeout); }
    Deadline response_deadline() const { return response_wait().from_now(); }
    PosHandle* handle() const { return m_h; }
    const char* who() const { return m_who; }

    static constexpr const char* kParseError = " parse messgae error! return SE_SYNTAX";

private:
    PosHandle* m_h;
    const char* m_who;
    const Texts& m_texts;
    PosWake m_wake;
    OnInterrupt m_policy;
    const char* m_attempt_note = nullptr;
    bool m_failure_notes = false;
    bool m_interrupted = false;
    PosAckWait m_ack;
    int m_ack_written = 0;
};

// Service requests are acknowledged within 5 s; their responses after 1 s.
constexpr Span POS_SERVICE_ACK = Span::ms(5000);
constexpr unsigned int POS_SERVICE_PAUSE_MS = 1000;

// Record " exception, return SE_FAIL" under who (null: none); never throws.
void pos_record_exception(const char* who) noexcept;
// Run an exchange's body; an exception (only the log records allocate) ends
// it with SE_FAIL.
template <class Body>
unsigned int pos_guard(const char* who, Body&& body) noexcept
{
    try {
        return body();
    } catch (...) {
        pos_record_exception(who);
        return SE_FAIL;
    }
}
