#include "ecrcli/explain.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "Logging/redact.h"
#include "ecrcli/money.h"
#include "ecrcli/outcome.h"
#include "protocol/message.h"
#include "protocol/records.h"
#include "protocol/response_decoder.h"
#include "protocol/status.h"
#include "protocol/transaction_rules.h"

namespace ecrcli {

namespace {

constexpr unsigned char kStx = 0x02, kAck = 0x06, kNak = 0x15, kFs = 0x1C;
constexpr int kCheckCardOp = 14;   // the purchase with a card check

bool has(std::string_view text, std::string_view what) { return text.find(what) != std::string_view::npos; }

// The record's message without its "[function:line] " prefix.
std::string_view message_of(std::string_view text)
{
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find("] ");
        if (close != std::string_view::npos)
            return text.substr(close + 2);
    }
    return text;
}

// Number inside the first "[...]" after key; -1 when none.
long bracket_number(std::string_view text, std::string_view key)
{
    const size_t at = text.find(key);
    if (at == std::string_view::npos)
        return -1;
    long v = 0;
    bool any = false;
    for (size_t i = at + key.size(); i < text.size() && text[i] >= '0' && text[i] <= '9' && v < 100000000; ++i) {
        v = v * 10 + (text[i] - '0');
        any = true;
    }
    return any ? v : -1;
}

std::string hex_of(const std::string& bytes)
{
    static const char k[] = "0123456789ABCDEF";
    std::string out;
    const size_t n = bytes.size() < 512 ? bytes.size() : 512;
    out.reserve(n * 3);
    for (size_t i = 0; i < n; ++i) {
        const unsigned char b = static_cast<unsigned char>(bytes[i]);
        if (i != 0)
            out += ' ';
        out += k[b >> 4];
        out += k[b & 15];
    }
    if (n < bytes.size())
        out += " ...";
    return out;
}

// Printable text of masked bytes: what is not printable becomes '.'.
std::string printable(std::string text, size_t max = 60)
{
    if (text.size() > max)
        text = text.substr(0, max) + "...";
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
            c = '.';
    return el::redacted_text(text);
}

std::string two_digits(long v)
{
    char b[16];
    std::snprintf(b, sizeof b, "%02ld", v);
    return b;
}

std::string field_text(const char* p, size_t n) { return printable(std::string(p, strnlen(p, n))); }

const char* operation_name(int op)
{
    switch (op) {
    case 1: return "purchase";
    case 2: return "refund";
    case 5: return "discount purchase";
    case 7: return "settlement";
    case 8: return "void";
    case 9: case 10: return "card check purchase";
    case 14: return "purchase with card check";
    case 11: return "pre-authorisation";
    case 12: return "pre-authorisation completion";
    case 15: return "settlement with totals";
    case 18: return "purchase (interruptible)";
    case 19: return "refund (interruptible)";
    case 20: return "partial void";
    case 35: return "cash withdrawal";
    case 36: return "credit payment";
    case 37: return "balance";
    case 39: return "echo test";
    case 43: return "ping";
    case 45: return "print";
    default: return "payment operation";
    }
}

const char* service_name(const std::string& code)
{
    static const struct { const char* code; const char* name; } k[] = {
        {"GTI", "stored transaction by invoice"}, {"GTL", "last stored transaction"},
        {"GTS", "stored transaction by sequence"}, {"GTC", "count of stored transactions"},
        {"GSI", "summary of stored transactions"}, {"IRT", "interrupt"}, {"CRD", "card read"},
        {"DSC", "discount"}, {"DCR", "discount card read"}, {"GRC", "card group"}, {"INF", "terminal information"},
        {"INM", "terminal information"}, {"GNS", "terminal software"}, {"TSN", "terminal serial number"},
        {"AUD", "audit"}, {"XRP", "X report"}, {"PIN", "PIN read"}, {"ACR", "card read"},
    };
    for (const auto& e : k)
        if (code == e.code)
            return e.name;
    return "service exchange";
}

// The twelve digits of an amount, as money text; empty when not an amount.
std::string amount_text(std::string_view f)
{
    if (f.size() != 12 || f.find_first_not_of("0123456789") != std::string_view::npos)
        return std::string();
    return money_text(std::stoll(std::string(f)));
}

// Fields of a message after its header, cut by the protocol's own primitive.
std::vector<std::string> fields_of(const std::string& msg)
{
    std::vector<std::string> out;
    if (msg.size() <= 6)
        return out;
    unsigned char* cursor = reinterpret_cast<unsigned char*>(const_cast<char*>(msg.data())) + 6;
    unsigned int remaining = static_cast<unsigned int>(msg.size() - 6);
    while (remaining > 0 && out.size() < 64) {
        unsigned char* f = nullptr;
        unsigned int n = 0;
        bool sep = false;
        if (locate_next_field(&cursor, &remaining, remaining, &f, &n, &sep) != SE_OK)
            break;
        out.emplace_back(reinterpret_cast<const char*>(f), n);
    }
    return out;
}

// The final response decoded into a report by the library's decoder; the
// two-step operations answer with number 11, decoded as a final response.
unsigned decode_final(const std::string& msg, _ecr_transaction_report* r, bool stored)
{
    std::string copy = msg;
    if (!stored && copy.size() >= 6 && copy.compare(3, 3, "11.") == 0)
        for (const char* c : {"RDC", "PCC", "DSC", "RFC"})
            if (message_starts_with(reinterpret_cast<const unsigned char*>(copy.data()),
                                    static_cast<unsigned>(copy.size()), c, 3))
                copy[4] = '2';
    unsigned char* p = reinterpret_cast<unsigned char*>(&copy[0]);
    const unsigned n = static_cast<unsigned>(copy.size());
    if (stored)
        return ecr_parse_response_NP(p, n, r);
    // A text too long for its field after the amount leaves it empty; the
    // library completes the payment all the same.
    const FinalDecode d = ecr_decode_final(p, n, r);
    return d.usable ? static_cast<unsigned>(SE_OK) : d.status;
}

void report_fields(const _ecr_transaction_report& r, ExplainEvent* ev)
{
    auto add = [&](const char* name, const std::string& value) {
        if (!value.empty())
            ev->fields.emplace_back(name, value);
    };
    add("response_code", two_digits(r.ResponseCode));
    add("amount", money_text(money_from_double(r.Amount)));
    if (r.AddAmount != 0)
        add("add_amount", money_text(money_from_double(r.AddAmount)));
    add("pan", el::masked_pan(std::string(r.PAN, strnlen(r.PAN, sizeof r.PAN))));
    if (r.InvoceNumber != 0) {
        char inv[16];
        std::snprintf(inv, sizeof inv, "%06u", static_cast<unsigned>(r.InvoceNumber));
        add("invoice", inv);
    }
    add("approval_code", field_text(r.ApprovalCode, sizeof r.ApprovalCode));
    add("rrn", field_text(r.RRN, sizeof r.RRN));
    add("terminal_id", field_text(r.TerminalID, sizeof r.TerminalID));
    add("merchant_id", field_text(r.MerchantId, sizeof r.MerchantId));
    add("card_name", field_text(r.CardName, sizeof r.CardName));
    if (r.TransactionDateDay != 0)
        add("date", two_digits(r.TransactionDateDay) + "." + two_digits(r.TransactionDateMonth) + " " +
                        two_digits(r.TransactionTimeHours) + ":" + two_digits(r.TransactionTimeMinutes));
}

std::string where_text(const ExplainedOperation& op)
{
    for (size_t i = op.events.size(); i-- > 0;) {
        const ExplainEvent& e = op.events[i];
        if (e.kind == "note")
            continue;
        return "after " + std::string(e.dir == "ecr" ? "the cash register's " : "the terminal's ") +
               (e.kind == "frame" ? e.code + e.number + " (" + e.label + ")" : e.kind == "ack" ? "ACK" : e.label) +
               ", line " + std::to_string(e.line);
    }
    return "before anything was sent";
}

}  // namespace

