// Background file writer of the diagnostic log: producers queue finished
// lines, one writer task per open file appends them.  The queue is one byte
// buffer that the writer swaps for its own emptied one, so that neither
// side allocates once both buffers have grown to the size of a batch, and
// the writer holds the queue lock only for the swap.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <thread>
#include <mutex>
#include <string>

class AsyncWriter {
public:
    // Lines waiting for the writer are limited to this many bytes; lines
    // beyond it are dropped and counted (the file may stay unopenable for
    // months on a cash register).
    static constexpr std::size_t kDefaultQueueLimit = 4u * 1024u * 1024u;

    AsyncWriter() = default;
    AsyncWriter(const AsyncWriter&) = delete;
    AsyncWriter& operator=(const AsyncWriter&) = delete;
    ~AsyncWriter();

    // Opens path for appending (created 0600, close-on-exec).  False, with
    // "Openreturn false Fopen" on stdout, when it cannot be opened.
    bool Fopen(const std::string& path);
    // Closes a running writer first, then opens path and starts its writer task.
    bool Open(std::string path);
    // Stops the writer task after it has written everything queued, then
    // closes the file.  Returns at once when no task runs.
    void Close();
    // Queues a finished line; false when it could not be queued.
    bool Write(std::string&& line);
    bool Write(const std::string& line);
    bool WriteText(const char* text, std::size_t size);

    void SetQueueLimit(std::size_t bytes);
    // Lines dropped since the writer last reported a drop.
    std::size_t DroppedLines() const;
    // Bytes of finished lines waiting for the writer.
    std::size_t QueuedBytes() const;

private:
    bool Enqueue(const char* text, std::size_t size);
    void CloseLocked();
    void CloseFile();
    void WriterTask();

    // A batch buffer up to this size is kept for the next pass (and, after
    // the swap, for the producers); a larger one is given back.
    static constexpr std::size_t kKeptBatchBytes = 1024u * 1024u;
    // After a pass that wrote, the writer waits this long for more lines
    // before it looks at the queue again: the steps of an exchange that
    // follow each other closely go to the file in one pass, one write and
    // one wake-up of the writer.  Lines reach the file at most this late.
    static constexpr unsigned kGatherMs = 20;
    // Lines beyond this many bytes cut the pause short, so that a burst
    // never fills the queue while the writer waits.
    static constexpr std::size_t kWakeBytes = 256u * 1024u;

    int m_fd = -1;                    // the output file
    mutable std::mutex m_queueLock;   // guards the queue, the counters and m_stop
    std::thread m_task;               // the running writer task, if any
    std::string m_queue;              // finished lines not yet written, back to back
    bool m_stop = true;
    bool m_writerIdle = false;        // the writer waits for lines and must be woken
    std::mutex m_lifecycleLock;       // serialises Open and Close; taken before m_queueLock
    std::condition_variable m_cv;     // wakes the writer task

    std::size_t m_queueLimit = kDefaultQueueLimit;
    std::size_t m_dropped = 0;
};
