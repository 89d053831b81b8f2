// The one owner of the terminal link.  An operation claims the link for its
// whole run and is the only thread that writes or reads it; another user is
// refused at once.  Cancel, interrupt, abort, PosClose and destroy_object do
// not touch the link of a running operation: they raise the interrupt flag
// (whose wake-up ends the owner's wait) and wait, bounded, for the owner.
#include <condition_variable>
#include <mutex>

#include "Logging/log.h"
#include "compat/compat.h"
#include "protocol/deadline.h"
#include "VarkoClass2017/VarkoClass2017.h"
#include "VarkoClass2017/outcome.h"
#include "protocol/operation_table.h"
#include "protocol/pos_handle.h"

namespace {

// The longest an owner may keep the link once the flag is raised: a control
// exchange it runs (20 s for the ACK, then the response time-out), the
// confirmation of a final response already read, a card read's own wait.
Deadline control_deadline(const PosHandle* handle)
{
    const unsigned response_s = handle != nullptr ? handle->response_timeout : 40;
    const unsigned packet_s = handle != nullptr ? handle->packet_timeout : 5;
    return Deadline::in_s(20 + 2 * response_s + 2 * packet_s + 100);
}

// Waits on the library's monotonic clock (the standard library's clocks read
// time through its own 32-bit time code on i386) until done() holds or the
// deadline passes; done() after all.
template <class Done>
bool wait_until_done(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, Deadline until, Done done)
{
    while (!done() && !until.passed())
        WaitMonotonic(cv, lock, static_cast<unsigned>(until.poll_ms()));
    return done();
}

bool interruptible(uint16_t op) { return op_interruptible(op); }
bool abortable(uint16_t op) { return op_abortable(op); }

}  // namespace

bool CVarkoClass2017::ClaimLink()
{
    std::lock_guard<std::mutex> lock(m_LinkLock);
    if (m_LinkClosing)
        return false;
    if (m_LinkOwner != std::thread::id()) {
        LOGREC(LOG_ERROR) << " the link is busy with another operation, refused";
        return false;
    }
    m_LinkOwner = std::this_thread::get_id();
    CallbackView::end_for(this);  // a callback that starts an operation reads its data
    return true;
}

void CVarkoClass2017::ReleaseLink()
{
    std::lock_guard<std::mutex> lock(m_LinkLock);
    if (m_LinkOwner != std::this_thread::get_id())
        return;
    m_LinkOwner = std::thread::id();
    m_LinkServes = false;
    // A posted control is taken back: answered when the owner ran it, else
    // its caller runs it now that the link is free.
    if (m_LinkRequest != LinkRequest::None) {
        m_LinkAnswered = m_LinkServed;
        m_LinkRequest = LinkRequest::None;
        m_LinkServed = false;
    }
    m_LinkChanged.notify_all();
}

bool CVarkoClass2017::StopAndWaitForLink()
{
    std::unique_lock<std::mutex> lock(m_LinkLock);
    if (m_LinkOwner == std::thread::id())
        return true;
    if (m_LinkOwner == std::this_thread::get_id())
        return false;
    lock.unlock();
    CancelPurch();
    lock.lock();
    const auto until = control_deadline(m_Transport.GetHandle());
    return wait_until_done(m_LinkChanged, lock, until, [this] { return m_LinkOwner == std::thread::id(); });
}

bool CVarkoClass2017::RefuseNewClaims()
{
    std::lock_guard<std::mutex> lock(m_LinkLock);
    if (m_LinkOwner == std::this_thread::get_id())
        return false;
    m_LinkClosing = true;
    return true;
}

bool CVarkoClass2017::WaitForControls()
{
    std::unique_lock<std::mutex> lock(m_LinkLock);
    const auto until = control_deadline(m_Transport.GetHandle());
    return wait_until_done(m_LinkChanged, lock, until, [this] { return m_LinkControls == 0; });
}

// An interrupt or abort may wait a long time for the payment's answer, on a
// caller's thread: destroy_object waits until it has returned.
HRESULT CVarkoClass2017::RunControl(LinkRequest kind)
{
    {
        std::lock_guard<std::mutex> lock(m_LinkLock);
        ++m_LinkControls;
    }
    const HRESULT result = PostOrRunControl(kind);
    std::lock_guard<std::mutex> lock(m_LinkLock);
    --m_LinkControls;
    m_LinkChanged.notify_all();
    return result;
}

HRESULT CVarkoClass2017::PostOrRunControl(LinkRequest kind)
{
    std::unique_lock<std::mutex> lock(m_LinkLock);
    if (kind == LinkRequest::Interrupt ? !interruptible(m_LinkOp) : !abortable(m_LinkOp))
        return E_FAIL;
    // From a callback of the operation itself: it would wait for itself.
    if (m_LinkOwner == std::this_thread::get_id())
        return E_FAIL;
    PosHandle* handle = m_Transport.GetHandle();
    if (handle == nullptr)
        return E_FAIL;
    if (m_LinkOwner != std::thread::id()) {
        // Only a payment runs a control for another thread, one at a time;
        // the terminal told the cash desk something that must not be cut short.
        if (!m_LinkServes || m_LinkRequest != LinkRequest::None ||
            (kind == LinkRequest::Abort && m_LinkMsgFlagged))
            return E_FAIL;
        m_LinkRequest = kind;
        m_LinkServed = false;
        m_LinkAnswered = false;
        handle->interrupt.store(1);  // wakes the payment's wait
        const auto until = control_deadline(handle);
        if (!wait_until_done(m_LinkChanged, lock, until, [this] { return m_LinkRequest == LinkRequest::None; })) {
            m_LinkRequest = LinkRequest::None;  // taken back unanswered
            LOGREC(LOG_ERROR) << " the payment did not answer in time, return E_FAIL";
            return E_FAIL;
        }
        if (m_LinkAnswered)
            return m_LinkAnswer;
        // The payment ended before it saw the request: the link is free.
    }
    lock.unlock();
    if (!ClaimLink())
        return E_FAIL;
    const HRESULT result = ControlExchange(kind, nullptr);
    ReleaseLink();
    return result;
}
