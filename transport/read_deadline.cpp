// Deadlines of the waiting loops, one stack of scopes per thread.
#include "transport/read_deadline.h"

#include "protocol/pos_handle.h"

namespace {

// The innermost open scope of this thread; each scope links to the one it hides.
thread_local const ReadDeadline* t_innermost = nullptr;

}  // namespace

ReadDeadline::ReadDeadline(const PosHandle* handle, uint64_t deadline)
    : ReadDeadline(handle != nullptr ? handle->transport : nullptr, deadline)
{
}

ReadDeadline::ReadDeadline(const CTransport* transport, uint64_t deadline)
    : m_transport(transport), m_deadline(deadline), m_outer(t_innermost)
{
    t_innermost = this;
}

ReadDeadline::~ReadDeadline()
{
    // Scopes are automatic objects of one thread, so they end in reverse order.
    t_innermost = m_outer;
}

bool ReadDeadline::Current(const CTransport* transport, uint64_t* deadline)
{
    if (transport == nullptr)
        return false;
    for (const ReadDeadline* s = t_innermost; s != nullptr; s = s->m_outer) {
        if (s->m_transport == transport) {
            if (deadline != nullptr)
                *deadline = s->m_deadline;
            return true;
        }
    }
    return false;
}
