#include "ecrcli/outcome.h"

#include <cstdio>

namespace ecrcli {

namespace {

Verdict make(int code, const char* status, const std::string& reason) { return Verdict{code, status, reason}; }

std::string hex_result(int r)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(r));
    return buf;
}

// The library's own words first, then the tool's.
std::string why(const Observed& o, const std::string& fallback)
{
    if (!o.link_error.empty())
        return o.link_error;
    if (!o.outcome_reason.empty())
        return o.outcome_reason;
    return fallback;
}

std::string no_answer(const Observed& o) { return "no answer within " + std::to_string(o.deadline_s) + " s"; }

Verdict declined(unsigned long code)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02lu", code);
    return make(kExitDeclined, "declined",
                std::string("declined by the terminal: response code ") + buf + " (" +
                    response_meaning(static_cast<int>(code)) + ")");
}

Verdict payment(const Observed& o)
{
    switch (o.outcome) {
    case LibOutcome::Approved: return make(kExitOk, "approved", "");
    case LibOutcome::Declined: return declined(o.result);
    case LibOutcome::NotSent:
        return make(kExitLink, "failed", why(o, "the request did not reach the terminal"));
    case LibOutcome::Unknown:
        if (o.user_cancelled)
            return make(kExitUnknown, "unknown",
                        "cancelled at the cash desk (Ctrl-C) after the terminal started: the outcome is not known");
        // The tool's own limit ended the wait: say so first, then the
        // library's word on what that left.
        if (o.deadline_hit && o.link_error.empty())
            return make(kExitUnknown, "unknown",
                        no_answer(o) + ": " +
                            (o.outcome_reason.empty() ? "the outcome is not known" : o.outcome_reason));
        return make(kExitUnknown, "unknown", why(o, "the terminal's answer did not come: the outcome is not known"));
    case LibOutcome::Cancelled:
        if (o.user_cancelled)
            return make(kExitCancelled, "cancelled",
                        "cancelled at the cash desk (Ctrl-C)" +
                            (o.outcome_reason.empty() ? std::string() : ": " + o.outcome_reason));
        return make(kExitUnknown, "unknown", why(o, no_answer(o)));
    case LibOutcome::Absent:
    case LibOutcome::None:
        break;
    }
    // Without the library's word the callback's result is all there is; 20
    // says only that no final report came, not whether the terminal paid.
    if (o.completed && o.result != 0 && o.result != kNoReport)
        return declined(o.result);
    if (o.user_cancelled)
        return make(kExitCancelled, "cancelled", "cancelled at the cash desk (Ctrl-C)");
    if (o.deadline_hit)
        return make(kExitUnknown, "unknown", why(o, no_answer(o)));
    if (o.completed && o.result == 0)
        return make(kExitOk, "approved", "");
    if (o.completed)
        return make(kExitUnknown, "unknown", why(o, "no final answer from the terminal: the outcome is not known"));
    if (o.worker_result == kEInvalidArg)
        return make(kExitUsage, "usage", "the library refused the argument");
    return make(kExitLink, "failed", why(o, "the library refused the operation (result " + hex_result(o.worker_result) + ")"));
}

// A service call that got no usable answer: exit 3, or 4 when the request
// may have made the terminal act.
Verdict silent(const Observed& o, const std::string& what)
{
    std::string reason = what;
    if (!o.link_error.empty())
        reason += " (" + o.link_error + ")";
    else if (o.deadline_hit)
        reason += " (" + no_answer(o) + ")";
    if (o.may_have_acted)
        return make(kExitUnknown, "unknown", reason + ": the terminal may have acted on the request");
    return make(kExitLink, "failed", reason);
}

}  // namespace

