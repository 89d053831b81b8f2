// Finds frames and single control bytes in the byte stream of the terminal
// link, however the bytes are cut into reads: a frame may arrive one byte at a
// time, several frames and ACK bytes may arrive in one read.  Bytes that
// follow a complete item stay for the next call.
//
// The reader owns its receive buffer (no allocation); the link reads into
// space() and reports the count with commit() (commit_datagram() for a link
// whose reads are whole datagrams).  next() then hands out the next complete
// item, if there is one:
//   Ack, Nak    one control byte, complete by itself
//   Frame       STX, message, ETX, check byte with a good check; the message
//               is at item.data, item.size bytes, valid until the next commit
//   BadCheck    a frame that never checked (item.data/size are its bytes from
//               STX, for the dump); it is dropped
//   TooLong     a frame whose message passed the cap given to next(); its
//               bytes so far are dropped and so is the rest of it
// Bytes before an STX that are not ACK or NAK are skipped and counted.
//
// A message may hold any byte, 0x03 and 0x02 included (the image fields of a
// transaction response are raw bytes).  So an ETX ends a frame only when the
// check byte after it is right; an ETX whose check fails is data, and the
// frame goes on to the next ETX.  A frame that never checks drops only
// itself:
//   - when a later STX inside it that is followed by a message header (three
//     letters, two digits) starts a frame that checks, the bytes before that
//     STX are the dropped frame (BadCheck) and the new one is handed out
//     next; this also gives an STX taken for a check byte to the next frame;
//   - when the link has been quiet (quiet(), called by the link after its
//     inter-byte gap) the frame is dropped, reading goes on at the first such
//     STX inside it, if any;
//   - when its message passes the cap (TooLong).
// A datagram that holds one whole frame (STX first, ETX and a right check
// byte last) is that frame, wherever else 0x03 falls inside it.
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
    // The n bytes read are one datagram.
    void commit_datagram(unsigned int n);
    // The next complete item; Kind::None when more bytes are needed.
    // cap: the longest message accepted (at most kMaxMessage).
    Item next(unsigned int cap);
    // True when an STX has been seen and its frame is not complete yet.
    bool in_frame() const { return m_state == State::Body; }
    // True while a frame has had an ETX whose check failed (or still waits
    // for its check byte), or the rest of a refused frame is being skipped:
    // the link's quiet gap decides it (quiet()).
    bool undecided() const { return (m_state == State::Body && m_etx_seen) || m_state == State::Drop; }
    // The link has been quiet for its inter-byte gap: the next call of next()
    // drops an undecided frame (BadCheck) and ends the skipping of a refused one.
    void quiet();
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
    static constexpr unsigned int kNone = 0xFFFFFFFFu;
    void compact();
    void begin_body();
    enum class Look { No, Yes, Later };
    Look header_at(unsigned int stx) const;
    unsigned int first_candidate() const;
    Item drop_until(unsigned int stx, Kind kind, unsigned int size);
    bool skip_refused();
    bool start(unsigned int cap, Item& item);
    Item body(unsigned int cap);
    Item refuse_long();

    unsigned char m_buf[kCapacity];
    unsigned int m_head = 0;  // first byte not yet handed out
    unsigned int m_tail = 0;  // end of the bytes received
    unsigned int m_scan = 0;  // in a frame: the next byte to look at
    State m_state = State::Idle;
    unsigned char m_x = 0;    // XOR of the frame's bytes after its STX, up to m_scan
    bool m_etx_seen = false;  // the frame has had an ETX
    bool m_quiet = false;     // quiet() was called
    // In a frame: for each XOR value, the first STX inside the frame that is
    // followed by a header and at which the XOR so far had that value (kNone
    // if none).  A frame from that STX checks at an ETX whose XOR is the same.
    unsigned int m_stx_at[256];
    unsigned int m_dgram_begin = kNone;  // the last datagram committed
    unsigned int m_dgram_end = kNone;
    uint64_t m_skipped = 0;   // bytes outside frames that were not ACK or NAK
};
