// Runs one operation of the library on a worker thread while the main thread
// waits for its end: the status line meanwhile, a cancel on Ctrl-C or at the
// tool's own time limit, and what the library tells about the end.
#pragma once
#include "ecrcli/commands.h"
#include "ecrcli/library.h"
#include "ecrcli/outcome.h"
#include "ecrcli/progress.h"
#include "ecrcli/report.h"

#include <functional>
#include <string>
#include <thread>

namespace ecrcli {

struct Operation {
    Shape shape = Shape::Payment;
    std::function<int()> run;            // runs on the worker thread; the member's or export's result
    std::function<void(Report&)> after;  // fills the report of a service operation
    bool transaction_report = false;
    // Ctrl-C: the request that makes the terminal itself stop the payment
    // (the abort or the interrupt, run on a thread of its own); empty when
    // the terminal has none for this operation.
    std::function<int()> stop;
    const char* stop_name = "";  // "abort", "interrupt"
};

struct Limits {
    unsigned show_s;   // the deadline shown to the cashier
    unsigned limit_s;  // the tool gives up (and cancels) after this
    unsigned grace_ms = 1500;  // for an operation cancelled at the limit to end
};

struct Ended {
    bool completed = false;
    unsigned long result = 0;
    bool worker_done = false;
    int worker_result = 0;
    bool user_cancelled = false;
    bool deadline_hit = false;
    bool stop_sent = false;      // the abort or interrupt went to the terminal
    bool stop_accepted = false;  // and the terminal took it
};

// The wake-up pipe, the Ctrl-C handler, SIGPIPE ignored; false (errno set)
// when the pipe cannot be made.
bool runner_init();
// Hands the library the completion and message callbacks.
void register_callbacks(Library& lib);
// Starts op.run on *worker and waits for its end (see Ended).
Ended run_operation(const Library& lib, const std::string& name, const Operation& op, const Limits& lim,
                    NoticeWatch* watch, std::thread* worker);
// What the library tells about the end of the last operation.
Observed observe(const Library& lib, Shape shape, const Ended& e, unsigned deadline_s);
// The terminal's last text message (UTF-8).
std::string last_message();
// The worker, and the abort or interrupt of Ctrl-C, have returned from the library.
bool worker_done();
// Joins the thread of that abort or interrupt once it has returned.
void join_stop();

}  // namespace ecrcli
