#include "ecrsim/director.h"

#include <cstdio>

namespace ecrsim {

bool parse_fault(const std::string& name, Fault* out)
{
    static const struct {
        const char* name;
        Fault f;
    } kNames[] = {{"none", Fault::None},
                  {"bad-lrc", Fault::BadLrc},
                  {"drop-ack", Fault::DropAck},
                  {"silence", Fault::Silence},
                  {"close", Fault::Close}};
    for (const auto& n : kNames)
        if (name == n.name) {
            *out = n.f;
            return true;
        }
    return false;
}

const char* fault_name(Fault f)
{
    switch (f) {
    case Fault::None: return "none";
    case Fault::BadLrc: return "bad-lrc";
    case Fault::DropAck: return "drop-ack";
    case Fault::Silence: return "silence";
    case Fault::Close: return "close";
    }
    return "none";
}

static const char* const kStepNames[] = {"ack", "first", "final", "confirm"};

bool parse_step(const std::string& name, Step* out)
{
    for (int i = 0; i < 4; ++i)
        if (name == kStepNames[i]) {
            *out = static_cast<Step>(i);
            return true;
        }
    return false;
}

const char* step_name(Step s) { return kStepNames[static_cast<int>(s)]; }

std::string money_text(long long minor)
{
    char buf[48];
    const long long a = minor < 0 ? -minor : minor;
    std::snprintf(buf, sizeof buf, "%s%lld.%02lld", minor < 0 ? "-" : "", a / 100, a % 100);
    return buf;
}

// ---- magic amounts ----
//
// The whole part 7001..7007 chooses what happens, the cents are its
// argument.  Amounts below 7000.00, where the amounts of everyday tests
// lie, are never magic.

const std::vector<MagicRow>& magic_table()
{
    static const std::vector<MagicRow> kTable = {
        {"7001.NN", "declined with response code NN (7001.00 approves)"},
        {"7002.0S", "goes silent from step S: 0 sends not even the ACK, 1 after the first answer,\n"
                    "2 sends no final response, 3 leaves the confirmation unacknowledged"},
        {"7003.NN", "a wait notice of NN minutes, then approved"},
        {"7004.00", "a text message for the cash desk, then approved"},
        {"7005.0S", "drops the link at step S (as for 7002)"},
        {"7006.NN", "approved after NN seconds"},
        {"7007.00", "waits for a decision through the control API or the console"},
    };
    return kTable;
}

bool magic_plan(long long amount, Plan* out)
{
    if (amount < 700100 || amount >= 700800)
        return false;
    const int row = static_cast<int>(amount / 100 - 7000);
    const int nn = static_cast<int>(amount % 100);
    Plan p;
    switch (row) {
    case 1:
        p.code = std::string(1, static_cast<char>('0' + nn / 10)) + static_cast<char>('0' + nn % 10);
        break;
    case 2:
    case 5:
        if (nn > 3)
            return false;
        p.fault = row == 2 ? Fault::Silence : Fault::Close;
        p.fault_step = static_cast<Step>(nn);
        break;
    case 3:
        p.wait_notices.push_back(nn);
        break;
    case 4:
        if (nn != 0)
            return false;
        // "Magic amount: a text message" in CP1251 (ASCII here).
        p.messages.push_back("MAGIC AMOUNT: A TEXT MESSAGE");
        break;
    case 6:
        p.delay_ms = static_cast<unsigned>(nn) * 1000u;
        break;
    case 7:
        if (nn != 0)
            return false;
        p.decide = true;
        break;
    default:
        return false;
    }
    p.origin = "magic " + money_text(amount);
    *out = p;
    return true;
}

// ---- the Director ----

Director::Director(Plan standing, bool magic) : m_initial(standing), m_standing(standing), m_magic(magic)
{
    m_standing.origin = m_initial.origin.empty() ? "command line" : m_initial.origin;
}

Plan Director::plan_for(long long amount)
{
    std::lock_guard<std::mutex> lk(m_mu);
    ++m_counters.payments;
    m_have_decision = false;  // a decision left over from an earlier payment is stale
    if (!m_queue.empty()) {
        Plan p = m_queue.front();
        m_queue.pop_front();
        ++m_counters.queued_used;
        if (p.pan.empty())
            p.pan = m_standing.pan;
        return p;
    }
    Plan p;
    if (m_magic && magic_plan(amount, &p)) {
        ++m_counters.magic;
        p.pan = m_standing.pan;
        return p;
    }
    return m_standing;
}

Plan Director::standing() const
{
    std::lock_guard<std::mutex> lk(m_mu);
    return m_standing;
}

bool Director::take_decision(Decision* out)
{
    std::lock_guard<std::mutex> lk(m_mu);
    if (!m_have_decision)
        return false;
    *out = m_decision;
    m_have_decision = false;
    ++m_counters.decisions;
    return true;
}

void Director::set_state(const TerminalState& s)
{
    {
        std::lock_guard<std::mutex> lk(m_mu);
        const bool keep_last = !s.has_last && m_state.has_last;
        TerminalState old = m_state;
        m_state = s;
        if (keep_last) {
            m_state.has_last = true;
            m_state.last_request = old.last_request;
            m_state.last_code = old.last_code;
            m_state.last_pan = old.last_pan;
            m_state.last_amount = old.last_amount;
        }
    }
    notify();
}

void Director::payment_done(const std::string& request, const std::string& code, const std::string& masked_pan,
                            long long amount, bool confirmed)
{
    {
        std::lock_guard<std::mutex> lk(m_mu);
        ++(code == "00" ? m_counters.approved : m_counters.declined);
        if (!confirmed)
            ++m_counters.unconfirmed;
        m_state.has_last = true;
        m_state.last_request = request;
        m_state.last_code = code;
        m_state.last_pan = masked_pan;
        m_state.last_amount = amount;
    }
    notify();
}

bool Director::recording() const
{
    std::lock_guard<std::mutex> lk(m_mu);
    return static_cast<bool>(m_listener);
}

void Director::emit(WireEvent ev)
{
    {
        std::lock_guard<std::mutex> lk(m_mu);
        if (ev.kind == "frame")
            ++(ev.dir == "ecr" ? m_counters.frames_in : m_counters.frames_out);
        else if (ev.kind == "ack")
            ++(ev.dir == "ecr" ? m_counters.acks_in : m_counters.acks_out);
        if (ev.kind == "frame" && ev.dir == "ecr" && !ev.anomaly.empty())
            ++m_counters.bad_frames;
        if (ev.kind == "note" && ev.anomaly.rfind("fault", 0) == 0)
            ++m_counters.faults;
        if (ev.kind == "frame" && ev.dir == "ecr" && ev.anomaly.empty() && ev.label.size() > 5 &&
            ev.label.compare(3, 3, "10.") == 0)
            ++m_counters.requests;
        ev.seq = ++m_seq;
        m_ring.push_back(std::move(ev));
        if (m_ring.size() > kRing)
            m_ring.pop_front();
    }
    notify();
}

void Director::count_connection()
{
    std::lock_guard<std::mutex> lk(m_mu);
    ++m_counters.connections;
}

bool Director::enqueue(Plan p, std::string* why)
{
    std::lock_guard<std::mutex> lk(m_mu);
    if (m_queue.size() >= kMaxQueue) {
        *why = "the queue holds " + std::to_string(kMaxQueue) + " plans already";
        return false;
    }
    p.origin = "queue";
    m_queue.push_back(std::move(p));
    return true;
}

std::vector<Plan> Director::queue() const
{
    std::lock_guard<std::mutex> lk(m_mu);
    return std::vector<Plan>(m_queue.begin(), m_queue.end());
}

void Director::clear_queue()
{
    std::lock_guard<std::mutex> lk(m_mu);
    m_queue.clear();
}

void Director::set_standing(Plan p)
{
    std::lock_guard<std::mutex> lk(m_mu);
    p.origin = "rule";
    m_standing = std::move(p);
}

void Director::restore_standing()
{
    std::lock_guard<std::mutex> lk(m_mu);
    m_standing = m_initial;
    m_standing.origin = "command line";
}

bool Director::decide(const Decision& d, std::string* why)
{
    std::lock_guard<std::mutex> lk(m_mu);
    if (!m_state.busy || m_state.step != "decision") {
        *why = "no payment is waiting for a decision";
        return false;
    }
    if (m_have_decision) {
        *why = "a decision is already on its way to the terminal";
        return false;
    }
    m_decision = d;
    m_have_decision = true;
    return true;
}

TerminalState Director::state() const
{
    std::lock_guard<std::mutex> lk(m_mu);
    return m_state;
}

Counters Director::counters() const
{
    std::lock_guard<std::mutex> lk(m_mu);
    return m_counters;
}

uint64_t Director::events_after(uint64_t after_seq, std::vector<WireEvent>* out, size_t max) const
{
    std::lock_guard<std::mutex> lk(m_mu);
    for (const WireEvent& ev : m_ring) {
        if (out->size() >= max)
            break;
        if (ev.seq > after_seq)
            out->push_back(ev);
    }
    return m_seq;
}

void Director::note_lost(unsigned long long n)
{
    std::lock_guard<std::mutex> lk(m_mu);
    m_counters.events_lost += n;
}

void Director::set_listener(std::function<void()> listener)
{
    std::lock_guard<std::mutex> lk(m_mu);
    m_listener = std::move(listener);
}

void Director::notify()
{
    std::function<void()> l;
    {
        std::lock_guard<std::mutex> lk(m_mu);
        l = m_listener;
    }
    if (l)
        l();
}

}  // namespace ecrsim
