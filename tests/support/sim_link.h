// What the exchange, service and transport test helpers share: opening the
// library's end of a link to a simulated terminal, and capturing the log.
#pragma once
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Logging/log.h"
#include "sim/terminal.h"
#include "support/files.h"
#include "transport/transport.h"

namespace support {

// The field separator, and a message text with it between the parts.
const std::string kFS(1, '\x1c');
inline std::string msg(const std::vector<std::string>& parts) { return sim::join_fields(parts); }

// The three links of a test parameterised over them, and their names.
inline const char* link_label(sim::Link link)
{
    return link == sim::Link::Tcp ? "tcp" : link == sim::Link::Udp ? "udp" : "pty";
}
#define ECR_ALL_LINKS ::testing::Values(sim::Link::Tcp, sim::Link::Udp, sim::Link::Pty)
struct LinkParamName {
    template <class Info>
    std::string operator()(const Info& info) const
    {
        return link_label(info.param);
    }
};

// Point the facade at the simulated terminal and open it.
inline bool open_to_terminal(CTransport& tr, const sim::Terminal& term)
{
    switch (term.link()) {
    case sim::Link::Tcp:
        tr.SetType(TT_TCP);
        tr.SetRemoteIP("127.0.0.1");
        tr.SetRemotePort(term.port());
        break;
    case sim::Link::Udp:
        tr.SetType(TT_UDP);
        tr.SetRemoteIP("127.0.0.1");
        tr.SetRemotePort(term.port());
        break;
    case sim::Link::Pty:
        tr.SetType(TT_COM);
        tr.SetComPortName(term.tty_path());
        break;
    }
    return tr.Open();
}

// Switches logging on into a fresh file /tmp/ecr_<name>_log_XXXXXX/<name>.log;
// text() closes the log (so every queued line is written) and returns the
// file's contents, with logging switched off first when text_stops_logging.
class LogCapture {
public:
    LogCapture(const std::string& name, bool text_stops_logging) : m_text_stops_logging(text_stops_logging)
    {
        const std::string pattern = "/tmp/ecr_" + name + "_log_XXXXXX";
        std::vector<char> tmpl(pattern.begin(), pattern.end());
        tmpl.push_back('\0');
        const char* dir = mkdtemp(tmpl.data());
        m_dir = dir ? dir : "/tmp";
        m_path = m_dir + "/" + name + ".log";
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
        if (m_text_stops_logging)
            el::set_logging(false);
        CloseLog();
        return read_file(m_path);
    }

private:
    bool m_text_stops_logging;
    std::string m_dir;
    std::string m_path;
};

}  // namespace support
