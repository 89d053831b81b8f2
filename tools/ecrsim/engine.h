// Reactive terminal: answers every request of the cash register the way a
// card-payment terminal does, and keeps a journal of what it has done so that
// voids, stored-transaction queries, settlements and the audit agree with it.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ecrsim/chaos.h"
#include "ecrsim/director.h"
#include "ecrsim/link.h"

namespace ecrsim {

struct Options {
    std::string code = "00";     // response code of payments (two digits)
    unsigned delay_ms = 0;       // pause before the final response of a payment
    int wait_notice_min = -1;    // >= 0: send a wait notice with these minutes first
    std::string sms;             // non-empty: send this text message before the final response
    std::string pan;             // card number of responses and tracks, sent in full (empty: a masked one)
    Fault fault = Fault::None;   // from the request on, for every request
    bool magic = true;           // magic amounts choose their payment's course
    unsigned ack_timeout_ms = 10000;      // wait for the cash register's ACK of a frame
    unsigned confirm_timeout_ms = 60000;  // wait for the confirmation of a final response
};

// One stored transaction of the terminal's journal.
struct JournalEntry {
    std::string op;          // message code of the request: PUR, REF, VOD, ...
    long long amount = 0;    // minor units
    long long add_amount = 0;
    unsigned invoice = 0;
    std::string approval;    // six characters
    std::string rrn;         // twelve digits
    std::string pan;         // masked: at most the first 6 and last 4 digits
    std::string response;    // two digits
    std::string when;        // DDMMhhmm
    unsigned ecr_num = 0;
    unsigned long long receipt_num = 0;
    bool voided = false;     // a purchase later voided
    unsigned voids_invoice = 0;  // VOD/PVD: the invoice it acted on
};

struct Totals {
    unsigned sales = 0, refunds = 0, voids = 0;
    long long sales_amount = 0, refunds_amount = 0, voids_amount = 0;
    long long net() const { return sales_amount - refunds_amount; }
    unsigned all() const { return sales + refunds + voids; }
};

// UTF-8 to CP1251 for the terminal's texts (Cyrillic, ASCII and a few signs;
// anything else becomes '?').
std::string to_cp1251(const std::string& utf8);

class Engine {
public:
    explicit Engine(Options options = Options());
    // An engine whose course the director decides (it outlives the engine);
    // the options then give only the time limits.
    Engine(Options options, Director& director);
    // The command line's options as a standing rule.
    static Plan plan_of(const Options& options);

    enum class End { PeerGone, Stopped, Idle };
    // Serves one link until the peer goes away, *stop turns true, or (when
    // idle_exit_ms > 0) the link has been quiet that long after at least one
    // request was answered.
    End serve(ByteLink& link, const std::atomic<bool>* stop, unsigned idle_exit_ms = 0);

    std::vector<JournalEntry> journal() const;
    // Forgets the stored transactions (invoice numbers go on counting).
    void clear_journal();
    Director& director() { return m_dir; }
    Totals totals() const;
    unsigned requests_handled() const;
    // Called with one line for every request handled and every problem seen.
    void set_trace(std::function<void(const std::string&)> trace);
    // Faults injected at random (it outlives the engine); null: none.
    void set_chaos(Chaos* chaos) { m_chaos = chaos; }
    Chaos* chaos() const { return m_chaos; }

    struct Session;  // the state of one serve() call

private:
    friend struct Session;
    void trace(const std::string& line);
    Totals totals_locked() const;

    Options m_opt;
    std::unique_ptr<Director> m_own_director;
    Director& m_dir;
    mutable std::mutex m_mu;
    std::vector<JournalEntry> m_journal;
    unsigned m_next_invoice = 1;
    unsigned m_batch = 1;
    unsigned m_handled = 0;
    std::function<void(const std::string&)> m_trace;
    Chaos* m_chaos = nullptr;
};

}  // namespace ecrsim
