// Deadline-bounded waits of the byte channels.
#include "transport/poll_wait.h"

#include <cerrno>
#include <poll.h>

#include "Logging/log.h"
#include "compat/compat.h"
#include "transport/channel.h"

namespace {

// poll() takes an int of milliseconds.
int ms_left(uint64_t deadline)
{
    const uint64_t now = GetTickCount();
    if (deadline <= now)
        return 0;
    const uint64_t left = deadline - now;
    return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

}  // namespace

int poll_readable(int fd, uint64_t deadline, int wake_fd)
{
    for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        const int ready = poll(p, wake_fd >= 0 ? 2 : 1, ms_left(deadline));
        if (ready > 0) {
            if (wake_fd >= 0 && (p[1].revents & POLLIN) != 0)
                return PosChannel::kWoken;
            return 1;
        }
        if (ready == 0) {
            if (ms_left(deadline) == 0)
                return 0;
            continue;  // poll may end a little early
        }
        if (errno != EINTR) {
            const int err = errno;
            LOGREC(LOG_ERROR) << "ERRROR make select[" << err << "]";
            return -1;
        }
    }
}

int rest_unless_woken(unsigned int ms, uint64_t deadline, int wake_fd)
{
    const uint64_t until = GetTickCount() + ms;
    const uint64_t end = until < deadline ? until : deadline;
    if (wake_fd < 0) {
        const int left = ms_left(end);
        if (left > 0)
            Sleep(static_cast<unsigned int>(left));
        return 0;
    }
    for (;;) {
        pollfd p{wake_fd, POLLIN, 0};
        const int ready = poll(&p, 1, ms_left(end));
        if (ready > 0)
            return PosChannel::kWoken;
        if (ready == 0 || errno != EINTR)
            return 0;
    }
}
