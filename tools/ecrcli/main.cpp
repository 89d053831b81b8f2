// ecrcli: drives a card-payment terminal from the command line through the
// shipped library, loaded with dlopen exactly as a cash register loads it.
#include "ecrcli/report.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using ecrcli::Field;
using ecrcli::Report;

namespace {

// ---- exit codes ----
constexpr int kExitOk = 0;
constexpr int kExitDeclined = 1;  // the terminal declined, or the operation failed
constexpr int kExitUsage = 2;
constexpr int kExitLink = 3;      // the library or the link could not be used
constexpr int kExitCancelled = 130;

constexpr int kInvalidArg = static_cast<int>(0x80070057);
constexpr unsigned kCancelGraceMs = 3000;  // wait this long for the cancelled payment to end

// ---- the library, resolved by name ----

typedef int (*fn_v)();
typedef int (*fn_i)(int);
typedef int (*fn_u8)(unsigned char);
typedef int (*fn_u16)(unsigned short);
typedef int (*fn_s16)(short);
typedef int (*fn_cstr)(char const*);
typedef int (*fn_str)(char*);
typedef int (*fn_pul)(unsigned long*);
typedef int (*fn_pd)(double*);
typedef int (*fn_pl)(long*);
typedef int (*fn_pi)(int*);
typedef int (*fn_pus)(unsigned short*);
typedef void (*fn_dd)(double, double);
typedef void (*fn_ddp)(double, double, unsigned long*);
typedef void (*fn_l)(long);
typedef void (*fn_ld)(long, double);
typedef void (*fn_p)(unsigned long*);
typedef void (*fn_void)();
typedef void (*fn_text)(char*);
typedef void* (*fn_create)();
typedef void (*trx_cb)(unsigned long);
typedef void (*msg_cb)(char const*);
typedef void (*fn_reg_trx)(trx_cb);
typedef void (*fn_reg_msg)(msg_cb);

struct Library {
    void* handle = nullptr;
    std::string error;

    void* sym(const char* name)
    {
        void* p = dlsym(handle, name);
        if (p == nullptr && error.empty())
            error = std::string("the library does not export ") + name;
        return p;
    }
    template <typename F>
    F get(const char* name) { return reinterpret_cast<F>(sym(name)); }
};

Library g_lib;

// ---- completion, messages and signals ----

std::mutex g_mu;
std::condition_variable g_cv;
bool g_completed = false;
unsigned long g_result = 0;
std::string g_message;           // last text message, UTF-8
int g_wake[2] = {-1, -1};        // self-pipe: signals and completions wake the waiting loop
volatile sig_atomic_t g_sigint = 0;

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
    g_cv.notify_all();
    wake();
}

void on_msg_received(char const* text)
{
    {
        std::lock_guard<std::mutex> lk(g_mu);
        g_message = ecrcli::cp1251_to_utf8(text != nullptr ? text : "");
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

// ---- options ----

struct Options {
    std::string lib;
    int transport = 2;  // 0 serial, 1 UDP, 2 TCP
    std::string host = "127.0.0.1";
    unsigned short port = 2000;
    std::string device;
    std::string log_dir;
    int timeout = 0;  // 0: the library's default budget (40 s)
    bool json = false;
    bool verbose = false;
    std::string command;
    std::vector<std::string> args;
};

void usage(FILE* out)
{
    std::fputs(
        "usage: ecrcli [connection] [options] COMMAND [ARGS]\n"
        "connection (default --tcp 127.0.0.1:2000):\n"
        "  --tcp HOST[:PORT]    terminal on TCP (port 2000 unless given)\n"
        "  --udp HOST[:PORT]    terminal on UDP\n"
        "  --serial DEVICE      terminal on a serial line (115200 baud, 7E1)\n"
        "options:\n"
        "  --lib PATH           library to load (default: libecrbridge.so next to ecrcli)\n"
        "  --log-dir DIR        write the library's log there (default: current directory)\n"
        "  --timeout S          time budget of a payment, 40..420 seconds\n"
        "  --json               print the outcome as JSON\n"
        "  --verbose            let the library's start-up lines through to stderr\n"
        "payments (amounts in currency units, e.g. 12.34):\n"
        "  purchase AMOUNT [ADD]   refund AMOUNT        void INVOICE\n"
        "  partvoid INVOICE AMOUNT auth AMOUNT [ADD]    authfin AMOUNT [ADD]\n"
        "  cashback AMOUNT CASH    cash AMOUNT [ADD]    payment AMOUNT [ADD]\n"
        "  balance                 settle               settle-report\n"
        "  ping                    echo                 print TEXT\n"
        "service:\n"
        "  card-read               discount-read [WAIT] discount\n"
        "  group                   tsn                  software\n"
        "  gtc [INDEX]             gts SEQUENCE [INDEX] gtl [INDEX]\n"
        "  gti INVOICE [INDEX]     gsi [INDEX]          audit SELECTION\n"
        "  xreport                 check\n"
        "exit status: 0 approved (response code 0), 1 declined or failed, 2 usage,\n"
        "3 library or link unusable, 130 cancelled with Ctrl-C\n",
        out);
}

bool parse_endpoint(const std::string& text, std::string* host, unsigned short* port)
{
    const size_t colon = text.rfind(':');
    *host = text.substr(0, colon);
    if (host->empty())
        return false;
    if (colon == std::string::npos)
        return true;
    const std::string p = text.substr(colon + 1);
    if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long v = std::strtoul(p.c_str(), nullptr, 10);
    if (v == 0 || v > 65535)
        return false;
    *port = static_cast<unsigned short>(v);
    return true;
}

bool parse_amount(const std::string& text, double* out)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || end == nullptr || *end != '\0' || !(v >= 0) || v > 9999999999.99)
        return false;
    *out = v;
    return true;
}

