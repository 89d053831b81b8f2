// ecrcli explain: the library's log read as a story of operations.  Each
// operation (a payment from its "Tran name" record to its end, or a service
// exchange) gets its frames and ACKs in order, decoded by the protocol's own
// decoders, the pauses between them against the mandated ones, the anomalies
// with the log line they come from, and a verdict by the library's outcome
// rules: what the cash register was told, or "unknown" with the reason when
// the log cannot tell.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "ecrcli/log_reader.h"

namespace ecrcli {

struct ExplainEvent {
    uint64_t line = 0;
    int64_t stamp = -1;     // seconds, the time of the next record (the log's own resolution); -1 unknown
    int64_t earliest = -1;  // the time of the record before it
    std::string dir;        // "ecr" (cash register to terminal), "term", "none"
    std::string kind;       // "frame", "ack", "nak", "byte", "note"
    std::string code;       // frames: "PUR"
    std::string number;     // frames: "12"
    std::string label;      // short decoded text, masked
    std::vector<std::pair<std::string, std::string>> fields;  // named fields, masked
    std::string hex;        // the masked bytes as the log listed them
    std::string anomaly;    // empty when none
};

struct ExplainNote {
    uint64_t line = 0;
    std::string text;
};

struct ExplainPause {
    uint64_t line = 0;      // of the later event
    std::string what;       // "confirmation after the final response"
    int64_t seconds = -1;   // measured from the log's stamps (1 s resolution)
    unsigned mandated_ms = 0;
    bool early = false;     // certainly shorter than mandated
};

struct ExplainedOperation {
    unsigned index = 0;        // 1-based, across all files
    std::string file;
    std::string name;          // "purchase", "stored transaction by invoice"
    std::string code;          // "PUR"
    int op_code = -1;          // operation code of a payment; -1 for a service exchange
    bool payment = false;
    std::string amount;        // "12.34" when the request carried one
    std::string start, end;    // time texts as written
    int64_t start_stamp = -1, end_stamp = -1;
    uint64_t first_line = 0, last_line = 0;
    std::vector<ExplainEvent> events;
    uint64_t events_left_out = 0;  // beyond the bound kept per operation
    std::vector<ExplainPause> pauses;
    std::vector<ExplainNote> anomalies;
    std::string status;        // approved, declined, not sent, cancelled, unknown, ok, failed
    std::string verdict;       // the sentence
    long callback_result = -1; // what the completion callback was given, when logged
};

class Explainer {
public:
    static constexpr size_t kMaxEvents = 2000;  // per operation

    // sink gets every operation as soon as it has ended.
    explicit Explainer(std::function<void(ExplainedOperation&&)> sink) : m_sink(std::move(sink)) {}
    void set_file(const std::string& file) { m_file = file; }
    void item(const LogItem& it);
    // The end of the input: an operation still open ends here.
    void finish();
    // Notes of the log that belong to no operation (drop notices between them).
    const std::vector<ExplainNote>& loose_notes() const { return m_loose; }

private:
    void record(const LogItem& it);
    void dump(const LogItem& it);
    void open_operation(const LogItem& it, bool payment, const std::string& code, int op_code);
    void close_operation();
    void add_event(ExplainEvent ev);
    void anomaly(uint64_t line, const std::string& text);
    void pending(uint64_t line, const std::string& text);  // for the next operation
    void frame_from_terminal(const LogItem& it, const std::string& msg);
    void frame_to_terminal(const LogItem& it, const std::string& msg);
    void byte_from_terminal(const LogItem& it, unsigned char b);
    void judge();
    bool answered() const;  // a service exchange ended with our ACK of its answer

    std::function<void(ExplainedOperation&&)> m_sink;
    std::string m_file;
    bool m_open = false;
    bool m_completion_asked = false;  // the card check's completion was called: its PCC14. opens it
    ExplainedOperation m_op;
    unsigned m_count = 0;
    int64_t m_last_stamp = -1;
    std::string m_last_time;
    size_t m_unstamped = 0;  // events at the end of m_op.events waiting for the next record's time
    std::vector<ExplainNote> m_loose;
    std::vector<ExplainNote> m_pending;  // notes before the next operation (a reopened link)

    // What the verdict is judged from.
    struct State {
        bool request_sent = false, write_failed = false, request_ack = false;
        int request_ack_byte = -1;     // the byte the ACK wait ended with
        bool request_nacked = false;   // the library's record of a request without ACK
        bool request_frame = false;    // and its record that a frame came in its stead
        bool init_interrupted = false, first_answer = false, progress_follow = false;
        bool final_read = false, final_undecodable = false, confirmation_sent = false;
        bool final_after_control = false;  // read after an interrupt or abort request went out
        int confirmation_byte = -1;
        long init_status = -1;
        bool ended = false, stop_asked = false, interrupt_sent = false, interrupt_taken = false;
        bool abort_sent = false, abort_answered = false, abort_taken = false, awaiting_ack = false;
        int response_code = -1;
        std::string invoice;
        char decision = 0;  // completion of a card check: '1' pay, '2' the cash register declined the card
    } m_st;
};

// Text of one operation, for a person.
std::string render_operation_text(const ExplainedOperation& op);
// One JSON object (one line) of one operation.
std::string render_operation_json(const ExplainedOperation& op);

// The --html page: one self-contained file, operations added as they end.
class HtmlPage {
public:
    // A page stays small enough for a browser (and the reader's memory bounded).
    static constexpr size_t kMaxOperations = 1000;
    static constexpr size_t kMaxBytes = 32u << 20;
    void add(const ExplainedOperation& op);
    std::string text(const std::string& title) const;

private:
    struct Entry {
        unsigned index = 0;
        std::string row, section, events;
    };
    std::vector<Entry> m_ops;
    size_t m_left_out = 0;
    size_t m_bytes = 0;
};

// "ecrcli explain ...": argv without the program name and "explain".
int explain_main(const std::vector<std::string>& args);

}  // namespace ecrcli
