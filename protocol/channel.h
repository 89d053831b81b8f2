// What the protocol layer needs of the link beneath it.  The transport facade
// implements it; the packet functions know nothing else of the transport.
// The interface belongs to its user: transport/ includes this header, the
// protocol includes nothing of transport/ but the serial line it opens.
#pragma once
#include "protocol/deadline.h"

class PosChannel {
public:
    // Results of ReadSome besides a byte count.
    static constexpr int kTimedOut = 0;  // the deadline passed and nothing came
    static constexpr int kFailed = -1;   // channel closed, peer gone or an error
    static constexpr int kWoken = -2;    // wake_fd became readable first

    // Wait until bytes arrive, the deadline passes or
    // wake_fd (-1: none) becomes readable, then take what is there, up to
    // max bytes, without waiting for more.  Returns the count (> 0),
    // kTimedOut, kFailed or kWoken.  A deadline already passed still takes
    // bytes that are waiting.  After kFailed for a peer that is gone the call
    // has rested a little (or until wake_fd), so that loops over it do not
    // spin.
    virtual int ReadSome(unsigned char* buffer, unsigned int max, Deadline deadline, int wake_fd) = 0;
    // Write all bytes: the count written, 0 when nothing is open, -1 on error.
    virtual int Write(const unsigned char* buffer, unsigned long count) = 0;
    // True when each ReadSome gives one whole datagram.
    virtual bool Datagrams() const { return false; }

protected:
    ~PosChannel() = default;
};
