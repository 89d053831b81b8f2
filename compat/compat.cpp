#include "compat/compat.h"

#include <cerrno>
#include <ctime>
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
