// How the last operation ended, as far as the library can know it: the
// outcome word and a short reason.  Process-wide, so it survives the object.
#pragma once

#include "ecrbridge.h"

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
// The reason of a payment refused because no link is open.
extern const char* const kLinkNotOpen;

