// What an operation's end means for the cash desk: the exit status, a status
// word and one line of reason, from what the library let the tool see.
#pragma once
#include "ecrcli/commands.h"

#include <string>

namespace ecrcli {

constexpr int kExitOk = 0;
constexpr int kExitDeclined = 1;   // the terminal declined: a real response code
constexpr int kExitUsage = 2;
constexpr int kExitLink = 3;       // link or library unusable
constexpr int kExitUnknown = 4;    // the outcome is not known
constexpr int kExitCancelled = 130;

// The library's outcome export, when it has one.
enum class LibOutcome { Absent = -1, None = 0, Approved = 1, Declined = 2, NotSent = 3, Cancelled = 4, Unknown = 5 };

constexpr int kEFail = static_cast<int>(0x80004005);
constexpr int kEInvalidArg = static_cast<int>(0x80070057);
constexpr unsigned long kNoReport = 20;  // the library's callback result when no final report came

struct Observed {
    Shape shape = Shape::Payment;
    bool completed = false;  // the transaction-complete callback came
    unsigned long result = 0;
    bool worker_done = false;
    int worker_result = 0;
    bool user_cancelled = false;
    bool deadline_hit = false;   // the tool's own time limit ran out
    unsigned deadline_s = 0;
    LibOutcome outcome = LibOutcome::Absent;
    std::string outcome_reason;  // the library's reason for its outcome
    bool link_error_known = false;  // the library tells its link failures
    std::string link_error;         // its last one ("" when none)
    bool empty_answer_ok = false;   // a service that fails on an empty answer (the audit)
    bool may_have_acted = false;    // a service request that makes the terminal act (prints, reads a card)
};

struct Verdict {
    int exit_code = kExitOk;
    std::string status;  // approved, declined, ok, failed, unknown, cancelled, usage
    std::string reason;  // empty for approved and ok
};

Verdict judge(const Observed& o);
// The end of ecrcli recover: result is what ecrb_recover returned (an
// outcome, or E_FAIL when the terminal could not be asked); o.result is the
// journal entry's response code.
Verdict judge_recovery(int result, const Observed& o);

// Meaning of a response code of the terminal.
const char* response_meaning(int code);
// The operation a stored transaction was, from its processing code (the
// transaction type in its first two digits); "" for a type not known here.
const char* stored_operation(long processing_code);

}  // namespace ecrcli