void Explainer::anomaly(uint64_t line, const std::string& text)
{
    // Record texts are quoted as well: masked again, whatever the log held.
    ExplainNote n{line, printable(text, 200)};
    if (m_open && m_op.anomalies.size() < kMaxEvents)
        m_op.anomalies.push_back(std::move(n));
    else if (!m_open && m_loose.size() < 100)
        m_loose.push_back(std::move(n));
}

void Explainer::add_event(ExplainEvent ev)
{
    if (!m_open)
        return;
    ev.stamp = -1;
    ev.earliest = m_last_stamp;
    if (m_op.events.size() >= kMaxEvents) {
        ++m_op.events_left_out;
        return;
    }
    m_op.events.push_back(std::move(ev));
    ++m_unstamped;
}

void Explainer::open_operation(const LogItem& it, bool payment, const std::string& code, int op_code)
{
    close_operation();
    m_open = true;
    m_op = ExplainedOperation{};
    m_st = State{};
    m_op.index = ++m_count;
    m_op.file = m_file;
    m_op.payment = payment;
    m_op.code = code;
    m_op.op_code = op_code;
    m_op.name = payment ? operation_name(op_code) : service_name(code);
    m_op.first_line = m_op.last_line = it.line;
    m_op.start = m_last_time;
    m_op.start_stamp = m_last_stamp;
    m_unstamped = 0;
    for (ExplainNote& n : m_pending)
        m_op.anomalies.push_back(std::move(n));
    m_pending.clear();
}

