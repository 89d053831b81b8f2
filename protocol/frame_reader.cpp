// Frame reader over the byte stream of the terminal link.
#include "protocol/frame_reader.h"

#include <cstring>

namespace {
constexpr unsigned char kStx = 0x02;
constexpr unsigned char kEtx = 0x03;
constexpr unsigned char kAck = 0x06;
constexpr unsigned char kNak = 0x15;
}  // namespace

void FrameReader::reset()
{
    m_head = m_tail = m_scan = 0;
    m_state = State::Idle;
}

void FrameReader::compact()
{
    if (m_head == 0)
        return;
    const unsigned int held = m_tail - m_head;
    if (held != 0)
        std::memmove(m_buf, m_buf + m_head, held);
    m_scan -= m_scan >= m_head ? m_head : m_scan;
    m_head = 0;
    m_tail = held;
}

unsigned char* FrameReader::space(unsigned int* room)
{
    if (m_head == m_tail) {
        m_head = m_tail = 0;
        m_scan = 0;
    } else if (m_tail == kCapacity) {
        compact();
    }
    if (m_tail == kCapacity) {
        // Only a frame longer than any cap can fill the whole buffer; its
        // bytes are of no use to anyone.
        m_head = m_tail = m_scan = 0;
        m_state = State::Drop;
    }
    *room = kCapacity - m_tail;
    return m_buf + m_tail;
}

void FrameReader::commit(unsigned int n)
{
    const unsigned int room = kCapacity - m_tail;
    m_tail += n < room ? n : room;
}

bool FrameReader::take(unsigned char* byte)
{
    if (m_head == m_tail)
        return false;
    // Taking bytes one by one gives up the frame being gathered: its bytes
    // come out as they are.
    m_state = State::Idle;
    *byte = m_buf[m_head++];
    return true;
}

FrameReader::Item FrameReader::next(unsigned int cap)
{
    if (cap > kMaxMessage)
        cap = kMaxMessage;
    Item item;
    for (;;) {
        if (m_state == State::Drop) {
            // The rest of a refused frame: up to its ETX and the check byte.
            while (m_head < m_tail && m_buf[m_head] != kEtx)
                ++m_head;
            if (m_head + 1 >= m_tail) {
                if (m_head < m_tail)
                    m_scan = m_head;  // ETX held, the check byte still to come
                return item;
            }
            m_head += 2;
            m_state = State::Idle;
        }
        if (m_state == State::Idle) {
            while (m_head < m_tail) {
                const unsigned char c = m_buf[m_head];
                if (c == kStx || c == kAck || c == kNak)
                    break;
                ++m_head;
                ++m_skipped;
            }
            if (m_head == m_tail)
                return item;
            const unsigned char c = m_buf[m_head];
            if (c != kStx) {
                item.kind = c == kAck ? Kind::Ack : Kind::Nak;
                item.data = m_buf + m_head;
                item.size = 1;
                ++m_head;
                return item;
            }
            m_state = State::Body;
            m_scan = m_head + 1;
        }
        // Body: look for the ETX from where the last search stopped.
        const unsigned int body = m_head + 1;
        const unsigned int limit = body + cap;  // the ETX may sit at most here
        while (m_scan < m_tail && m_scan <= limit && m_buf[m_scan] != kEtx)
            ++m_scan;
        if (m_scan > limit) {
            item.kind = Kind::TooLong;
            item.data = m_buf + m_head;
            item.size = m_scan - m_head;
            m_head = m_scan;
            m_state = State::Drop;
            return item;
        }
        if (m_scan + 1 >= m_tail)
            return item;  // ETX or its check byte still to come
        const unsigned int end = m_scan + 2;  // one past the check byte
        unsigned char x = 0;
        for (unsigned int i = body; i < end; ++i)
            x ^= m_buf[i];
        m_state = State::Idle;
        if (x == 0) {
            item.kind = Kind::Frame;
            item.data = m_buf + body;
            item.size = m_scan - body;
        } else {
            item.kind = Kind::BadCheck;
            item.data = m_buf + m_head;
            item.size = end - m_head;
        }
        m_head = end;
        return item;
    }
}
