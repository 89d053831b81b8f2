// What the protocol layer needs of the link beneath it.  The transport facade
// implements it; the packet functions know nothing else of the transport.
// The interface belongs to its user: transport/ includes this header, the
// protocol includes nothing of transport/ but the serial line it opens.
#pragma once
#include "protocol/deadline.h"

struct PosHandle;
struct _comport_handle;
struct _comport_context;

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

// The protocol's end of a channel (the handle every exchange takes), made and
// released for the transport facade that carries it; the facade knows nothing
// more of the protocol than these.
//
// A socket's end, kept by the facade for its whole life: null when memory is
// short.  pos_end_start begins a connection on it: nothing of an earlier one
// is read, and the time-outs are the packet and response ones (s).
PosHandle* pos_end_new();
void pos_end_delete(PosHandle* end);
void pos_end_start(PosHandle* end, PosChannel* channel, unsigned short packet_s, unsigned short response_s);
// A serial line's end: the line opened with settings, the time-outs set and
// both queues flushed; null (with the line closed again) when a step fails.
PosHandle* pos_end_open_serial(_comport_context* settings, PosChannel* channel, unsigned short packet_s,
                               unsigned short response_s);
// Closes the line of an end from pos_end_open_serial and releases it.
void pos_end_close_serial(PosHandle* end);
// The serial line beneath an end; null for a socket's.
_comport_handle* pos_end_serial(const PosHandle* end);
