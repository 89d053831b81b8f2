#include "ecrsim/engine.h"

#include "Logging/redact.h"
#include "ecrcli/report.h"
#include "compat/compat.h"
#include "sim/frame.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <stdexcept>

namespace ecrsim {

namespace {

constexpr char kAck = 0x06;
constexpr char kFs = 0x1C;
constexpr unsigned kGapMs = 40;      // pause before each frame the terminal sends

const char* const kPan = "4111********1111";
const char* const kTerminalId = "SIM00001";
const char* const kMerchantId = "SIMMERCHANT0001";
const char* const kSerial = "SIM00001234";

std::string upper3(const std::string& s)
{
    std::string out = s.substr(0, 3);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::vector<std::string> split_fields(const std::string& text)
{
    std::vector<std::string> out;
    std::string cur;
    for (char c : text) {
        if (c == kFs) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    out.push_back(cur);
    return out;
}

std::string field(const std::vector<std::string>& f, size_t i) { return i < f.size() ? f[i] : std::string(); }

long long minor_units(const std::string& text) { return std::atoll(text.c_str()); }

std::string amount12(long long minor)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%012lld", minor < 0 ? 0 : minor);
    return buf;
}

// A total that may be negative (refunds above sales): the sign takes the
// first of the twelve places, "-00000000700" for -7.00.
std::string signed_amount12(long long minor)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%012lld", minor);
    return buf;
}

std::string digits(unsigned long long v, int width)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*llu", width, v);
    return buf;
}

std::string money(long long minor)
{
    char buf[48];
    std::snprintf(buf, sizeof buf, "%s%lld.%02lld", minor < 0 ? "-" : "", (minor < 0 ? -minor : minor) / 100,
                  (minor < 0 ? -minor : minor) % 100);
    return buf;
}

std::string pad(std::string s, size_t width)
{
    s.resize(width, ' ');
    return s;
}

struct Clock {
    std::string when;   // DDMMhhmm
    std::string date6;  // DDMMYY
};

Clock now_clock()
{
    time_t t = time(nullptr);
    tm lt{};
    localtime_r(&t, &lt);
    char a[16], b[16];
    strftime(a, sizeof a, "%d%m%H%M", &lt);
    strftime(b, sizeof b, "%d%m%y", &lt);
    return Clock{a, b};
}

bool is_sale(const std::string& op)
{
    static const char* const kSales[] = {"PUR", "PIR", "CSH", "CRC", "ACC", "AHF", "AFC", "OFN", "DSC", "PCC"};
    for (const char* s : kSales)
        if (op == s)
            return true;
    return false;
}
bool is_refund(const std::string& op) { return op == "REF" || op == "RFI" || op == "RFC"; }
bool is_void(const std::string& op) { return op == "VOD" || op == "PVD" || op == "VID"; }
bool is_settlement(const std::string& op) { return op == "STL" || op == "SLR" || op == "SLO"; }

// Message codes that start a payment (the request numbered 10, or 12/14 for
// the completions).
bool is_transaction_request(const std::string& code, const std::string& msg)
{
    static const char* const kCodes[] = {"PUR", "REF", "PPD", "STL", "VOD", "RDC", "AUH", "AHF", "PCC", "SLR",
                                         "SEP", "AFC", "PIR", "RFI", "PVD", "OFN", "LRW", "LRD", "LWV", "LDV",
                                         "LWR", "LDR", "LGO", "CID", "XRP", "CSH", "CRC", "BAL", "SLO", "ECH",
                                         "IFC", "IFN", "SRC", "PST", "ACC", "VID", "RFC", "DSC"};
    const std::string num = msg.substr(3, 3);
    if (code == "DSC" || code == "RFC")  // completions of an earlier card read
        return num == "12." && msg.size() > 7;
    if (code == "RDC")
        return num == "10." || num == "14.";
    if (num != "10.")
        return false;
    for (const char* c : kCodes)
        if (code == c)
            return true;
    return false;
}

// The transaction type that opens the processing code (its first two digits).
const char* transaction_type(const std::string& op)
{
    if (is_refund(op))
        return "20";
    if (is_void(op))
        return "02";
    if (op == "CSH")
        return "01";
    if (op == "PIR")
        return "09";
    if (op == "CRC")
        return "28";
    if (op == "BAL")
        return "31";
    return "00";
}

const char* op_title(const std::string& op)
{
    if (is_sale(op))
        return "ОПЛАТА";
    if (is_refund(op))
        return "ВОЗВРАТ";
    if (is_void(op))
        return "ОТМЕНА";
    if (is_settlement(op))
        return "СВЕРКА ИТОГОВ";
    if (op == "AUH")
        return "ПРЕДАВТОРИЗАЦИЯ";
    if (op == "XRP")
        return "X-ОТЧЁТ";
    return "ОПЕРАЦИЯ";
}

}  // namespace

std::string to_cp1251(const std::string& utf8)
{
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        unsigned cp = 0;
        size_t len = 0;
        if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            len = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            len = 3;
        } else {
            out += '?';
            ++i;
            continue;
        }
        if (i + len > utf8.size()) {
            out += '?';
            break;
        }
        for (size_t k = 1; k < len; ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += len;
        if (cp >= 0x410 && cp <= 0x44F)
            out += static_cast<char>(0xC0 + (cp - 0x410));
        else if (cp == 0x401)
            out += static_cast<char>(0xA8);
        else if (cp == 0x451)
            out += static_cast<char>(0xB8);
        else if (cp == 0x2116)
            out += static_cast<char>(0xB9);
        else
            out += '?';
    }
    return out;
}

