// ecrchaos: operations through the library's exports against ecrsim --chaos
// on one link, each checked against the terminal's journal.
//
// Purchases, refunds, voids, interrupts and aborts from another thread,
// cancels, a cash-register process killed in the middle of a payment and
// recovered, service calls, closes and reopens.  After each operation:
//   - APPROVED only with a confirmed journal entry;
//   - never DECLINED, NOT_SENT or CANCELLED with one;
//   - UNKNOWN only with the operation record on disk, and ecrb_recover
//     resolving it to the journal's answer;
//   - no entry nobody asked for, none twice;
//   - no hang past the watchdog, no descriptor left open.
// Every choice (the driver's and the simulator's) comes from the seed and the
// operation number, so "--seed S --from N" replays operation N.
//
//   ecrchaos --ecrsim PATH --link tcp|udp|pty [--seed S] [--from N] [--ops N]
//            [--rate R] [--work DIR] [--watchdog-s S]
// It ends with one line "summary LINK key=value ...", exit 0 only without a
// violation.  ECR_EMULATOR, when set, runs the simulator and the killed
// child through it.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

#include "ecrbridge.h"

using json = nlohmann::json;
namespace http = boost::beast::http;

namespace {

using Clock = std::chrono::steady_clock;

uint64_t mix(uint64_t z)
{
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// The driver's choices for one operation: from (seed, op) alone.
struct Rng {
    uint64_t s;
    Rng(uint64_t seed, uint64_t op) : s(mix(seed * 0x2545F4914F6CDD1DULL ^ mix(op))) {}
    uint64_t next() { return mix(s += 0x9E3779B97F4A7C15ULL); }
    unsigned below(unsigned n) { return static_cast<unsigned>(next() % n); }
};

void sleep_ms(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The open descriptors and what each is.
std::map<int, std::string> open_fds()
{
    std::map<int, std::string> out;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr)
        return out;
    const int own = dirfd(d);
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.' || std::atoi(e->d_name) == own)
            continue;
        char target[512] = {};
        const std::string path = std::string("/proc/self/fd/") + e->d_name;
        if (readlink(path.c_str(), target, sizeof target - 1) < 0)
            target[0] = '\0';
        out[std::atoi(e->d_name)] = target;
    }
    closedir(d);
    return out;
}

bool is_record_lock(const std::string& target)
{
    const std::string tail = "/ecrbridge.oprecord.lock";
    return target.size() >= tail.size() && target.compare(target.size() - tail.size(), tail.size(), tail) == 0;
}

// Open descriptors, without the operation record's lock: the library holds
// that one while a record waits to be resolved, by design.
int count_fds(int* locks = nullptr)
{
    int n = 0, l = 0;
    for (const auto& f : open_fds())
        ++(is_record_lock(f.second) ? l : n);
    if (locks != nullptr)
        *locks = l;
    return n;
}

// ---- the simulator ----

struct Sim {
    pid_t pid = -1;
    std::string control_port;
    std::string where;  // "127.0.0.1:PORT" or "/dev/pts/N"

    bool start(const std::string& ecrsim, const std::string& link, uint64_t seed, double rate,
               const std::string& err_file)
    {
        int out[2];
        if (pipe(out) != 0)
            return false;
        const std::string seed_text = std::to_string(seed), rate_text = std::to_string(rate);
        std::vector<std::string> args;
        if (const char* emu = std::getenv("ECR_EMULATOR"))
            if (*emu != '\0')
                args.push_back(emu);
        args.push_back(ecrsim);
        if (link == "pty")
            args.push_back("--pty");
        else {
            args.push_back("--" + link);
            args.push_back("127.0.0.1:0");
        }
        for (const char* a : {"--control", "127.0.0.1:0", "--no-magic", "--chaos"})
            args.push_back(a);
        args.push_back(seed_text);
        args.push_back("--chaos-rate");
        args.push_back(rate_text);
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            const int e = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (e >= 0)
                dup2(e, 2);
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        FILE* f = fdopen(out[0], "r");
        char line[256];
        while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr) {
            std::string l(line);
            while (!l.empty() && (l.back() == '\n' || l.back() == '\r'))
                l.pop_back();
            const std::string ctl = "ecrsim control on http://127.0.0.1:";
            if (l.compare(0, ctl.size(), ctl) == 0)
                control_port = l.substr(ctl.size(), l.find('/', ctl.size()) - ctl.size());
            const std::string lis = "ecrsim listening on ";
            if (l.compare(0, lis.size(), lis) == 0) {
                where = l.substr(l.find(' ', lis.size()) + 1);
                break;
            }
        }
        if (f != nullptr)
            std::fclose(f);
        return !control_port.empty() && !where.empty();
    }

