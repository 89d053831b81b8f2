// Protocol handle and packet I/O: framing (STX, message, ETX, LRC) over the
// channel beneath the handle.
#include <cstring>
#include <new>
#include <termios.h>

#include "Logging/log.h"
#include "compat/compat.h"
#include "protocol/pos_handle.h"
#include "protocol/pos_link.h"
#include "transport/comport.h"

static_assert(unsigned{COMPORT_OK} == unsigned{SE_OK} && unsigned{COMPORT_NOMEM} == unsigned{SE_NOMEM} &&
                  unsigned{COMPORT_PARAM} == unsigned{SE_PARAM} && unsigned{COMPORT_OPEN} == unsigned{SE_OPEN},
              "the serial line reports the library's status codes");

namespace {

constexpr unsigned short kDefaultPacketTimeoutS = 5;
constexpr unsigned short kDefaultResponseTimeoutS = 40;
constexpr unsigned short kOpenResponseTimeoutS = 30;
// pos_read_packet waits this long for the STX of a frame.
constexpr uint64_t kStartWaitMs = 1000;

unsigned char xor_of(const unsigned char* p, unsigned int n)
{
    unsigned char x = 0;
    for (unsigned int i = 0; i < n; ++i)
        x ^= p[i];
    return x;
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
    handle->rx.reset();  // received but not read: discarded as well
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

    const Deadline deadline = Deadline::in_s(h->packet_timeout);
    LOGDUMP(frame, total, "SEND TO TERMINAL");
    unsigned int written = 0;
    bool complete = false;
    while (!complete && !deadline.passed()) {
        LOGREC(LOG_INFO) << "Try to write to terminal [" << (total - written) << "] bytes";
        int r = h->transport->Write(frame + written, total - written);
        if (r < 1) {
            LOGREC(LOG_INFO) << "Send to terminal return retval[" << r << "]";
            if (r < 0 && pos_link_dead(h))
                break;  // no later try can reach a terminal that is gone
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
    return pos_link_read_frame(h, buf, POS_MAX_READ_MESSAGE, len, Deadline::in_ms(kStartWaitMs));
}