bool parse_number(const std::string& text, unsigned long max, unsigned long* out)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *out = std::strtoul(text.c_str(), nullptr, 10);
    return *out <= max;
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
    // Installed, ecrcli is in bin/ and the library where the loader finds it.
    const std::string beside = dir + "/libecrbridge.so";
    return access(beside.c_str(), F_OK) == 0 ? beside : "libecrbridge.so";
}

// ---- output ----

FILE* g_out = stdout;  // our own stdout; the library's prints go elsewhere

std::string fmt_money(double v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
}

std::string two(long v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02ld", v);
    return buf;
}

void add(Report& r, const char* key, const char* label, const std::string& value, bool number = false)
{
    r.fields.push_back(Field{key, label, value, number});
}

std::string get_text(const char* name, size_t size = 256, bool trim_left = true)
{
    fn_str f = g_lib.get<fn_str>(name);
    if (f == nullptr)
        return std::string();
    std::vector<char> buf(size, 0);
    if (f(buf.data()) != 0)
        return std::string();
    buf[size - 1] = '\0';
    return ecrcli::trimmed(std::string(buf.data()), trim_left);
}

long get_long(const char* name)
{
    fn_pl f = g_lib.get<fn_pl>(name);
    long v = 0;
    if (f != nullptr)
        f(&v);
    return v;
}

// The last transaction, field by field.
void add_last_transaction(Report& r)
{
    double amount = 0, add_amount = 0;
    if (fn_pd f = g_lib.get<fn_pd>("get_LastTrxAmount"))
        f(&amount);
    if (fn_pd f = g_lib.get<fn_pd>("get_LastTrxAddAmount"))
        f(&add_amount);
    add(r, "amount", "Amount", fmt_money(amount), true);
    add(r, "add_amount", "Additional amount", fmt_money(add_amount), true);
    add(r, "rrn", "RRN", get_text("get_LastTrxRRN"));
    add(r, "approval_code", "Approval code", get_text("get_LastTrxApprovalCode"));
    add(r, "pan", "Card", get_text("get_LastTrxPAN"));
    const long month = get_long("get_LastTrxCardExpireMonth"), year = get_long("get_LastTrxCardExpireYear");
    add(r, "expiry", "Expiry", month || year ? two(month) + "/" + two(year) : std::string());
    const long invoice = get_long("get_LastTrxInvoceNumber");
    add(r, "invoice", "Invoice", std::to_string(invoice), true);
    const long day = get_long("get_LastTrxTransactionDateDay"), mon = get_long("get_LastTrxTransactionDateMonth");
    const long hh = get_long("get_LastTrxTransactionTimeHours"), mm = get_long("get_LastTrxTransactionTimeMinutes");
    add(r, "date_time", "Date and time", day ? two(day) + "." + two(mon) + " " + two(hh) + ":" + two(mm) : "");
    add(r, "card_name", "Card name", get_text("get_LastTrxCardName"));
    add(r, "issuer", "Issuer", get_text("get_LastTrxIssuerName"));
    add(r, "terminal_id", "Terminal ID", get_text("get_LastTrxTerminalID"));
    add(r, "merchant_id", "Merchant ID", get_text("get_LastTrxMerchantId"));
    add(r, "op_tag", "Message code", get_text("get_LastTrxOpTag"));
    add(r, "bank", "Bank", get_text("get_LastTrxNameBank"));
    // Settlement totals exist only for reports that carry them (5023 otherwise).
    double total = 0;
    fn_pd tot = g_lib.get<fn_pd>("get_LastTrxTotalAmount");
    const std::string tag = get_text("get_LastTrxOpTag");
    const bool has_totals = tag == "SLR" || tag == "slr" || tag == "XRP" || tag == "xrp";
    if (has_totals && tot != nullptr && tot(&total) == 0) {
        unsigned short sales = 0, refunds = 0, count = 0;
        g_lib.get<fn_pus>("get_LastTrxSalesCount")(&sales);
        g_lib.get<fn_pus>("get_LastTrxRefundsCount")(&refunds);
        g_lib.get<fn_pus>("get_LastTrxTotalTrxCount")(&count);
        add(r, "total_amount", "Total amount", fmt_money(total), true);
        add(r, "sales_count", "Sales", std::to_string(sales), true);
        add(r, "refunds_count", "Refunds", std::to_string(refunds), true);
        add(r, "transaction_count", "Transactions", std::to_string(count), true);
    }
    r.receipt = get_text("get_LastTrxReceipt", 8192, false);
}