    void stop()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }

    // One request of the control API; null JSON when it failed.
    json call(http::verb verb, const std::string& target, const json& body = json()) const
    {
        try {
            boost::asio::io_context ioc;
            boost::asio::ip::tcp::resolver resolver(ioc);
            boost::beast::tcp_stream stream(ioc);
            stream.expires_after(std::chrono::seconds(10));
            stream.connect(resolver.resolve("127.0.0.1", control_port));
            http::request<http::string_body> req(verb, target, 11);
            req.set(http::field::host, "127.0.0.1:" + control_port);
            if (!body.is_null()) {
                req.set(http::field::content_type, "application/json");
                req.body() = body.dump();
                req.prepare_payload();
            }
            http::write(stream, req);
            boost::beast::flat_buffer buf;
            http::response<http::string_body> res;
            http::read(stream, buf, res);
            boost::beast::error_code ec;
            stream.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_both, ec);
            return json::parse(res.body());
        } catch (const std::exception&) {
            return json();
        }
    }
    json get(const std::string& t) const { return call(http::verb::get, t); }
    json post(const std::string& t, const json& b) const { return call(http::verb::post, t, b); }
};

// ---- the library ----

std::mutex g_mu;
std::condition_variable g_cv;
unsigned long g_callbacks = 0;

void on_complete(unsigned long)
{
    std::lock_guard<std::mutex> lk(g_mu);
    ++g_callbacks;
    g_cv.notify_all();
}

struct Setup {
    std::string link, where, record_dir, log_dir;
};

int open_link(const Setup& s)
{
    char loopback[] = "127.0.0.1";
    if (s.link == "pty") {
        put_TransportType(ECR_TRANSPORT_SERIAL);
        std::string tty = s.where;
        put_UnixTTY(&tty[0]);
    } else {
        put_TransportType(s.link == "udp" ? ECR_TRANSPORT_UDP : ECR_TRANSPORT_TCP);
        put_PosIP(loopback);
        put_PosPort(static_cast<unsigned short>(std::atoi(s.where.substr(s.where.rfind(':') + 1).c_str())));
    }
    return PosOpen(0);
}

void library_setup(const Setup& s)
{
    put_EcrLogging(1);
    put_EcrLogingPath(s.log_dir.c_str());
    ecrb_set_record_dir(s.record_dir.c_str());
    ecrb_OnTrxComplete(on_complete);
}

// Starts an asynchronous payment and waits for its callback; false when it
// did not come within ms.
template <class Start>
bool async_payment(Start start, unsigned ms)
{
    unsigned long before;
    {
        std::lock_guard<std::mutex> lk(g_mu);
        before = g_callbacks;
    }
    start();
    std::unique_lock<std::mutex> lk(g_mu);
    return g_cv.wait_for(lk, std::chrono::milliseconds(ms), [&] { return g_callbacks != before; });
}

const char* outcome_name(int o)
{
    switch (o) {
    case ECRB_OUTCOME_NONE: return "none";
    case ECRB_OUTCOME_APPROVED: return "approved";
    case ECRB_OUTCOME_DECLINED: return "declined";
    case ECRB_OUTCOME_NOT_SENT: return "not-sent";
    case ECRB_OUTCOME_CANCELLED: return "cancelled";
    case ECRB_OUTCOME_UNKNOWN: return "unknown";
    default: return "fail";
    }
}

// The child tells its parent its outcome on this descriptor (a pipe) from
// the completion callback: a child killed after it was told had its answer.
constexpr int kChildTellsFd = 3;

void child_told(unsigned long)
{
    const char b = static_cast<char>(10 + ecrb_last_outcome());
    if (write(kChildTellsFd, &b, 1) < 0) {
        // the parent reads none: it then recovers as for a child killed early
    }
}

// The child that pays and is killed: opens the link, pays, exits with
// 10 + the outcome.
int child_main(const Setup& s, long long minor, unsigned long long receipt)
{
    if (chdir(s.log_dir.c_str()) != 0)
        return 3;
    library_setup(s);
    ecrb_OnTrxComplete(child_told);
    if (open_link(s) != 0)
        return 3;
    put_ECRReceiptNumber(receipt);
    unsigned long r = 0;
    PosPurchaseInterrupt(static_cast<double>(minor) / 100.0, 0, &r);
    const int o = ecrb_last_outcome();
    PosClose();
    return 10 + o;
}

