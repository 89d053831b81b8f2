// Finds frames and single control bytes in the byte stream of the terminal
// link, however the bytes are cut into reads: a frame may arrive one byte at a
// time, several frames and ACK bytes may arrive in one read.  Bytes that
// follow a complete item stay for the next call.
//
// The reader owns its receive buffer (no allocation); the link reads into
// space() and reports the count with commit().  next() then hands out the
// next complete item, if there is one:
//   Ack, Nak    one control byte, complete by itself
//   Frame       STX, message, ETX, check byte with a good check; the message
//               is at item.data, item.size bytes, valid until the next commit
//   BadCheck    a complete frame whose check byte is wrong (item.data/size are
//               the whole frame from STX, for the dump); it is dropped
//   TooLong     a frame whose message passed the cap given to next(); its
//               bytes so far are dropped and so is the rest of it, up to and
//               including the byte after its ETX
// Bytes before an STX that are not ACK or NAK are skipped and counted.
// The first 0x03 after an STX ends the message (a message never holds 0x03).
#pragma once
#include <cstddef>
#include <cstdint>

class FrameReader {
public:
    // The largest message the reader can hold; next() takes a smaller cap.
    static constexpr unsigned int kMaxMessage = 32768;
    // Room for the largest frame and one more read behind it.
    static constexpr unsigned int kCapacity = kMaxMessage + 3 + 4096;

    enum class Kind { None, Ack, Nak, Frame, BadCheck, TooLong };
    struct Item {
        Kind kind = Kind::None;
        const unsigned char* data = nullptr;
        unsigned int size = 0;
    };

    // Free space for the next read (never zero: a full buffer means a frame
    // past every cap, which next() drops first).
    unsigned char* space(unsigned int* room);
    void commit(unsigned int n);
    // The next complete item; Kind::None when more bytes are needed.
    // cap: the longest message accepted (at most kMaxMessage).
    Item next(unsigned int cap);
    // True when an STX has been seen and its frame is not complete yet.
    bool in_frame() const { return m_state == State::Body; }
    // Bytes held and not yet handed out (in a frame: from its STX).
    unsigned int held() const { return m_tail - m_head; }
    const unsigned char* held_bytes() const { return m_buf + m_head; }
    // Forget everything held (a link opened afresh).
    void reset();
    // Take the next byte held, as it is (the ACK wait skips what is not ACK);
    // a frame being gathered is given up.  False when nothing is held.
    bool take(unsigned char* byte);

    uint64_t skipped() const { return m_skipped; }

private:
    enum class State { Idle, Body, Drop };
    void compact();

    unsigned char m_buf[kCapacity];
    unsigned int m_head = 0;  // first byte not yet handed out
    unsigned int m_tail = 0;  // end of the bytes received
    unsigned int m_scan = 0;  // in a frame: where the search for ETX goes on
    State m_state = State::Idle;
    uint64_t m_skipped = 0;   // bytes outside frames that were not ACK or NAK
};
