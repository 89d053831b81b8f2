// The outcome word and its reason: two atomics written by the worker and read
// by any thread.
#include "VarkoClass2017/outcome.h"

#include <atomic>

namespace {

std::atomic<int> g_outcome{ECRB_OUTCOME_NONE};
std::atomic<const char*> g_reason{""};

}  // namespace

void set_outcome(int outcome, const char* reason)
{
    g_reason.store(reason != nullptr ? reason : "");
    g_outcome.store(outcome);
}

int last_outcome() { return g_outcome.load(); }

const char* last_outcome_reason() { return g_reason.load(); }
