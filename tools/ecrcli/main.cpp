// ecrcli: drives a card-payment terminal from the command line through the
// shipped library, loaded with dlopen exactly as a cash register loads it.
#include "ecrcli/cli.h"
#include "ecrcli/library.h"
#include "ecrcli/money.h"
#include "ecrcli/outcome.h"
#include "ecrcli/progress.h"
#include "ecrcli/report.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <netdb.h>
#include <arpa/inet.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace ecrcli;

namespace {

constexpr unsigned kCancelGraceMs = 3000;  // wait this long for an operation cancelled with Ctrl-C to end
constexpr unsigned kDeadlineGraceMs = 1500;  // ... and for one the tool's own limit cancelled
constexpr unsigned kCheckStepS = 5;        // check's own time-out of each step
constexpr unsigned kBudgetS = 40;          // the library's default budget

Library g_lib;

// ---- completion, messages and signals ----

std::mutex g_mu;
bool g_completed = false;
unsigned long g_result = 0;
std::string g_message;           // last text message, UTF-8
int g_wake[2] = {-1, -1};        // self-pipe: signals and completions wake the waiting loop
volatile sig_atomic_t g_sigint = 0;
std::atomic<bool> g_worker_done(false);
std::atomic<int> g_worker_result(0);

void wake()
{
    const char b = 1;
    ssize_t ignored = write(g_wake[1], &b, 1);
    (void)ignored;
}

void on_trx_complete(unsigned long result)
{
    {
        std::lock_guard<std::mutex> lk(g_mu);
        g_completed = true;
        g_result = result;
    }
    wake();
}

void on_msg_received(char const* text)
{
    {
        std::lock_guard<std::mutex> lk(g_mu);
        g_message = cp1251_to_utf8(text != nullptr ? text : "");
    }
    wake();
}

void on_sigint(int)
{
    g_sigint = g_sigint + 1;
    const char b = 2;
    ssize_t ignored = write(g_wake[1], &b, 1);
    (void)ignored;
}

// ---- output ----

FILE* g_out = stdout;  // our own stdout; the library's prints go elsewhere
bool g_json = false;

int finish(Report& r, const Verdict& v)
{
    r.status = v.status;
    r.exit_code = v.exit_code;
    r.reason = v.reason;
    const std::string text = g_json ? render_json(r) : render_table(r);
    std::fputs(text.c_str(), g_out);
    std::fflush(g_out);
    return v.exit_code;
}

int fail(const std::string& operation, int code, const std::string& reason)
{
    Report r;
    r.operation = operation;
    const char* status = code == kExitUsage ? "usage" : code == kExitCancelled ? "cancelled" : "failed";
    if (!g_json && code == kExitUsage) {
        std::fprintf(stderr, "ecrcli: %s\n(ecrcli --help lists the commands and options)\n", reason.c_str());
        return code;
    }
    return finish(r, Verdict{code, status, reason});
}

std::string default_library()
{
    char exe[4096] = {0};
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string dir = ".";
    if (n > 0) {
        std::string path(exe, static_cast<size_t>(n));
        const size_t slash = path.rfind('/');
        if (slash != std::string::npos)
            dir = path.substr(0, slash);
    }
    return dir + "/libecrbridge.so";
}

// The library takes a dotted IPv4 address: names are resolved here.
bool resolve_ipv4(const std::string& host, std::string* dotted, std::string* error)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (rc != 0 || res == nullptr) {
        *error = "cannot resolve " + host + ": " + gai_strerror(rc);
        return false;
    }
    char buf[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr, buf, sizeof buf);
    freeaddrinfo(res);
    *dotted = buf;
    return true;
}

// Creates a missing log directory (and its parents).
bool prepare_log_dir(const std::string& dir, std::string* error)
{
    for (size_t at = 1; at <= dir.size(); ++at) {
        if (at != dir.size() && dir[at] != '/')
            continue;
        const std::string part = dir.substr(0, at);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            *error = "cannot create the log directory " + dir + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || access(dir.c_str(), W_OK) != 0) {
        *error = "the log directory " + dir + " is not a writable directory";
        return false;
    }
    return true;
}

// ---- running an operation ----