void Explainer::pending(uint64_t line, const std::string& text)
{
    if (m_pending.size() < 100)
        m_pending.push_back(ExplainNote{line, printable(text, 200)});
}

void Explainer::item(const LogItem& it)
{
    if (it.kind == LogItem::Record)
        record(it);
    else
        dump(it);
    if (m_open)
        m_op.last_line = it.line;
}

void Explainer::record(const LogItem& it)
{
    m_last_stamp = it.stamp;
    m_last_time = std::string(it.time);
    // Events since the last record happened at or before this record's time.
    for (size_t i = m_op.events.size() - (m_open ? m_unstamped : 0); m_open && i < m_op.events.size(); ++i)
        m_op.events[i].stamp = it.stamp;
    m_unstamped = 0;
    if (m_open) {
        m_op.end = m_last_time;
        m_op.end_stamp = it.stamp;
    }
    const std::string_view text = it.text;
    const std::string_view msg = message_of(text);
    const uint64_t line = it.line;

    if (has(text, " Tran name[")) {
        const size_t at = text.find(" Tran name[") + 11;
        open_operation(it, true, std::string(text.substr(at, 3)), static_cast<int>(bracket_number(text, "Tran code[")));
        return;
    }
    // The purchase with a card check writes no operation record of its own:
    // its member's record starts it, and its completion's request the second half.
    if (msg == "PosPurchaseCheckCard") {
        open_operation(it, true, "PCC", kCheckCardOp);
        return;
    }
    if (msg == "PosPurchaseCheckCardCompleteTran") {
        m_completion_asked = true;
        return;
    }
    if (has(text, "log queue full")) {
        anomaly(line, "the log itself dropped lines here: " + std::string(msg));
        return;
    }
    if (has(text, "Try connect to terminal")) {
        if (m_count > 0)
            pending(line, "the link was opened again (line " + std::to_string(line) + ")");
        return;
    }
    if (has(text, "operation record left behind[")) {
        pending(line, "an earlier payment's outcome was not known: " + std::string(msg));
        return;
    }
    if (!m_open)
        return;
    State& s = m_st;
    if (has(text, "End pos_init_transport err_code=[")) {
        s.init_status = bracket_number(text, "err_code=[");
        if (s.init_status > 0 && !s.init_interrupted)
            anomaly(line, std::string("the request step ended with ") + se_name(static_cast<unsigned>(s.init_status)));
    } else if (has(text, "End pos_read_transaction_report err_code=[")) {
        const long st = bracket_number(text, "err_code=[");
        if (st == SE_READ || st == SE_NODATA)
            anomaly(line, "time-out: no message from the terminal within the response time-out");
    } else if (has(text, "Interapted! return SE_OK")) {
        s.init_interrupted = true;
        anomaly(line, "the cash register's stop ended the wait for the request's ACK");
    } else if (has(text, "Read was interrapted -> exit from read")) {
        anomaly(line, "the cash register's stop came while the confirmation's ACK was awaited; it was awaited on");
    } else if (has(text, "Read was interrapted")) {
        anomaly(line, "the cash register's stop ended a read " + where_text(m_op));
    } else if (has(text, "Start interapt all write/read operation")) {
        s.stop_asked = true;
        anomaly(line, "cancel asked by the cash register, " + where_text(m_op));
    } else if (msg == "PosInterruptTrx" || msg == "PosAbortTrx") {
        s.stop_asked = true;
        anomaly(line, std::string(msg == "PosInterruptTrx" ? "interrupt" : "abort") + " asked by the cash register, " +
                          where_text(m_op));
    } else if (has(text, "Received ack[")) {
        s.request_nacked = true;
        anomaly(line, "no ACK for the request");
    } else if (has(text, "Frame received instead of ack")) {
        s.request_frame = true;
        anomaly(line, "the terminal answered the request with a frame instead of an ACK: it may have taken it");
    } else if (has(text, "Readed[")) {
        anomaly(line, "the terminal did not acknowledge the confirmation");
    } else if (has(text, "Final response not decoded[")) {
        s.final_undecodable = true;
        anomaly(line, "the final response could not be decoded: it was not confirmed");
    } else if (has(text, "Frame with a bad check byte dropped")) {
        if (!m_op.events.empty())
            m_op.events.back().anomaly = "bad check byte: frame dropped";
        anomaly(line, "a frame with a bad check byte was dropped");
    } else if (has(text, "Frame longer than")) {
        if (!m_op.events.empty())
            m_op.events.back().anomaly = "frame dropped as too long";
        if (s.first_answer)
            s.final_undecodable = true;
        anomaly(line, "a frame was dropped as too long: " + std::string(msg));
    } else if (has(text, "Bytes left from an earlier exchange dropped[")) {
        if (!m_op.events.empty())
            m_op.events.back().anomaly = "bytes left from an earlier exchange, dropped";
        anomaly(line, "bytes left from an earlier exchange were dropped");
    } else if (has(text, "Cannot write to terminal") || has(text, "Can't write ACK")) {
        if (!s.request_ack)
            s.write_failed = true;
        anomaly(line, "write failed: " + std::string(msg));
    } else if (has(text, "Datagram from another sender dropped") || has(text, "exchange busy") ||
               has(text, "link is busy")) {
        anomaly(line, std::string(msg));
    } else if (has(text, "recovered operation[")) {
        ExplainEvent ev;
        ev.line = line;
        ev.dir = "none";
        ev.kind = "note";
        ev.label = "recovery: " + printable(std::string(msg.substr(msg.rfind(']') + 1)), 120);
        add_event(std::move(ev));
    } else if (has(text, "On transaction complete[")) {
        m_op.callback_result = bracket_number(text, "complete[");
    } else if (has(text, "thread done")) {
        s.ended = true;
    }
}

