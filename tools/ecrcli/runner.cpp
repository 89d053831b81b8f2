#include "ecrcli/runner.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <unistd.h>

namespace ecrcli {

namespace {

constexpr unsigned kCancelGraceMs = 3000;  // wait this long for an operation cancelled with Ctrl-C to end
// The abort or interrupt waits for its answer as long as a payment's read
// (the response budget) and for the acknowledgement of its confirmation.
constexpr unsigned kStopAckMs = 25000;

std::mutex g_mu;
bool g_completed = false;
unsigned long g_result = 0;
std::string g_message;           // last text message, UTF-8
int g_wake[2] = {-1, -1};        // self-pipe: signals and completions wake the waiting loop
volatile sig_atomic_t g_sigint = 0;
std::atomic<bool> g_worker_done(false);
std::atomic<int> g_worker_result(0);
std::atomic<bool> g_stop_done(true);
std::atomic<int> g_stop_result(0);
// The thread of that abort or interrupt.  Joined before a normal exit: a
// thread still leaving while exit() runs the destructors is a race.  Never
// destroyed, so that a quick exit (_exit) with it running is no fault.
std::thread* const g_stop_thread = new std::thread;

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

}  // namespace

Ended run_operation(const Library& lib, const std::string& name, const Operation& op, const Limits& lim,
                    NoticeWatch* watch, std::thread* worker)
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
    bool stop_told = false;
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
        if (o.stop_sent && g_stop_done.load()) {
            if (!stop_told) {
                stop_told = true;
                o.stop_accepted = g_stop_result.load() == 0;
                std::fprintf(stderr, o.stop_accepted ? "ecrcli: the terminal accepted the %s\n"
                                                     : "ecrcli: the terminal did not accept the %s\n",
                             op.stop_name);
            }
        }
        // (A payment refused before anything was sent gets no callback.)  Once
        // an abort or interrupt went out, its answer is waited for as well.
        if ((op.shape == Shape::Payment ? o.completed || (o.worker_done && o.worker_result != 0) : o.worker_done) &&
            (!o.stop_sent || stop_told))
            break;
        if (!cancel_sent && (g_sigint > 0 || elapsed > limit)) {
            cancel_sent = true;
            cancel_at = std::chrono::steady_clock::now();
            o.user_cancelled = g_sigint > 0;
            o.deadline_hit = !o.user_cancelled;
            if (tty)
                std::fputs("\r\033[K", stderr);
            if (o.user_cancelled && op.stop) {
                // The terminal is asked to stop; its answer decides.  The
                // request waits for the payment to let go of the link, so it
                // runs beside this loop, which a second Ctrl-C still ends.
                std::fprintf(stderr,
                             "ecrcli: cancelling %s: asking the terminal to %s it (Ctrl-C again stops waiting at once)\n",
                             name.c_str(), op.stop_name);
                o.stop_sent = true;
                g_stop_done.store(false);
                std::function<int()> stop = op.stop;
                if (g_stop_thread->joinable())
                    g_stop_thread->join();  // the previous one is done (worker_done)
                *g_stop_thread = std::thread([stop] {
                    g_stop_result.store(stop());
                    g_stop_done.store(true);
                    wake();
                });
            } else {
                if (o.user_cancelled)
                    std::fprintf(stderr,
                                 "ecrcli: cancelling %s: stopped waiting; the terminal was not told and may still "
                                 "complete it\n",
                                 name.c_str());
                if (auto cancel = lib.find<int (*)()>("_Z17CancelTransactionv"))
                    cancel();
            }
        }
        // The abort or interrupt ends within the library's own bounds.
        const unsigned grace = o.stop_sent        ? (lim.show_s < 40 ? 40 : lim.show_s) * 1000 + kStopAckMs
                               : o.user_cancelled ? kCancelGraceMs
                                                  : lim.grace_ms;
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

Observed observe(const Library& lib, Shape shape, const Ended& e, unsigned deadline_s)
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
    if (auto f = lib.find<int (*)()>("ecrb_last_outcome")) {
        const int v = f();
        o.outcome = v >= 0 && v <= 5 ? static_cast<LibOutcome>(v) : LibOutcome::Unknown;
        if (auto r = lib.find<const char* (*)()>("ecrb_last_outcome_reason"))
            if (const char* t = r())
                o.outcome_reason = t;
    }
    o.link_error_known = lib.link_error(&o.link_error);
    return o;
}


bool runner_init()
{
    if (pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction sa {};
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return true;
}

void register_callbacks(Library& lib)
{
    lib.get<void (*)(void (*)(unsigned long))>("_Z13OnTrxCompletePFvmE")(on_trx_complete);
    lib.get<void (*)(void (*)(char const*))>("_Z13OnMsgReceivedPFvPKcE")(on_msg_received);
}

std::string last_message()
{
    std::lock_guard<std::mutex> lk(g_mu);
    return g_message;
}

bool worker_done() { return g_worker_done.load() && g_stop_done.load(); }

void join_stop()
{
    if (g_stop_done.load() && g_stop_thread->joinable())
        g_stop_thread->join();
}

}  // namespace ecrcli
