// Protocol handle and packet I/O: framing (STX, message, ETX, LRC) over the
// transport facade.
#include <cstring>
#include <new>
#include <termios.h>

#include "Logging/log.h"
#include "compat/compat.h"
#include "protocol/pos_handle.h"
#include "transport/comport.h"
#include "transport/transport.h"

namespace {

constexpr unsigned short kDefaultPacketTimeoutS = 5;
constexpr unsigned short kDefaultResponseTimeoutS = 40;
constexpr unsigned short kOpenResponseTimeoutS = 30;
// The serial reader waits this long for the STX of a frame.
constexpr uint64_t kStartWaitMs = 1000;

unsigned char xor_of(const unsigned char* p, unsigned int n)
{
    unsigned char x = 0;
    for (unsigned int i = 0; i < n; ++i)
        x ^= p[i];
    return x;
}

unsigned int read_socket_packet(CTransport* transport, unsigned char* buf, unsigned int* len)
{
    int got = transport->Read(buf, POS_MAX_MESSAGE);
    if (got < 1)
        return SE_FAIL;
    unsigned int n = static_cast<unsigned int>(got);
    if (buf[0] != STX)
        return SE_FORMAT;
    // A burst too short to hold STX, ETX and LRC is no frame at all.
    if (n < 3)
        return SE_SYNTAX;
    if (xor_of(buf + 1, n - 1) != 0)
        return SE_SYNTAX;
    std::memmove(buf, buf + 1, n - 1);
    *len = n - 3;
    LOGDUMP(buf, *len, "Received from terminal");
    return SE_OK;
}

unsigned int read_serial_packet(PosHandle* h, CTransport* transport, unsigned char* buf, unsigned int* len)
{
    unsigned char byte = 0;
    bool started = false;
    uint64_t deadline = GetTickCount() + kStartWaitMs;
    while (!started && GetTickCount() < deadline) {
        byte = 0;
        int got = transport->Read(&byte, 1);
        if (h->interrupt.load()) {
            LOGREC(LOG_INFO) << "Read was interrapted -> exit";
            return SE_OK;
        }
        if (got == 1 && byte == STX)
            started = true;
    }
    if (!started)
        return SE_FORMAT;

    deadline = GetTickCount() + static_cast<uint64_t>(h->packet_timeout) * 1000;
    unsigned int count = 0;
    bool complete = false;
    while (!complete && GetTickCount() < deadline) {
        byte = 0;
        if (transport->Read(&byte, 1) != 1)
            continue;
        if (count > 0 && buf[count - 1] == ETX)
            complete = true;
        buf[count++] = byte;
        if (count > POS_MAX_MESSAGE - 1)
            return SE_SIZE;
    }
    if (!complete)
        return count > 0 ? SE_READ : SE_NODATA;
    if (xor_of(buf, count) != 0)
        return SE_SYNTAX;
    *len = count - 2;
    LOGDUMP(buf, *len, "Received from terminal");
    return SE_OK;
}

}  // namespace

unsigned int pos_open(PosHandle** handle, _comport_context* settings)
{
    if (handle == nullptr || settings == nullptr)
        return SE_PARAM;
    *handle = nullptr;
    PosHandle* h = new (std::nothrow) PosHandle;
    if (h == nullptr)
        return SE_NOMEM;
    if (comport_open(&h->serial, settings->device_name, static_cast<unsigned long>(settings->baud_rate),
                     settings->data_bits, settings->parity, settings->stop_bits) != SE_OK) {
        delete h;
        return SE_OPEN;
    }
    h->open = 1;
    h->packet_timeout = kDefaultPacketTimeoutS;
    h->response_timeout = kOpenResponseTimeoutS;
    *handle = h;
    return SE_OK;
}

unsigned int pos_close(PosHandle* handle)
{
    if (handle == nullptr)
        return SE_PARAM;
    handle->open = 0;
    handle->closed = 1;
    if (handle->serial != nullptr)
        comport_close(handle->serial);
    handle->serial = nullptr;
    delete handle;
    return SE_OK;
}

unsigned int pos_set_timeouts(PosHandle* handle, unsigned short packet, unsigned short response)
{
    if (handle == nullptr)
        return SE_PARAM;
    handle->packet_timeout = packet != 0 ? packet : kDefaultPacketTimeoutS;
    handle->response_timeout = response != 0 ? response : kDefaultResponseTimeoutS;
    return SE_OK;
}

unsigned int pos_clear_port(PosHandle* handle)
{
    if (handle == nullptr)
        return SE_PARAM;
    // A socket handle has no serial line: nothing to discard.
    if (handle->serial != nullptr && handle->serial->fd >= 0)
        tcflush(handle->serial->fd, TCIOFLUSH);
    return SE_OK;
}

unsigned int pos_write_packet(void* handle, unsigned char* message, unsigned int n)
{
    PosHandle* h = static_cast<PosHandle*>(handle);
    if (h == nullptr || message == nullptr || n == 0 || n > POS_MAX_MESSAGE || h->transport == nullptr)
        return SE_PARAM;
    unsigned char frame[POS_MAX_FRAME] = {0};
    const unsigned int total = n + 3;
    frame[0] = STX;
    std::memcpy(frame + 1, message, n);
    frame[n + 1] = ETX;
    frame[n + 2] = xor_of(frame + 1, n + 1);

    uint64_t deadline = GetTickCount() + static_cast<uint64_t>(h->packet_timeout) * 1000;
    LOGDUMP(frame, total, "SEND TO TERMINAL");
    unsigned int written = 0;
    bool complete = false;
    while (!complete && GetTickCount() < deadline) {
        LOGREC(LOG_INFO) << "Try to write to terminal [" << (total - written) << "] bytes";
        int r = h->transport->Write(frame + written, total - written);
        if (r < 1) {
            LOGREC(LOG_INFO) << "Send to terminal return retval[" << r << "]";
        } else {
            written += static_cast<unsigned int>(r);
            if (written >= total) {
                LOGREC(LOG_INFO) << "Succes write to terminal [" << r << "] bytes";
                complete = true;
            }
        }
        Sleep(1);
    }
    if (complete)
        return SE_OK;
    if (written == 0) {
        LOGREC(LOG_ERROR) << "Cannot write to terminal error[terminal disconected]";
        return SE_NODATA;
    }
    LOGREC(LOG_ERROR) << "Cannot write to terminal error[" << GetLastError() << "]";
    return SE_WRITE;
}

unsigned int pos_read_packet(void* handle, unsigned char* buf, unsigned int* len)
{
    PosHandle* h = static_cast<PosHandle*>(handle);
    if (h == nullptr || buf == nullptr || len == nullptr || h->transport == nullptr)
        return SE_PARAM;
    CTransport* transport = h->transport;
    TransportType type = transport->GetType();
    if (type == TT_UDP || type == TT_TCP)
        return read_socket_packet(transport, buf, len);
    return read_serial_packet(h, transport, buf, len);
}