void Explainer::dump(const LogItem& it)
{
    const ecrsim::LogDump& d = *it.dump;
    std::string bytes = d.bytes;
    // Never more than the log showed: a message that passed its check is
    // masked by the response layouts, other dumps as their label says.
    const el::DumpAs as =
        d.label == "Received from terminal" ? el::DumpAs::Message : el::dump_as_for_label(d.label.c_str());
    el::redact_for_dump(reinterpret_cast<unsigned char*>(&bytes[0]), bytes.size(), as);
    if (!it.dump_whole)
        anomaly(it.line, "the dump of " + std::to_string(d.size) + " bytes is broken off after " +
                             std::to_string(d.bytes.size()));
    if (d.label == "SEND TO TERMINAL") {
        size_t at = 0;
        if (!bytes.empty() && static_cast<unsigned char>(bytes[0]) == kAck) {
            ExplainEvent ev;
            ev.line = it.line;
            ev.dir = "ecr";
            ev.kind = "ack";
            ev.label = "ACK";
            ev.hex = "06";
            add_event(std::move(ev));
            if (m_st.interrupt_sent && m_st.awaiting_ack)
                m_st.interrupt_taken = true;
            m_st.awaiting_ack = false;
            at = 1;
        }
        if (bytes.size() >= at + 3 && static_cast<unsigned char>(bytes[at]) == kStx)
            frame_to_terminal(it, bytes.substr(at + 1, bytes.size() - at - 3));
    } else if (d.label == "Received from terminal") {
        frame_from_terminal(it, bytes);
    } else if (d.label == "RECV FROM TERMINAL") {
        byte_from_terminal(it, bytes.empty() ? 0 : static_cast<unsigned char>(bytes[0]));
    } else if (d.label == "UNCKNOWN MSG TYPE" || d.label == "UNCKNOWN MSG NUM") {
        anomaly(it.line, std::string("the decoder refused the response: ") +
                             (d.label == "UNCKNOWN MSG TYPE" ? "unknown message code " : "unknown message number ") +
                             printable(bytes));
    }
}

