// Interrupt flag with a wake-up descriptor.
#include "protocol/interrupt_flag.h"

#include <cerrno>
#include <sys/eventfd.h>
#include <unistd.h>

InterruptFlag::InterruptFlag() : m_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

InterruptFlag::~InterruptFlag()
{
    if (m_fd >= 0)
        close(m_fd);
}

void InterruptFlag::drain()
{
    if (m_fd < 0)
        return;
    eventfd_t ignored = 0;
    while (eventfd_read(m_fd, &ignored) != 0 && errno == EINTR) {
    }
}

void InterruptFlag::store(uint8_t value)
{
    // The flag is set before the wake-up is written, so a reader that wakes
    // always finds it raised (unless it was lowered again meanwhile).
    m_value.store(value);
    if (value != 0) {
        if (m_fd >= 0)
            eventfd_write(m_fd, 1);
    } else {
        drain();
    }
}

void InterruptFlag::drain_stale()
{
    if (m_value.load() == 0)
        drain();
}
