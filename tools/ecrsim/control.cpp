#include "ecrsim/control.h"

#include "Logging/redact.h"
#include "ecrcli/report.h"
#include "ecrsim/director.h"
#include "ecrsim/engine.h"
#include "web/console_html.h"
#include "web/sequence_js.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>
#include <vector>

namespace ecrsim {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using json = nlohmann::json;
using error_code = boost::system::error_code;

namespace {

constexpr size_t kMaxHeader = 8 * 1024;
constexpr auto kReadLimit = std::chrono::seconds(10);   // a whole request, headers and body
constexpr auto kHeartbeat = std::chrono::seconds(15);   // comment line on quiet event streams
constexpr size_t kEventsPerWrite = 256;

// ---- JSON of the terminal's records ----

json plan_json(const Plan& p)
{
    json messages = json::array();
    for (const std::string& m : p.messages)
        messages.push_back(ecrcli::cp1251_to_utf8(el::redacted_text(m)));  // a card number typed into a text
    json j = {{"code", p.code},
              {"delay_ms", p.delay_ms},
              {"wait_notices", p.wait_notices},
              {"messages", messages},
              {"fault", fault_name(p.fault)},
              {"fault_step", step_name(p.fault_step)},
              {"decide", p.decide},
              {"origin", p.origin}};
    j["pan"] = p.pan.empty() ? json(nullptr) : json(el::masked_pan(p.pan));
    return j;
}

bool is_digits(const std::string& s) { return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos; }

// A text for the cash desk: printable, no separators, at most 200 bytes.
bool good_text(const std::string& s)
{
    if (s.size() > 200)
        return false;
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7F)
            return false;
    return true;
}

bool small_uint(const json& v, unsigned max, unsigned* out)
{
    if (!v.is_number_unsigned() && !(v.is_number_integer() && v.get<long long>() >= 0))
        return false;
    const unsigned long long n = v.get<unsigned long long>();
    if (n > max)
        return false;
    *out = static_cast<unsigned>(n);
    return true;
}

// One plan from its JSON; every field optional, none unknown.
bool plan_from_json(const json& j, Plan* out, std::string* why)
{
    if (!j.is_object()) {
        *why = "a plan is a JSON object";
        return false;
    }
    Plan p;
    for (const auto& item : j.items()) {
        const std::string& k = item.key();
        const json& v = item.value();
        unsigned n = 0;
        if (k == "code") {
            if (!v.is_string() || v.get<std::string>().size() != 2 || !is_digits(v.get<std::string>())) {
                *why = "code: two digits as a string, \"00\" to \"99\"";
                return false;
            }
            p.code = v.get<std::string>();
        } else if (k == "delay_ms") {
            if (!small_uint(v, 3600000, &n)) {
                *why = "delay_ms: whole milliseconds, 0 to 3600000";
                return false;
            }
            p.delay_ms = n;
        } else if (k == "wait_notices") {
            if (!v.is_array() || v.size() > 10) {
                *why = "wait_notices: an array of at most 10 minute counts";
                return false;
            }
            for (const json& m : v) {
                if (!small_uint(m, 99, &n)) {
                    *why = "wait_notices: minutes are whole numbers 0 to 99";
                    return false;
                }
                p.wait_notices.push_back(static_cast<int>(n));
            }
        } else if (k == "messages") {
            if (!v.is_array() || v.size() > 10) {
                *why = "messages: an array of at most 10 texts";
                return false;
            }
            for (const json& m : v) {
                if (!m.is_string() || !good_text(m.get<std::string>())) {
                    *why = "messages: texts of at most 200 bytes without control characters";
                    return false;
                }
                p.messages.push_back(to_cp1251(m.get<std::string>()));
            }
        } else if (k == "fault") {
            if (!v.is_string() || !parse_fault(v.get<std::string>(), &p.fault)) {
                *why = "fault: \"none\", \"bad-lrc\", \"drop-ack\", \"silence\" or \"close\"";
                return false;
            }
        } else if (k == "fault_step") {
            if (!v.is_string() || !parse_step(v.get<std::string>(), &p.fault_step)) {
                *why = "fault_step: \"ack\", \"first\", \"final\" or \"confirm\"";
                return false;
            }
        } else if (k == "pan") {
            const std::string pan = v.is_string() ? v.get<std::string>() : std::string();
            if (!is_digits(pan) || pan.size() < 13 || pan.size() > 19) {
                *why = "pan: 13 to 19 digits as a string";
                return false;
            }
            p.pan = pan;
        } else if (k == "decide") {
            if (!v.is_boolean()) {
                *why = "decide: true or false";
                return false;
            }
            p.decide = v.get<bool>();
        } else {
            *why = "unknown field \"" + k + "\"";
            return false;
        }
    }
    if (p.fault == Fault::BadLrc && p.fault_step == Step::Confirm) {
        *why = "bad-lrc at the confirmation changes nothing: the terminal sends no frame after it";
        return false;
    }
    *out = p;
    return true;
}

bool decision_from_json(const json& j, Decision* out, std::string* why)
{
    if (!j.is_object() || !j.contains("action") || !j["action"].is_string()) {
        *why = "a decision is a JSON object with \"action\"";
        return false;
    }
    static const struct {
        const char* name;
        Decision::Kind kind;
        const char* field;  // the one other field it takes, if any
    } kActions[] = {{"approve", Decision::Approve, nullptr}, {"decline", Decision::Decline, "code"},
                    {"silence", Decision::Silence, nullptr}, {"close", Decision::Close, nullptr},
                    {"wait", Decision::Wait, "minutes"},     {"message", Decision::Message, "text"}};
    const std::string action = j["action"].get<std::string>();
    const auto* a = std::find_if(std::begin(kActions), std::end(kActions),
                                 [&](const auto& x) { return action == x.name; });
    if (a == std::end(kActions)) {
        *why = "action: \"approve\", \"decline\", \"silence\", \"close\", \"wait\" or \"message\"";
        return false;
    }
    Decision d;
    d.kind = a->kind;
    for (const auto& item : j.items()) {
        if (item.key() == "action")
            continue;
        if (a->field == nullptr || item.key() != a->field) {
            *why = "unknown field \"" + item.key() + "\" for " + action;
            return false;
        }
    }
    if (a->field != nullptr && !j.contains(a->field)) {
        *why = action + " needs \"" + a->field + "\"";
        return false;
    }
    unsigned n = 0;
    if (d.kind == Decision::Decline) {
        const json& c = j["code"];
        if (!c.is_string() || c.get<std::string>().size() != 2 || !is_digits(c.get<std::string>())) {
            *why = "code: two digits as a string";
            return false;
        }
        d.code = c.get<std::string>();
    } else if (d.kind == Decision::Wait) {
        if (!small_uint(j["minutes"], 99, &n)) {
            *why = "minutes: 0 to 99";
            return false;
        }
        d.minutes = static_cast<int>(n);
    } else if (d.kind == Decision::Message) {
        if (!j["text"].is_string() || !good_text(j["text"].get<std::string>())) {
            *why = "text: at most 200 bytes without control characters";
            return false;
        }
        d.text = to_cp1251(j["text"].get<std::string>());
    }
    *out = d;
    return true;
}

const char* display_of(const TerminalState& s)
{
    if (!s.busy)
        return "READY";
    if (s.step == "request")
        return "AMOUNT";
    if (s.step == "card" || s.step == "decision")
        return "INSERT CARD";
    if (s.step == "pin")
        return "ENTER PIN";
    return s.response == "00" ? "APPROVED" : "DECLINED";
}

json state_json(const TerminalState& s, size_t queued, bool magic)
{
    json j = {{"busy", s.busy},
              {"request", s.request},
              {"step", s.busy ? s.step : "idle"},
              {"amount", money_text(s.amount)},
              {"display", display_of(s)},
              {"waiting_for_decision", s.busy && s.step == "decision"},
              {"response", s.response},
              {"pan", s.pan},
              {"queued", queued},
              {"magic", magic}};
    j["last"] = s.has_last ? json{{"request", s.last_request},
                                  {"response", s.last_code},
                                  {"approved", s.last_code == "00"},
                                  {"pan", s.last_pan},
                                  {"amount", money_text(s.last_amount)}}
                           : json(nullptr);
    return j;
}

json journal_json(const std::vector<JournalEntry>& entries, const Totals& t)
{
    json rows = json::array();
    for (const JournalEntry& e : entries)
        rows.push_back({{"op", e.op},
                        {"amount", money_text(e.amount)},
                        {"add_amount", money_text(e.add_amount)},
                        {"invoice", e.invoice},
                        {"approval", e.approval},
                        {"rrn", e.rrn},
                        {"pan", el::masked_pan(e.pan)},
                        {"response", e.response},
                        {"when", e.when},
                        {"voided", e.voided}});
    return {{"entries", rows},
            {"totals",
             {{"sales", t.sales},
              {"sales_amount", money_text(t.sales_amount)},
              {"refunds", t.refunds},
              {"refunds_amount", money_text(t.refunds_amount)},
              {"voids", t.voids},
              {"voids_amount", money_text(t.voids_amount)},
              {"net", money_text(t.net())}}}};
}

json event_json(const WireEvent& ev)
{
    json j = {{"seq", ev.seq}, {"t_ms", ev.t_ms}, {"dir", ev.dir}, {"kind", ev.kind}, {"label", ev.label}};
    if (!ev.hex.empty())
        j["hex"] = ev.hex;
    if (!ev.anomaly.empty())
        j["anomaly"] = ev.anomaly;
    return j;
}

std::string dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

// "after=12&limit=50" -> the value of one whole-number parameter.
bool query_uint(const std::string& query, const std::string& name, unsigned long long* out, std::string* why)
{
    size_t at = 0;
    while (at <= query.size()) {
        const size_t amp = query.find('&', at);
        const std::string pair = query.substr(at, amp == std::string::npos ? std::string::npos : amp - at);
        const size_t eq = pair.find('=');
        if (pair.substr(0, eq) == name) {
            const std::string v = eq == std::string::npos ? std::string() : pair.substr(eq + 1);
            if (!is_digits(v) || v.size() > 18) {
                *why = name + ": a whole number";
                return false;
            }
            *out = std::stoull(v);
            return true;
        }
        if (amp == std::string::npos)
            break;
        at = amp + 1;
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------

struct ControlServer::Impl {
    Impl(Engine& e, Director& d) : engine(e), dir(d) {}

    Engine& engine;
    Director& dir;
    asio::io_context ioc{1};
    tcp::acceptor acceptor{ioc};
    std::thread thread;
    std::atomic<bool> flush_pending{false};
    std::shared_ptr<char> token = std::make_shared<char>(0);  // one copy per open connection
    std::vector<std::weak_ptr<class Connection>> streams;     // event-stream clients
    std::string url;
    unsigned long long api_requests = 0, api_refused = 0;     // server thread only

    size_t live() const { return static_cast<size_t>(token.use_count() - 1); }
    void accept();
    void flush();
};

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(ControlServer::Impl& srv, tcp::socket socket)
        : m_srv(srv), m_token(srv.token), m_stream(std::move(socket)), m_beat(srv.ioc)
    {
    }

    void start() { read(); }
    void pull();  // event streams: write what came since the last write

private:
    using Request = http::request<http::string_body>;

    void read()
    {
        m_parser.emplace();
        m_parser->body_limit(ControlServer::kMaxBody);
        m_parser->header_limit(kMaxHeader);
        m_stream.expires_after(kReadLimit);
        auto self = shared_from_this();
        http::async_read(m_stream, m_buffer, *m_parser, [self](error_code ec, size_t) { self->on_read(ec); });
    }

    void on_read(error_code ec)
    {
        if (ec == http::error::end_of_stream || ec == asio::error::eof || ec == beast::error::timeout ||
            ec == asio::error::connection_reset || ec == asio::error::operation_aborted)
            return close();
        if (ec == http::error::body_limit)
            return refuse(http::status::payload_too_large,
                          "the body is larger than " + std::to_string(ControlServer::kMaxBody) + " bytes");
        if (ec == http::error::header_limit)
            return refuse(http::status::request_header_fields_too_large, "the request's header is too large");
        if (ec)
            return refuse(http::status::bad_request, "malformed HTTP request: " + ec.message());
        m_req = m_parser->release();
        ++m_srv.api_requests;
        route();
    }

    // ---- answers ----

    void send(http::status st, std::string body, const char* type = "application/json; charset=utf-8",
              bool close_after = false, const char* allow = nullptr)
    {
        m_res = {};
        m_res.version(11);
        m_res.result(st);
        m_res.set(http::field::server, "ecrsim");
        m_res.set(http::field::content_type, type);
        m_res.set(http::field::cache_control, "no-store");
        m_res.set("X-Content-Type-Options", "nosniff");
        if (allow != nullptr)
            m_res.set(http::field::allow, allow);
        m_res.keep_alive(!close_after && m_req.keep_alive());
        m_res.body() = std::move(body);
        m_res.prepare_payload();
        if (static_cast<unsigned>(st) >= 400)
            ++m_srv.api_refused;
        auto self = shared_from_this();
        http::async_write(m_stream, m_res, [self](error_code e, size_t) {
            if (e)
                return self->close();
            if (!self->m_res.keep_alive())
                return self->linger_close();
            self->read();
        });
    }

    void ok(const json& j, http::status st = http::status::ok) { send(st, dump(j) + "\n"); }

    void error(http::status st, const std::string& reason, const char* allow = nullptr)
    {
        send(st, dump(json{{"error", reason}}) + "\n", "application/json; charset=utf-8", false, allow);
    }

    // A request that could not be read whole: answered, then the connection ends.
    void refuse(http::status st, const std::string& reason)
    {
        m_req = {};
        m_req.keep_alive(false);
        send(st, dump(json{{"error", reason}}) + "\n", "application/json; charset=utf-8", true);
    }

    void close()
    {
        error_code ignored;
        m_beat.cancel();
        m_stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        m_stream.socket().close(ignored);
    }

    // Ends the sending side and reads what the client still sends for a
    // moment, so that it sees the answer rather than a reset.
    void linger_close()
    {
        error_code ignored;
        m_stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
        m_stream.expires_after(std::chrono::seconds(1));
        drain(0);
    }

    void drain(size_t so_far)
    {
        auto self = shared_from_this();
        m_stream.async_read_some(asio::buffer(m_scratch), [self, so_far](error_code e, size_t n) {
            if (e || so_far + n > (1u << 20))
                return self->close();
            self->drain(so_far + n);
        });
    }

    // ---- the API ----

    bool body_json(json* out)
    {
        try {
            *out = json::parse(m_req.body());
            return true;
        } catch (const json::exception& e) {
            error(http::status::bad_request,
                  m_req.body().empty() ? "a JSON body is needed" : std::string("bad JSON: ") + e.what());
            return false;
        }
    }

    void route()
    {
        const std::string target(m_req.target());
        const size_t q = target.find('?');
        const std::string path = target.substr(0, q);
        const std::string query = q == std::string::npos ? std::string() : target.substr(q + 1);
        const http::verb m = m_req.method();

        // A page of another site must not drive the terminal from a tester's browser.
        const std::string origin(m_req[http::field::origin]);
        if (!origin.empty() && origin != "http://" + std::string(m_req[http::field::host]))
            return error(http::status::forbidden, "requests from another origin are refused");

        struct Route {
            const char* path;
            const char* allow;
        };
        static const Route kRoutes[] = {
            {"/", "GET"},           {"/sequence.js", "GET"},  {"/state", "GET"},        {"/counters", "GET"},
            {"/journal", "GET, DELETE"}, {"/frames", "GET"},  {"/events", "GET"},       {"/next", "GET, POST, DELETE"},
            {"/rule", "GET, PUT, DELETE"}, {"/decision", "POST"}, {"/reset", "POST"},
            {"/chaos", "GET, POST"},
        };
        const Route* r = nullptr;
        for (const Route& x : kRoutes)
            if (path == x.path)
                r = &x;
        if (r == nullptr)
            return error(http::status::not_found, "no such resource: " + path);
        const std::string allow = r->allow;
        if (allow.find(std::string(http::to_string(m))) == std::string::npos)
            return error(http::status::method_not_allowed,
                         std::string(http::to_string(m)) + " is not allowed on " + path + " (allowed: " + allow + ")",
                         r->allow);

        if (path == "/")
            return send(http::status::ok, std::string(kConsoleHtml, kConsoleHtml_size), "text/html; charset=utf-8");
        if (path == "/sequence.js")
            return send(http::status::ok, std::string(kSequenceJs, kSequenceJs_size),
                        "text/javascript; charset=utf-8");
        if (path == "/state")
            return ok(state_json(m_srv.dir.state(), m_srv.dir.queue().size(), m_srv.dir.magic_on()));
        if (path == "/counters")
            return ok(counters());
        if (path == "/journal") {
            if (m == http::verb::delete_) {
                m_srv.engine.clear_journal();
                return ok({{"cleared", "journal"}});
            }
            return ok(journal_json(m_srv.engine.journal(), m_srv.engine.totals()));
        }
        if (path == "/frames")
            return frames(query);
        if (path == "/events")
            return start_stream(query);
        if (path == "/next")
            return next(m);
        if (path == "/rule")
            return rule(m);
        if (path == "/decision")
            return decision();
        if (path == "/chaos")
            return chaos(m);
        m_srv.dir.clear_queue();
        m_srv.dir.restore_standing();
        return ok({{"cleared", "queue"}, {"rule", plan_json(m_srv.dir.standing())}});
    }

    json counters()
    {
        const Counters c = m_srv.dir.counters();
        return {{"requests", c.requests},       {"payments", c.payments},     {"approved", c.approved},
                {"declined", c.declined},       {"unconfirmed", c.unconfirmed}, {"frames_in", c.frames_in},
                {"frames_out", c.frames_out},   {"acks_in", c.acks_in},       {"acks_out", c.acks_out},
                {"bad_frames", c.bad_frames},   {"faults", c.faults},         {"magic", c.magic},
                {"queued_used", c.queued_used}, {"decisions", c.decisions},   {"connections", c.connections},
                {"events_lost", c.events_lost}, {"queued", m_srv.dir.queue().size()},
                {"api_requests", m_srv.api_requests}, {"api_refused", m_srv.api_refused},
                {"api_connections", m_srv.live()}};
    }

    void frames(const std::string& query)
    {
        unsigned long long after = 0, limit = Director::kRing;
        std::string why;
        if (!query_uint(query, "after", &after, &why) || !query_uint(query, "limit", &limit, &why))
            return error(http::status::bad_request, why);
        std::vector<WireEvent> evs;
        const uint64_t last = m_srv.dir.events_after(after, &evs, static_cast<size_t>(limit));
        json arr = json::array();
        for (const WireEvent& ev : evs)
            arr.push_back(event_json(ev));
        ok({{"events", arr}, {"last_seq", last}});
    }

    void next(http::verb m)
    {
        if (m == http::verb::get) {
            json arr = json::array();
            for (const Plan& p : m_srv.dir.queue())
                arr.push_back(plan_json(p));
            return ok({{"queue", arr}});
        }
        if (m == http::verb::delete_) {
            m_srv.dir.clear_queue();
            return ok({{"cleared", "queue"}});
        }
        json body;
        if (!body_json(&body))
            return;
        // One plan, or an array of them queued in order: all or none.
        const json list = body.is_array() ? body : json::array({body});
        if (list.empty() || list.size() > Director::kMaxQueue)
            return error(http::status::bad_request, "one plan, or an array of 1 to " +
                                                        std::to_string(Director::kMaxQueue) + " plans");
        std::vector<Plan> plans;
        for (const json& j : list) {
            Plan p;
            std::string why;
            if (!plan_from_json(j, &p, &why))
                return error(http::status::bad_request, why);
            plans.push_back(p);
        }
        if (m_srv.dir.queue().size() + plans.size() > Director::kMaxQueue)
            return error(http::status::too_many_requests,
                         "the queue holds at most " + std::to_string(Director::kMaxQueue) + " plans");
        for (Plan& p : plans) {
            std::string why;
            if (!m_srv.dir.enqueue(p, &why))
                return error(http::status::too_many_requests, why);
        }
        ok({{"queued", m_srv.dir.queue().size()}}, http::status::created);
    }

    void rule(http::verb m)
    {
        if (m == http::verb::delete_)
            m_srv.dir.restore_standing();
        if (m == http::verb::put) {
            json body;
            if (!body_json(&body))
                return;
            Plan p;
            std::string why;
            if (!plan_from_json(body, &p, &why))
                return error(http::status::bad_request, why);
            if (p.pan.empty())
                p.pan = m_srv.dir.standing().pan;
            m_srv.dir.set_standing(p);
        }
        ok({{"rule", plan_json(m_srv.dir.standing())}});
    }

    // GET: the seed, the rate and the faults injected by kind.  POST
    // {"op": N, "enabled": bool} (both optional): the faults from now on
    // belong to operation N, drawn afresh from (seed, N); off, none come.
    void chaos(http::verb m)
    {
        Chaos* c = m_srv.engine.chaos();
        if (c == nullptr)
            return error(http::status::conflict, "the simulator runs without --chaos");
        if (m == http::verb::post) {
            json body;
            if (!body_json(&body))
                return;
            if (!body.is_object())
                return error(http::status::bad_request, "a JSON object");
            if (body.contains("op")) {
                if (!body["op"].is_number_unsigned())
                    return error(http::status::bad_request, "op: a whole number");
                c->mark_operation(body["op"].get<uint64_t>());
            }
            if (body.contains("enabled")) {
                if (!body["enabled"].is_boolean())
                    return error(http::status::bad_request, "enabled: true or false");
                c->set_enabled(body["enabled"].get<bool>());
            }
        }
        json counts = json::object();
        const std::vector<unsigned long long> n = c->counts();
        for (size_t i = 0; i < n.size(); ++i)
            counts[chaos_kind_name(static_cast<ChaosKind>(i))] = n[i];
        ok({{"seed", c->seed()}, {"rate", c->rate()}, {"enabled", c->enabled()}, {"where", c->where()},
            {"faults", counts}, {"total", c->total()}});
    }

    void decision()
    {
        json body;
        if (!body_json(&body))
            return;
        Decision d;
        std::string why;
        if (!decision_from_json(body, &d, &why))
            return error(http::status::bad_request, why);
        if (!m_srv.dir.decide(d, &why))
            return error(http::status::conflict, why);
        ok({{"accepted", body["action"]}}, http::status::accepted);
    }

    // ---- event stream (server-sent events) ----

    void start_stream(const std::string& query)
    {
        unsigned long long after = 0;
        std::string why;
        if (!query_uint(query, "after", &after, &why))
            return error(http::status::bad_request, why);
        std::vector<WireEvent> none;
        const uint64_t last = m_srv.dir.events_after(~0ull, &none, 0);
        m_seq = query.find("after=") != std::string::npos && after <= last ? after : last;
        m_streaming = true;
        m_stream.expires_never();
        m_out = "HTTP/1.1 200 OK\r\nServer: ecrsim\r\nContent-Type: text/event-stream\r\n"
                "Cache-Control: no-store\r\nConnection: close\r\n\r\n"
                "retry: 1000\n\n";
        m_srv.streams.push_back(shared_from_this());
        write_stream();
        heartbeat();
    }

    void write_stream()
    {
        m_writing = true;
        auto self = shared_from_this();
        asio::async_write(m_stream.socket(), asio::buffer(m_out), [self](error_code e, size_t) {
            self->m_writing = false;
            self->m_out.clear();
            if (e)
                return self->close();
            self->pull();
        });
    }

    void heartbeat()
    {
        auto self = shared_from_this();
        m_beat.expires_after(kHeartbeat);
        m_beat.async_wait([self](error_code e) {
            if (e || !self->m_stream.socket().is_open())
                return;
            if (!self->m_writing) {
                self->m_out = ": keep-alive\n\n";
                self->write_stream();
            }
            self->heartbeat();
        });
    }

    friend struct ControlServer::Impl;
    friend class ControlServer;

    ControlServer::Impl& m_srv;
    std::shared_ptr<char> m_token;
    beast::tcp_stream m_stream;
    beast::flat_buffer m_buffer{kMaxHeader + ControlServer::kMaxBody};
    std::optional<http::request_parser<http::string_body>> m_parser;
    Request m_req;
    http::response<http::string_body> m_res;
    char m_scratch[4096];
    // event streams
    asio::steady_timer m_beat;
    bool m_streaming = false, m_writing = false;
    uint64_t m_seq = 0;
    std::string m_out;
};

void Connection::pull()
{
    if (!m_streaming || m_writing || !m_stream.socket().is_open())
        return;
    std::vector<WireEvent> evs;
    m_srv.dir.events_after(m_seq, &evs, kEventsPerWrite);
    if (evs.empty())
        return;
    if (evs.front().seq > m_seq + 1) {
        const unsigned long long lost = evs.front().seq - m_seq - 1;
        m_srv.dir.note_lost(lost);
        m_out += "event: lost\ndata: " + dump(json{{"lost", lost}}) + "\n\n";
    }
    for (const WireEvent& ev : evs)
        m_out += "id: " + std::to_string(ev.seq) + "\ndata: " + dump(event_json(ev)) + "\n\n";
    m_seq = evs.back().seq;
    write_stream();
}

// Handlers of the server's own thread take the Impl by plain pointer: that
// thread is joined before the Impl goes.
void ControlServer::Impl::accept()
{
    Impl* self = this;
    acceptor.async_accept([self](error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted)
            return;
        if (!ec) {
            if (self->live() >= ControlServer::kMaxConnections) {
                // Too many at once: a short answer without waiting, then closed.
                ++self->api_refused;
                const std::string body = dump(json{{"error", "too many connections to the control API"}}) + "\n";
                const std::string msg = "HTTP/1.1 429 Too Many Requests\r\nContent-Type: application/json\r\n"
                                        "Connection: close\r\nContent-Length: " +
                                        std::to_string(body.size()) + "\r\n\r\n" + body;
                error_code ignored;
                socket.non_blocking(true, ignored);
                socket.write_some(asio::buffer(msg), ignored);
                socket.shutdown(tcp::socket::shutdown_send, ignored);
                socket.close(ignored);
            } else {
                std::make_shared<Connection>(*self, std::move(socket))->start();
            }
        }
        self->accept();
    });
}

void ControlServer::Impl::flush()
{
    std::vector<std::weak_ptr<Connection>> keep;
    for (const std::weak_ptr<Connection>& w : streams)
        if (std::shared_ptr<Connection> c = w.lock()) {
            c->pull();
            keep.push_back(w);
        }
    streams.swap(keep);
}

// ---------------------------------------------------------------------------

std::unique_ptr<ControlServer> ControlServer::start(const std::string& host, uint16_t port, Engine& engine,
                                                    Director& director, std::string* error)
{
    std::shared_ptr<Impl> impl = std::make_shared<Impl>(engine, director);
    error_code ec;
    const asio::ip::address addr = asio::ip::make_address(host, ec);
    if (ec) {
        *error = "control: not an IP address: " + host;
        return nullptr;
    }
    const tcp::endpoint ep(addr, port);
    impl->acceptor.open(ep.protocol(), ec);
    if (!ec)
        impl->acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec)
        impl->acceptor.bind(ep, ec);
    if (!ec)
        impl->acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        *error = "control: cannot listen on " + host + ":" + std::to_string(port) + ": " + ec.message();
        return nullptr;
    }
    const tcp::endpoint bound = impl->acceptor.local_endpoint(ec);
    impl->url = "http://" + host + ":" + std::to_string(bound.port()) + "/";
    // Wakes the server's thread for the event streams; never waits.
    std::weak_ptr<Impl> weak = impl;
    director.set_listener([weak] {
        std::shared_ptr<Impl> i = weak.lock();
        if (i && !i->flush_pending.exchange(true)) {
            Impl* raw = i.get();
            asio::post(raw->ioc, [raw] {
                raw->flush_pending.store(false);
                raw->flush();
            });
        }
    });
    impl->accept();
    Impl* raw = impl.get();
    impl->thread = std::thread([raw] {
        for (;;) {
            try {
                raw->ioc.run();
                return;
            } catch (const std::exception& e) {
                std::fprintf(stderr, "ecrsim: control: %s\n", e.what());
            }
        }
    });
    std::unique_ptr<ControlServer> s(new ControlServer());
    s->m_impl = impl;
    return s;
}

ControlServer::~ControlServer()
{
    m_impl->dir.set_listener(nullptr);
    m_impl->ioc.stop();
    m_impl->thread.join();
}

std::string ControlServer::url() const { return m_impl->url; }

}  // namespace ecrsim
