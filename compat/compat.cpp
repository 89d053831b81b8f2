#include "compat/compat.h"

#include <cerrno>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

uint64_t GetTickCount()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

int GetLastError() { return errno; }
int WSAGetLastError() { return errno; }
int CloseHandle(int fd) { return ::close(fd); }
int closesocket(int fd) { return ::close(fd); }

void Sleep(unsigned int ms)
{
    timespec req{static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
    timespec rem{};
    while (nanosleep(&req, &rem) != 0 && errno == EINTR)
        req = rem;
}

void WaitMonotonic(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, unsigned ms)
{
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += ms / 1000u;
    until.tv_nsec += static_cast<long>(ms % 1000u) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    pthread_cond_clockwait(cv.native_handle(), lock.mutex()->native_handle(), CLOCK_MONOTONIC, &until);
}