struct Operation {
    Shape shape = Shape::Payment;
    std::function<int()> run;            // runs on the worker thread; the member's or export's result
    std::function<void(Report&)> after;  // fills the report of a service operation
    bool transaction_report = false;
};

struct Limits {
    unsigned show_s;   // the deadline shown to the cashier
    unsigned limit_s;  // the tool gives up (and cancels) after this
    unsigned grace_ms = kDeadlineGraceMs;
};

struct Ended {
    bool completed = false;
    unsigned long result = 0;
    bool worker_done = false;
    int worker_result = 0;
    bool user_cancelled = false;
    bool deadline_hit = false;
};

void cancel_running()
{
    if (auto cancel = g_lib.find<int (*)()>("_Z17CancelTransactionv"))
        cancel();
}

Ended run_operation(const std::string& name, const Operation& op, const Limits& lim, NoticeWatch* watch,
                    std::thread* worker)
{
    {
        std::lock_guard<std::mutex> lk(g_mu);
        g_completed = false;
        g_message.clear();
    }
    g_worker_done.store(false);
    if (watch != nullptr)
        watch->start();
    std::function<int()> run = op.run;
    *worker = std::thread([run] {
        g_worker_result.store(run());
        g_worker_done.store(true);
        wake();
    });

    const bool tty = isatty(2) != 0;
    const auto start = std::chrono::steady_clock::now();
    double show = lim.show_s, limit = lim.limit_s;
    int notice = -1;
    bool cancel_sent = false;
    std::chrono::steady_clock::time_point cancel_at;
    Ended o;
    for (;;) {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::string msg;
        {
            std::lock_guard<std::mutex> lk(g_mu);
            o.completed = g_completed;
            o.result = g_result;
            msg = g_message;
        }
        o.worker_done = g_worker_done.load();
        o.worker_result = g_worker_result.load();
        if (op.shape == Shape::Payment ? o.completed || (o.worker_done && o.worker_result != 0) : o.worker_done)
            break;  // (a payment refused before anything was sent gets no callback)
        if (!cancel_sent && (g_sigint > 0 || elapsed > limit)) {
            cancel_sent = true;
            cancel_at = std::chrono::steady_clock::now();
            o.user_cancelled = g_sigint > 0;
            o.deadline_hit = !o.user_cancelled;
            if (tty)
                std::fputs("\r\033[K", stderr);
            if (o.user_cancelled)
                std::fprintf(stderr, "ecrcli: cancelling %s...\n", name.c_str());
            cancel_running();
        }
        const unsigned grace = o.user_cancelled ? kCancelGraceMs : lim.grace_ms;
        if (cancel_sent &&
            (g_sigint > 1 || std::chrono::steady_clock::now() - cancel_at > std::chrono::milliseconds(grace)))
            break;
        // A wait notice moves the library's deadline: the terminal asked for time.
        const int m = watch != nullptr ? watch->poll() : -1;
        if (m >= 0) {
            notice = m;
            show = elapsed + 60.0 * m;
            if (limit < show + lim.limit_s)
                limit = show + lim.limit_s;
        }
        if (tty) {
            const std::string line = "\r\033[K" + status_text(name, elapsed, show, notice, msg);
            ssize_t ignored = write(2, line.data(), line.size());
            (void)ignored;
        }
        pollfd p{g_wake[0], POLLIN, 0};
        if (::poll(&p, 1, 250) > 0) {
            char drain[64];
            ssize_t ignored = read(g_wake[0], drain, sizeof drain);
            (void)ignored;
        }
    }
    if (tty)
        std::fputs("\r\033[K", stderr);
    return o;
}

// What the library tells about the end of the last operation.
Observed observe(Shape shape, const Ended& e, unsigned deadline_s)
{
    Observed o;
    o.shape = shape;
    o.completed = e.completed;
    o.result = e.result;
    o.worker_done = e.worker_done;
    o.worker_result = e.worker_result;
    o.user_cancelled = e.user_cancelled;
    o.deadline_hit = e.deadline_hit;
    o.deadline_s = deadline_s;
    if (auto f = g_lib.find<int (*)()>("ecrb_last_outcome")) {
        const int v = f();
        o.outcome = v >= 0 && v <= 5 ? static_cast<LibOutcome>(v) : LibOutcome::Unknown;
        if (auto r = g_lib.find<const char* (*)()>("ecrb_last_outcome_reason"))
            if (const char* t = r())
                o.outcome_reason = t;
    }
    o.link_error_known = g_lib.link_error(&o.link_error);
    return o;
}

