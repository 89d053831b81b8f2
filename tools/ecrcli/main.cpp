// ecrcli: drives a card-payment terminal from the command line through the
// shipped library, loaded with dlopen exactly as a cash register loads it.
#include "ecrcli/cli.h"
#include "ecrcli/explain.h"
#include "ecrcli/library.h"
#include "ecrcli/operations.h"
#include "ecrcli/outcome.h"
#include "ecrcli/report.h"
#include "ecrcli/runner.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace ecrcli;

namespace {

constexpr unsigned kCheckStepS = 5;  // check's own time-out of each step
constexpr unsigned kBudgetS = 40;    // the library's default budget

Library g_lib;

// ---- output ----

FILE* g_out = stdout;  // our own stdout; the library's prints go elsewhere
bool g_json = false;

// The command line that asks the terminal's journal what became of a
// payment: the same link and log directory (where the record is kept).
std::string g_recover_hint;

int finish(Report& r, const Verdict& v)
{
    if (v.exit_code == kExitUnknown && r.next.empty() && !g_recover_hint.empty())
        r.next = g_recover_hint;
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
    // Installed, ecrcli is in bin/ and the library where the loader finds it.
    const std::string beside = dir + "/libecrbridge.so";
    return access(beside.c_str(), F_OK) == 0 ? beside : "libecrbridge.so";
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
    register_callbacks(g_lib);
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
    r.add("link", "Link", link.what, link.what + ": open");
    // Each step's row says what that step saw; the first failure ends the check.
    const struct {
        const char* command;
        const char* key;
        const char* label;
    } steps[] = {{"ping", "ping", "Ping"}, {"tsn", "serial", "Serial number"}, {"software", "software", "Software"}};
    for (const auto& s : steps) {
        po.def = find_command(s.command);
        const Operation op = make_operation(g_lib, po);
        const Ended e = run_operation(g_lib, s.command, op, lim, nullptr, &worker);
        Verdict v = judge(observe(g_lib, op.shape, e, step));
        if (v.exit_code != kExitOk) {
            r.add(s.key, s.label, "failed", "FAILED (" + v.reason + ")");
            v.reason = std::string(s.command) + ": " + v.reason;
            finish(r, v);
            leave(v.exit_code, worker);
        }
        worker.join();
        if (op.after)
            op.after(r);
        else
            r.add("ping", "Ping", "ok", "ok: the terminal acknowledged");
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
    // Reading a log needs neither the library nor a terminal.
    if (args.size() >= 2 && args[1] == "explain")
        return explain_main(std::vector<std::string>(args.begin() + 2, args.end()));
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
    if (!runner_init())
        return fail(o.command, kExitLink, std::string("pipe: ") + std::strerror(errno));

    if (!g_lib.load(o.lib))
        return fail(o.command, kExitLink, g_lib.error);
    g_lib.get<void* (*)()>("_Z13create_objectv")();  // the first call, from this thread
    if (!o.log_dir.empty())
        g_lib.get<int (*)(char const*)>("put_EcrLogingPath")(o.log_dir.c_str());
    Operation op;
    if (o.def != nullptr)
        op = make_operation(g_lib, o);
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

    // Only a payment that moves money leaves the terminal's journal anything
    // to resolve; balance, settlement, echo, print and the services do not.
    if (o.def->moves_money || o.def->call == Call::Recover) {
        const char* kinds[3] = {"--serial ", "--udp ", "--tcp "};
        g_recover_hint = std::string("run `ecrcli ") + kinds[static_cast<int>(o.transport)] +
                         (o.transport == TransportKind::Serial ? o.device : o.host + ":" + std::to_string(o.port)) +
                         (o.log_dir.empty() ? std::string() : " --log-dir " + o.log_dir) +
                         " recover` to ask the terminal's journal what became of the payment";
    }
    // The tool's own limit: the library's budget (and what it may add) unless
    // a shorter --timeout was asked for.
    const unsigned budget = o.timeout >= kBudgetS ? o.timeout : kBudgetS;
    const unsigned wait_s = o.timeout > 0 ? o.timeout : budget;
    const Limits lim{wait_s, o.timeout > 0 && o.timeout < kBudgetS ? o.timeout : 3 * budget + 60};
    NoticeWatch watch(o.log_dir.empty() ? "." : o.log_dir);
    std::thread worker;
    const Ended e = run_operation(g_lib, o.command, op, lim, op.shape == Shape::Payment ? &watch : nullptr, &worker);
    Observed seen = observe(g_lib, op.shape, e, lim.limit_s);
    seen.empty_answer_ok = o.def->call == Call::Audit;  // an empty journal has no records to give
    seen.may_have_acted = o.def->call == Call::XReport;  // it may have printed
    const bool recovery = o.def->call == Call::Recover;
    Verdict v = recovery ? judge_recovery(e.worker_result, seen) : judge(seen);
    // A stored-transaction query that the terminal answered without a
    // transaction (its "not found"): no stored transaction has invoice 0.
    const bool stored_query = o.def->call == Call::Gtl || o.def->call == Call::Gts || o.def->call == Call::Gti;
    long invoice = 0;
    if (stored_query && v.exit_code == kExitOk && g_lib.get<int (*)(long*)>("get_LastTrxInvoceNumber")(&invoice) == 0 &&
        invoice == 0)
        v = Verdict{kExitDeclined, "declined", "the terminal holds no such stored transaction"};

    Report r;
    r.operation = o.command;
    r.message = last_message();
    // A service's record is shown only when the terminal gave one: a refusal
    // or a silence leaves it empty, and an empty record is not an answer.
    const bool answered = v.exit_code == kExitOk ||
                          ((op.shape == Shape::Payment || recovery) && v.exit_code == kExitDeclined);
    if (op.shape == Shape::Payment && e.completed && answered)
        r.response_code = static_cast<int>(e.result);
    if (answered && op.after)
        op.after(r);
    // The journal entry that decided it follows (none when the journal lacks the payment).
    if (recovery && answered && e.worker_result > 0)
        r.add("decided_by", "Decided by", seen.outcome_reason);
    if (answered && op.transaction_report && !(recovery && e.worker_result == 0))
        add_last_transaction(g_lib, r, o.def->call);
    finish(r, v);
    const bool still_running = (op.shape == Shape::Payment && !e.completed) || !worker_done();
    if (still_running)
        leave(v.exit_code, worker);
    worker.join();
    join_stop();
    g_lib.get<int (*)()>("PosClose")();
    return v.exit_code;
}
