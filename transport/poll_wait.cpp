// Deadline-bounded waits of the byte channels.
#include "transport/poll_wait.h"

#include <cerrno>
#include <poll.h>

#include "Logging/log.h"
#include "compat/compat.h"
#include "protocol/channel.h"

int poll_readable(int fd, Deadline deadline, int wake_fd)
{
    for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        const int ready = poll(p, wake_fd >= 0 ? 2 : 1, deadline.poll_ms());
        if (ready > 0) {
            if (wake_fd >= 0 && (p[1].revents & POLLIN) != 0)
                return PosChannel::kWoken;
            return 1;
        }
        if (ready == 0) {
            if (deadline.passed())
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

int rest_unless_woken(unsigned int ms, Deadline deadline, int wake_fd)
{
    const Deadline end = Deadline::in_ms(ms).sooner(deadline);
    if (wake_fd < 0) {
        const int left = end.poll_ms();
        if (left > 0)
            Sleep(static_cast<unsigned int>(left));
        return 0;
    }
    for (;;) {
        pollfd p{wake_fd, POLLIN, 0};
        const int ready = poll(&p, 1, end.poll_ms());
        if (ready > 0)
            return PosChannel::kWoken;
        if (ready == 0 || errno != EINTR)
            return 0;
    }
}
