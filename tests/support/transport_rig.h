// Helpers for the transport and packet tests: open the library's end of a
// link to a simulated terminal, find a loopback port nobody listens on, and
// measure time and CPU.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "compat/compat.h"
#include "sim/terminal.h"
#include "support/sim_link.h"
#include "transport/transport.h"

namespace support {

// A loopback TCP port with no listener (bound once, then released).
inline int closed_port()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

// Point the facade at the simulated terminal and open it.
inline bool open_to(CTransport& tr, const sim::Terminal& term) { return support::open_to_terminal(tr, term); }

inline double cpu_seconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

inline std::string bytes(const unsigned char* p, unsigned int n)
{
    return std::string(reinterpret_cast<const char*>(p), n);
}

}  // namespace support