void Explainer::frame_to_terminal(const LogItem& it, const std::string& msg)
{
    State& s = m_st;
    const std::string code = msg.substr(0, 3), number = msg.size() >= 5 ? msg.substr(3, 2) : std::string();
    const bool request = number == "10";
    if (m_completion_asked && code == "PCC" && number == "14") {
        m_completion_asked = false;
        open_operation(it, true, code, kCheckCardOp);
        m_op.name = "completion of the card check";
        m_st.decision = msg.size() > 6 ? msg[6] : 0;
    }
    // A request that is not part of the running payment starts an operation.
    const bool payment_control = m_open && m_op.payment && (msg.compare(0, 6, "IRT10.") == 0 ||
                                                            (code == "PUR" && (number == "11" || number == "13")));
    if (request && !payment_control && (!m_open || (m_op.payment ? s.request_sent : true))) {
        LogItem at = it;
        open_operation(at, false, code, -1);
    }
    if (!m_open)
        return;
    ExplainEvent ev;
    ev.line = it.line;
    ev.dir = "ecr";
    ev.kind = "frame";
    ev.code = code;
    ev.number = number;
    ev.hex = hex_of(msg);
    const std::vector<std::string> f = fields_of(msg);
    if (!s.request_sent && !payment_control) {
        s.request_sent = true;
        ev.label = "request";
        // The common layout of a payment request: cash register, receipt, amount, additional amount.
        if (f.size() >= 4 && !amount_text(f[2]).empty()) {
            ev.fields = {{"ecr", printable(f[0])}, {"receipt", printable(f[1])}, {"amount", amount_text(f[2])}};
            if (amount_text(f[3]) != "0.00")
                ev.fields.emplace_back("add_amount", amount_text(f[3]));
            m_op.amount = amount_text(f[2]);
        } else if (f.size() >= 1 && !f[0].empty()) {
            ev.fields = {{"field1", printable(f[0])}};
        }
    } else if (msg.compare(0, 6, "IRT10.") == 0) {
        s.interrupt_sent = true;
        ev.label = "interrupt request";
    } else if (payment_control && number == "11") {
        s.abort_sent = true;
        ev.label = "abort request";
    } else if (s.abort_answered) {
        ev.label = "abort confirmation";
        s.awaiting_ack = true;
    } else if (s.final_read && !s.confirmation_sent) {
        s.confirmation_sent = true;
        ev.label = "confirmation";
    } else {
        ev.label = "message";
    }
    add_event(std::move(ev));
}

