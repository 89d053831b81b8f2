#include "sim/ports.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr unsigned kFirstPort = 20000;  // below the ephemeral range (32768 by default)
constexpr unsigned kPortCount = 12000;
constexpr int kTries = 64;

std::string counter_path()
{
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr && dir[0] != 0 ? dir : "/tmp") + "/ecr-sim-port-turn";
}

// The next turn of the shared counter; -1 when the file cannot be used.
long next_turn()
{
    const int fd = open(counter_path().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    long turn = -1;
    if (flock(fd, LOCK_EX) == 0) {
        char text[32] = {};
        const ssize_t n = pread(fd, text, sizeof text - 1, 0);
        // A new counter starts at a place of this process's own.
        turn = n > 0 ? std::strtol(text, nullptr, 10) : static_cast<long>(getpid());
        const int len = std::snprintf(text, sizeof text, "%ld\n", turn + 1);
        if (ftruncate(fd, 0) != 0 || pwrite(fd, text, static_cast<size_t>(len), 0) != len)
            turn = -1;
        flock(fd, LOCK_UN);
    }
    close(fd);
    return turn;
}

}  // namespace

uint16_t bind_loopback_in_turn(int fd)
{
    for (int i = 0; i < kTries; ++i) {
        const long turn = next_turn();
        if (turn < 0)
            return 0;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const uint16_t port = static_cast<uint16_t>(kFirstPort + static_cast<unsigned long>(turn) % kPortCount);
        a.sin_port = htons(port);
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
            return port;
        if (errno != EADDRINUSE && errno != EACCES)
            return 0;
    }
    return 0;
}

}  // namespace sim