// ---------------------------------------------------------------------------
// Wire events: each frame decoded into a short label, both masked as the
// library masks its log.

namespace {

std::string hex_of(const std::string& bytes)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (unsigned char c : bytes) {
        if (!out.empty())
            out += ' ';
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

// Printable UTF-8 of a masked CP1251 text: separators shown as " | ".
std::string label_text(const std::string& cp1251, size_t max)
{
    std::string t;
    for (char c : cp1251.substr(0, max)) {
        if (c == kFs)
            t += " | ";
        else if (static_cast<unsigned char>(c) < 0x20)
            t += '.';
        else
            t += c;
    }
    if (cp1251.size() > max)
        t += "...";
    return ecrcli::cp1251_to_utf8(t);
}

// "PUR10. amount 12.34", "PUR12. code 00 card 4111********1111 amount 12.34", ...
std::string describe(const std::string& msg, bool from_ecr)
{
    if (msg.size() < 6)
        return label_text(msg, 40);
    const std::string head = msg.substr(0, 6);
    const std::string num = msg.substr(3, 2);
    const std::vector<std::string> f = split_fields(msg.substr(6));
    const std::string code = upper3(msg);
    if (from_ecr) {
        if (num == "10" && (is_sale(code) || is_refund(code) || code == "AUH" || code == "VID")) {
            std::string l = head + " amount " + money(minor_units(field(f, 2)));
            if (minor_units(field(f, 3)) != 0)
                l += " + " + money(minor_units(field(f, 3)));
            return l;
        }
        if (num == "10" && (code == "VOD" || code == "PVD"))
            return head + " void of invoice " + std::to_string(std::atoi(msg.substr(6, 6).c_str()));
        if (msg.size() == 6 && (num == "13" || num == "15" || num == "12"))
            return head + " confirmation";
        return head + (msg.size() > 6 ? " " + label_text(msg.substr(6), 30) : std::string());
    }
    if (num == "00")
        return head + " wait notice " + std::to_string(std::atoi(msg.substr(6, 2).c_str())) + " min";
    if (code == "SMS")
        return head + " message \"" + label_text(field(f, 0), 40) + "\"";
    if (num == "11" && msg.size() <= 7)
        return head + " first answer";
    if (f.size() > 6 && field(f, 0).size() == 2) {
        std::string l = head + " code " + field(f, 0);
        if (!field(f, 5).empty())
            l += " card " + field(f, 5);
        return l + " amount " + money(minor_units(field(f, 3)));
    }
    return head + (msg.size() > 6 ? " " + label_text(msg.substr(6), 30) : std::string());
}

WireEvent frame_event(std::string msg, bool from_ecr, bool bad_check)
{
    el::redact_message(&msg[0], msg.size(), !from_ecr);
    WireEvent ev;
    ev.t_ms = GetTickCount();
    ev.dir = from_ecr ? "ecr" : "term";
    ev.kind = "frame";
    ev.label = describe(msg, from_ecr);
    std::string f = sim::frame(msg);
    if (bad_check)
        f.back() ^= 0x55;
    ev.hex = hex_of(f);
    return ev;
}

WireEvent mark(const char* kind, const char* dir, const std::string& label, const std::string& anomaly = std::string())
{
    WireEvent ev;
    ev.t_ms = GetTickCount();
    ev.dir = dir;
    ev.kind = kind;
    ev.label = label;
    ev.anomaly = anomaly;
    if (ev.kind == "ack")
        ev.hex = "06";
    return ev;
}

// Whether a request's course comes from a plan of its own (payments) rather
// than from the standing rule (settlements, reports, service requests).
bool takes_plan(const std::string& code) { return !is_settlement(code) && code != "XRP" && code != "PNG"; }

long long request_amount(const std::string& code, const std::string& req)
{
    if (!(is_sale(code) || is_refund(code) || code == "AUH" || code == "VID"))
        return 0;
    return minor_units(field(split_fields(req.substr(req.size() > 6 ? 6 : req.size())), 2));
}

}  // namespace

// ---------------------------------------------------------------------------

struct Engine::Session {
    struct Item {
        enum Kind { Frame, Ack, BadFrame } kind;
        std::string data;
    };
    enum class Got { Ack, Frame, Timeout, Gone };

    Engine& e;
    ByteLink& link;
    const std::atomic<bool>* stop;
    sim::FrameParser parser;
    std::deque<Item> items;
    bool gone = false;
    bool stopped = false;
    uint64_t last_activity = GetTickCount();

    // The course of the request being handled, and how far it has come.
    Plan plan;
    Step step = Step::Ack;
    bool recording;  // wire events go to the director

    Chaos* chaos;
    ChaosIo chaos_io;

    Session(Engine& engine, ByteLink& l, const std::atomic<bool>* s)
        : e(engine), link(l), stop(s), plan(engine.m_dir.standing()), recording(engine.m_dir.recording()),
          chaos(engine.m_chaos)
    {
        if (chaos == nullptr)
            return;
        chaos->reset_link();
        chaos_io.write = [this](const std::string& b) { return link.write_bytes(b); };
        chaos_io.pause = [this](unsigned ms) { return pause(ms); };
        chaos_io.hang_up = [this] {
            link.hang_up();
            gone = true;
        };
        chaos_io.note = [this](ChaosKind k, const std::string& line) {
            emit(mark("note", "none", line, std::string("fault chaos ") + chaos_kind_name(k)));
            e.trace(line);
        };
    }

