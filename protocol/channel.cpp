// The protocol's end of a channel, for the transport facade that carries it.
#include "protocol/channel.h"

#include <new>

#include "protocol/pos_handle.h"

PosHandle* pos_end_new() { return new (std::nothrow) PosHandle; }

void pos_end_delete(PosHandle* end) { delete end; }

void pos_end_start(PosHandle* end, PosChannel* channel, unsigned short packet_s, unsigned short response_s)
{
    end->transport = channel;
    end->rx.reset();
    end->gone = LinkGone::No;
    pos_set_timeouts(end, packet_s, response_s);
}

PosHandle* pos_end_open_serial(_comport_context* settings, PosChannel* channel, unsigned short packet_s,
                               unsigned short response_s)
{
    PosHandle* end = nullptr;
    if (pos_open(&end, settings) != SE_OK)
        return nullptr;
    if (pos_set_timeouts(end, packet_s, response_s) != SE_OK || pos_clear_port(end) != SE_OK) {
        pos_close(end);
        return nullptr;
    }
    end->transport = channel;
    return end;
}

void pos_end_close_serial(PosHandle* end) { pos_close(end); }

_comport_handle* pos_end_serial(const PosHandle* end) { return end != nullptr ? end->serial : nullptr; }
