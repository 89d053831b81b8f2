// Frame reader over the byte stream of the terminal link.
#include "protocol/frame_reader.h"

#include <cstring>

namespace {
constexpr unsigned char kStx = 0x02;
constexpr unsigned char kEtx = 0x03;
constexpr unsigned char kAck = 0x06;
constexpr unsigned char kNak = 0x15;
// An STX inside a frame starts a new one only when these many bytes after it
// look like a message header: three letters and two digits.
constexpr unsigned int kHeaderLook = 5;

bool is_letter(unsigned char c)
{
    const unsigned char lower = static_cast<unsigned char>(c | 0x20);
    return lower >= 'a' && lower <= 'z';
}

bool is_digit(unsigned char c)
{
    return c >= '0' && c <= '9';
}
}  // namespace

void FrameReader::reset()
{
    m_head = m_tail = m_scan = 0;
    m_state = State::Idle;
    m_etx_seen = false;
    m_quiet = false;
    m_dgram_begin = m_dgram_end = kNone;
}

void FrameReader::compact()
{
    if (m_head == 0)
        return;
    const unsigned int shift = m_head;
    const unsigned int held = m_tail - shift;
    if (held != 0)
        std::memmove(m_buf, m_buf + shift, held);
    m_scan -= m_scan >= shift ? shift : m_scan;
    for (unsigned int& at : m_stx_at)
        if (at != kNone)
            at = at >= shift ? at - shift : kNone;
    if (m_dgram_begin != kNone && m_dgram_begin >= shift) {
        m_dgram_begin -= shift;
        m_dgram_end -= shift;
    } else {
        m_dgram_begin = m_dgram_end = kNone;  // its start has been handed out
    }
    m_head = 0;
    m_tail = held;
}