    // Writes an ACK that chaos held back to merge it with a frame, before
    // the terminal waits for anything.
    void flush_held()
    {
        if (chaos != nullptr)
            chaos->flush(chaos_io);
    }

    const Options& opt() const { return e.m_opt; }
    Director& dir() { return e.m_dir; }
    // The card number of the final responses: the configured one in full (as
    // a terminal may send it) or an already masked one.
    std::string card_number() const { return plan.pan.empty() ? std::string(kPan) : plan.pan; }

    bool fault_on(Fault f) const { return plan.fault == f && step >= plan.fault_step; }

    void emit(WireEvent ev)
    {
        if (recording)
            dir().emit(std::move(ev));
    }

    // The request has come to step s.  False when the plan's silence or
    // hang-up starts here: the request gets nothing more.
    bool enter(Step s)
    {
        step = s;
        if (plan.fault == Fault::None || plan.fault_step != s)
            return true;
        const bool ends = plan.fault == Fault::Silence || plan.fault == Fault::Close;
        const std::string what = plan.fault == Fault::Close     ? "terminal hangs up"
                                 : plan.fault == Fault::Silence ? "terminal goes silent"
                                                                : std::string("fault ") + fault_name(plan.fault) + " from here";
        emit(mark("note", "none", what, std::string("fault ") + fault_name(plan.fault) + " at " + step_name(s)));
        if (plan.fault == Fault::Close) {
            link.hang_up();
            gone = true;
        }
        return !ends;
    }

    void show(const std::string& request, const char* what, long long amount)
    {
        TerminalState st;
        st.busy = true;
        st.request = request;
        st.step = what;
        st.amount = amount;
        dir().set_state(st);
        emit(mark("state", "none", std::string(what) + (amount != 0 ? " " + money(amount) : std::string())));
    }

    void show_idle()
    {
        dir().set_state(TerminalState());
        emit(mark("state", "none", "idle"));
    }

    void show_final(const std::string& request, long long amount, const std::string& response, const std::string& pan)
    {
        TerminalState st;
        st.busy = true;
        st.request = request;
        st.step = "final";
        st.amount = amount;
        st.response = response;
        st.pan = pan;
        dir().set_state(st);
        emit(mark("state", "none", (response == "00" ? "approved " : "declined " + response + " ") + pan));
    }

    bool wait_notice(const std::string& code, int minutes)
    {
        return answer(code + "00." + digits(static_cast<unsigned>(minutes) % 100, 2), "the wait notice");
    }

    bool message(const std::string& text) { return answer("SMS10." + text + kFs + "0", "the text message"); }

    // The payment is held for ms: false when a frame of the cash register
    // (an abort, an interrupt, a new request) ends it first, or the link goes.
    bool hold(unsigned ms, const std::string& code)
    {
        flush_held();
        const uint64_t deadline = GetTickCount() + ms;
        for (;;) {
            if (!items.empty() && items.front().kind == Item::Frame) {
                e.trace(code + ": payment given up for " + items.front().data.substr(0, 6));
                return false;
            }
            if (!items.empty()) {
                items.pop_front();
                continue;
            }
            const uint64_t now = GetTickCount();
            if (now >= deadline)
                return true;
            if (!pump(deadline - now > 100 ? 100 : static_cast<int>(deadline - now)))
                return false;
        }
    }

    // The payment waits, as a terminal waits for its card holder, until a
    // decision comes through the control API.  The cash register's own time
    // limits go on running; wait notices and messages asked for meanwhile go
    // out at once.  False when the payment ends without a final response.
    bool await_decision(const std::string& code, long long amount)
    {
        constexpr unsigned kLimitMs = 30 * 60 * 1000;  // then the terminal gives up
        const uint64_t deadline = GetTickCount() + kLimitMs;
        show(code, "decision", amount);
        emit(mark("pause", "none", "waiting for a decision"));
        for (;;) {
            Decision d;
            if (dir().take_decision(&d)) {
                switch (d.kind) {
                case Decision::Approve:
                case Decision::Decline:
                    plan.code = d.kind == Decision::Approve ? "00" : d.code;
                    return true;
                case Decision::Silence:
                case Decision::Close:
                    plan.fault = d.kind == Decision::Close ? Fault::Close : Fault::Silence;
                    plan.fault_step = Step::Final;
                    return true;  // enter(Step::Final) carries it out
                case Decision::Wait:
                    if (!wait_notice(code, d.minutes))
                        return false;
                    break;
                case Decision::Message:
                    if (!message(d.text))
                        return false;
                    break;
                }
                continue;
            }
            if (GetTickCount() >= deadline) {
                e.trace(code + ": no decision came");
                return false;
            }
            if (!hold(100, code))
                return false;
        }
    }

    void parse(const char* p, size_t n)
    {
        parser.feed(p, n, [this](sim::FrameParser::Kind kind, std::string data) {
            switch (kind) {
            case sim::FrameParser::Kind::Frame:
                if (recording)
                    emit(frame_event(data, true, false));
                items.push_back(Item{Item::Frame, std::move(data)});
                break;
            case sim::FrameParser::Kind::Ack:
                emit(mark("ack", "ecr", "ACK"));
                items.push_back(Item{Item::Ack, std::move(data)});
                break;
            case sim::FrameParser::Kind::BadCheck:
            case sim::FrameParser::Kind::TooLong:
                emit(mark("frame", "ecr", kind == sim::FrameParser::Kind::TooLong ? "frame without an end" : "frame",
                          kind == sim::FrameParser::Kind::TooLong ? "too long" : "bad check byte"));
                items.push_back(Item{Item::BadFrame, std::move(data)});
                break;
            case sim::FrameParser::Kind::Raw:
                break;  // bytes outside frames are no message
            }
        });
    }