// ---- running an operation ----

enum class Kind {
    Payment,   // ends with the transaction-complete callback
    Ping,      // the terminal's ACK is the answer; a callback means it failed
    Service,   // one exchange on the worker thread; no callback
};

struct Operation {
    Kind kind;
    std::function<int()> run;  // runs on the worker thread; the member's or export's result
};

struct Outcome {
    bool cancelled = false;
    bool completed = false;  // callback came
    unsigned long result = 0;
    bool worker_done = false;
    int worker_result = 0;
    bool timed_out = false;
};

std::atomic<bool> g_worker_done(false);
std::atomic<int> g_worker_result(0);

void status_line(bool tty, const std::string& op, double elapsed, int budget, const std::string& msg)
{
    if (!tty)
        return;
    char buf[512];
    std::snprintf(buf, sizeof buf, "\r\033[K%s: waiting for the terminal %4.0fs / %ds%s%s", op.c_str(), elapsed,
                  budget, msg.empty() ? "" : "  | ", msg.c_str());
    ssize_t ignored = write(2, buf, std::strlen(buf));
    (void)ignored;
}

Outcome run_operation(const std::string& name, const Operation& op, int budget, std::thread* worker)
{
    Outcome o;
    {
        std::lock_guard<std::mutex> lk(g_mu);
        g_completed = false;
        g_message.clear();
    }
    g_worker_done.store(false);
    std::function<int()> run = op.run;
    *worker = std::thread([run] {
        int r = run();
        g_worker_result.store(r);
        g_worker_done.store(true);
        wake();
    });

    const bool tty = isatty(2) != 0;
    const auto start = std::chrono::steady_clock::now();
    // A payment may legitimately last: ACK and first answer (two budgets at
    // most), reads within the budget, the 5 s confirmation.  Beyond that the
    // library has lost the thread of it.
    const double limit_s = 3.0 * budget + 60.0;
    bool cancel_sent = false;
    std::chrono::steady_clock::time_point cancel_at;
    for (;;) {
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        {
            std::lock_guard<std::mutex> lk(g_mu);
            o.completed = g_completed;
            o.result = g_result;
        }
        o.worker_done = g_worker_done.load();
        o.worker_result = g_worker_result.load();
        if (op.kind == Kind::Payment && o.completed)
            break;
        if (op.kind != Kind::Payment && o.worker_done)
            break;
        if (op.kind == Kind::Payment && o.worker_done && o.worker_result != 0)
            break;  // refused before anything was sent: no callback will come
        if (g_sigint > 0 && !cancel_sent) {
            cancel_sent = true;
            cancel_at = std::chrono::steady_clock::now();
            if (tty)
                std::fputs("\r\033[K", stderr);
            std::fprintf(stderr, "ecrcli: cancelling %s...\n", name.c_str());
            if (auto cancel = g_lib.get<fn_v>("_Z17CancelTransactionv"))
                cancel();
        }
        if (cancel_sent) {
            const auto since = std::chrono::steady_clock::now() - cancel_at;
            if (g_sigint > 1 || since > std::chrono::milliseconds(kCancelGraceMs)) {
                o.cancelled = true;
                break;
            }
        }
        if (elapsed > limit_s) {
            o.timed_out = true;
            break;
        }
        std::string msg;
        {
            std::lock_guard<std::mutex> lk(g_mu);
            msg = g_message;
        }
        status_line(tty, name, elapsed, budget, msg);
        pollfd p{g_wake[0], POLLIN, 0};
        if (poll(&p, 1, 250) > 0) {
            char drain[64];
            ssize_t ignored = read(g_wake[0], drain, sizeof drain);
            (void)ignored;
        }
    }
    if (tty)
        std::fputs("\r\033[K", stderr);
    if (cancel_sent)
        o.cancelled = true;
    return o;
}