Verdict judge(const Observed& o)
{
    if (o.shape == Shape::Payment)
        return payment(o);
    if (o.user_cancelled)
        return make(kExitCancelled, "cancelled", "cancelled at the cash desk (Ctrl-C)");
    if (o.shape == Shape::Ping) {
        if (!o.deadline_hit && o.worker_done && o.worker_result == 0 && !o.completed)
            return make(kExitOk, "ok", "");
        if (!o.deadline_hit && o.link_error.empty() && !o.link_error_known)
            return make(kExitLink, "failed", "the terminal did not acknowledge the ping");
    } else if (!o.deadline_hit && o.worker_result == 0)
        return make(kExitOk, "ok", "");
    if (!o.deadline_hit && o.worker_result == kEInvalidArg)
        return make(kExitUsage, "usage", "the library refused the argument");
    // What the library says about its link decides between a silent
    // terminal and one that answered; an empty record says nothing.
    if (o.deadline_hit || !o.link_error.empty())
        return silent(o, o.link_error.empty() || o.link_error.compare(0, 9, "no answer") == 0
                             ? "no answer from the terminal"
                             : "the link failed");
    const std::string result = " (result " + hex_result(o.worker_result) + ")";
    if (!o.link_error_known)
        return make(kExitLink, "failed",
                    o.empty_answer_ok ? "no records came: the journal is empty or the terminal did not answer" + result
                                      : "the terminal did not answer as expected" + result);
    // The link was sound: the terminal answered, with nothing or with a refusal.
    if (o.empty_answer_ok)
        return make(kExitOk, "ok", "");
    return make(kExitDeclined, "declined", "the terminal answered with a refusal" + result);
}

Verdict judge_recovery(int result, const Observed& o)
{
    if (o.deadline_hit || result == kEFail) {
        std::string reason = "the terminal's journal could not be asked";
        if (!o.link_error.empty())
            reason += " (" + o.link_error + ")";
        else if (o.deadline_hit)
            reason += " (" + no_answer(o) + ")";
        return make(kExitUnknown, "unknown", reason + ": the payment's outcome is still not known");
    }
    if (result == static_cast<int>(LibOutcome::None))
        return make(kExitOk, "ok", "nothing to recover: no payment with an unknown outcome was recorded");
    if (result < 0 || result > static_cast<int>(LibOutcome::Unknown))
        return make(kExitLink, "failed", "the library refused the recovery (result " + hex_result(result) + ")");
    if (result == static_cast<int>(LibOutcome::NotSent))
        return make(kExitLink, "failed", why(o, "the terminal's journal does not hold the payment") +
                                             ": the payment was not made");
    if (result == static_cast<int>(LibOutcome::Declined))
        return make(kExitDeclined, "declined", why(o, "declined in the terminal's journal"));
    // The same verdicts as the payment's own end would have given.
    Observed p = o;
    p.shape = Shape::Payment;
    p.completed = true;
    p.link_error.clear();
    p.outcome = static_cast<LibOutcome>(result);
    return judge(p);
}

const char* response_meaning(int code)
{
    switch (code) {
    case 0: return "approved";
    case 1: return "refer to card issuer";
    case 3: return "invalid merchant";
    case 4: return "pick up card";
    case 5: return "do not honour";
    case 12: return "invalid transaction";
    case 13: return "invalid amount";
    case 14: return "invalid card number";
    case 20: return "no answer from the terminal";
    case 25: return "transaction not found";
    case 33: return "card checked, decision needed";
    case 41: return "lost card";
    case 43: return "stolen card";
    case 51: return "insufficient funds";
    case 54: return "expired card";
    case 55: return "incorrect PIN";
    case 57: return "not permitted to the card holder";
    case 58: return "not permitted to the terminal";
    case 61: return "exceeds the amount limit";
    case 65: return "exceeds the count limit";
    case 75: return "PIN tries exceeded";
    case 91: return "issuer unavailable";
    case 96: return "system malfunction";
    default: return "declined";
    }
}

const char* stored_operation(long processing_code)
{
    if (processing_code < 0 || processing_code > 999999)
        return "";
    switch (processing_code / 10000) {
    case 0: return "purchase";
    case 1: return "cash";
    case 2: return "void";
    case 9: return "purchase with cash back";
    case 20: return "refund";
    case 28: return "payment";
    case 31: return "balance";
    default: return "";
    }
}

}  // namespace ecrcli
