// Loopback ports for simulated terminals.
#pragma once
#include <cstdint>

namespace sim {

// Binds fd (a fresh AF_INET socket) to a loopback port taken in turn from a
// counter that every process on the machine shares, below the kernel's
// ephemeral range.  Returns the port, or 0 when none could be taken (the
// caller may then let the kernel choose).
//
// Why: a UDP terminal's port chosen by the kernel may be one that another
// process's terminal left a moment ago, and that process's library may still
// be sending to it: those datagrams would reach this terminal and overwrite
// its peer.  Ports taken in turn come round again only after thousands of
// terminals.
uint16_t bind_loopback_in_turn(int fd);

}  // namespace sim
