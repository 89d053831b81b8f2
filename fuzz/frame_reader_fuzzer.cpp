// The frame reader must find the same frames, control bytes and refusals in
// a byte stream however it is cut into reads.  The first four bytes of the
// input choose the cuts and the size cap; the rest is the stream, read once
// in the largest pieces the reader takes and once in pieces of 1 to 64 bytes.
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
    return 0;
}
