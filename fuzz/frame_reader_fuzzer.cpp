// The frame reader must find the same frames, control bytes and refusals in
// a byte stream however it is cut into reads.  The first four bytes of the
// input choose the cuts and the size cap; the rest is the stream, read once
// in the largest pieces the reader takes and once in pieces of 1 to 64 bytes.
// The rest of the input is also taken as the bank logo of an approval (image
// fields are raw bytes): that approval, followed by the next frame, must come
// out whole in any cuts, unless a 0x03 inside it is followed by a right check
// byte or an STX inside it by a message header.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "protocol/frame_reader.h"

namespace {

using Items = std::vector<std::pair<int, std::string>>;

template <class NextLen>
Items read_stream(const uint8_t* data, size_t size, unsigned int cap, NextLen next_len)
{
    std::unique_ptr<FrameReader> reader(new FrameReader);
    Items items;
    size_t at = 0;
    while (at < size) {
        unsigned int room = 0;
        unsigned char* space = reader->space(&room);
        size_t n = next_len();
        if (n > room)
            n = room;
        if (n > size - at)
            n = size - at;
        std::memcpy(space, data + at, n);
        reader->commit(static_cast<unsigned int>(n));
        at += n;
        for (;;) {
            const FrameReader::Item item = reader->next(cap);
            if (item.kind == FrameReader::Kind::None)
                break;
            if (item.size > FrameReader::kCapacity)
                std::abort();
            if (item.kind == FrameReader::Kind::Frame && item.size > cap)
                std::abort();
            items.emplace_back(static_cast<int>(item.kind),
                               std::string(reinterpret_cast<const char*>(item.data), item.size));
        }
    }
    return items;
}

std::string framed(const std::string& message)
{
    unsigned char x = 0x03;
    for (char c : message)
        x ^= static_cast<unsigned char>(c);
    return "\x02" + message + "\x03" + std::string(1, static_cast<char>(x));
}

// True when no ETX inside the message is followed by a right check byte and
// no STX inside it by three letters and two digits.
bool frames_whole(const std::string& m)
{
    unsigned char x = 0;
    for (size_t i = 0; i + 1 < m.size(); ++i) {
        x ^= static_cast<unsigned char>(m[i]);
        if (m[i] == '\x03' && (x ^ static_cast<unsigned char>(m[i + 1])) == 0)
            return false;
        if (m[i] == '\x02' && i + 5 < m.size()) {
            bool header = true;
            for (size_t k = 1; k <= 5; ++k) {
                const unsigned char c = static_cast<unsigned char>(m[i + k]);
                const unsigned char lower = static_cast<unsigned char>(c | 0x20);
                header = header && (k <= 3 ? lower >= 'a' && lower <= 'z' : c >= '0' && c <= '9');
            }
            if (header)
                return false;
        }
    }
    return true;
}

void check_image_approval(const uint8_t* data, size_t size, uint32_t seed)
{
    if (size > 16000)
        return;
    std::string logo(reinterpret_cast<const char*>(data), size);
    for (char& c : logo)
        if (c == '\x1c')
            c = '\x1d';  // an image never holds the field separator
    const std::string approval = "PUR12.00\x1c" "1\x1c" "7\x1c" "000000001234\x1c" + logo + "\x1c\x02\x03\x1c";
    if (!frames_whole(approval))
        return;
    const std::string stream = framed(approval) + framed("PUR13.");
    uint32_t state = seed | 1;
    const Items items = read_stream(reinterpret_cast<const uint8_t*>(stream.data()), stream.size(),
                                    FrameReader::kMaxMessage, [&state] {
                                        state ^= state << 13;
                                        state ^= state >> 17;
                                        state ^= state << 5;
                                        return size_t(1 + state % 64);
                                    });
    const int frame = static_cast<int>(FrameReader::Kind::Frame);
    if (items.size() != 2 || items[0] != Items::value_type(frame, approval) ||
        items[1] != Items::value_type(frame, "PUR13."))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    uint32_t seed = 0;
    std::memcpy(&seed, data, 4);
    // Small caps reach the refusal of long frames with short inputs.
    const unsigned int cap = 1 + (seed >> 24) * 130;
    data += 4;
    size -= 4;

    const Items whole = read_stream(data, size, cap, [] { return size_t(-1); });
    uint32_t state = seed | 1;
    const Items cut = read_stream(data, size, cap, [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return size_t(1 + state % 64);
    });
    if (whole != cut)
        std::abort();
    check_image_approval(data, size, seed);
    return 0;
}