    // One read of at most wait_ms; false once the peer is gone or a stop is asked.
    bool pump(int wait_ms)
    {
        if (stop != nullptr && stop->load()) {
            stopped = true;
            return false;
        }
        if (gone)
            return false;
        char buf[4096];
        const int n = link.read_some(buf, sizeof buf, wait_ms);
        if (n < 0) {
            gone = true;
            return false;
        }
        if (n > 0) {
            last_activity = GetTickCount();
            parse(buf, static_cast<size_t>(n));
        }
        return true;
    }

    bool next(Item* out, uint64_t deadline)
    {
        flush_held();
        for (;;) {
            if (!items.empty()) {
                *out = items.front();
                items.pop_front();
                return true;
            }
            const uint64_t now = GetTickCount();
            if (now >= deadline)
                return false;
            const uint64_t left = deadline - now;
            if (!pump(left > 100 ? 100 : static_cast<int>(left)))
                return false;
        }
    }

    // Waits ms milliseconds, keeping whatever arrives for later.
    bool pause(unsigned ms)
    {
        const uint64_t deadline = GetTickCount() + ms;
        for (;;) {
            const uint64_t now = GetTickCount();
            if (now >= deadline)
                return true;
            const uint64_t left = deadline - now;
            if (!pump(left > 100 ? 100 : static_cast<int>(left)))
                return false;
        }
    }

    // forget: set when chaos answered a request with NAK instead.
    bool send_raw(const std::string& bytes, ChaosPiece piece, bool* forget = nullptr)
    {
        if (fault_on(Fault::Silence))
            return true;
        if (chaos != nullptr)
            return chaos->send(piece, bytes, chaos_io, forget);
        return link.write_bytes(bytes);
    }

    bool send_frame(const std::string& msg)
    {
        std::string f = sim::frame(msg);
        const bool bad = fault_on(Fault::BadLrc);
        if (bad)
            f.back() ^= 0x55;
        if (recording && !fault_on(Fault::Silence)) {
            WireEvent ev = frame_event(msg, false, bad);
            if (bad)
                ev.anomaly = "bad check byte (fault)";
            emit(std::move(ev));
        }
        return send_raw(f, ChaosPiece::Frame);
    }

    bool send_ack(ChaosPiece piece = ChaosPiece::Ack, bool* forget = nullptr)
    {
        if (fault_on(Fault::DropAck)) {
            emit(mark("note", "none", "ACK withheld", "fault drop-ack"));
            return true;
        }
        if (!fault_on(Fault::Silence))
            emit(mark("ack", "term", "ACK"));
        return send_raw(std::string(1, kAck), piece, forget);
    }

    // Waits for the next ACK or frame (bad frames are skipped).
    Got wait_item(unsigned timeout_ms, std::string* frame)
    {
        const uint64_t deadline = GetTickCount() + timeout_ms;
        Item it;
        for (;;) {
            if (!next(&it, deadline))
                return gone || stopped ? Got::Gone : Got::Timeout;
            if (it.kind == Item::Ack)
                return Got::Ack;
            if (it.kind == Item::Frame) {
                if (frame != nullptr)
                    *frame = it.data;
                return Got::Frame;
            }
            e.trace("frame with a bad check byte ignored");
        }
    }

    // A frame of the cash register before the time-out; ACKs that come first
    // (a second ACK of a frame sent twice) are not what is awaited.
    Got wait_frame(unsigned timeout_ms, std::string* frame)
    {
        const uint64_t deadline = GetTickCount() + timeout_ms;
        for (;;) {
            const uint64_t now = GetTickCount();
            const Got got = wait_item(now >= deadline ? 0 : static_cast<unsigned>(deadline - now), frame);
            if (got != Got::Ack)
                return got;
            e.trace("a stray ACK skipped");
        }
    }

    // The cash register's ACK of the frame just sent.  A frame that comes
    // instead (an abort, an interrupt, a new request) is put back for the
    // main loop and ends the current exchange.
    bool await_ack(const char* what)
    {
        std::string frame;
        switch (wait_item(opt().ack_timeout_ms, &frame)) {
        case Got::Ack:
            return true;
        case Got::Frame:
            items.push_front(Item{Item::Frame, frame});
            e.trace(std::string("no ACK for ") + what + ": a new frame came");
            return false;
        case Got::Timeout:
            e.trace(std::string("no ACK for ") + what);
            return false;
        case Got::Gone:
            break;
        }
        return false;
    }

    // Sends one answer after the usual gap and waits for its ACK.
    bool answer(const std::string& msg, const char* what)
    {
        if (!pause(kGapMs))
            return false;
        if (!send_frame(msg))
            return false;
        return await_ack(what);
    }

    // ---- journal helpers (under the engine's lock) ----

