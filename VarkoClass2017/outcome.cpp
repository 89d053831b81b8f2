// The outcome word and its reason: two atomics written by the worker and read
// by any thread.
#include "VarkoClass2017/outcome.h"

#include <atomic>
#include <mutex>
#include <new>
#include <set>
#include <string>

#include "protocol/records.h"

namespace {

std::mutex g_lock;  // writers; readers take the atomics as they are

std::atomic<int> g_outcome{ECRB_OUTCOME_NONE};
std::atomic<const char*> g_reason{""};

// The view of the completion callback running on this thread, if any.
thread_local CallbackView* t_view = nullptr;

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

const char* with_no_crash_record(const char* reason)
{
    // One text per reason (a few dozen at most), never freed: readers may
    // hold the pointer.
    static std::mutex lock;
    static std::set<std::string>* texts = new std::set<std::string>;
    const std::string text = std::string(reason != nullptr ? reason : "") + "; " + kNoCrashRecord;
    std::lock_guard<std::mutex> hold(lock);
    return texts->insert(text).first->c_str();
}

int last_outcome()
{
    const CallbackView* view = t_view;
    return view != nullptr && view->m_active ? view->m_outcome : g_outcome.load();
}

const char* last_outcome_reason()
{
    const CallbackView* view = t_view;
    return view != nullptr && view->m_active ? view->m_reason : g_reason.load();
}

CallbackView::CallbackView(const void* owner, const _ecr_transaction_report& report)
    : m_owner(owner), m_copy(new (std::nothrow) _ecr_transaction_report(report)), m_outer(t_view)
{
    std::lock_guard<std::mutex> lock(g_lock);
    m_outcome = g_outcome.load();
    m_reason = g_reason.load();
    t_view = this;
}

CallbackView::~CallbackView() { t_view = m_outer; }

_ecr_transaction_report* CallbackView::report_of(const void* owner)
{
    CallbackView* view = t_view;
    return view != nullptr && view->m_owner == owner && view->m_active ? view->m_copy.get() : nullptr;
}

void CallbackView::end_for(const void* owner)
{
    for (CallbackView* view = t_view; view != nullptr; view = view->m_outer)
        if (view->m_owner == owner)
            view->m_active = false;
}