// ---- the run ----

enum class OpKind { Purchase, Refund, Void, Interrupt, Abort, Cancel, Kill, Service, Reopen };
const char* const kOpNames[] = {"purchase", "refund", "void", "interrupt", "abort",
                                "cancel",   "kill",   "service", "reopen"};
// Weights out of 100.
const unsigned kOpWeights[] = {18, 9, 9, 9, 9, 9, 9, 16, 12};

struct Entry {
    std::string op;
    std::string amount;
    unsigned long long invoice;
    bool voided;
};

bool read_journal(const Sim& sim, std::vector<Entry>* out)
{
    const json j = sim.get("/journal");
    if (!j.is_object() || !j.contains("entries"))
        return false;
    out->clear();
    for (const json& e : j["entries"])
        out->push_back({e.value("op", ""), e.value("amount", ""), e.value("invoice", 0ull), e.value("voided", false)});
    return true;
}

std::string money(long long minor)
{
    char b[32];
    std::snprintf(b, sizeof b, "%lld.%02lld", minor / 100, minor % 100);
    return b;
}

struct Driver {
    Setup setup;
    Sim sim;
    std::string self;
    uint64_t seed = 1;
    unsigned watchdog_ms = 200000;
    std::map<std::string, unsigned long> outcomes;
    unsigned long operations = 0, violations = 0;
    double longest = 0;  // seconds of the longest operation (the watchdog's margin)
    unsigned long unresolved = 0;  // of the violations: recoveries left unknown where the journal could tell
    std::map<std::string, unsigned long> ops_by_kind;
    uint64_t op = 0;
    std::map<int, std::string> fds_seen;

    std::atomic<uint64_t> watch_op{0};
    std::atomic<int64_t> watch_deadline{0};

    void violation(const std::string& what)
    {
        ++violations;
        std::printf("VIOLATION link %s seed %llu op %llu: %s\n  replay: tools/chaos.sh --seed %llu --from %llu "
                    "--links %s\n",
                    setup.link.c_str(), static_cast<unsigned long long>(seed), static_cast<unsigned long long>(op),
                    what.c_str(), static_cast<unsigned long long>(seed), static_cast<unsigned long long>(op),
                    setup.link.c_str());
        std::fflush(stdout);
    }

    // Each link draws its own mix and faults from the one seed.
    uint64_t link_salt() const { return setup.link == "tcp" ? 0 : setup.link == "udp" ? 0x5ADull : 0x9E7ull; }

    std::string record_path() const { return setup.record_dir + "/ecrbridge.oprecord"; }
    bool record_on_disk() const
    {
        struct stat st;
        return stat(record_path().c_str(), &st) == 0;
    }

    void reopen()
    {
        PosClose();
        for (int i = 0; i < 20 && open_link(setup) != 0; ++i)
            sleep_ms(250);
    }

    // The simulator has finished what it was doing (or gave it time to).
    void settle()
    {
        for (int i = 0; i < 40; ++i) {
            const json st = sim.get("/state");
            if (st.is_object() && !st.value("busy", true))
                return;
            sleep_ms(100);
        }
    }

    // Resolves the record with ecrb_recover, retried while the terminal
    // cannot be asked; the last tries without faults.
    int recover()
    {
        int r = E_FAIL;
        for (int attempt = 0; attempt < 8 && r == E_FAIL; ++attempt) {
            if (attempt == 6)
                sim.post("/chaos", {{"enabled", false}});
            if (attempt > 0) {
                settle();
                reopen();
            }
            r = ecrb_recover();
        }
        sim.post("/chaos", {{"enabled", true}});
        return r;
    }

