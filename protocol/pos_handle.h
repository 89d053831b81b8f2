// The protocol handle that every exchange takes, and the packet functions.
#pragma once
#include <atomic>
#include <cstdint>

#include "ecrbridge.h"  // ECRBRIDGE_API
#include "protocol/status.h"

class CTransport;
struct _comport_handle;
struct _comport_context;

// Control bytes of the link.
enum : unsigned char { STX = 0x02, ETX = 0x03, ACK = 0x06, FS = 0x1C };

// Largest message and the buffers every exchange reserves.
constexpr unsigned int POS_MAX_MESSAGE = 16384;
constexpr unsigned int POS_MAX_FRAME = POS_MAX_MESSAGE + 3;

struct PosHandle {
    _comport_handle* serial = nullptr;   // serial context; null in the socket modes
    uint8_t closed = 0;                  // 1 after pos_close
    uint8_t open = 0;                    // 1 after pos_open
    std::atomic<uint8_t> interrupt{0};   // non-zero asks the running exchange to stop
    uint16_t packet_timeout = 0;         // s: writing a frame; serial reception after STX
    uint16_t response_timeout = 0;       // s: every wait for an answer
    CTransport* transport = nullptr;     // owning transport, through which all bytes pass
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