    std::string receipt_text(const JournalEntry& en, const Totals* tot, bool approved)
    {
        std::string r;
        r += "      ТЕСТОВЫЙ БАНК\n";
        r += "Терминал: " + std::string(kTerminalId) + "\n";
        r += "Торговец: " + std::string(kMerchantId) + "\n";
        r += std::string(op_title(en.op)) + "\n";
        if (tot != nullptr) {
            r += "Продажи: " + std::to_string(tot->sales) + " на " + money(tot->sales_amount) + "\n";
            r += "Возвраты: " + std::to_string(tot->refunds) + " на " + money(tot->refunds_amount) + "\n";
            r += "Отмены: " + std::to_string(tot->voids) + " на " + money(tot->voids_amount) + "\n";
            r += "Итого: " + money(tot->net()) + "\n";
        } else {
            r += "Карта: " + el::masked_pan(en.pan) + "\n";
            r += "Сумма: " + money(en.amount) + "\n";
            if (en.add_amount != 0)
                r += "Доп. сумма: " + money(en.add_amount) + "\n";
            r += "Код авторизации: " + en.approval + "\n";
            r += "RRN: " + en.rrn + "\n";
            r += "Чек № " + digits(en.invoice, 6) + "  " + en.when.substr(0, 2) + "." + en.when.substr(2, 2) + " " +
                 en.when.substr(4, 2) + ":" + en.when.substr(6, 2) + "\n";
        }
        r += approved ? "ОДОБРЕНО\n" : "ОТКАЗ (" + en.response + ")\n";
        r += "Спасибо!";
        return to_cp1251(r);
    }

    // Response code, then the standard field sequence (SLR/XRP totals when
    // tot is given and with_totals is set).
    std::string standard_fields(const JournalEntry& en, const Totals* tot, bool with_totals)
    {
        const bool approved = en.response == "00";
        std::vector<std::string> f;
        f.push_back(en.response);
        f.push_back(digits(en.ecr_num, 2));
        f.push_back(std::to_string(en.receipt_num));
        f.push_back(tot != nullptr ? signed_amount12(en.amount) : amount12(en.amount));
        f.push_back(amount12(en.add_amount));
        f.push_back(en.pan);
        f.push_back(en.pan.empty() ? std::string() : "1227TEST/CARDHOLDER");
        f.push_back(en.pan.empty() ? std::string() : "CHIP");
        f.push_back(digits(en.invoice, 6) + pad(en.approval, 6) + en.when + "SIMBANK");
        f.push_back(kMerchantId);
        f.push_back(transaction_type(en.op) + std::string("0000051000001"));
        f.push_back(en.rrn);
        f.push_back(en.pan.empty() ? std::string() : "VISA");
        f.push_back(kTerminalId);
        if (with_totals && tot != nullptr) {
            f.push_back(signed_amount12(tot->net()));
            f.push_back(std::to_string(tot->sales));
            f.push_back(std::to_string(tot->refunds));
            f.push_back(std::to_string(tot->all()));
        }
        f.push_back("SIM");
        f.push_back(to_cp1251("Тестовый Банк"));
        f.push_back(receipt_text(en, with_totals ? tot : nullptr, approved));
        f.push_back("");  // bank logo
        f.push_back("");  // signature
        std::string out;
        for (const std::string& s : f) {
            out += s;
            out += kFs;
        }
        return out;
    }

    // ---- transactions ----