void Explainer::frame_from_terminal(const LogItem& it, const std::string& msg)
{
    if (!m_open)
        return;
    State& s = m_st;
    ExplainEvent ev;
    ev.line = it.line;
    ev.dir = "term";
    ev.kind = "frame";
    ev.hex = hex_of(msg);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(msg.data());
    const unsigned n = static_cast<unsigned>(msg.size());
    if (!msg.empty() && p[0] == kStx) {
        // A whole frame as it came: dumped because it was refused.
        ev.label = "frame as received: " + printable(msg.substr(1));
        add_event(std::move(ev));
        return;
    }
    ev.code = msg.substr(0, 3);
    ev.number = msg.size() >= 5 ? msg.substr(3, 2) : std::string();
    const bool late = s.ended && !s.interrupt_sent && !s.abort_sent;
    if (!m_op.payment) {
        ev.label = "answer";
        if (msg.size() >= 6 && msg.compare(3, 3, "11.") == 0 && ev.code != "IRT") {
            std::unique_ptr<_ecr_transaction_report> r(new _ecr_transaction_report());
            if (decode_final(msg, r.get(), true) == SE_OK)
                report_fields(*r, &ev);
        }
        s.awaiting_ack = true;
    } else if (s.interrupt_sent && ev.code == "IRT") {
        ev.label = "interrupt answer";
        s.awaiting_ack = ev.number == "11";
    } else if (s.abort_sent && !s.abort_answered && message_starts_with(p, n, "PUR12", 5) && (n <= 6 || p[6] == kFs)) {
        // With a response code it is the purchase's final response (below).
        ev.label = "abort answer";
        s.abort_answered = true;
    } else if (is_wait_notice(p, n)) {
        unsigned minutes = 0;
        ev.label = "wait notice";
        if (wait_notice_minutes(p, n, &minutes)) {
            ev.fields = {{"minutes", std::to_string(minutes)}};
            ev.anomaly = "wait notice: the deadline moved to " + std::to_string(minutes) + " min from here";
        }
    } else if (is_text_message(p, n)) {
        std::unique_ptr<_ecr_transaction_report> r(new _ecr_transaction_report());
        store_text_message(p, n, r.get());
        ev.label = "text message";
        ev.fields = {{"text", printable(r->MsgText)}};
        if (r->MsgFlag != 0)
            ev.fields.emplace_back("flag", "1");
    } else if (late || !s.request_ack) {
        ev.label = "message";  // not read by the payment's steps
    } else if (!s.first_answer) {
        s.first_answer = true;
        const bool ok = m_op.code.size() == 3 && message_starts_with(p, n, m_op.code.c_str(), 3) && n >= 5 &&
                        p[3] == '1' && (p[4] == '1' || p[4] == '3' || p[4] == '5');
        ev.label = ok ? "first answer" : "first answer, not accepted";
        if (!ok)
            ev.anomaly = "not a first answer to " + m_op.code + "10.";
    } else if (is_progress_notice(p, n)) {
        ev.label = "notice";
        s.progress_follow = true;
    } else if (s.progress_follow) {
        ev.label = "message after the notice (not decoded)";
        s.progress_follow = false;
    } else if (!s.final_read) {
        s.final_read = true;
        s.final_after_control = s.interrupt_sent || s.abort_sent;
        ev.label = "final response";
        std::unique_ptr<_ecr_transaction_report> r(new _ecr_transaction_report());
        const unsigned st = decode_final(msg, r.get(), false);
        if (st == SE_OK || (st == SE_PARAM && r->TrxType == 38)) {
            report_fields(*r, &ev);
            s.response_code = r->ResponseCode;
            if (r->InvoceNumber != 0) {
                char inv[16];
                std::snprintf(inv, sizeof inv, "%06u", static_cast<unsigned>(r->InvoceNumber));
                s.invoice = inv;
            }
        } else {
            ev.label = "final response, not decodable";
            ev.anomaly = std::string("not decodable (") + se_name(st) + ")";
            s.final_undecodable = true;
        }
    } else {
        ev.label = "message";
    }
    add_event(std::move(ev));
}

