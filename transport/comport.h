// Serial line over the POSIX terminal interface.
#pragma once
#include <cstdint>
#include <string>

#include "ecrbridge.h"
#include "protocol/deadline.h"

// Settings record given to pos_open.  The device path holds at most 56
// characters; a longer path is refused (never cut).
struct _comport_context {
    static constexpr unsigned int kMaxDevice = 56;
    char device_name[kMaxDevice + 1];
    int baud_rate = 0;
    unsigned char data_bits = 0;
    unsigned char parity = 0;      // 0 none, 1 odd, 2 even, 3 mark, 4 space
    unsigned char stop_bits = 0;   // 0 one, 1 one and a half, 2 two
    _comport_context() : device_name{} {}
    // Copies path when it fits; false (and the name left empty) when it does not.
    bool SetDevice(const std::string& path);
};

// Serial context: holds the open descriptor; owned by the PosHandle.
struct _comport_handle {
    int fd = -1;
};

// Results of comport_open and comport_reopen: the library's status codes
// SE_OK, SE_NOMEM, SE_PARAM and SE_OPEN, with the same values.
enum ComportStatus : unsigned int { COMPORT_OK = 0, COMPORT_NOMEM = 2, COMPORT_PARAM = 3, COMPORT_OPEN = 8 };

extern "C" {
// Open and configure the line (115200 7E1 raw, VMIN 0 / VTIME 20 as used by the
// library; CLOCAL, so the modem lines are not waited for).  The device is held
// exclusively (flock, TIOCEXCL): a second open while it is held fails with
// SE_OPEN.  SE_OPEN too when the settings cannot be applied.  SE_PARAM, SE_OPEN
// or SE_OK; *out stays null on failure.
ECRBRIDGE_API unsigned int comport_open(_comport_handle** out, const char* device, unsigned long baud,
                                        unsigned char data_bits, unsigned char parity, unsigned char stop_bits);
ECRBRIDGE_API void comport_close(_comport_handle* port);
// Bytes written (n), 0 for n = 0, -1 on error or null arguments.
ECRBRIDGE_API int comport_write(_comport_handle* port, const unsigned char* bytes, unsigned int n);
// Bytes read: n when complete, fewer (0 if none) after 2 s of silence, -1 on error.
ECRBRIDGE_API int comport_read(_comport_handle* port, unsigned char* buffer, unsigned int n);
ECRBRIDGE_API unsigned int comport_writeframe(_comport_handle* port, const unsigned char* bytes, int size);
ECRBRIDGE_API unsigned int comport_readframe(_comport_handle* port, unsigned char* buffer, int size);
ECRBRIDGE_API unsigned int comport_write_all(_comport_handle* port, const unsigned char* bytes, int size, int attempts);
ECRBRIDGE_API unsigned int comport_read_all(_comport_handle* port, unsigned char* buffer, int size, int attempts);
}
// The line's part of PosChannel::ReadSome (same results): wait in poll()
// with wake_fd until bytes come or the deadline passes, then take what is
// there.
int comport_read_some(_comport_handle* port, unsigned char* buffer, unsigned int max, Deadline deadline,
                      int wake_fd);
// Create the empty protocol dump file at path (the library does so at load
// with "protocol.dmp"), mode 0600; a symbolic link there is refused and noted
// in the log.  False when it was not created.
bool create_protocol_dump_file(const char* path);
// Close (if open) and open again; exported under its C++ name.
ECRBRIDGE_API unsigned int comport_reopen(_comport_handle** port, const char* device, unsigned long baud,
                                          unsigned char data_bits, unsigned char parity, unsigned char stop_bits);
