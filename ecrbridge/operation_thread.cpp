// The thread of the asynchronous payment exports.
#include "ecrbridge/operation_thread.h"

#include <system_error>
#include <utility>

namespace {
thread_local bool t_onOperationThread = false;
}

OperationThread::~OperationThread()
{
    std::unique_lock<std::mutex> lock(m_lock);
    if (!m_thread.joinable())
        return;
    if (t_onOperationThread || m_thread.get_id() == std::this_thread::get_id()) {
        // The process is ending from inside the operation (exit() in a
        // callback): this thread is the one that runs the exit, so there is
        // nothing to wait for.
        m_thread.detach();
        return;
    }
    m_idle.wait(lock, [this] { return !m_running; });
    std::thread done = std::move(m_thread);
    lock.unlock();
    done.join();
}

bool OperationThread::on_operation_thread()
{
    return t_onOperationThread;
}

bool OperationThread::running() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_running;
}

void OperationThread::join_previous(std::unique_lock<std::mutex>& lock)
{
    m_idle.wait(lock, [this] { return !m_running; });
    if (m_thread.joinable()) {
        // The body has returned; the thread is only leaving.
        std::thread done = std::move(m_thread);
        lock.unlock();
        done.join();
        lock.lock();
    }
}

void OperationThread::wait_idle()
{
    if (t_onOperationThread)
        return;
    std::unique_lock<std::mutex> lock(m_lock);
    join_previous(lock);
}

bool OperationThread::launch(std::function<void()> body)
{
    if (t_onOperationThread)
        return false;
    std::unique_lock<std::mutex> lock(m_lock);
    // Another launch may have started an operation while this one joined the
    // previous thread: wait until the slot is really free.
    while (m_running || m_thread.joinable())
        join_previous(lock);
    m_running = true;
    try {
        m_thread = std::thread([this, body = std::move(body)]() {
            t_onOperationThread = true;
            body();
            std::lock_guard<std::mutex> done(m_lock);
            m_running = false;
            m_idle.notify_all();
        });
    } catch (const std::system_error&) {
        m_running = false;
        return false;
    }
    return true;
}

OperationThread& TheOperationThread()
{
    static OperationThread thread;
    return thread;
}