void Explainer::byte_from_terminal(const LogItem& it, unsigned char b)
{
    if (!m_open)
        return;
    State& s = m_st;
    ExplainEvent ev;
    ev.line = it.line;
    ev.dir = "term";
    ev.kind = b == kAck ? "ack" : b == kNak ? "nak" : "byte";
    ev.label = b == kAck ? "ACK" : b == kNak ? "NAK" : b == 0 ? "nothing" : "byte " + hex_of(std::string(1, static_cast<char>(b)));
    ev.hex = hex_of(std::string(1, static_cast<char>(b)));
    if (b != kAck)
        ev.anomaly = b == 0 ? "no ACK came" : b == kNak ? "NAK instead of ACK" : "another byte instead of ACK";
    // A final response that came as a control's answer is confirmed as any other.
    if (s.confirmation_sent && s.confirmation_byte < 0) {
        s.confirmation_byte = b;
    } else if (s.interrupt_sent || s.abort_sent) {
        if (s.abort_answered)
            s.abort_taken = b == kAck;
    } else if (s.request_sent && !s.request_ack && s.request_ack_byte < 0) {
        s.request_ack_byte = b;
        s.request_ack = b == kAck;
    }
    add_event(std::move(ev));
}

void Explainer::close_operation()
{
    if (!m_open)
        return;
    m_open = false;
    ExplainedOperation& op = m_op;
    for (size_t i = op.events.size() - m_unstamped; i < op.events.size(); ++i)
        op.events[i].stamp = m_last_stamp;  // the log ended: its last time
    m_unstamped = 0;
    judge();
    // Pauses the library keeps before what it sends after the terminal's frame.
    int64_t frame_lo = -1;
    for (size_t i = 0; i < op.events.size(); ++i) {
        const ExplainEvent& e = op.events[i];
        // The report loop of a payment pauses 100 ms before each ACK, a
        // service exchange 1000 ms; the first answer and the interrupt's are
        // acknowledged at once.
        if (e.dir == "term" && e.kind == "frame")
            frame_lo = (op.payment ? (e.label == "wait notice" || e.label == "text message" || e.label == "notice" ||
                                      e.label.compare(0, 14, "final response") == 0 || e.label.compare(0, 17, "message after the") == 0)
                                   : e.label == "answer")
                           ? e.earliest
                           : -1;
        if (e.dir != "ecr" || frame_lo < 0 || e.stamp < 0)
            continue;
        ExplainPause p;
        p.line = e.line;
        if (e.kind == "ack") {
            p.what = "ACK after the terminal's frame";
            p.mandated_ms = op.payment ? 100 : 1000;
        } else if (e.label == "confirmation") {
            p.what = "confirmation after the final response";
            p.mandated_ms = 5000;
        } else {
            continue;
        }
        p.seconds = e.stamp - frame_lo;
        p.early = e.stamp + 1 - frame_lo <= static_cast<int64_t>(p.mandated_ms / 1000) && p.mandated_ms >= 1000;
        if (p.early)
            op.anomalies.push_back(ExplainNote{e.line, p.what + " came sooner than the mandated " +
                                                           std::to_string(p.mandated_ms) + " ms"});
        op.pauses.push_back(p);
        if (e.kind != "ack")
            frame_lo = -1;
    }
    m_sink(std::move(op));
    m_op = ExplainedOperation{};
}

bool Explainer::answered() const
{
    for (size_t i = m_op.events.size(); i-- > 0;)
        if (m_op.events[i].kind != "note")
            return m_op.events[i].dir == "ecr" && m_op.events[i].kind == "ack";
    return false;
}