// ---- commands ----

struct Command {
    Operation op;
    bool transaction_report = false;  // read the last transaction afterwards
    std::function<void(Report&, int)> after;  // fills the report of a service operation
};

unsigned long g_pul = 0;  // out value of the payment exports; lives until exit
char g_text[8192];
char* g_ptr = nullptr;
unsigned long g_count = 0;

std::string arg(const Options& o, size_t i) { return i < o.args.size() ? o.args[i] : std::string(); }

// Builds the command; false with a message for bad arguments.
bool build_command(const Options& o, Command* c, std::string* err)
{
    const std::string& cmd = o.command;
    double a = 0, b = 0;
    unsigned long n = 0, idx = 0;
    auto amounts = [&](bool second_required) {
        if (!parse_amount(arg(o, 0), &a)) {
            *err = cmd + " needs an amount such as 12.34";
            return false;
        }
        if (o.args.size() > 1 || second_required) {
            if (!parse_amount(arg(o, 1), &b)) {
                *err = cmd + ": bad second amount";
                return false;
            }
        }
        return true;
    };
    auto index_at = [&](size_t i) {
        idx = 0;
        if (o.args.size() > i && !parse_number(arg(o, i), 99, &idx)) {
            *err = cmd + ": the merchant index is 0..99";
            return false;
        }
        return true;
    };
    auto payment = [&](std::function<int()> f) {
        c->op = Operation{Kind::Payment, std::move(f)};
        c->transaction_report = true;
        return true;
    };
    auto async2 = [&](const char* sym) {
        fn_dd f = g_lib.get<fn_dd>(sym);
        const double x = a, y = b;
        return payment([f, x, y] {
            f(x, y);
            return 0;
        });
    };
    auto async3 = [&](const char* sym) {
        fn_ddp f = g_lib.get<fn_ddp>(sym);
        const double x = a, y = b;
        return payment([f, x, y] {
            f(x, y, &g_pul);
            return 0;
        });
    };

    if (cmd == "purchase")
        return amounts(false) && async2("PosPurchase");
    if (cmd == "refund") {
        if (!amounts(false))
            return false;
        if (a <= 0) {
            *err = "refund needs an amount above 0";
            return false;
        }
        a = -a;  // a negative purchase runs a refund of that amount
        b = 0;
        return async2("PosPurchase");
    }
    if (cmd == "auth")
        return amounts(false) && async2("_Z4Authdd");
    if (cmd == "authfin")
        return amounts(false) && async2("_Z10PosAuthFindd");
    if (cmd == "cashback")
        return amounts(true) && async2("_Z11PosCashBackdd");
    if (cmd == "cash")
        return amounts(false) && async3("PosCash");
    if (cmd == "payment")
        return amounts(false) && async3("PosPayment");
    if (cmd == "balance")
        return async3("PosBalance");
    if (cmd == "void" || cmd == "partvoid") {
        if (!parse_number(arg(o, 0), 999999, &n) || n == 0) {
            *err = cmd + " needs an invoice number 1..999999";
            return false;
        }
        const long inv = static_cast<long>(n);
        if (cmd == "void") {
            fn_l f = g_lib.get<fn_l>("PosVoid");
            return payment([f, inv] {
                f(inv);
                return 0;
            });
        }
        if (!parse_amount(arg(o, 1), &a)) {
            *err = "partvoid needs INVOICE AMOUNT";
            return false;
        }
        fn_ld f = g_lib.get<fn_ld>("PosPartVoid");
        const double x = a;
        return payment([f, inv, x] {
            f(inv, x);
            return 0;
        });
    }
    if (cmd == "settle") {
        fn_p f = g_lib.get<fn_p>("PosSettle");
        return payment([f] {
            f(&g_pul);
            return 0;
        });
    }
    if (cmd == "settle-report") {
        fn_void f = g_lib.get<fn_void>("PosSettleReported");
        return payment([f] {
            f();
            return 0;
        });
    }
    if (cmd == "echo") {
        fn_pul f = g_lib.get<fn_pul>("EchoTest");
        return payment([f] { return f(&g_pul); });
    }
    if (cmd == "print") {
        if (o.args.empty() || o.args[0].size() > 1000) {
            *err = "print needs a text of at most 1000 characters";
            return false;
        }
        std::snprintf(g_text, sizeof g_text, "%s", o.args[0].c_str());
        auto f = g_lib.get<fn_text>("_Z15PosPrintMessagePc");
        return payment([f] {
            f(g_text);
            return 0;
        });
    }
    if (cmd == "ping") {
        // The member runs on this thread and returns once the terminal has
        // acknowledged (or a failure was reported through the callback).
        typedef int (*member_pul)(void*, unsigned long*);
        void* obj = g_lib.get<fn_create>("_Z13create_objectv")();
        member_pul f = g_lib.get<member_pul>("_ZN15CVarkoClass20177PosPingEPm");
        c->op = Operation{Kind::Ping, [f, obj] { return f(obj, &g_pul); }};
        return true;
    }

    // ---- service operations ----
    auto service = [&](std::function<int()> f, std::function<void(Report&, int)> after, bool trx = false) {
        c->op = Operation{Kind::Service, std::move(f)};
        c->after = std::move(after);
        c->transaction_report = trx;
        return true;
    };
    if (cmd == "card-read") {
        fn_str f = g_lib.get<fn_str>("PosMagneticRead");
        return service([f] { return f(g_text); },
                       [](Report& r, int) { add(r, "track2", "Track 2", ecrcli::trimmed(g_text)); });
    }
    if (cmd == "discount-read") {
        unsigned long wait = 30;
        if (!o.args.empty() && (!parse_number(arg(o, 0), 99, &wait) || wait == 0)) {
            *err = "discount-read: the wait is 1..99 seconds";
            return false;
        }
        typedef int (*fn_read)(unsigned char, char**);
        fn_read f = g_lib.get<fn_read>("PosDiscountMagneticRead");
        const unsigned char w = static_cast<unsigned char>(wait);
        return service([f, w] { return f(w, &g_ptr); },
                       [](Report& r, int) { add(r, "track2", "Track 2", g_ptr ? std::string(g_ptr, strnlen(g_ptr, 100)) : ""); });
    }
    if (cmd == "discount") {
        typedef int (*fn_init)(char**);
        fn_init f = g_lib.get<fn_init>("PosDiscountInit");
        return service([f] { return f(&g_ptr); },
                       [](Report& r, int) { add(r, "card_id", "Card", g_ptr ? std::string(g_ptr, strnlen(g_ptr, 100)) : ""); });
    }
    if (cmd == "group") {
        typedef int (*member_pp)(void*, char**);
        void* obj = g_lib.get<fn_create>("_Z13create_objectv")();
        member_pp f = g_lib.get<member_pp>("_ZN15CVarkoClass201711PosGetGroupEPPc");
        return service([f, obj] { return f(obj, &g_ptr); },
                       [](Report& r, int) { add(r, "group", "Card group", g_ptr ? std::string(g_ptr, strnlen(g_ptr, 64)) : ""); });
    }
    if (cmd == "tsn" || cmd == "software") {
        fn_str f = g_lib.get<fn_str>(cmd == "tsn" ? "PosTSN" : "PosGetNameSoftware");
        const bool tsn = cmd == "tsn";
        return service([f] {
            std::memset(g_text, 0, sizeof g_text);
            return f(g_text);
        },
                       [tsn](Report& r, int) {
                           add(r, tsn ? "serial" : "software", tsn ? "Serial number" : "Software",
                               ecrcli::trimmed(std::string(g_text, strnlen(g_text, 255))));
                       });
    }
    if (cmd == "gtc") {
        if (!index_at(0))
            return false;
        typedef int (*fn_gtc)(unsigned char, unsigned long*);
        fn_gtc f = g_lib.get<fn_gtc>("PosGTC");
        const unsigned char i = static_cast<unsigned char>(idx);
        return service([f, i] { return f(i, &g_count); },
                       [](Report& r, int) { add(r, "count", "Stored transactions", std::to_string(g_count), true); });
    }
    if (cmd == "gts") {
        if (!parse_number(arg(o, 0), 9999, &n)) {
            *err = "gts needs a sequence number 0..9999";
            return false;
        }
        if (!index_at(1))
            return false;
        typedef int (*fn_gts)(unsigned char, unsigned long);
        fn_gts f = g_lib.get<fn_gts>("PosGTS");
        const unsigned char i = static_cast<unsigned char>(idx);
        const unsigned long seq = n;
        return service([f, i, seq] { return f(i, seq); }, nullptr, true);
    }
    if (cmd == "gtl") {
        if (!index_at(0))
            return false;
        fn_u8 f = g_lib.get<fn_u8>("PosGTL");
        const unsigned char i = static_cast<unsigned char>(idx);
        return service([f, i] { return f(i); }, nullptr, true);
    }
    if (cmd == "gti") {
        if (!parse_number(arg(o, 0), 999999, &n)) {
            *err = "gti needs an invoice number 0..999999";
            return false;
        }
        if (!index_at(1))
            return false;
        typedef int (*fn_gti)(unsigned char, long);
        fn_gti f = g_lib.get<fn_gti>("PosGTI");
        const unsigned char i = static_cast<unsigned char>(idx);
        const long inv = static_cast<long>(n);
        return service([f, i, inv] { return f(i, inv); }, nullptr, true);
    }
    if (cmd == "gsi") {
        if (!index_at(0))
            return false;
        fn_i f = g_lib.get<fn_i>("PosGSI");
        const int i = static_cast<int>(idx);
        return service([f, i] { return f(i); }, [](Report& r, int) {
            const char* const counts[3] = {"CountPurchaseTransaction", "CountRefundTransaction", "CountVoidTransaction"};
            const char* const sums[3] = {"_Z30TotolAmoundPurchaseTransactionPd", "_Z28TotolAmoundRefundTransactionPd",
                                         "_Z26TotolAmoundVoidTransactionPd"};
            const char* const keys[3] = {"purchases", "refunds", "voids"};
            const char* const labels[3] = {"Purchases", "Refunds", "Voids"};
            for (int k = 0; k < 3; ++k) {
                int cnt = 0;
                double sum = 0;
                if (fn_pi fc = g_lib.get<fn_pi>(counts[k]))
                    fc(&cnt);
                if (fn_pd fs = g_lib.get<fn_pd>(sums[k]))
                    fs(&sum);
                add(r, (std::string(keys[k]) + "_count").c_str(), (std::string(labels[k]) + " count").c_str(),
                    std::to_string(cnt), true);
                add(r, (std::string(keys[k]) + "_amount").c_str(), (std::string(labels[k]) + " amount").c_str(),
                    fmt_money(sum), true);
            }
        });
    }
    if (cmd == "xreport") {
        fn_v f = g_lib.get<fn_v>("PosPrintXReport");
        return service([f] { return f(); }, nullptr);
    }
    if (cmd == "audit") {
        if (o.args.empty() || o.args[0].empty() || o.args[0].size() > 15) {
            *err = "audit needs a selection text of 1 to 15 characters";
            return false;
        }
        typedef int (*fn_audit)(char*, char*);
        fn_audit f = g_lib.get<fn_audit>("PosAudit");
        static std::vector<std::string> records;
        static char selection[16];
        std::snprintf(selection, sizeof selection, "%s", o.args[0].c_str());
        return service([f] {
            // One record per call until the one marked last; the terminal
            // sends at most 10000.
            for (int k = 0; k < 10001; ++k) {
                char rec[80] = {0};
                const int res = f(selection, rec);
                if (res != 0)
                    return records.empty() ? res : 0;
                if (rec[0] == '0' && rec[1] == '\0')
                    break;  // end marker
                records.push_back(std::string(rec, 78));
                if (rec[0] != '1')
                    break;  // the last record
            }
            return 0;
        },
                       [](Report& r, int) {
                           add(r, "record_count", "Records", std::to_string(records.size()), true);
                           for (const std::string& rec : records)
                               r.records.push_back(rec.substr(1));
                       });
    }
    *err = "unknown command " + cmd;
    return false;
}

