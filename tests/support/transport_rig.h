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
#include "support/ports.h"
#include "support/sim_link.h"
#include "transport/transport.h"

namespace support {

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