// ---- commands ----

unsigned long g_pul = 0;  // out value of the payment exports; lives until exit
char g_text[8192];
char* g_ptr = nullptr;
unsigned long g_count = 0;
std::vector<std::string> g_records;

std::string pointed(size_t max) { return g_ptr != nullptr ? std::string(g_ptr, strnlen(g_ptr, max)) : std::string(); }

std::string get_text(const char* name, size_t size = 256, bool trim_left = true)
{
    auto f = g_lib.find<int (*)(char*)>(name);
    if (f == nullptr)
        return std::string();
    std::vector<char> buf(size, 0);
    if (f(buf.data()) != 0)
        return std::string();
    buf[size - 1] = '\0';
    return trimmed(std::string(buf.data()), trim_left);
}

long get_long(const char* name)
{
    long v = 0;
    if (auto f = g_lib.find<int (*)(long*)>(name))
        f(&v);
    return v;
}

std::string get_money(const char* name)
{
    double v = 0;
    if (auto f = g_lib.find<int (*)(double*)>(name))
        f(&v);
    return money_text(money_from_double(v));
}

std::string two(long v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02ld", v);
    return buf;
}

// The last transaction, field by field.
void add_last_transaction(Report& r)
{
    r.add("amount", "Amount", get_money("get_LastTrxAmount"));
    r.add("add_amount", "Additional amount", get_money("get_LastTrxAddAmount"));
    r.add("rrn", "RRN", get_text("get_LastTrxRRN"));
    r.add("approval_code", "Approval code", get_text("get_LastTrxApprovalCode"));
    r.add("pan", "Card", get_text("get_LastTrxPAN"));
    const long month = get_long("get_LastTrxCardExpireMonth"), year = get_long("get_LastTrxCardExpireYear");
    r.add("expiry", "Expiry", month || year ? two(month) + "/" + two(year) : std::string());
    r.add_number("invoice", "Invoice", get_long("get_LastTrxInvoceNumber"));
    const std::time_t now = std::time(nullptr);
    std::tm today{};
    localtime_r(&now, &today);
    r.add("date_time", "Date and time",
          date_with_year(get_long("get_LastTrxTransactionDateDay"), get_long("get_LastTrxTransactionDateMonth"),
                         get_long("get_LastTrxTransactionTimeHours"), get_long("get_LastTrxTransactionTimeMinutes"),
                         today.tm_year + 1900, today.tm_mon + 1, today.tm_mday));
    r.add("card_name", "Card name", get_text("get_LastTrxCardName"));
    r.add("issuer", "Issuer", get_text("get_LastTrxIssuerName"));
    r.add("terminal_id", "Terminal ID", get_text("get_LastTrxTerminalID"));
    r.add("merchant_id", "Merchant ID", get_text("get_LastTrxMerchantId"));
    const std::string tag = get_text("get_LastTrxOpTag");
    r.add("op_tag", "Message code", tag);
    r.add("bank", "Bank", get_text("get_LastTrxNameBank"));
    // Settlement totals exist only for reports that carry them (5023 otherwise).
    const bool has_totals = tag == "SLR" || tag == "slr" || tag == "XRP" || tag == "xrp";
    auto tot = g_lib.find<int (*)(double*)>("get_LastTrxTotalAmount");
    double total = 0;
    if (has_totals && tot != nullptr && tot(&total) == 0) {
        r.add("total_amount", "Total amount", money_text(money_from_double(total)));
        const char* const counts[3][3] = {{"get_LastTrxSalesCount", "sales_count", "Sales"},
                                          {"get_LastTrxRefundsCount", "refunds_count", "Refunds"},
                                          {"get_LastTrxTotalTrxCount", "transaction_count", "Transactions"}};
        for (const auto& c : counts) {
            unsigned short n = 0;
            if (auto f = g_lib.find<int (*)(unsigned short*)>(c[0]))
                f(&n);
            r.add_number(c[1], c[2], n);
        }
    }
    r.receipt = get_text("get_LastTrxReceipt", 8192, false);
}

