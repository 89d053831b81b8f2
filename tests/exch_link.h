// The library's end of a link to the terminal simulator, and a capture of the
// diagnostic log, for the exchange tests.
#pragma once
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "Logging/log.h"
#include "protocol/pos_handle.h"
#include "sim/terminal.h"
#include "transport/transport.h"

namespace exch {

inline const char* link_name(sim::Link link)
{
    return link == sim::Link::Tcp ? "Tcp" : link == sim::Link::Udp ? "Udp" : "Pty";
}

// Opens a CTransport of the matching kind to the terminal; closes it at the end.
class LibraryLink {
public:
    explicit LibraryLink(sim::Terminal& t)
    {
        switch (t.link()) {
        case sim::Link::Tcp:
            m_transport.SetType(TT_TCP);
            break;
        case sim::Link::Udp:
            m_transport.SetType(TT_UDP);
            break;
        case sim::Link::Pty:
            m_transport.SetType(TT_COM);
            m_transport.SetComPortName(t.tty_path());
            break;
        }
        if (t.link() != sim::Link::Pty) {
            m_transport.SetRemoteIP("127.0.0.1");
            m_transport.SetRemotePort(t.port());
        }
        m_open = m_transport.Open();
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

// Switches logging on into a fresh file; text() closes the log (so every
// queued line is written) and returns the file's contents.
class LogCapture {
public:
    LogCapture()
    {
        char tmpl[] = "/tmp/ecr_exch_log_XXXXXX";
        const char* dir = mkdtemp(tmpl);
        m_dir = dir ? dir : "/tmp";
        m_path = m_dir + "/exch.log";
        ConfigureFile(m_path);
        el::set_logging(true);
    }
    ~LogCapture()
    {
        el::set_logging(false);
        CloseLog();
        unlink(m_path.c_str());
        rmdir(m_dir.c_str());
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text()
    {
        CloseLog();
        std::ifstream in(m_path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

private:
    std::string m_dir;
    std::string m_path;
};

}  // namespace exch
