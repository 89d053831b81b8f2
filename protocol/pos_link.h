// Reads and writes of the link under every exchange.  Each read takes one
// deadline and works on the byte stream of
// the handle: frames are found by their STX, ETX and check byte however the
// bytes are cut into receives; bytes after a complete frame stay for the next
// read.  A read ends as soon as its frame is complete: no link waits for
// silence.
//
// Unless told otherwise (PosWake::Never), a read looks at the interrupt flag
// before it waits and wakes the moment the flag is raised.
#pragma once
#include <cstdint>

#include "protocol/deadline.h"
#include "protocol/pos_handle.h"

enum class PosWake { OnInterrupt, Never };

// Read one frame and copy its message (at most cap bytes, cap <=
// POS_MAX_RESPONSE) to buf.
//   SE_OK      the message is in buf, *len its length; also when the interrupt
//              flag stopped the read, and then *len is not touched
//   SE_SIZE    a frame whose message is longer than cap; it is dropped
//   SE_SYNTAX  the deadline passed after a frame with a wrong check byte
//              (such frames are dumped, counted and dropped; the read goes on)
//   SE_READ    an STX came, but not the rest of its frame within the packet
//              time-out after it; SE_NODATA when not one byte followed the STX
//   SE_FORMAT  serial line: no STX before the deadline
//   SE_FAIL    socket: no STX before the deadline, or the channel failed
// ACK and NAK bytes and bytes outside frames that come while a frame is
// awaited are skipped.
unsigned int pos_link_read_frame(PosHandle* h, unsigned char* buf, unsigned int cap, unsigned int* len,
                                 Deadline deadline, PosWake wake = PosWake::OnInterrupt);

struct PosAckWait {
    unsigned char last = 0;    // the last byte taken (0 when none came)
    bool interrupted = false;  // the interrupt flag ended the wait
    bool frame_seen = false;   // an STX came while waiting: the terminal is talking
};
// Wait for one ACK byte until the deadline; every other byte is skipped (a
// frame that comes before the ACK is left over from an earlier exchange).
// Bytes after the ACK stay for the next read.  SE_OK on ACK, else SE_EXEC
// (also when interrupted).  The caller dumps seen->last.
unsigned int pos_link_wait_ack(PosHandle* h, Deadline deadline, PosWake wake, PosAckWait* seen);

// Before a request that opens a new dialogue: bytes already received or
// waiting on the link (left over from an exchange that ended, such as a text
// message that came after a cancel) are taken without waiting, dumped,
// logged and dropped, so that they are not taken for the answer.
void pos_link_drop_stale(PosHandle* h);

// After a failed write: whether the link is dead (the terminal closed or
// reset it, the line hung up).  Asks the channel without waiting; bytes that
// are there stay for the next read.
bool pos_link_dead(PosHandle* h);

// Write bytes as they are (an ACK, a prepared frame): the channel's result.
int pos_link_write(PosHandle* h, const unsigned char* bytes, unsigned int n);
// Write one ACK byte and dump it under "SEND TO TERMINAL"; the channel's result.
int pos_link_send_ack(PosHandle* h);