void add_summary(Report& r)
{
    const char* const counts[3] = {"CountPurchaseTransaction", "CountRefundTransaction", "CountVoidTransaction"};
    const char* const sums[3] = {"_Z30TotolAmoundPurchaseTransactionPd", "_Z28TotolAmoundRefundTransactionPd",
                                 "_Z26TotolAmoundVoidTransactionPd"};
    const char* const keys[3] = {"purchases", "refunds", "voids"};
    const char* const labels[3] = {"Purchases", "Refunds", "Voids"};
    for (int k = 0; k < 3; ++k) {
        int cnt = 0;
        if (auto fc = g_lib.find<int (*)(int*)>(counts[k]))
            fc(&cnt);
        r.add_number(std::string(keys[k]) + "_count", std::string(labels[k]) + " count", cnt);
        r.add(std::string(keys[k]) + "_amount", std::string(labels[k]) + " amount", get_money(sums[k]));
    }
}

// One record per call until the one marked last; the terminal sends at most 10000.
int audit_all(int (*f)(char*, char*))
{
    for (int k = 0; k < 10001; ++k) {
        char rec[80] = {0};
        const int res = f(g_text, rec);
        if (res != 0)
            return g_records.empty() ? res : 0;
        if (rec[0] == '0' && rec[1] == '\0')
            break;  // end marker
        g_records.push_back(std::string(rec, 78));
        if (rec[0] != '1')
            break;  // the last record
    }
    return 0;
}

double amount_arg(const Options& o, size_t i) { return i < o.args.size() && o.args[i].given ? o.args[i].units : 0.0; }

long number_arg(const Options& o, size_t i, long dflt = 0)
{
    return i < o.args.size() && o.args[i].given ? static_cast<long>(o.args[i].number) : dflt;
}