    // The outcome against the journal: `mine` the new entries that belong to
    // this operation, `stray` the new ones that do not.
    // journal_keeps: false for an operation the terminal's journal never
    // holds (the echo test): then only the record and recovery's bounds are
    // checked.
    void judge(const char* what, int outcome, size_t mine, size_t stray, bool journal_keeps)
    {
        ++outcomes[outcome_name(outcome)];
        const bool confirmed = mine > 0;
        if (!journal_keeps) {
            if (stray > 0)
                violation(std::string(what) + ": " + std::to_string(stray) + " journal entries nobody asked for");
            if (outcome != ECRB_OUTCOME_UNKNOWN)
                return;
            if (!record_on_disk())
                violation(std::string(what) + ": UNKNOWN without the operation record on disk");
            const int r = recover();
            ++outcomes[std::string("recovered-") + outcome_name(r)];
            if (r == E_FAIL || r == ECRB_OUTCOME_NONE)
                violation(std::string(what) + ": recovery said " + outcome_name(r));
            return;
        }
        if (stray > 0)
            violation(std::string(what) + ": " + std::to_string(stray) + " journal entries nobody asked for");
        if (mine > 1)
            violation(std::string(what) + ": " + std::to_string(mine) + " journal entries for one operation");
        if (outcome == ECRB_OUTCOME_APPROVED && !confirmed)
            violation(std::string(what) + ": APPROVED, but the journal has no entry");
        if ((outcome == ECRB_OUTCOME_DECLINED || outcome == ECRB_OUTCOME_NOT_SENT ||
             outcome == ECRB_OUTCOME_CANCELLED) &&
            confirmed)
            violation(std::string(what) + ": " + outcome_name(outcome) + ", but the journal confirms the entry");
        if (outcome != ECRB_OUTCOME_UNKNOWN)
            return;
        if (!record_on_disk())
            violation(std::string(what) + ": UNKNOWN without the operation record on disk");
        check_recovery(what, confirmed, true);
    }

    void check_recovery(const char* what, bool confirmed, bool record_expected)
    {
        const int r = recover();
        ++outcomes[std::string("recovered-") + outcome_name(r)];
        const std::string w = std::string(what) + ": recovery said " + outcome_name(r) + " (" +
                              ecrb_last_outcome_reason() + ")";
        if (r == E_FAIL)
            violation(w + ": the terminal could not be asked even without faults");
        else if (confirmed && r != ECRB_OUTCOME_APPROVED)
            violation(w + ", the journal confirms the entry");
        else if (!confirmed && r == ECRB_OUTCOME_APPROVED)
            violation(w + ", the journal has no entry");
        else if (r == ECRB_OUTCOME_UNKNOWN) {
            ++unresolved;
            violation(w + ": the journal could tell");
        }
        else if (r == ECRB_OUTCOME_NONE && record_expected)
            violation(w + ": the record was gone");
        else if (r != ECRB_OUTCOME_NONE && record_on_disk())
            violation(w + ": the record is still on disk");
    }

