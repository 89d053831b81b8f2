// The transport facade: settings, open/close and byte-level read/write.
#include "transport/transport.h"

#include <climits>

#include "Logging/log.h"
#include "compat/compat.h"
#include "protocol/pos_handle.h"
#include "transport/comport.h"
#include "protocol/link_error.h"
#include "transport/poll_wait.h"

namespace {
// The serial line settings are fixed: 115200 baud, 7 data bits, even parity,
// one stop bit.
constexpr int kSerialBaud = 115200;
constexpr unsigned char kSerialDataBits = 7;
constexpr unsigned char kSerialParityEven = 2;
constexpr unsigned char kSerialOneStopBit = 0;
constexpr unsigned short kPacketTimeoutS = 5;
constexpr unsigned short kResponseTimeoutS = 40;

// A read with no channel open rests this long before it answers.
constexpr unsigned int kNoChannelRestMs = 100;

int clamp_count(unsigned long count)
{
    return count > static_cast<unsigned long>(INT_MAX) ? INT_MAX : static_cast<int>(count);
}

unsigned int clamp_serial_count(unsigned long count)
{
    return count > UINT_MAX ? UINT_MAX : static_cast<unsigned int>(count);
}

// Before a read or a write: false, with the result to give, for an unknown
// type (0) or when nothing is open (the serial line -1, the sockets 0).
bool channel_usable(TransportType type, const PosHandle* handle, int* refused)
{
    if (type != TT_COM && type != TT_UDP && type != TT_TCP) {
        *refused = 0;
        return false;
    }
    if (handle == nullptr) {
        *refused = type == TT_COM ? -1 : 0;
        return false;
    }
    return true;
}

}  // namespace

// A channel that opened starts the link afresh: no failure of an earlier one
// is reported any longer.
static bool opened(bool ok)
{
    if (ok)
        link_error_clear();
    return ok;
}

CTransport::CTransport()
    : m_type(TT_COM),
      m_handle(nullptr),
      m_comPort(1),
      m_remotePort(2000),
      m_bindPort(2000),
      m_openType(TT_COM)
{
}

// The owner closes the transport first; closing here as well keeps a forgotten
// serial handle and its descriptor from leaking.
CTransport::~CTransport()
{
    Close();
}

void CTransport::SetType(TransportType type) { m_type = type; }
TransportType CTransport::GetType() const { return m_type; }
void CTransport::SetComPort(int port) { m_comPort = port; }
void CTransport::SetComPortName(std::string name) { m_comPortName = std::move(name); }
void CTransport::SetRemoteIP(std::string ip) { m_remoteIP = std::move(ip); }
std::string CTransport::GetRemoteIP() const { return m_remoteIP; }
void CTransport::SetRemotePort(int port) { m_remotePort = port; }
int CTransport::GetRemotePort() const { return m_remotePort; }
void CTransport::SetBindIP(std::string ip) { m_bindIP = std::move(ip); }
std::string CTransport::GetBindIP() const { return m_bindIP; }
void CTransport::SetBindPort(int port) { m_bindPort = port; }
PosHandle* CTransport::GetHandle() { return m_handle; }

