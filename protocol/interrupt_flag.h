// The interrupt flag of a protocol handle: raised from another thread to stop
// the exchange that runs on the handle.  Raising it also makes wake_fd()
// readable, so that a read waiting in poll() on the link wakes at once.
#pragma once
#include <atomic>
#include <cstdint>

class InterruptFlag {
public:
    InterruptFlag();
    ~InterruptFlag();
    InterruptFlag(const InterruptFlag&) = delete;
    InterruptFlag& operator=(const InterruptFlag&) = delete;

    // Non-zero raises the flag and wakes a waiting read; zero lowers it.
    void store(uint8_t value);
    uint8_t load() const { return m_value.load(); }
    InterruptFlag& operator=(uint8_t value)
    {
        store(value);
        return *this;
    }

    // Readable while a raise has not been consumed; -1 when none could be made
    // (the readers then look at the flag at short intervals).
    int wake_fd() const { return m_fd; }
    // A read woke on wake_fd() but found the flag lowered: the raise was taken
    // back, so the wake-up is emptied.
    void drain_stale();

private:
    void drain();
    std::atomic<uint8_t> m_value{0};
    int m_fd = -1;
};
