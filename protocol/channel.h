// What the protocol layer needs of the link beneath it.  The transport facade
// implements it; the packet functions know nothing else of the transport.
// The interface belongs to its user: transport/ includes this header, the
// protocol includes nothing of transport/ but the serial line it opens.
#pragma once
#include "protocol/deadline.h"

// Why a link is dead: no later read on it will bring a byte.
enum class LinkGone { No, Closed, Reset, Refused, HungUp, Vanished };
// The text that names it ("the terminal closed the connection"); static.
const char* link_gone_text(LinkGone why);

class PosChannel {
public:
    // Results of ReadSome besides a byte count.
    static constexpr int kTimedOut = 0;  // the deadline passed and nothing came
    static constexpr int kFailed = -1;   // channel not open, or an error
    static constexpr int kWoken = -2;    // wake_fd became readable first
    // The link is dead (see gone_of): returned at once, without a rest.
    static constexpr int gone(LinkGone why) { return kGoneBase - static_cast<int>(why); }
    static LinkGone gone_of(int result)
    {
        return result < kGoneBase ? static_cast<LinkGone>(kGoneBase - result) : LinkGone::No;
    }

    // Wait until bytes arrive, the deadline passes or
    // wake_fd (-1: none) becomes readable, then take what is there, up to
    // max bytes, without waiting for more.  Returns the count (> 0),
    // kTimedOut, kFailed, kWoken or gone(why): the terminal closed or reset
    // the connection, refused the datagram (an ICMP refusal on the connected
    // socket), the serial line hung up or the device went away.  A deadline
    // already passed still takes bytes that are waiting.  After kFailed the
    // call has rested a little (or until wake_fd), so that loops over it do
    // not spin; after gone(why) it has not, and the caller stops waiting.
    virtual int ReadSome(unsigned char* buffer, unsigned int max, Deadline deadline, int wake_fd) = 0;
    // Write all bytes: the count written, 0 when nothing is open, -1 on error.
    virtual int Write(const unsigned char* buffer, unsigned long count) = 0;
    // True when each ReadSome gives one whole datagram.
    virtual bool Datagrams() const { return false; }

protected:
    ~PosChannel() = default;

private:
    static constexpr int kGoneBase = -16;
};
