// The outcome word and its reason: two atomics written by the worker and read
// by any thread.
#include "VarkoClass2017/outcome.h"

#include <atomic>
#include <mutex>

namespace {

std::mutex g_lock;  // writers; readers take the atomics as they are

std::atomic<int> g_outcome{ECRB_OUTCOME_NONE};
std::atomic<const char*> g_reason{""};

}  // namespace

void set_outcome(int outcome, const char* reason)
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_reason.store(reason != nullptr ? reason : "");
    g_outcome.store(outcome);
}

bool replace_outcome(int expected, const char* expected_reason, int outcome, const char* reason)
{
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_outcome.load() != expected || g_reason.load() != expected_reason)
        return false;
    g_reason.store(reason);
    g_outcome.store(outcome);
    return true;
}

int last_outcome() { return g_outcome.load(); }

const char* last_outcome_reason() { return g_reason.load(); }