    void run_one(uint64_t n)
    {
        op = n;
        Rng rng(seed ^ link_salt(), n);
        sim.post("/chaos", {{"op", n}});
        unsigned pick = rng.below(100);
        OpKind kind = OpKind::Purchase;
        for (unsigned i = 0; i < sizeof kOpWeights / sizeof kOpWeights[0]; ++i) {
            if (pick < kOpWeights[i]) {
                kind = static_cast<OpKind>(i);
                break;
            }
            pick -= kOpWeights[i];
        }
        const long long minor = 100 + static_cast<long long>(n % 400000);  // one amount per operation
        const double amount = static_cast<double>(minor) / 100.0;
        const unsigned after_ms = 200 + rng.below(6000);  // when the other thread acts
        put_ECRReceiptNumber(n);

        std::vector<Entry> before, after;
        if (!read_journal(sim, &before)) {
            violation("the simulator's journal cannot be read");
            return;
        }
        unsigned long long void_target = 0;
        if (kind == OpKind::Void) {
            for (const Entry& e : before)
                if ((e.op == "PUR" || e.op == "PIR") && !e.voided)
                    void_target = e.invoice;
            if (void_target == 0)
                kind = OpKind::Purchase;
        }
        ++ops_by_kind[kOpNames[static_cast<int>(kind)]];
        const int fds_before = count_fds();
        const Clock::time_point started = Clock::now();
        watch_op = n;
        watch_deadline = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count() +
                         watchdog_ms;

        int outcome = -1;
        bool payment = true, refused = false;
        switch (kind) {
        case OpKind::Purchase:
        case OpKind::Refund:
        case OpKind::Void:
            if (!async_payment(
                    [&] {
                        if (kind == OpKind::Void)
                            PosVoid(static_cast<long>(void_target));
                        else
                            PosPurchase(kind == OpKind::Refund ? -amount : amount, 0);
                    },
                    watchdog_ms))
                refused = true;  // no callback: no connection
            break;
        case OpKind::Interrupt: {
            unsigned long r = 0;
            std::thread t([&] {
                sleep_ms(after_ms);
                PosInterruptTrx();
            });
            refused = PosPurchaseInterrupt(amount, 0, &r) != 0;
            t.join();
            break;
        }
        case OpKind::Abort:
        case OpKind::Cancel: {
            std::atomic<bool> done{false};
            std::thread t([&] {
                for (unsigned waited = 0; waited < after_ms && !done; waited += 50)
                    sleep_ms(50);
                if (kind == OpKind::Abort)
                    ecrb_PosAbortTrx();
                else
                    CancelTransaction();
            });
            if (!async_payment([&] { PosPurchase(amount, 0); }, watchdog_ms))
                refused = true;
            done = true;
            t.join();
            break;
        }
        case OpKind::Kill:
            outcome = kill_and_recover(minor, n, after_ms + rng.below(3000), before);
            payment = false;
            break;
        case OpKind::Service: {
            payment = false;
            char text[4096] = {};
            unsigned long r = 0, count = 0;
            switch (rng.below(4)) {
            case 0: PosTSN(text); break;
            case 1: PosGetNameSoftware(text); break;
            case 2:
                // The echo test runs as a payment does (record and outcome);
                // the journal never keeps it.
                payment = true;
                refused = EchoTest(&r) != 0;
                break;
            default: PosGTC(0, &count); break;
            }
            break;
        }
        case OpKind::Reopen:
            payment = false;
            reopen();
            break;
        }
        if (payment && !refused)
            outcome = ecrb_last_outcome();
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        longest = seconds > longest ? seconds : longest;
        std::printf("op %llu %s: %s%s%s (%.1f s)\n", static_cast<unsigned long long>(n),
                    kOpNames[static_cast<int>(kind)], !payment ? "done" : refused ? "refused" : outcome_name(outcome),
                    payment && !refused ? " - " : "", payment && !refused ? ecrb_last_outcome_reason() : "", seconds);
        std::fflush(stdout);
        watch_deadline = 0;
        ++operations;

        settle();
        if (!read_journal(sim, &after)) {
            violation("the simulator's journal cannot be read");
            return;
        }
        if (kind != OpKind::Kill) {
            size_t mine = 0, stray = 0;
            for (const Entry& e : after) {
                bool old = false;
                for (const Entry& b : before)
                    old = old || b.invoice == e.invoice;
                if (old)
                    continue;
                const bool ours = kind == OpKind::Void      ? e.op == "VOD"
                                  : kind == OpKind::Service ? false
                                                            : e.amount == money(minor);
                ++(ours ? mine : stray);
            }
            if (payment && refused) {
                ++outcomes["refused"];
                if (mine > 0)
                    violation(std::string(kOpNames[static_cast<int>(kind)]) +
                              ": refused, but the journal confirms the entry");
                if (stray > 0)
                    violation("journal entries nobody asked for");
            } else if (payment) {
                judge(kOpNames[static_cast<int>(kind)], outcome, mine, stray, kind != OpKind::Service);
            } else if (mine + stray > 0) {
                violation(std::string(kOpNames[static_cast<int>(kind)]) + ": journal entries nobody asked for");
            }
        }

        // Whatever failed, the next operation starts on an open link.
        char err[256] = {};
        ecrb_last_error_text(err, sizeof err);
        if (err[0] != '\0')
            reopen();
        check_fds(fds_before, kind);
    }

    void check_fds(int before, OpKind kind)
    {
        int locks = 0;
        count_fds(&locks);
        if (locks > 1)
            violation(std::to_string(locks) + " descriptors of the record's lock open at once");
        int now = count_fds();
        for (int i = 0; i < 10 && now > before; ++i) {
            sleep_ms(100);
            now = count_fds();
        }
        if (now > before) {
            std::string which;
            for (const auto& f : open_fds())
                if (!is_record_lock(f.second) && (fds_seen.count(f.first) == 0 || fds_seen[f.first] != f.second))
                    which += " " + std::to_string(f.first) + "=" + f.second;
            violation(std::string(kOpNames[static_cast<int>(kind)]) + ": " + std::to_string(now - before) +
                      " more descriptors open than before:" + which);
        }
        fds_seen = open_fds();
    }

