// The protocol handle that every exchange takes, and the packet functions.
//
// The handle is the library's end of the link: the channel beneath it (the
// transport facade), the frame reader with the bytes received but not yet
// handed out, and the interrupt flag whose raise wakes every waiting read.
// Every read takes its deadline as an argument (protocol/pos_link.h).
#pragma once
#include <cstdint>

#include "ecrbridge.h"  // ECRBRIDGE_API
#include "protocol/frame_reader.h"
#include "protocol/interrupt_flag.h"
#include "protocol/status.h"
#include "protocol/wire.h"
#include "protocol/channel.h"

struct _comport_handle;
struct _comport_context;

// Largest frame: the largest message, STX, ETX and the check byte.
constexpr unsigned int POS_MAX_FRAME = POS_MAX_MESSAGE + 3;
// Longest message pos_read_packet takes into its 16384-byte buffer.
constexpr unsigned int POS_MAX_READ_MESSAGE = POS_MAX_MESSAGE - 1;
// Longest final response of a payment: the response layout allows two 8192-
// byte images besides a 2048-byte receipt, a 999-byte text and some twenty
// short fields, well past 16383 bytes.  The payment exchange reads its
// responses with this cap into a buffer of this size.
constexpr unsigned int POS_MAX_RESPONSE = FrameReader::kMaxMessage;

struct PosHandle {
    _comport_handle* serial = nullptr;   // serial context; null in the socket modes
    uint8_t closed = 0;                  // 1 after pos_close
    uint8_t open = 0;                    // 1 after pos_open
    InterruptFlag interrupt;             // non-zero asks the running exchange to stop
    uint16_t packet_timeout = 0;         // s: writing a frame; reception of a frame after its STX
    uint16_t response_timeout = 0;       // s: every wait for an answer
    PosChannel* transport = nullptr;     // owning transport, through which all bytes pass
    FrameReader rx;                      // bytes received and not yet handed out
    unsigned long bad_frames = 0;        // frames dropped for a wrong check byte
    // The link died during the current dialogue: every later read or wait of
    // it ends at once.  Forgotten when the next dialogue begins (drop_stale)
    // and when the link opens.
    LinkGone gone = LinkGone::No;
};

extern "C" {
// Serial mode: allocate the handle and open the line.  SE_PARAM, SE_NOMEM, SE_OPEN, SE_OK.
ECRBRIDGE_API unsigned int pos_open(PosHandle** handle, _comport_context* settings);
// Close the serial line (if any) and release a handle that pos_open allocated.
ECRBRIDGE_API unsigned int pos_close(PosHandle* handle);
// Packet time-out 0 becomes 5 s, response time-out 0 becomes 40 s.
ECRBRIDGE_API unsigned int pos_set_timeouts(PosHandle* handle, unsigned short packet, unsigned short response);
// Flush both queues of the serial line; touches nothing on a socket handle.
ECRBRIDGE_API unsigned int pos_clear_port(PosHandle* handle);
}

// Frame and write one message (1..16384 bytes).
ECRBRIDGE_API unsigned int pos_write_packet(void* handle, unsigned char* message, unsigned int n);
// Read one frame into buf (at least 16384 bytes); on SE_OK the message starts at
// buf[0] and *len is its length.  *len is not read on entry.
ECRBRIDGE_API unsigned int pos_read_packet(void* handle, unsigned char* buf, unsigned int* len);