void Explainer::judge()
{
    ExplainedOperation& op = m_op;
    const State& s = m_st;
    auto set = [&](const char* status, const std::string& text) {
        op.status = status;
        op.verdict = text;
    };
    const std::string recover = "run recovery (ecrb_recover) or check the terminal's journal";
    if (!op.payment) {
        if (s.request_ack_byte >= 0 && s.request_ack_byte != kAck)
            set("failed", "failed: the terminal did not acknowledge the request");
        else if (answered())
            set("ok", "ok: the terminal answered");
        else
            set("failed", "failed: no answer from the terminal");
        return;
    }
    // The cash register declined the checked card: the terminal took the decision.
    if (s.decision == '2' && s.request_ack && s.first_answer) {
        set("cancelled", "cancelled: the cash register declined the card");
        return;
    }
    if (s.final_read && !s.final_undecodable && s.confirmation_byte == kAck) {
        if (op.op_code == kCheckCardOp && s.response_code == 33)
            set("unknown", "unknown: card-belonging notice; the completion (PurchaseCheckCardCompleteTran) decides the "
                           "purchase; " + recover);
        else if (s.response_code == 0 && s.final_after_control)
            set("unknown", std::string("unknown: the terminal's approval crossed the ") +
                               (s.abort_sent ? "abort" : "interrupt") +
                               "; it may have given the payment up; " + recover +
                               (s.invoice.empty() ? std::string() : " for invoice " + s.invoice));
        else if (s.response_code == 0)
            set("approved", "approved and confirmed");
        else
            set("declined", "declined " + two_digits(s.response_code) + " (" + response_meaning(s.response_code) + ")");
        return;
    }
    if (s.final_undecodable) {
        set("unknown", "unknown: the final response could not be decoded, so it was not confirmed; " + recover);
        return;
    }
    if (s.final_read) {
        const std::string inv = s.invoice.empty() ? std::string() : " for invoice " + s.invoice;
        if (s.confirmation_sent)
            set("unknown", "unknown: the final response was read but the confirmation was not acknowledged; " + recover + inv);
        else
            set("unknown", "unknown: the final response was read but the confirmation was not sent; " + recover + inv);
        return;
    }
    if (op.op_code == 43 && s.request_ack) {
        set("ok", "ok: ping acknowledged");
        return;
    }
    if (!s.request_sent) {
        if (op.callback_result == 0)
            set("cancelled", "cancelled: the cash register cancelled before the request was sent");
        else if (s.write_failed)
            set("not sent", "not sent: the request could not be written");
        else
            set("unknown", "unknown: the log does not show the request being sent");
        return;
    }
    if (!s.request_ack && !s.init_interrupted) {
        if (s.request_ack_byte == 0)
            set("not sent", "not sent: the terminal never acknowledged the request");
        else if (s.request_ack_byte > 0 && s.request_nacked && !s.request_frame)
            set("not sent", "not sent: the terminal answered the request with other bytes than an ACK, and no frame (the last " +
                                hex_of(std::string(1, static_cast<char>(s.request_ack_byte))) + ")");
        else if (s.request_ack_byte > 0 && s.request_frame)
            set("unknown", "unknown: the terminal answered the request with a frame instead of an ACK, so it may have "
                           "taken the request; " + recover);
        else if (s.request_ack_byte > 0)
            set("unknown", "unknown: the request was not acknowledged, but bytes came from the terminal (the last " +
                               hex_of(std::string(1, static_cast<char>(s.request_ack_byte))) +
                               "); the log does not show whether they held its answer, so it may have taken the request; " +
                               recover);
        else if (s.write_failed)
            set("not sent", "not sent: the request could not be written");
        else
            set("unknown", "unknown: the log ends before the request's ACK");
        return;
    }
    const bool desk_stopped = s.init_interrupted || (s.stop_asked && op.callback_result == 0);
    if (desk_stopped && (s.interrupt_taken || s.abort_taken)) {
        set("cancelled", std::string("cancelled: the terminal accepted the ") + (s.interrupt_taken ? "interrupt" : "abort"));
        return;
    }
    if (desk_stopped) {
        set("unknown", "unknown: cancelled by the cash register after the terminal started; " + recover);
        return;
    }
    if (s.init_status > 0 && !s.first_answer)
        set("unknown", "unknown: the terminal acknowledged the request but no valid first answer came; " + recover);
    else if (s.init_status > 0)
        set("unknown", "unknown: the terminal's first answer was not accepted; " + recover);
    else if (!s.ended)
        set("unknown", "unknown: the log ends before the operation did; " + recover);
    else
        set("unknown", "unknown: no final response from the terminal; " + recover);
}

void Explainer::finish()
{
    close_operation();
    for (ExplainNote& n : m_pending)
        if (m_loose.size() < 100)
            m_loose.push_back(std::move(n));
    m_pending.clear();
}

}  // namespace ecrcli
