#include "sim/frame.h"

#include <cstdio>

#include "Logging/redact.h"

namespace sim {

std::string frame(const std::string& message) {
    std::string out;
    out.reserve(message.size() + 3);
    out += '\x02';
    out += message;
    out += '\x03';
    char lrc = '\x03';
    for (char c : message) lrc ^= c;
    out += lrc;
    return out;
}

std::string join_fields(const std::vector<std::string>& parts) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) out += '\x1c';
        out += parts[i];
    }
    return out;
}

std::string printable(const std::string& text) {
    // Shown messages go either way: masked by both the response and the
    // request layouts, so no card data reaches a message.
    std::string s = text;
    if (!s.empty()) {
        el::redact_message(&s[0], s.size(), true);
        el::redact_message(&s[0], s.size(), false);
    }
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            snprintf(buf, sizeof buf, "<%02X>", c);
            out += buf;
        }
    }
    return out;
}

void FrameParser::reset() {
    m_state = State::Idle;
    m_partial.clear();
    m_raw.clear();
}

std::string FrameParser::take_unfinished() {
    std::string bytes;
    bytes.swap(m_partial);
    m_state = State::Idle;
    return bytes;
}

}  // namespace sim