    // The child pays and is killed at a random moment (or finishes first);
    // then this process recovers with the same record directory.
    int kill_and_recover(long long minor, uint64_t receipt, unsigned kill_ms, const std::vector<Entry>& before)
    {
        PosClose();
        std::vector<std::string> args;
        if (const char* emu = std::getenv("ECR_EMULATOR"))
            if (*emu != '\0')
                args.push_back(emu);
        for (const std::string& a : {self, std::string("--child"), setup.link, setup.where, setup.record_dir,
                                     setup.log_dir, std::to_string(minor), std::to_string(receipt)})
            args.push_back(a);
        int told[2];
        if (pipe2(told, O_CLOEXEC) != 0)
            return -1;
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(told[1], kChildTellsFd);  // without close-on-exec
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(told[1]);
        int status = 0;
        bool exited = false;
        for (unsigned waited = 0; waited < kill_ms; waited += 20) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                exited = true;
                break;
            }
            sleep_ms(20);
        }
        if (!exited) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        char b = 0;
        const bool was_told = read(told[0], &b, 1) == 1 && b >= 10;
        close(told[0]);
        // A child killed after its callback had its answer, as one that
        // exited did.
        const int child_outcome = was_told ? b - 10
                                  : exited && WIFEXITED(status) && WEXITSTATUS(status) >= 10
                                      ? WEXITSTATUS(status) - 10
                                      : -1;
        exited = exited || was_told;
        ++outcomes[exited ? std::string("child-") + outcome_name(child_outcome) : std::string("killed")];
        settle();
        reopen();
        std::vector<Entry> after;
        if (!read_journal(sim, &after)) {
            violation("the simulator's journal cannot be read");
            return -1;
        }
        size_t mine = 0, stray = 0;
        for (const Entry& e : after) {
            bool old = false;
            for (const Entry& b : before)
                old = old || b.invoice == e.invoice;
            if (!old)
                ++(e.amount == money(minor) ? mine : stray);
        }
        if (stray > 0)
            violation("kill: journal entries nobody asked for");
        if (mine > 1)
            violation("kill: the payment is in the journal twice");
        if (exited && child_outcome >= 0) {
            const bool confirmed = mine > 0;
            if (child_outcome == ECRB_OUTCOME_APPROVED && !confirmed)
                violation("kill: the child was told APPROVED, but the journal has no entry");
            if ((child_outcome == ECRB_OUTCOME_DECLINED || child_outcome == ECRB_OUTCOME_NOT_SENT ||
                 child_outcome == ECRB_OUTCOME_CANCELLED) &&
                confirmed)
                violation(std::string("kill: the child was told ") + outcome_name(child_outcome) +
                          ", but the journal confirms the entry");
            // A decided payment's record goes after the callback: a child
            // killed inside it leaves the record, which recovery resolves.
            if (child_outcome != ECRB_OUTCOME_UNKNOWN && !record_on_disk())
                return child_outcome;  // nothing left to recover
        }
        // Killed (or left unknown): recovery must give the journal's answer.
        // A child killed before it wrote its record leaves none, and then
        // nothing reached the journal either.
        check_recovery("kill", mine > 0, false);
        return -1;
    }

    void watchdog()
    {
        for (;;) {
            sleep_ms(500);
            const int64_t d = watch_deadline.load();
            const int64_t now =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
            if (d != 0 && now > d) {
                op = watch_op.load();
                violation("no end within the watchdog's " + std::to_string(watchdog_ms / 1000) + " s");
                summary(0);
                sim.stop();
                _exit(1);
            }
        }
    }

    void summary(unsigned long long faults_total)
    {
        const json c = sim.get("/chaos");
        std::string line = "summary " + setup.link + " operations=" + std::to_string(operations);
        for (const auto& k : ops_by_kind)
            line += " op." + k.first + "=" + std::to_string(k.second);
        if (c.is_object() && c.contains("faults")) {
            faults_total = c.value("total", 0ull);
            for (auto it = c["faults"].begin(); it != c["faults"].end(); ++it)
                line += " fault." + it.key() + "=" + std::to_string(it.value().get<unsigned long long>());
        }
        line += " faults=" + std::to_string(faults_total);
        for (const auto& o : outcomes)
            line += " outcome." + o.first + "=" + std::to_string(o.second);
        line += " longest_s=" + std::to_string(static_cast<int>(longest + 0.5));
        line += " unresolved=" + std::to_string(unresolved) + " violations=" + std::to_string(violations);
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
};