// ---- main ----

int finish(const Options& o, Report& r, int code)
{
    const std::string text = o.json ? ecrcli::render_json(r) : ecrcli::render_table(r);
    std::fputs(text.c_str(), g_out);
    std::fflush(g_out);
    return code;
}

// A step of the check ended by Ctrl-C: the report so far, and out at once
// (the library may still wait for the terminal on the worker thread).
[[noreturn]] void end_cancelled(const Options& o, Report& r, std::thread& worker)
{
    worker.detach();
    r.status = "cancelled";
    finish(o, r, kExitCancelled);
    std::fflush(nullptr);
    _exit(kExitCancelled);
}

bool open_link(const Options& o, std::string* what)
{
    char buf[4096];
    if (!o.log_dir.empty())
        g_lib.get<fn_cstr>("put_EcrLogingPath")(o.log_dir.c_str());
    g_lib.get<fn_reg_trx>("_Z13OnTrxCompletePFvmE")(on_trx_complete);
    g_lib.get<fn_reg_msg>("_Z13OnMsgReceivedPFvPKcE")(on_msg_received);
    g_lib.get<fn_s16>("put_TransportType")(static_cast<short>(o.transport));
    if (o.transport == 0) {
        std::snprintf(buf, sizeof buf, "%s", o.device.c_str());
        g_lib.get<fn_str>("put_UnixTTY")(buf);
        *what = "serial " + o.device;
    } else {
        std::snprintf(buf, sizeof buf, "%s", o.host.c_str());
        g_lib.get<fn_str>("put_PosIP")(buf);
        g_lib.get<fn_u16>("put_PosPort")(o.port);
        *what = std::string(o.transport == 1 ? "udp " : "tcp ") + o.host + ":" + std::to_string(o.port);
    }
    if (!g_lib.error.empty())
        return false;
    const int opened = g_lib.get<fn_i>("PosOpen")(0);
    if (opened != 0)
        return false;
    if (o.timeout > 0)
        g_lib.get<fn_u16>("SetPurchTimeout")(static_cast<unsigned short>(o.timeout));
    return true;
}

