// The one object through which the library reaches the terminal: settings,
// open/close and byte-level read/write over a serial line, UDP or TCP.
#pragma once
#include <string>

#include "protocol/channel.h"
#include "transport/udpsocket.h"

enum TransportType { TT_COM = 0, TT_UDP = 1, TT_TCP = 2 };

class CTransport : public PosChannel {
public:
    CTransport();
    ~CTransport();
    CTransport(const CTransport&) = delete;
    CTransport& operator=(const CTransport&) = delete;

    void SetType(TransportType type);
    TransportType GetType() const;
    void SetComPort(int port);
    void SetComPortName(std::string name);
    void SetRemoteIP(std::string ip);
    std::string GetRemoteIP() const;
    void SetRemotePort(int port);
    int GetRemotePort() const;
    void SetBindIP(std::string ip);
    std::string GetBindIP() const;
    void SetBindPort(int port);

    // The active protocol handle, null while closed.  The protocol makes it
    // (protocol/channel.h); the facade only carries it.
    PosHandle* GetHandle();
    bool Open();
    void Close();
    // Bytes transferred, 0 when nothing was transferred, -1 on error.  A
    // socket Read takes what one receive gives; the serial Read waits for
    // count bytes or 2 s of silence.
    int Read(unsigned char* buffer, unsigned long count);
    int Write(const unsigned char* buffer, unsigned long count) override;
    // The packet layer's read: see PosChannel.  Any type or state where no
    // channel is open answers kFailed after a short rest.
    int ReadSome(unsigned char* buffer, unsigned int max, Deadline deadline, int wake_fd) override;
    bool Datagrams() const override { return m_openType == TT_UDP; }

private:
    TransportType m_type;
    PosHandle* m_embedded;  // the sockets' handle, for the facade's whole life
    PosHandle* m_handle;
    int m_comPort;
    CUDPSocket m_udp;
    CTCPSocket m_tcp;
    std::string m_remoteIP;
    std::string m_bindIP;
    std::string m_comPortName;
    int m_remotePort;
    int m_bindPort;
    TransportType m_openType;  // the type the handle was opened with
};
