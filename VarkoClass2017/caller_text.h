// Texts of the application that go into a request: a byte that the frame or
// the field layout gives a meaning would shift the request's fields.
#pragma once
#include <cstring>

// True when text holds STX, ETX, ACK, NAK or FS within its first max bytes
// (or up to its terminator).  Other bytes, line breaks among them, pass.
inline bool has_link_byte(const char* text, size_t max = static_cast<size_t>(-1))
{
    for (size_t i = 0; i < max && text[i] != '\0'; ++i) {
        switch (static_cast<unsigned char>(text[i])) {
        case 0x02: case 0x03: case 0x06: case 0x15: case 0x1C:
            return true;
        default:
            break;
        }
    }
    return false;
}
