// The thread of the asynchronous payment exports.  One operation runs at a
// time; the next launch waits for the previous one.  The thread is owned
// here and joined explicitly, never by a destructor that may run on the
// operation's own thread (an application that calls exit() from its
// completion callback) or after the log is gone.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class OperationThread {
public:
    OperationThread() = default;
    OperationThread(const OperationThread&) = delete;
    OperationThread& operator=(const OperationThread&) = delete;
    // Waits for a running operation, unless called on the operation's own
    // thread: then the thread is left to end with the process.
    ~OperationThread();

    // Waits for the previous operation, then starts body on a new thread.
    // False (nothing started) when called on the operation's thread, where
    // waiting would be waiting for oneself, or when no thread can be made.
    bool launch(std::function<void()> body);
    // Waits until no operation runs.  Does not wait on the operation's own
    // thread.
    void wait_idle();
    bool running() const;
    // True on the thread of the running operation.
    static bool on_operation_thread();

private:
    void join_previous(std::unique_lock<std::mutex>& lock);

    mutable std::mutex m_lock;
    std::condition_variable m_idle;
    std::thread m_thread;
    bool m_running = false;
};

// The one operation thread of the library.  It is created on first use, after
// the logger and the ECR object exist, so at exit or unload it is destroyed
// before them and a running operation ends with both still alive.
OperationThread& TheOperationThread();