bool arg_u64(const char* text, unsigned long long* out)
{
    if (text == nullptr || *text == '\0' || std::strspn(text, "0123456789") != std::strlen(text))
        return false;
    *out = std::strtoull(text, nullptr, 10);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    signal(SIGPIPE, SIG_IGN);
    if (argc == 8 && std::strcmp(argv[1], "--child") == 0) {
        Setup s{argv[2], argv[3], argv[4], argv[5]};
        return child_main(s, std::atoll(argv[6]), std::strtoull(argv[7], nullptr, 10));
    }
    Driver d;
    std::string ecrsim, work;
    unsigned long long from = 1, ops = 500, seed = 1, watchdog_s = 200;
    double rate = 0.2;
    d.setup.link = "tcp";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = v != nullptr;
        if (a == "--ecrsim" && ok)
            ecrsim = v;
        else if (a == "--link" && ok)
            d.setup.link = v;
        else if (a == "--seed")
            ok = arg_u64(v, &seed);
        else if (a == "--from")
            ok = arg_u64(v, &from) && from > 0;
        else if (a == "--ops")
            ok = arg_u64(v, &ops);
        else if (a == "--watchdog-s")
            ok = arg_u64(v, &watchdog_s) && watchdog_s > 0;
        else if (a == "--rate" && ok)
            rate = std::atof(v);
        else if (a == "--work" && ok)
            work = v;
        else
            ok = false;
        if (!ok) {
            std::fprintf(stderr,
                         "usage: ecrchaos --ecrsim PATH --link tcp|udp|pty [--seed S] [--from N] [--ops N] "
                         "[--rate R] [--work DIR] [--watchdog-s S]\n");
            return 2;
        }
        ++i;
    }
    if (ecrsim.empty() || (d.setup.link != "tcp" && d.setup.link != "udp" && d.setup.link != "pty")) {
        std::fprintf(stderr, "ecrchaos: --ecrsim and a link (tcp, udp, pty) are needed\n");
        return 2;
    }
    if (work.empty()) {
        char tmpl[] = "/tmp/ecrchaos.XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            return 2;
        work = tmpl;
    }
    char* abs = realpath(work.c_str(), nullptr);
    if (abs == nullptr) {
        std::fprintf(stderr, "ecrchaos: no directory %s\n", work.c_str());
        return 2;
    }
    work = abs;
    std::free(abs);
    d.seed = seed;
    d.watchdog_ms = static_cast<unsigned>(watchdog_s * 1000);
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return 2;
    d.self = self;
    d.setup.record_dir = work + "/record-" + d.setup.link;
    d.setup.log_dir = work + "/log-" + d.setup.link;
    mkdir(d.setup.record_dir.c_str(), 0700);
    mkdir(d.setup.log_dir.c_str(), 0700);
    const std::string sim_log = work + "/ecrsim-" + d.setup.link + ".err";
    if (!d.sim.start(ecrsim, d.setup.link, seed ^ d.link_salt(), rate, sim_log)) {
        std::fprintf(stderr, "ecrchaos: the simulator did not start (see %s)\n", sim_log.c_str());
        d.sim.stop();
        return 2;
    }
    d.setup.where = d.sim.where;
    std::printf("chaos %s: seed %llu, operations %llu..%llu, rate %g, simulator on %s, faults in %s\n",
                d.setup.link.c_str(), seed, from, from + ops - 1, rate, d.sim.where.c_str(), sim_log.c_str());
    std::fflush(stdout);

    // The library opens its log in the current directory before it learns
    // the log directory.
    if (chdir(d.setup.log_dir.c_str()) != 0)
        return 2;
    library_setup(d.setup);
    if (open_link(d.setup) != 0) {
        std::fprintf(stderr, "ecrchaos: cannot open the link to %s\n", d.setup.where.c_str());
        d.sim.stop();
        return 2;
    }
    // A first payment without faults, so that the journal's position is
    // known before the first operation.
    d.sim.post("/chaos", {{"enabled", false}});
    async_payment([] { PosPurchase(0.99, 0); }, 60000);
    d.sim.post("/chaos", {{"enabled", true}});

    std::thread dog([&d] { d.watchdog(); });
    dog.detach();
    for (unsigned long long n = from; n < from + ops; ++n)
        d.run_one(n);
    PosClose();
    d.summary(0);
    d.sim.stop();
    return d.violations == 0 ? 0 : 1;
}