// The library call of a subcommand, with its arguments bound.
Operation make_operation(const Options& o)
{
    const CommandSpec& c = *o.spec;
    Operation op;
    op.shape = c.shape;
    op.transaction_report = c.transaction_report;
    void* sym = g_lib.sym(c.symbol);
    const double a = amount_arg(o, 0), b = amount_arg(o, 1);
    const long n0 = number_arg(o, 0), n1 = number_arg(o, 1);
    const unsigned char idx0 = static_cast<unsigned char>(n0), idx1 = static_cast<unsigned char>(n1);
    auto as = [sym](auto* type_hint) { return reinterpret_cast<decltype(type_hint)>(sym); };
    auto text_into = [](const std::string& t) { std::snprintf(g_text, sizeof g_text, "%s", t.c_str()); };
    switch (c.call) {
    case Call::AmountAdd: {
        auto f = as(static_cast<void (*)(double, double)>(nullptr));
        op.run = [f, a, b] { return f(a, b), 0; };
        break;
    }
    case Call::Refund: {
        auto f = as(static_cast<void (*)(double, double)>(nullptr));
        op.run = [f, a] { return f(-a, 0), 0; };  // a negative purchase runs a refund of that amount
        break;
    }
    case Call::AmountAddOut: {
        auto f = as(static_cast<void (*)(double, double, unsigned long*)>(nullptr));
        op.run = [f, a, b] { return f(a, b, &g_pul), 0; };
        break;
    }
    case Call::Invoice: {
        auto f = as(static_cast<void (*)(long)>(nullptr));
        op.run = [f, n0] { return f(n0), 0; };
        break;
    }
    case Call::InvoiceAmount: {
        auto f = as(static_cast<void (*)(long, double)>(nullptr));
        op.run = [f, n0, b] { return f(n0, b), 0; };
        break;
    }
    case Call::Out: {
        auto f = as(static_cast<void (*)(unsigned long*)>(nullptr));
        op.run = [f] { return f(&g_pul), 0; };
        break;
    }
    case Call::NoArgs: {
        auto f = as(static_cast<void (*)()>(nullptr));
        op.run = [f] { return f(), 0; };
        break;
    }
    case Call::Status: {
        auto f = as(static_cast<int (*)(unsigned long*)>(nullptr));
        op.run = [f] { return f(&g_pul); };
        break;
    }
    case Call::Text: {
        text_into(o.args[0].text);
        auto f = as(static_cast<void (*)(char*)>(nullptr));
        op.run = [f] { return f(g_text), 0; };
        break;
    }
    case Call::Ping: {
        // The member returns once the terminal has acknowledged.
        auto f = as(static_cast<int (*)(void*, unsigned long*)>(nullptr));
        void* obj = g_lib.get<void* (*)()>("_Z13create_objectv")();
        op.run = [f, obj] { return f(obj, &g_pul); };
        break;
    }
    case Call::CardRead: {
        auto f = as(static_cast<int (*)(char*)>(nullptr));
        op.run = [f] { return f(g_text); };
        op.after = [](Report& r) { r.add("track2", "Track 2", trimmed(g_text)); };
        break;
    }
    case Call::DiscountRead: {
        auto f = as(static_cast<int (*)(unsigned char, char**)>(nullptr));
        const unsigned char w = static_cast<unsigned char>(number_arg(o, 0, 30));
        op.run = [f, w] { return f(w, &g_ptr); };
        op.after = [](Report& r) { r.add("track2", "Track 2", pointed(100)); };
        break;
    }
    case Call::Discount: {
        auto f = as(static_cast<int (*)(char**)>(nullptr));
        op.run = [f] { return f(&g_ptr); };
        op.after = [](Report& r) { r.add("card_id", "Card", pointed(100)); };
        break;
    }
    case Call::Group: {
        auto f = as(static_cast<int (*)(void*, char**)>(nullptr));
        void* obj = g_lib.get<void* (*)()>("_Z13create_objectv")();
        op.run = [f, obj] { return f(obj, &g_ptr); };
        op.after = [](Report& r) { r.add("group", "Card group", pointed(64)); };
        break;
    }
    case Call::TextQuery: {
        auto f = as(static_cast<int (*)(char*)>(nullptr));
        const bool tsn = std::strcmp(c.name, "tsn") == 0;
        op.run = [f] {
            std::memset(g_text, 0, sizeof g_text);
            return f(g_text);
        };
        op.after = [tsn](Report& r) {
            r.add(tsn ? "serial" : "software", tsn ? "Serial number" : "Software",
                  trimmed(std::string(g_text, strnlen(g_text, 255))));
        };
        break;
    }
    case Call::Gtc: {
        auto f = as(static_cast<int (*)(unsigned char, unsigned long*)>(nullptr));
        op.run = [f, idx0] { return f(idx0, &g_count); };
        op.after = [](Report& r) { r.add_number("count", "Stored transactions", static_cast<long long>(g_count)); };
        break;
    }
    case Call::Gts: {
        auto f = as(static_cast<int (*)(unsigned char, unsigned long)>(nullptr));
        const unsigned long seq = static_cast<unsigned long>(n0);
        op.run = [f, idx1, seq] { return f(idx1, seq); };
        break;
    }
    case Call::Gtl: {
        auto f = as(static_cast<int (*)(unsigned char)>(nullptr));
        op.run = [f, idx0] { return f(idx0); };
        break;
    }
    case Call::Gti: {
        auto f = as(static_cast<int (*)(unsigned char, long)>(nullptr));
        op.run = [f, idx1, n0] { return f(idx1, n0); };
        break;
    }
    case Call::Gsi: {
        auto f = as(static_cast<int (*)(int)>(nullptr));
        const int i = static_cast<int>(n0);
        op.run = [f, i] { return f(i); };
        op.after = add_summary;
        break;
    }
    case Call::Audit: {
        text_into(o.args[0].text);
        auto f = as(static_cast<int (*)(char*, char*)>(nullptr));
        op.run = [f] { return audit_all(f); };
        op.after = [](Report& r) {
            r.add_number("record_count", "Records", static_cast<long long>(g_records.size()));
            for (const std::string& rec : g_records)
                r.records.push_back(rec.substr(1));
        };
        break;
    }
    case Call::XReport: {
        auto f = as(static_cast<int (*)()>(nullptr));
        op.run = [f] { return f(); };
        break;
    }
    }
    return op;
}

// ---- the link ----

struct Link {
    std::string what;    // "tcp 127.0.0.1:2000", "serial /dev/ttyS0"
    std::string reason;  // why it could not be opened
};

