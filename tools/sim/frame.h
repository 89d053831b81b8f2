// Frames of the terminal link as the simulators build and read them.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace sim {

// STX, message, ETX, LRC (XOR of message and ETX).
std::string frame(const std::string& message);
// The parts joined with 0x1C between them: join_fields({"PUR12.00", "1"}) -> "PUR12.00<FS>1".
std::string join_fields(const std::vector<std::string>& parts);
// The text with its card data masked and every byte outside 0x20..0x7E
// written as <XX>, for messages.
std::string printable(const std::string& s);

// Splits the byte stream of the library into frames, lone ACK bytes and the
// other bytes, keeping an unfinished frame for the next feed.
class FrameParser {
public:
    enum class Kind {
        Frame,     // a frame with a good check byte: data = its message text
        Ack,       // a lone ACK byte: data = that byte
        Raw,       // bytes outside frames, handed on before the next STX or ACK and at the end of each feed
        BadCheck,  // a complete frame (STX to check byte) whose check byte is wrong
        TooLong,   // the bytes of a frame that reached the size limit without ETX
    };
    // Longer than the largest frame the library ever sends (16387 bytes).
    static constexpr size_t kMaxFrame = 20000;

    // Calls out(Kind, std::string) for every item the bytes complete, in order.
    template <class Out>
    void feed(const char* p, size_t n, Out&& out);
    // Forgets an unfinished frame (the link was closed or replaced).
    void reset();
    // Hands over the bytes of an unfinished frame (from STX) and forgets them.
    std::string take_unfinished();

private:
    static constexpr char kStx = 0x02;
    static constexpr char kEtx = 0x03;
    static constexpr char kAck = 0x06;

    template <class Out>
    void flush_raw(Out& out);

    enum class State { Idle, Body, Lrc } m_state = State::Idle;
    std::string m_partial;  // bytes of the frame being read (from STX)
    std::string m_raw;      // consecutive bytes outside frames
};

template <class Out>
void FrameParser::flush_raw(Out& out) {
    if (m_raw.empty()) return;
    std::string run;
    run.swap(m_raw);
    out(Kind::Raw, std::move(run));
}

template <class Out>
void FrameParser::feed(const char* p, size_t n, Out&& out) {
    for (size_t i = 0; i < n; ++i) {
        const char c = p[i];
        switch (m_state) {
        case State::Idle:
            if (c == kStx) {
                flush_raw(out);
                m_partial.assign(1, c);
                m_state = State::Body;
            } else if (c == kAck) {
                flush_raw(out);
                out(Kind::Ack, std::string(1, kAck));
            } else {
                m_raw += c;
            }
            break;
        case State::Body:
            m_partial += c;
            if (c == kEtx) {
                m_state = State::Lrc;
            } else if (m_partial.size() >= kMaxFrame) {
                std::string bytes;
                bytes.swap(m_partial);
                m_state = State::Idle;
                out(Kind::TooLong, std::move(bytes));
            }
            break;
        case State::Lrc: {
            m_partial += c;
            char x = 0;
            for (size_t k = 1; k < m_partial.size(); ++k) x ^= m_partial[k];
            std::string bytes;
            bytes.swap(m_partial);
            m_state = State::Idle;
            if (x == 0)
                out(Kind::Frame, bytes.substr(1, bytes.size() - 3));
            else
                out(Kind::BadCheck, std::move(bytes));
            break;
        }
        }
    }
    flush_raw(out);
}

}  // namespace sim