    void transaction(const std::string& req)
    {
        const std::string code = upper3(req);
        const std::vector<std::string> f = split_fields(req.substr(req.size() > 6 ? 6 : req.size()));
        const long long amount = request_amount(code, req);
        if (!answer(code + "11.", "the first answer") || !enter(Step::First))
            return;
        show(code, "card", amount);
        if (code == "PCC") {
            // Card belonging notice: the card is one of ours.
            if (!pause(kGapMs) || !send_frame(std::string("PCC12.33") + kFs + "1") || !await_ack("the card notice"))
                return;
            std::string reply;
            if (wait_item(opt().ack_timeout_ms, &reply) != Got::Frame || upper3(reply) != "PCC") {
                e.trace("no reply to the card notice");
                return;
            }
            send_ack();
        }
        for (int minutes : plan.wait_notices)
            if (!wait_notice(code, minutes))
                return;
        for (const std::string& text : plan.messages)
            if (!message(text))
                return;
        if (plan.delay_ms > 0) {
            show(code, "pin", amount);
            emit(mark("pause", "none", "terminal works " + std::to_string(plan.delay_ms) + " ms"));
            if (!hold(plan.delay_ms, code))
                return;
        }
        if (plan.decide && !await_decision(code, amount))
            return;
        if (!enter(Step::Final))
            return;

        // Decide the outcome against the journal.
        JournalEntry en;
        en.op = code;
        const Clock clk = now_clock();
        en.when = clk.when;
        Totals tot;
        bool settlement = is_settlement(code) || code == "XRP";
        unsigned target = 0;
        {
            std::lock_guard<std::mutex> lk(e.m_mu);
            if (code == "VOD" || code == "PVD") {
                target = static_cast<unsigned>(std::atoi(req.substr(6, 6).c_str()));
                en.voids_invoice = target;
                const JournalEntry* orig = nullptr;
                for (const JournalEntry& j : e.m_journal)
                    if (j.invoice == target && is_sale(j.op) && !j.voided)
                        orig = &j;
                if (orig == nullptr) {
                    en.response = "25";  // no such transaction
                } else {
                    en.response = plan.code;
                    en.pan = orig->pan;
                    en.amount = code == "PVD" ? minor_units(field(f, 1)) : orig->amount;
                    if (en.amount > orig->amount)
                        en.response = "13";  // more than was paid
                }
            } else if (settlement) {
                en.response = "00";
                tot = e.totals_locked();
                en.amount = tot.net();
            } else if (code == "BAL") {
                en.response = plan.code;
                en.pan = card_number();
                en.amount = 123456;  // the balance, in minor units
            } else if (code == "RDC" && req.substr(3, 3) == "14.") {
                en.response = plan.code;
                en.pan = card_number();
                en.amount = minor_units(field(f, 1));
            } else if (is_sale(code) || is_refund(code) || code == "AUH" || code == "VID") {
                en.response = plan.code;
                en.pan = card_number();
                en.ecr_num = static_cast<unsigned>(std::atoi(field(f, 0).c_str()));
                en.receipt_num = std::strtoull(field(f, 1).c_str(), nullptr, 10);
                en.amount = minor_units(field(f, 2));
                en.add_amount = minor_units(field(f, 3));
            } else {
                en.response = "00";
            }
            // Only what the journal may keep is numbered (card payments and
            // settlements; an echo test or a balance is not).  A number given
            // out in a final response is used up, kept in the journal or not:
            // the terminal never gives it to another payment.
            const bool numbered = settlement || (!en.pan.empty() && code != "BAL");
            en.invoice = numbered ? e.m_next_invoice++ : 0;
            const bool approved = en.response == "00";
            char appr[8];
            // Ends in a letter: with the invoice before it and the date after it
            // in one field, digits alone could pass for a card number.
            std::snprintf(appr, sizeof appr, "%05uA", (en.invoice * 7919u + e.m_batch * 31u) % 100000u);
            en.approval = approved ? appr : "";
            en.rrn = digits(700000000000ULL + e.m_batch * 10000ULL + en.invoice, 12);
        }

        std::string final;
        if (code == "SLO") {
            final = code + "12." + en.response + kFs + std::to_string(e.m_batch) + kFs;
            for (int block = 0; block < 6; ++block) {
                const bool first = block == 0;
                const long long t = first ? tot.net() : 0;
                const std::string fields[11] = {first ? "980" : "000", signed_amount12(t), amount12(0),
                                                amount12(first ? tot.sales_amount : 0), amount12(0), amount12(0),
                                                amount12(first ? tot.refunds_amount : 0), signed_amount12(t),
                                                std::to_string(first ? tot.sales : 0),
                                                std::to_string(first ? tot.refunds : 0),
                                                std::to_string(first ? tot.all() : 0)};
                for (const std::string& s : fields)
                    final += s + kFs;
            }
        } else {
            const bool totals_in_message = code == "SLR" || code == "XRP";
            final = code + (code == "PCC" ? "14." : "12.") + standard_fields(en, settlement ? &tot : nullptr,
                                                                              totals_in_message);
        }
        // The terminal's display shows the outcome; the payment counts once
        // its final response has gone out, confirmed or not.
        const std::string shown_pan = el::masked_pan(en.pan);
        bool confirmed = false;
        const bool counts = takes_plan(code);
        struct Done {
            std::function<void()> f;
            ~Done() { f(); }
        } done{[&] {
            if (counts)
                dir().payment_done(code, en.response, shown_pan, en.amount, confirmed);
        }};
        show_final(code, en.amount, en.response, shown_pan);
        if (!answer(final, "the final response"))
            return;
        std::string conf;
        if (wait_frame(opt().confirm_timeout_ms, &conf) != Got::Frame) {
            e.trace(code + ": the final response was not confirmed");
            return;
        }
        if (upper3(conf) != code) {
            items.push_front(Item{Item::Frame, conf});
            e.trace(code + ": another frame came instead of the confirmation");
            return;
        }
        if (!enter(Step::Confirm))
            return;
        send_ack();
        confirmed = true;

        en.pan = el::masked_pan(en.pan);  // the journal keeps no full card number
        std::lock_guard<std::mutex> lk(e.m_mu);
        if (settlement) {
            if (code != "XRP") {
                e.m_journal.clear();
                ++e.m_batch;
            }
            return;
        }
        if (en.response != "00" || en.pan.empty() || code == "BAL")
            return;  // declined and non-financial operations are not stored
        if (code == "VOD" || code == "PVD") {
            for (JournalEntry& j : e.m_journal) {
                if (j.invoice == target && is_sale(j.op) && !j.voided) {
                    if (code == "VOD" || en.amount >= j.amount)
                        j.voided = true;
                    else
                        j.amount -= en.amount;
                }
            }
        }
        e.m_journal.push_back(en);
    }

    void abort_request()
    {
        if (!answer("PUR12.", "the abort answer"))
            return;
        std::string conf;
        if (wait_item(opt().ack_timeout_ms, &conf) == Got::Frame && conf.compare(0, 6, "PUR13.") == 0) {
            send_ack();
            e.trace("abort accepted: the payment was not made");
        } else
            e.trace("the abort was not confirmed");
    }

    // ---- service requests: one answer each ----

    std::string stored(const std::string& code, const JournalEntry* en)
    {
        if (en == nullptr)
            return code + "11." + "25" + kFs;
        // The stored layout carries no settlement totals.
        return code + "11." + standard_fields(*en, nullptr, false);
    }

