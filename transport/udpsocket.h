// TCP and UDP channels to the terminal (IPv4 only).
#pragma once
#include <cstdint>
#include <netinet/in.h>

#include "protocol/deadline.h"

// Contract of the transfer operations: the number of bytes transferred; 0 when
// the channel is closed (descriptor -1); -1 for a null buffer, a zero length or
// an error (including the 30 s time-out).  A receive returns what one system
// receive gives: it blocks until bytes come and takes those that are there,
// without waiting for more (where a frame ends is for the frame reader above
// to find); a peer that closed ends it with 0 bytes.
//
// Open: TCP connects, waiting at most the connect time-out (5 s, the packet
// time-out); past it the connect fails with ETIMEDOUT.  UDP connects its
// socket to the terminal's address and port, so that the kernel drops
// datagrams from any other sender; a datagram from elsewhere that was queued
// before the connect is dropped by the receive, counted and logged.  A failed
// bind or connect closes the descriptor, so the channel reads and writes
// nothing until it is opened again.
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
    // The channel's part of PosChannel::ReadSome (same results).
    int ReceiveSome(unsigned char* buffer, unsigned int max, Deadline deadline, int wake_fd);
    // Datagrams dropped because they came from another sender.
    unsigned long ForeignDatagrams() const { return m_foreign; }
    static constexpr int kConnectTimeoutMs = 5000;

    template <bool Send>
    int DirectInteraction(unsigned char* buffer, int length);

protected:
    int m_socket;
    sockaddr_in m_remote;
    sockaddr_in m_local;
    int m_timeout;  // ms, 30000
    unsigned long m_foreign = 0;
    bool m_remoteOk = false;  // SetRemoteAddress understood the address (else the link error says why)

private:
    bool ConnectWithin(int timeout_ms, int* err);
    bool FromTerminal(const sockaddr_in& from, socklen_t len);
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