unsigned char* FrameReader::space(unsigned int* room)
{
    if (m_head == m_tail) {
        m_head = m_tail = 0;
        m_scan = 0;
        m_dgram_begin = m_dgram_end = kNone;
    } else if (m_tail == kCapacity) {
        compact();
    }
    if (m_tail == kCapacity) {
        // Only a frame longer than any cap can fill the whole buffer; its
        // bytes are of no use to anyone.
        m_head = m_tail = m_scan = 0;
        m_dgram_begin = m_dgram_end = kNone;
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

void FrameReader::commit_datagram(unsigned int n)
{
    const unsigned int begin = m_tail;
    commit(n);
    m_dgram_begin = begin;
    m_dgram_end = m_tail;
}

void FrameReader::quiet()
{
    m_quiet = true;
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

void FrameReader::begin_body()
{
    m_state = State::Body;
    m_scan = m_head + 1;
    m_x = 0;
    m_etx_seen = false;
    std::memset(m_stx_at, 0xFF, sizeof m_stx_at);
}

// Whether a message header follows the STX: decided as soon as one byte
// after it does not fit, or all kHeaderLook bytes are there.
FrameReader::Look FrameReader::header_at(unsigned int stx) const
{
    for (unsigned int k = 0; k < kHeaderLook; ++k) {
        const unsigned int at = stx + 1 + k;
        if (at >= m_tail)
            return Look::Later;
        const unsigned char c = m_buf[at];
        if (!(k < 3 ? is_letter(c) : is_digit(c)))
            return Look::No;
    }
    return Look::Yes;
}

unsigned int FrameReader::first_candidate() const
{
    unsigned int first = kNone;
    for (unsigned int at : m_stx_at)
        if (at < first)
            first = at;
    return first;
}

// The frame from m_head is dropped (size bytes of it go to the item); reading
// goes on at stx (m_tail: nothing left of it).
FrameReader::Item FrameReader::drop_until(unsigned int stx, Kind kind, unsigned int size)
{
    Item item;
    item.kind = kind;
    item.data = m_buf + m_head;
    item.size = size;
    m_head = stx;
    m_state = State::Idle;
    m_quiet = false;
    return item;
}

FrameReader::Item FrameReader::next(unsigned int cap)
{
    if (cap > kMaxMessage)
        cap = kMaxMessage;
    if (m_state == State::Drop && !skip_refused())
        return Item();
    if (m_state == State::Idle) {
        Item item;
        if (!start(cap, item))
            return item;
    }
    return body(cap);
}

// The rest of a refused frame: up to the ETX at which the whole frame checks,
// or a later STX that starts a new frame.  False while it goes on.
bool FrameReader::skip_refused()
{
    bool ended = false;
    while (m_scan < m_tail) {
        const unsigned char c = m_buf[m_scan];
        if (c == kStx) {
            const Look look = header_at(m_scan);
            if (look == Look::Later)
                break;
            if (look == Look::Yes) {
                ended = true;
                break;
            }
        } else if (c == kEtx) {
            if (m_scan + 1 >= m_tail)
                break;
            if ((m_x ^ kEtx ^ m_buf[m_scan + 1]) == 0) {
                m_scan += 2;
                ended = true;
                break;
            }
        }
        m_x ^= c;
        ++m_scan;
    }
    m_head = m_scan;
    if (!ended && !m_quiet)
        return false;
    m_quiet = false;
    m_state = State::Idle;
    return true;
}

// Between items: bytes up to an STX, ACK or NAK are skipped; a control byte
// or a datagram that is one whole frame is the item.  True when an STX starts
// a frame to gather (the body follows), false when item is the answer.
bool FrameReader::start(unsigned int cap, Item& item)
{
    m_quiet = false;
    while (m_head < m_tail) {
        const unsigned char c = m_buf[m_head];
        if (c == kStx || c == kAck || c == kNak)
            break;
        ++m_head;
        ++m_skipped;
    }
    if (m_head == m_tail)
        return false;
    const unsigned char c = m_buf[m_head];
    if (c != kStx) {
        item.kind = c == kAck ? Kind::Ack : Kind::Nak;
        item.data = m_buf + m_head;
        item.size = 1;
        ++m_head;
        return false;
    }
    if (m_head == m_dgram_begin && m_dgram_end - m_dgram_begin >= 3 && m_buf[m_dgram_end - 2] == kEtx) {
        unsigned char x = 0;
        for (unsigned int i = m_head + 1; i < m_dgram_end; ++i)
            x ^= m_buf[i];
        if (x == 0) {
            // A datagram that is one whole frame.
            const unsigned int size = m_dgram_end - m_head - 3;
            item.kind = size <= cap ? Kind::Frame : Kind::TooLong;
            item.data = m_buf + m_head + (size <= cap ? 1 : 0);
            item.size = size <= cap ? size : m_dgram_end - m_head;
            m_head = m_dgram_end;
            return false;
        }
    }
    begin_body();
    return true;
}

// The frame being gathered: look for an ETX with a right check byte from
// where the last search stopped.
FrameReader::Item FrameReader::body(unsigned int cap)
{
    Item item;
    const unsigned int first = m_head + 1;
    const unsigned int limit = first + cap;  // the ETX may sit at most here
    while (m_scan < m_tail && m_scan <= limit) {
        const unsigned char c = m_buf[m_scan];
        if (c == kStx) {
            const Look look = header_at(m_scan);
            if (look == Look::Later)
                break;  // whether a header follows is still to come
            const unsigned char v = static_cast<unsigned char>(m_x ^ kStx);
            if (m_stx_at[v] == kNone && look == Look::Yes)
                m_stx_at[v] = m_scan;
        } else if (c == kEtx) {
            m_etx_seen = true;
            if (m_scan + 1 >= m_tail)
                break;  // the check byte is still to come
            const unsigned char check = m_buf[m_scan + 1];
            const unsigned char v = static_cast<unsigned char>(m_x ^ kEtx ^ check);
            const unsigned int inner = m_stx_at[v];
            if (inner != kNone)
                return drop_until(inner, Kind::BadCheck, inner - m_head);
            if (v == 0) {
                item.kind = Kind::Frame;
                item.data = m_buf + first;
                item.size = m_scan - first;
                m_head = m_scan + 2;
                m_state = State::Idle;
                return item;
            }
            // A wrong check byte: the ETX is data (and a check byte that
            // is an STX may start the next frame, above).
        }
        m_x ^= c;
        ++m_scan;
    }
    if (m_scan > limit)
        return refuse_long();
    if (m_quiet && m_etx_seen) {
        // Quiet after an ETX that did not check: the frame is dropped.
        const unsigned int candidate = first_candidate();
        if (candidate != kNone)
            return drop_until(candidate, Kind::BadCheck, candidate - m_head);
        return drop_until(m_tail, Kind::BadCheck, m_tail - m_head);
    }
    m_quiet = false;
    return item;
}

// The frame passed the cap: dropped up to a later STX that may start a frame,
// or else skipped to its end (State::Drop).
FrameReader::Item FrameReader::refuse_long()
{
    const unsigned int candidate = first_candidate();
    if (candidate != kNone)
        return drop_until(candidate, Kind::TooLong, m_scan - m_head);
    Item item;
    item.kind = Kind::TooLong;
    item.data = m_buf + m_head;
    item.size = m_scan - m_head;
    m_head = m_scan;
    m_state = State::Drop;
    return item;
}