    void audit()
    {
        std::vector<JournalEntry> j;
        {
            std::lock_guard<std::mutex> lk(e.m_mu);
            j = e.m_journal;
        }
        const Clock clk = now_clock();
        if (j.empty()) {
            std::string rec = "AUD11.2" + std::string(77, '0');
            answer_audit(rec);
            return;
        }
        const size_t n = j.size() > 9999 ? 9999 : j.size();
        for (size_t i = 0; i < n; ++i) {
            const JournalEntry& en = j[i];
            std::string rec = "AUD11.";
            rec += i + 1 < n ? '1' : '0';
            rec += digits(i + 1, 4);
            rec += digits(n, 4);
            rec += digits(en.invoice, 6);
            rec += pad(en.op + " " + el::masked_pan(en.pan), 20);
            rec += pad(en.approval, 6);
            rec += amount12(en.amount);
            rec += pad(en.rrn, 12);
            rec += en.voided ? 'V' : 'A';
            rec += pad(en.response, 2);
            rec += en.when.substr(4, 4);
            rec += en.when.substr(0, 4) + clk.date6.substr(4, 2);
            if (!answer_audit(rec))
                return;
        }
    }

    // One audit record, then the register's ACK followed by its AUD12. frame.
    bool answer_audit(const std::string& rec)
    {
        if (!pause(kGapMs) || !send_frame(rec))
            return false;
        if (!await_ack("an audit record"))
            return false;
        std::string conf;
        if (wait_item(opt().ack_timeout_ms, &conf) != Got::Frame || conf.compare(0, 6, "AUD12.") != 0) {
            e.trace("audit record not confirmed");
            return false;
        }
        return true;
    }

    void service(const std::string& req, const std::string& code)
    {
        const std::string num = req.substr(3, 3);
        const std::string body = req.substr(req.size() > 6 ? 6 : req.size());
        const std::string track_pan = plan.pan.empty() ? std::string("4111111111111111") : plan.pan;
        const std::string track1 = "B" + track_pan + "^TEST/CARDHOLDER^2712101";
        const std::string track2 = track_pan + "=27121011234567890";
        const std::string disc2 = "7770001234567890=30121";
        const std::string hash = "A94A8FE5CCB19BA61C4C0873D391E987982FBBD3";
        if (code == "CRD" || code == "ACR") {
            answer(code + "11." + track1 + kFs + track2 + kFs + kFs, "the card read");
        } else if (code == "DCR") {
            answer(code + "11." + kFs + disc2 + kFs + kFs, "the card read");
        } else if (code == "APP") {
            answer("APP11.1234", "the PIN read");
        } else if (code == "DSC" && num == "10.") {
            if (body.size() > 1 && body[0] == '3' && body[1] == kFs)  // account "3": unknown account
                answer(std::string("DSC11.3") + kFs, "the account read");
            else
                answer(std::string("DSC11.") + kFs + disc2 + kFs + kFs + hash, "the discount card");
        } else if (code == "DSC" && num == "12.") {
            // Cancel of a discount card request: the ACK was the answer.
        } else if ((code == "GGP" || code == "GRC") && num == "10.") {
            if (code == "GRC" && body.size() > 1)  // refund by account identifier
                answer(std::string("GRC11.") + kFs + disc2 + kFs + kFs + hash, "the account read");
            else
                answer(code + "11." + "SIM GROUP 1" + kFs, "the card group");
        } else if (code == "CNL") {
            answer(std::string("CNL11.") + kFs, "the cancel answer");
        } else if (code == "DIN") {
            answer("DIN11.07SIM SHOP0500", "the discount information");
        } else if (code == "GNS") {
            answer(std::string("GNS11.ECRSIM TERMINAL 1.0") + kFs, "the software name");
        } else if (code == "INF") {
            answer(std::string("INF11.SIMULATED TERMINAL") + kFs, "the information");
        } else if (code == "INM") {
            answer(std::string("INM11.SIM MODEL 1") + kFs, "the information");
        } else if (code == "TSN") {
            answer(std::string("TSN11.") + kSerial + kFs, "the serial number");
        } else {
            e.trace("no answer for " + req.substr(0, 6));
        }
    }

    void handle(const std::string& req)
    {
        {
            std::lock_guard<std::mutex> lk(e.m_mu);
            ++e.m_handled;
        }
        e.trace("request " + req.substr(0, req.size() < 6 ? req.size() : 6));
        const std::string code = upper3(req);
        const std::string num = req.size() >= 6 ? req.substr(3, 3) : std::string();
        const bool payment = req.size() >= 6 && is_transaction_request(code, req);
        plan = payment && takes_plan(code) ? dir().plan_for(request_amount(code, req)) : dir().standing();
        if (payment && !plan.origin.empty() && plan.origin != "command line")
            e.trace(code + ": course set by the " + plan.origin);
        if (chaos != nullptr) {
            chaos->begin_request();
            const ChaosKind k = payment && takes_plan(code) ? chaos->shape_plan(&plan) : ChaosKind::Count;
            if (k != ChaosKind::Count)
                chaos->report(chaos_io, k, "the course of " + code + " changed");
        }
        struct Idle {
            Session* s;
            bool on;
            ~Idle()
            {
                if (on)
                    s->show_idle();
            }
        } idle{this, payment};
        if (payment)
            show(code, "request", request_amount(code, req));
        if (!enter(Step::Ack))
            return;
        bool forget = false;
        send_ack(ChaosPiece::RequestAck, &forget);
        if (req.size() < 6 || forget)
            return;
        if (code == "PNG") {
            // The library reads the first answer of every payment request, the
            // ping's included; no final response follows.
            answer("PNG11.", "the ping answer");
            return;
        }
        if (is_transaction_request(code, req)) {
            transaction(req);
            return;
        }
        if (code == "PUR" && num == "11.") {
            abort_request();
            return;
        }
        if (code == "IRT") {
            answer(std::string("IRT11.") + kFs + "0", "the interrupt answer");
            return;
        }
        if (code == "PCC" && num == "14.") {
            answer(std::string("PCC15.") + kFs, "the completion answer");
            return;
        }
        if (code == "AUD") {
            audit();
            return;
        }
        if (code == "NDX") {
            answer(std::string("NDX11.") + kFs + "0", "the X report");
            return;
        }
        if (code == "GTC" || code == "GSI" || code == "GTS" || code == "GTL" || code == "GTI") {
            stored_query(req, code);
            return;
        }
        service(req, code);
    }