bool CTransport::Open()
{
    LOGREC(LOG_TRACE) << "Try connect to terminal...";
    if (m_type == TT_COM) {
        LOGREC(LOG_TRACE) << "Connecting via COM-port!";
        _comport_context settings;
        if (!settings.SetDevice(m_comPortName)) {
            LOGREC(LOG_ERROR) << "Serial device path longer than " << _comport_context::kMaxDevice
                              << " characters [" << m_comPortName.size() << "]";
            return false;
        }
        settings.baud_rate = kSerialBaud;
        settings.data_bits = kSerialDataBits;
        settings.parity = kSerialParityEven;
        settings.stop_bits = kSerialOneStopBit;
        if (m_handle != nullptr)
            Close();
        PosHandle* handle = nullptr;
        if (pos_open(&handle, &settings) != SE_OK)
            return false;
        m_handle = handle;
        m_openType = TT_COM;
        if (pos_set_timeouts(m_handle, kPacketTimeoutS, kResponseTimeoutS) != SE_OK ||
            pos_clear_port(m_handle) != SE_OK) {
            Close();
            return false;
        }
        m_handle->transport = this;
        link_error_clear();
        return true;
    }
    if (m_type == TT_UDP || m_type == TT_TCP) {
        LOGREC(LOG_TRACE) << (m_type == TT_UDP ? "Connecting via UDP-socket!" : "Connecting via TCP-socket!");
        // A handle of another kind (or the other socket) is released first, so
        // that Close, Read and Write never reach a channel that was not opened.
        if (m_handle != nullptr && m_openType != m_type)
            Close();
        m_embedded.transport = this;
        m_embedded.rx.reset();  // nothing of an earlier connection is read
        m_embedded.gone = LinkGone::No;
        m_handle = &m_embedded;
        m_openType = m_type;
        pos_set_timeouts(m_handle, kPacketTimeoutS, kResponseTimeoutS);
        if (m_type == TT_TCP) {
            LOGREC(LOG_TRACE) << "Try connect to [" << m_remoteIP << ":" << m_remotePort << "]";
            m_tcp.SetRemoteAddress(m_remoteIP.c_str(), m_remotePort);
            m_tcp.SetLocalAddress(m_bindIP.c_str(), m_bindPort);
            return opened(m_tcp.Open());
        }
        m_udp.SetRemoteAddress(m_remoteIP.c_str(), m_remotePort);
        m_udp.SetLocalAddress(m_bindIP.c_str(), m_bindPort);
        return opened(m_udp.Open());
    }
    LOGREC(LOG_ERROR) << "Uncknown connection type!";
    return false;
}

void CTransport::Close()
{
    if (m_handle != nullptr) {
        switch (m_openType) {
        case TT_COM:
            // Only a record that pos_open allocated is released.
            if (m_handle != &m_embedded)
                pos_close(m_handle);
            break;
        case TT_UDP:
            m_udp.Close();
            break;
        case TT_TCP:
            m_tcp.Close();
            break;
        }
    }
    m_handle = nullptr;
}

int CTransport::Read(unsigned char* buffer, unsigned long count)
{
    int refused = 0;
    if (!channel_usable(m_type, m_handle, &refused))
        return refused;
    // The channel that was opened, even if the type was changed since.
    switch (m_openType) {
    case TT_COM:
        return comport_read(m_handle->serial, buffer, clamp_serial_count(count));
    case TT_UDP:
        return m_udp.ReceiveFrom(buffer, clamp_count(count));
    case TT_TCP:
        return m_tcp.Receive(buffer, clamp_count(count));
    }
    return 0;
}

int CTransport::ReadSome(unsigned char* buffer, unsigned int max, Deadline deadline, int wake_fd)
{
    int refused = 0;
    if (channel_usable(m_type, m_handle, &refused)) {
        switch (m_openType) {
        case TT_COM:
            if (m_handle->serial != nullptr)
                return comport_read_some(m_handle->serial, buffer, max, deadline, wake_fd);
            break;
        case TT_UDP:
            return m_udp.ReceiveSome(buffer, max, deadline, wake_fd);
        case TT_TCP:
            return m_tcp.ReceiveSome(buffer, max, deadline, wake_fd);
        }
    }
    return rest_unless_woken(kNoChannelRestMs, deadline, wake_fd) == kWoken ? kWoken : kFailed;
}

int CTransport::Write(const unsigned char* buffer, unsigned long count)
{
    int refused = 0;
    if (!channel_usable(m_type, m_handle, &refused))
        return refused;
    // The channel that was opened, even if the type was changed since.
    switch (m_openType) {
    case TT_COM:
        return comport_write(m_handle->serial, buffer, clamp_serial_count(count));
    case TT_UDP:
        return m_udp.SendTo(const_cast<unsigned char*>(buffer), clamp_count(count));
    case TT_TCP:
        return m_tcp.Send(const_cast<unsigned char*>(buffer), clamp_count(count));
    }
    return 0;
}
