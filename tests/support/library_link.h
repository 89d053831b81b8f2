// The library's end of a link to the terminal simulator, for the exchange tests.
#pragma once
#include <string>

#include "protocol/pos_handle.h"
#include "sim/terminal.h"
#include "support/sim_link.h"
#include "transport/transport.h"

namespace support {

// Opens a CTransport of the matching kind to the terminal; closes it at the end.
class LibraryLink {
public:
    explicit LibraryLink(sim::Terminal& t)
    {
        m_open = support::open_to_terminal(m_transport, t);
    }
    ~LibraryLink() { m_transport.Close(); }
    LibraryLink(const LibraryLink&) = delete;
    LibraryLink& operator=(const LibraryLink&) = delete;

    bool open() { return m_open && m_transport.GetHandle() != nullptr; }
    PosHandle* handle() { return m_transport.GetHandle(); }
    // Packet time-out 5 s; the response time-out as given.
    void set_response_timeout(unsigned short seconds) { pos_set_timeouts(handle(), 5, seconds); }

private:
    CTransport m_transport;
    bool m_open = false;
};

}  // namespace support
