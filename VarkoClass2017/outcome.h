// How the last operation ended, as far as the library can know it: the
// outcome word and a short reason.  Process-wide, so it survives the object.
#pragma once

#include <memory>

#include "ecrbridge.h"

struct _ecr_transaction_report;

// Record the outcome of the operation that just ended.  reason must be a
// static text; it never holds card data.
void set_outcome(int outcome, const char* reason);
int last_outcome();
const char* last_outcome_reason();
// Replaces the outcome only while it is still the given one (same reason
// text, by address); true when it did.
bool replace_outcome(int expected, const char* expected_reason, int outcome, const char* reason);
// The reason of a payment the cash register stopped after the terminal had
// started it: an interrupt or abort the terminal accepts afterwards turns it
// into a cancel.
extern const char* const kDeskStoppedReason;
// Between the two steps of a check-card purchase: the card-belonging notice
// came, the completion decides; the record stays.
extern const char* const kAwaitingCompletionReason;
// The reason of a payment refused because no link is open.
extern const char* const kLinkNotOpen;
// Said of a payment whose operation record could not be written.
extern const char* const kNoCrashRecord;
// reason + "; " + kNoCrashRecord, as a text that lives as long as the process.
const char* with_no_crash_record(const char* reason);

// What a completion callback reads.  Once the application is told, another
// thread may start the next operation, which clears the last report and sets
// a new outcome; the callback's own thread reads, until the callback returns,
// a copy of the report and the outcome taken before it was told.  The view
// ends early when that thread starts an operation itself (it moved on).
class CallbackView {
public:
    CallbackView(const void* owner, const _ecr_transaction_report& report);
    ~CallbackView();
    CallbackView(const CallbackView&) = delete;
    CallbackView& operator=(const CallbackView&) = delete;

    // The copy this thread's running callback of owner reads, or null.
    static _ecr_transaction_report* report_of(const void* owner);
    // This thread starts an operation of owner: its view shows the live data.
    static void end_for(const void* owner);

private:
    const void* m_owner;
    std::unique_ptr<_ecr_transaction_report> m_copy;  // null: no view (ended, or no memory)
    int m_outcome;
    const char* m_reason;
    bool m_active = true;
    CallbackView* m_outer;  // a callback inside an operation its callback's thread ran
    friend int last_outcome();
    friend const char* last_outcome_reason();
};
