// How the last operation ended, as far as the library can know it: the
// outcome word and a short reason.  Process-wide, so it survives the object.
#pragma once

#include "ecrbridge.h"

// Record the outcome of the operation that just ended.  reason must be a
// static text; it never holds card data.
void set_outcome(int outcome, const char* reason);
int last_outcome();
const char* last_outcome_reason();