// Opens the link; false with the reason in link->reason.
bool open_link(const Options& o, Link* link)
{
    const char* kinds[3] = {"serial ", "udp ", "tcp "};
    link->what = kinds[static_cast<int>(o.transport)] +
                 (o.transport == TransportKind::Serial ? o.device : o.host + ":" + std::to_string(o.port));
    char buf[4096];
    g_lib.get<void (*)(void (*)(unsigned long))>("_Z13OnTrxCompletePFvmE")(on_trx_complete);
    g_lib.get<void (*)(void (*)(char const*))>("_Z13OnMsgReceivedPFvPKcE")(on_msg_received);
    g_lib.get<int (*)(short)>("put_TransportType")(static_cast<short>(o.transport));
    if (o.transport == TransportKind::Serial) {
        // A device that is not a terminal line cannot reach a terminal.
        const int fd = open(o.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 || !isatty(fd)) {
            link->reason = o.device + (fd < 0 ? ": " : " is not a serial line: ") + std::strerror(errno);
            if (fd >= 0)
                close(fd);
            return false;
        }
        close(fd);
        std::snprintf(buf, sizeof buf, "%s", o.device.c_str());
        g_lib.get<int (*)(char*)>("put_UnixTTY")(buf);
    } else {
        std::string dotted;
        if (!resolve_ipv4(o.host, &dotted, &link->reason))
            return false;
        std::snprintf(buf, sizeof buf, "%s", dotted.c_str());
        g_lib.get<int (*)(char*)>("put_PosIP")(buf);
        g_lib.get<int (*)(unsigned short)>("put_PosPort")(o.port);
    }
    if (!g_lib.error.empty()) {
        link->reason = g_lib.error;
        return false;
    }
    if (g_lib.get<int (*)(int)>("PosOpen")(0) != 0) {
        std::string why;
        g_lib.link_error(&why);
        link->reason = "cannot open " + link->what + (why.empty() ? std::string() : ": " + why);
        return false;
    }
    if (o.timeout >= kBudgetS)
        g_lib.get<int (*)(unsigned short)>("SetPurchTimeout")(static_cast<unsigned short>(o.timeout));
    return true;
}

// ---- check ----

[[noreturn]] void leave(int code, std::thread& worker)
{
    worker.detach();  // the library may still wait for the terminal on it
    std::fflush(nullptr);
    _exit(code);
}

int run_check(const Options& o, const Link& link)
{
    Report r;
    r.operation = "check";
    const unsigned step = o.timeout > 0 ? o.timeout : kCheckStepS;
    const Limits lim{step, step, 1000};
    std::thread worker;
    Options po = o;
    po.spec = find_command("ping");
    Ended p = run_operation("ping", make_operation(po), lim, nullptr, &worker);
    Verdict v = judge(observe(Shape::Ping, p, step));
    if (v.exit_code != kExitOk) {
        r.add("link", "Link", link.what, link.what + ": FAILED (" + v.reason + ")");
        finish(r, v);
        leave(v.exit_code, worker);
    }
    worker.join();
    r.add("link", "Link", link.what, link.what + ": open");
    r.add("ping", "Ping", "ok", "ok: the terminal acknowledged");
    for (const char* what : {"tsn", "software"}) {
        po.spec = find_command(what);
        const Operation op = make_operation(po);
        Ended s = run_operation(what, op, lim, nullptr, &worker);
        v = judge(observe(Shape::Service, s, step));
        if (v.exit_code != kExitOk) {
            v.reason = std::string(what) + ": " + v.reason;
            finish(r, v);
            leave(v.exit_code, worker);
        }
        worker.join();
        op.after(r);
    }
    return finish(r, Verdict{kExitOk, "ok", ""});
}