int run_check(const Options& o, const std::string& link)
{
    // Every step is reported, and the link is not opened twice.
    Report r;
    r.operation = "check";
    bool all = true;
    add(r, "link", "Link", link + ": open");
    std::thread worker;
    Command ping;
    std::string err;
    Options po = o;
    po.command = "ping";
    build_command(po, &ping, &err);
    Outcome p = run_operation("ping", ping.op, o.timeout > 0 ? o.timeout : 40, &worker);
    if (p.cancelled)
        end_cancelled(o, r, worker);
    worker.join();
    const bool ping_ok = p.worker_done && p.worker_result == 0 && !p.completed;
    all = all && ping_ok;
    add(r, "ping", "Ping", ping_ok ? "ok: the terminal acknowledged" : "FAILED: no acknowledgement");
    for (const char* what : {"tsn", "software"}) {
        Command c;
        po.command = what;
        build_command(po, &c, &err);
        Outcome s = run_operation(what, c.op, 40, &worker);
        if (s.cancelled)
            end_cancelled(o, r, worker);
        worker.join();
        const bool ok = s.worker_result == 0;
        all = all && ok;
        const std::string text = ecrcli::trimmed(std::string(g_text, strnlen(g_text, 255)));
        if (std::strcmp(what, "tsn") == 0)
            add(r, "serial", "Serial number", ok ? "ok: " + text : "FAILED: no answer");
        else
            add(r, "software", "Software", ok ? "ok: " + text : "FAILED: no answer");
    }
    r.status = all ? "ok" : "failed";
    r.detail = all ? "The terminal answers: payments can be made." : "The terminal does not answer everything.";
    return finish(o, r, all ? kExitOk : kExitDeclined);
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    o.lib = default_library();
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!o.command.empty()) {
            o.args.push_back(a);
        } else if (a == "--help" || a == "-h") {
            usage(stdout);
            return kExitOk;
        } else if (a == "--tcp" || a == "--udp") {
            o.transport = a == "--tcp" ? 2 : 1;
            if (next == nullptr || !parse_endpoint(next, &o.host, &o.port)) {
                std::fprintf(stderr, "ecrcli: %s needs HOST[:PORT]\n", a.c_str());
                return kExitUsage;
            }
            ++i;
        } else if (a == "--serial") {
            if (next == nullptr || *next == '\0') {
                std::fprintf(stderr, "ecrcli: --serial needs a device\n");
                return kExitUsage;
            }
            o.transport = 0;
            o.device = next;
            ++i;
        } else if (a == "--lib" || a == "--log-dir") {
            if (next == nullptr || *next == '\0') {
                std::fprintf(stderr, "ecrcli: %s needs a path\n", a.c_str());
                return kExitUsage;
            }
            (a == "--lib" ? o.lib : o.log_dir) = next;
            ++i;
        } else if (a == "--timeout") {
            unsigned long v = 0;
            if (next == nullptr || !parse_number(next, 420, &v) || v < 40) {
                std::fprintf(stderr, "ecrcli: --timeout is 40..420 seconds\n");
                return kExitUsage;
            }
            o.timeout = static_cast<int>(v);
            ++i;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--verbose") {
            o.verbose = true;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "ecrcli: unknown option %s\n", a.c_str());
            usage(stderr);
            return kExitUsage;
        } else {
            o.command = a;
        }
    }
    if (o.command.empty()) {
        usage(stderr);
        return kExitUsage;
    }

    // Our results go to the real stdout; what the library prints while it
    // starts goes to stderr (--verbose) or nowhere.
    const int out_fd = dup(1);
    if (out_fd < 0 || (g_out = fdopen(out_fd, "w")) == nullptr) {
        std::fprintf(stderr, "ecrcli: cannot duplicate stdout\n");
        return kExitLink;
    }
    fcntl(out_fd, F_SETFD, FD_CLOEXEC);
    const int quiet = o.verbose ? dup(2) : open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (quiet >= 0) {
        dup2(quiet, 1);
        close(quiet);
    }

    if (pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "ecrcli: pipe: %s\n", std::strerror(errno));
        return kExitLink;
    }
    struct sigaction sa {};
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Report r;
    r.operation = o.command;
    g_lib.handle = dlopen(o.lib.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (g_lib.handle == nullptr) {
        const char* e = dlerror();
        std::fprintf(stderr, "ecrcli: cannot load %s: %s\n", o.lib.c_str(), e ? e : "unknown error");
        return kExitLink;
    }
    g_lib.get<fn_create>("_Z13create_objectv")();  // the first call, from this thread
    if (!g_lib.error.empty()) {
        std::fprintf(stderr, "ecrcli: %s\n", g_lib.error.c_str());
        return kExitLink;
    }

    Command c;
    std::string err;
    if (o.command != "check" && !build_command(o, &c, &err)) {
        std::fprintf(stderr, "ecrcli: %s\n", err.c_str());
        return kExitUsage;
    }
    if (!g_lib.error.empty()) {
        std::fprintf(stderr, "ecrcli: %s\n", g_lib.error.c_str());
        return kExitLink;
    }

    std::string link;
    if (!open_link(o, &link)) {
        if (o.command == "check") {
            r.status = "failed";
            add(r, "link", "Link", link + ": FAILED (cannot open the connection)");
            add(r, "ping", "Ping", "not tried");
            r.detail = "The terminal cannot be reached: check its address, port or device, and that it is on.";
            return finish(o, r, kExitLink);
        }
        std::fprintf(stderr, "ecrcli: cannot open the connection to the terminal (%s)%s%s\n", link.c_str(),
                     g_lib.error.empty() ? "" : ": ", g_lib.error.c_str());
        return kExitLink;
    }
    if (o.command == "check") {
        const int code = run_check(o, link);
        g_lib.get<fn_v>("PosClose")();
        return code;
    }

    const int budget = o.timeout > 0 ? o.timeout : 40;
    std::thread worker;
    const Outcome out = run_operation(o.command, c.op, budget, &worker);
    {
        std::lock_guard<std::mutex> lk(g_mu);
        r.message = g_message;
    }

    int code = kExitDeclined;
    if (out.cancelled && !(out.completed && out.result != 0)) {
        r.status = "cancelled";
        r.detail = "Cancelled at the cash desk (Ctrl-C): the payment was stopped.";
        if (!out.completed)
            r.detail += " The library was still waiting for the terminal; check the terminal's own display.";
        code = kExitCancelled;
    } else if (out.timed_out) {
        r.status = "failed";
        r.detail = "No completion came from the library in time.";
    } else if (c.op.kind == Kind::Payment) {
        if (!out.completed) {
            r.status = "failed";
            r.detail = "The operation was refused before anything was sent (result " +
                       std::to_string(out.worker_result) + ").";
        } else {
            r.response_code = static_cast<int>(out.result);
            if (c.transaction_report)
                add_last_transaction(r);
            if (out.result == 0) {
                r.status = "approved";
                code = kExitOk;
            } else {
                r.status = "declined";
                if (out.result == 20)
                    r.detail = "The terminal did not answer as expected (no final response); see the log.";
            }
        }
    } else if (c.op.kind == Kind::Ping) {
        const bool ok = out.worker_done && out.worker_result == 0 && !out.completed;
        r.status = ok ? "ok" : "failed";
        r.detail = ok ? "The terminal acknowledged the ping." : "The terminal did not acknowledge the ping.";
        code = ok ? kExitOk : kExitDeclined;
    } else {
        const bool ok = out.worker_result == 0;
        r.status = ok ? "ok" : "failed";
        if (!ok) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "The terminal did not answer (result 0x%08X).",
                          static_cast<unsigned>(out.worker_result));
            r.detail = out.worker_result == kInvalidArg ? "The library refused the argument." : buf;
        } else {
            if (c.after)
                c.after(r, out.worker_result);
            if (c.transaction_report)
                add_last_transaction(r);
        }
        code = ok ? kExitOk : kExitDeclined;
    }
    finish(o, r, code);
    const bool still_running = (c.op.kind == Kind::Payment && !out.completed) || !g_worker_done.load();
    if (still_running) {
        // The library still waits for the terminal (on the worker thread or
        // its own): leave without waiting for it.
        worker.detach();
        std::fflush(nullptr);
        _exit(code);
    }
    worker.join();
    g_lib.get<fn_v>("PosClose")();
    return code;
}
