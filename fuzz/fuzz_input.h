// Helpers shared by the service decoder harnesses: the exact-size copy of the
// input and an independent reading of the message header and its fields,
// against which the decoders' results are checked.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace fuzz {

// The input in a heap buffer of exactly its size, so that any read past the
// end is caught.
inline std::unique_ptr<unsigned char[]> exact_copy(const uint8_t* data, size_t size)
{
    std::unique_ptr<unsigned char[]> buf(new unsigned char[size]);
    if (size != 0)
        std::memcpy(buf.get(), data, size);
    return buf;
}

inline unsigned char fold(unsigned char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

// The message is at least six bytes long and begins with code (3 characters)
// and number (3 characters, e.g. "11."), letter case ignored.
inline bool header_is(const unsigned char* m, size_t size, const char* code, const char* number)
{
    if (size < 6)
        return false;
    for (int i = 0; i < 3; ++i) {
        if (fold(m[i]) != fold(static_cast<unsigned char>(code[i])) ||
            fold(m[3 + i]) != fold(static_cast<unsigned char>(number[i])))
            return false;
    }
    return true;
}

// Characters 3-5 of a message of at least six bytes are number (e.g. "11."),
// letter case ignored.
inline bool number_is(const unsigned char* m, const char* number)
{
    for (int i = 0; i < 3; ++i)
        if (fold(m[3 + i]) != fold(static_cast<unsigned char>(number[i])))
            return false;
    return true;
}

// One field after the six header characters.
struct Field {
    bool present;
    const unsigned char* data;
    size_t len;
};

// Field number index (0-based) after the header: fields end at 0x1C or at the
// end of the message; a message that ends at a separator has no further field.
inline Field field_at(const unsigned char* m, size_t size, unsigned int index)
{
    size_t start = 6;
    for (unsigned int i = 0;; ++i) {
        if (start >= size)
            return Field{false, nullptr, 0};
        const void* sep = std::memchr(m + start, 0x1C, size - start);
        const size_t len = sep ? static_cast<size_t>(static_cast<const unsigned char*>(sep) - (m + start)) : size - start;
        if (i == index)
            return Field{true, m + start, len};
        start += len + 1;
    }
}

// Every byte of the n bytes at p equals value.
inline bool all_bytes(const void* p, size_t n, unsigned char value)
{
    const unsigned char* b = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; ++i)
        if (b[i] != value)
            return false;
    return true;
}

// A fixed-width text area holds exactly the field's bytes, then zero bytes.
inline bool holds(const char* area, size_t width, const Field& f)
{
    if (!f.present)
        return all_bytes(area, width, 0);
    return f.len <= width && std::memcmp(area, f.data, f.len) == 0 && all_bytes(area + f.len, width - f.len, 0);
}

}  // namespace fuzz