    void stored_query(const std::string& req, const std::string& code)
    {
        std::string msg;
        {
            std::lock_guard<std::mutex> lk(e.m_mu);
            const std::vector<JournalEntry>& j = e.m_journal;
            if (code == "GTC") {
                msg = "GTC11." + digits(j.size(), 4);
            } else if (code == "GSI") {
                const Totals t = e.totals_locked();
                msg = "GSI11." + std::to_string(t.sales) + kFs + std::to_string(t.sales_amount) + kFs +
                      std::to_string(t.refunds) + kFs + std::to_string(t.refunds_amount) + kFs +
                      std::to_string(t.voids) + kFs + std::to_string(t.voids_amount);
            } else if (code == "GTL") {
                msg = stored(code, j.empty() ? nullptr : &j.back());
            } else if (code == "GTS") {
                const size_t seq = static_cast<size_t>(std::atoi(req.size() > 9 ? req.substr(9, 4).c_str() : "0"));
                msg = stored(code, seq >= 1 && seq <= j.size() ? &j[seq - 1] : nullptr);
            } else {
                const unsigned inv = static_cast<unsigned>(std::atoi(req.size() > 6 ? req.substr(6, 6).c_str() : "0"));
                const JournalEntry* hit = nullptr;
                for (const JournalEntry& en : j)
                    if (en.invoice == inv)
                        hit = &en;
                msg = stored(code, hit);
            }
        }
        answer(msg, "the stored-transaction answer");
    }
};

// ---------------------------------------------------------------------------

Plan Engine::plan_of(const Options& o)
{
    Plan p;
    p.code = o.code;
    p.delay_ms = o.delay_ms;
    if (o.wait_notice_min >= 0)
        p.wait_notices.push_back(o.wait_notice_min);
    if (!o.sms.empty())
        p.messages.push_back(o.sms);
    p.fault = o.fault;
    p.fault_step = Step::Ack;
    p.pan = o.pan;
    return p;
}

Engine::Engine(Options options)
    : m_opt(std::move(options)),
      m_own_director(new Director(plan_of(m_opt), m_opt.magic)),
      m_dir(*m_own_director)
{
}

Engine::Engine(Options options, Director& director) : m_opt(std::move(options)), m_dir(director) {}

void Engine::clear_journal()
{
    std::lock_guard<std::mutex> lk(m_mu);
    m_journal.clear();
}

void Engine::set_trace(std::function<void(const std::string&)> trace)
{
    std::lock_guard<std::mutex> lk(m_mu);
    m_trace = std::move(trace);
}

void Engine::trace(const std::string& line)
{
    std::function<void(const std::string&)> t;
    {
        std::lock_guard<std::mutex> lk(m_mu);
        t = m_trace;
    }
    if (t)
        t(el::redacted_text(line));
}

std::vector<JournalEntry> Engine::journal() const
{
    std::lock_guard<std::mutex> lk(m_mu);
    return m_journal;
}

unsigned Engine::requests_handled() const
{
    std::lock_guard<std::mutex> lk(m_mu);
    return m_handled;
}

Totals Engine::totals() const
{
    std::lock_guard<std::mutex> lk(m_mu);
    return totals_locked();
}

Totals Engine::totals_locked() const
{
    Totals t;
    for (const JournalEntry& en : m_journal) {
        if (is_sale(en.op) && !en.voided) {
            ++t.sales;
            t.sales_amount += en.amount;
        } else if (is_refund(en.op)) {
            ++t.refunds;
            t.refunds_amount += en.amount;
        } else if (is_void(en.op)) {
            ++t.voids;
            t.voids_amount += en.amount;
        }
    }
    return t;
}

Engine::End Engine::serve(ByteLink& link, const std::atomic<bool>* stop, unsigned idle_exit_ms)
{
    Session s(*this, link, stop);
    const unsigned handled_before = requests_handled();
    for (;;) {
        Session::Item it;
        if (!s.next(&it, GetTickCount() + 200)) {
            if (s.stopped)
                return End::Stopped;
            if (s.gone)
                return End::PeerGone;
            if (idle_exit_ms > 0 && requests_handled() > handled_before &&
                GetTickCount() - s.last_activity >= idle_exit_ms)
                return End::Idle;
            continue;
        }
        if (it.kind == Session::Item::Frame) {
            try {
                s.handle(it.data);
            } catch (const std::exception& ex) {
                trace(std::string("request dropped: ") + ex.what());
            }
        }
        else if (it.kind == Session::Item::BadFrame)
            trace("frame with a bad check byte ignored");
        if (s.gone)
            return End::PeerGone;
        if (s.stopped)
            return End::Stopped;
    }
}

}  // namespace ecrsim
