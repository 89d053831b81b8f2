// The log file writer task and its open/close protocol.
#include "Logging/async_writer.h"

#include "compat/compat.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <iostream>

#include "Logging/log_internal.h"
#include "protocol/link_error.h"

AsyncWriter::~AsyncWriter()
{
    try {
        Close();
    } catch (...) {
    }
}

namespace {

// Said once per process on standard error; later refusals only fail the open.
void ReportSymlinkOnce(const std::string& path)
{
    static std::atomic<bool> said(false);
    if (!said.exchange(true))
        std::cerr << "log file [" << path << "] is a symbolic link: not opened\n" << std::flush;
}

}  // namespace

bool AsyncWriter::Fopen(const std::string& path)
{
    CloseFile();
    int fd;
    do {
        // A symbolic link planted where the log goes is refused, not followed.
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int err = errno;
        if (err == ELOOP)
            ReportSymlinkOnce(path);
        // The only sign that logging failed: the reason follows it, and the
        // application reads it (with the directory) from ecrb_last_error_text.
        const size_t slash = path.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        std::cout << "Open" << "return false Fopen\n"
                  << "log directory [" << dir << "]: " << std::strerror(err) << "\n"
                  << std::flush;
        link_error_set("log directory %s: %s", dir.c_str(), std::strerror(err));
        return false;
    }
    m_fd = fd;
    return true;
}

bool AsyncWriter::Open(std::string path)
{
    std::lock_guard<std::mutex> life(m_lifecycleLock);
    CloseLocked();
    std::lock_guard<std::mutex> queue(m_queueLock);
    if (!Fopen(path))
        return false;
    try {
        m_task = std::thread([this] {
            try {
                WriterTask();
            } catch (...) {
            }
        });
    } catch (...) {
        CloseFile();
        throw;
    }
    m_stop = false;
    return true;
}

void AsyncWriter::Close()
{
    std::lock_guard<std::mutex> life(m_lifecycleLock);
    CloseLocked();
}

void AsyncWriter::CloseLocked()
{
    {
        std::lock_guard<std::mutex> queue(m_queueLock);
        m_stop = true;
    }
    m_cv.notify_one();
    // Never wait for the task while holding the queue lock: it needs it to
    // drain the queue before it can see the stop flag, which it cannot miss
    // since it was set under that lock.
    if (m_task.joinable())
        m_task.join();
    CloseFile();
}

void AsyncWriter::CloseFile()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

bool AsyncWriter::Enqueue(const char* text, std::size_t size)
{
    try {
        bool wake;
        {
            std::lock_guard<std::mutex> queue(m_queueLock);
            if (m_queue.size() + size > m_queueLimit) {
                ++m_dropped;
                return false;
            }
            const bool crossed = m_queue.size() < kWakeBytes && m_queue.size() + size >= kWakeBytes;
            m_queue.append(text, size);
            wake = m_writerIdle || crossed;
        }
        // Only a writer asleep for want of lines needs waking, or one that
        // gathers while the queue grows large; otherwise it looks at the
        // queue again within kGatherMs.
        if (wake)
            m_cv.notify_one();
        return true;
    } catch (const std::exception& e) {
        std::cerr << e.what();
    } catch (...) {
    }
    return false;
}

bool AsyncWriter::Write(std::string&& line)
{
    return Enqueue(line.data(), line.size());
}

bool AsyncWriter::Write(const std::string& line)
{
    return Enqueue(line.data(), line.size());
}

bool AsyncWriter::WriteText(const char* text, std::size_t size)
{
    return Enqueue(text, size);
}

void AsyncWriter::SetQueueLimit(std::size_t bytes)
{
    std::lock_guard<std::mutex> queue(m_queueLock);
    m_queueLimit = bytes;
}

std::size_t AsyncWriter::DroppedLines() const
{
    std::lock_guard<std::mutex> queue(m_queueLock);
    return m_dropped;
}

std::size_t AsyncWriter::QueuedBytes() const
{
    std::lock_guard<std::mutex> queue(m_queueLock);
    return m_queue.size();
}

void AsyncWriter::WriterTask()
{
    std::string batch;
    bool wrote = false;
    for (;;) {
        try {
            batch.clear();
            std::size_t dropped = 0;
            {
                std::unique_lock<std::mutex> queue(m_queueLock);
                // After a pass that wrote, let the lines that follow gather
                // (Close cuts the pause short); producers need not wake a
                // writer that comes back by itself.
                if (wrote && !m_stop)
                    WaitMonotonic(m_cv, queue, kGatherMs);
                if (m_queue.empty() && m_dropped == 0) {
                    if (m_stop)
                        return;
                    m_writerIdle = true;
                    m_cv.wait(queue, [this] { return !m_queue.empty() || m_stop || m_dropped != 0; });
                    m_writerIdle = false;
                    if (m_stop && m_queue.empty() && m_dropped == 0)
                        return;
                }
                batch.swap(m_queue);
                dropped = m_dropped;
                m_dropped = 0;
            }
            wrote = true;
            if (dropped != 0) {
                // The dropped lines came after everything that was queued.
                batch += el::detail::FormatRecordNow(
                    LOG_ERROR, "[WriterTask:" + std::to_string(__LINE__) + "] log queue full, " +
                                   std::to_string(dropped) + " lines dropped");
            }
            // One write per pass; a failing disk must never stop the writer.
            const char* p = batch.data();
            std::size_t left = batch.size();
            while (left > 0) {
                ssize_t n = ::write(m_fd, p, left);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                p += n;
                left -= static_cast<std::size_t>(n);
            }
            if (batch.capacity() > kKeptBatchBytes)
                std::string().swap(batch);  // give back the memory of a large backlog
        } catch (...) {
            // Lose this pass, keep the task alive.
        }
    }
}