int print_version(const Options& o)
{
    Report r;
    r.operation = "version";
    r.add("ecrcli", "ecrcli", ECRCLI_VERSION);
    r.add("library_path", "Library", o.lib);
    if (!g_lib.load(o.lib))
        return finish(r, Verdict{kExitLink, "failed", g_lib.error});
    char v[64] = {0};
    if (auto f = g_lib.find<int (*)(char*)>("get_DLLVersion"))
        f(v);
    r.add("library", "Library version", v);
    r.add("last_error_text", "Link errors told", g_lib.find<void*>("ecrb_last_error_text") ? "yes" : "no");
    r.add("last_outcome", "Outcomes told", g_lib.find<void*>("ecrb_last_outcome") ? "yes" : "no");
    return finish(r, Verdict{kExitOk, "ok", ""});
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv, argv + argc);
    for (const std::string& a : args)
        g_json = g_json || a == "--json";
    Parsed parsed = parse_command_line(args);
    if (parsed.status == ParseStatus::Help) {
        std::fputs(parsed.text.c_str(), stdout);
        return kExitOk;
    }
    Options& o = parsed.options;
    if (parsed.status == ParseStatus::Usage)
        return fail(o.command, kExitUsage, parsed.text);
    g_json = o.json;
    if (o.lib.empty())
        o.lib = default_library();

    // Our results go to the real stdout; what the library prints while it
    // starts goes to stderr (--verbose) or nowhere.
    const int out_fd = dup(1);
    if (out_fd < 0 || (g_out = fdopen(out_fd, "w")) == nullptr) {
        g_out = stdout;
        return fail(o.command, kExitLink, std::string("cannot duplicate stdout: ") + std::strerror(errno));
    }
    fcntl(out_fd, F_SETFD, FD_CLOEXEC);
    const int quiet = o.verbose ? dup(2) : open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (quiet >= 0) {
        dup2(quiet, 1);
        close(quiet);
    }
    if (o.version)
        return print_version(o);

    std::string err;
    if (!o.log_dir.empty() && !prepare_log_dir(o.log_dir, &err))
        return fail(o.command, kExitUsage, err);
    if (pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0)
        return fail(o.command, kExitLink, std::string("pipe: ") + std::strerror(errno));
    struct sigaction sa {};
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!g_lib.load(o.lib))
        return fail(o.command, kExitLink, g_lib.error);
    g_lib.get<void* (*)()>("_Z13create_objectv")();  // the first call, from this thread
    if (!o.log_dir.empty())
        g_lib.get<int (*)(char const*)>("put_EcrLogingPath")(o.log_dir.c_str());
    Operation op;
    if (o.spec != nullptr)
        op = make_operation(o);
    if (!g_lib.error.empty())
        return fail(o.command, kExitLink, g_lib.error);

    Link link;
    if (!open_link(o, &link)) {
        Report r;
        r.operation = o.command;
        if (o.command == "check")
            r.add("link", "Link", link.what, link.what + ": FAILED");
        return finish(r, Verdict{kExitLink, "failed", link.reason});
    }
    if (o.command == "check") {
        const int code = run_check(o, link);
        g_lib.get<int (*)()>("PosClose")();
        return code;
    }

    // The tool's own limit: the library's budget (and what it may add) unless
    // a shorter --timeout was asked for.
    const unsigned budget = o.timeout >= kBudgetS ? o.timeout : kBudgetS;
    const unsigned wait_s = o.timeout > 0 ? o.timeout : budget;
    const Limits lim{wait_s, o.timeout > 0 && o.timeout < kBudgetS ? o.timeout : 3 * budget + 60};
    NoticeWatch watch(o.log_dir.empty() ? "." : o.log_dir);
    std::thread worker;
    const Ended e = run_operation(o.command, op, lim, op.shape == Shape::Payment ? &watch : nullptr, &worker);
    Observed seen = observe(op.shape, e, wait_s);
    seen.empty_answer_ok = o.spec->call == Call::Audit;  // an empty journal has no records to give
    const Verdict v = judge(seen);

    Report r;
    r.operation = o.command;
    {
        std::lock_guard<std::mutex> lk(g_mu);
        r.message = g_message;
    }
    const bool answered = v.exit_code == kExitOk || v.exit_code == kExitDeclined;
    if (op.shape == Shape::Payment && e.completed && answered)
        r.response_code = static_cast<int>(e.result);
    if (answered && op.after)
        op.after(r);
    if (answered && op.transaction_report)
        add_last_transaction(r);
    finish(r, v);
    const bool still_running = (op.shape == Shape::Payment && !e.completed) || !g_worker_done.load();
    if (still_running)
        leave(v.exit_code, worker);
    worker.join();
    g_lib.get<int (*)()>("PosClose")();
    return v.exit_code;
}
