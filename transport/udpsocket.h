// TCP and UDP channels to the terminal (IPv4 only).
#pragma once
#include <netinet/in.h>

// Contract of the transfer operations: the number of bytes transferred; 0 when
// the channel is closed (descriptor -1); -1 for a null buffer, a zero length or
// an error (including the 30 s time-out).  A receive returns one burst: it
// blocks until the first bytes come, then collects while further bytes follow
// within 100 ms of each other; a peer that closed ends it with what arrived.
template <int SockType, int Protocol, int Family>
class CTSocket {
public:
    CTSocket();
    virtual ~CTSocket();
    CTSocket(const CTSocket&) = delete;
    CTSocket& operator=(const CTSocket&) = delete;

    void SetRemoteAddress(const char* address, int port);
    void SetLocalAddress(const char* address, int port);
    bool Open();
    bool Connect();
    void Close();
    int GetDescriptor() const { return m_socket; }

    template <bool Send>
    int DirectInteraction(unsigned char* buffer, int length);

protected:
    int m_socket;
    sockaddr_in m_remote;
    sockaddr_in m_local;
    int m_timeout;  // ms, 30000
};

class CTCPSocket : public CTSocket<1, 6, 2> {
public:
    int Send(unsigned char* buffer, int length);
    int Receive(unsigned char* buffer, int length);
};

class CUDPSocket : public CTSocket<2, 17, 2> {
public:
    int SendTo(unsigned char* buffer, int length);
    int ReceiveFrom(unsigned char* buffer, int length);
};
