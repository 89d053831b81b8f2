// The link's control bytes and the size of a message, defined once.
#pragma once

// STX starts a frame, ETX ends its text, ACK acknowledges a frame (sent
// alone), FS separates the fields of a message.
enum : unsigned char { STX = 0x02, ETX = 0x03, ACK = 0x06, FS = 0x1C };

// Largest message, and the size of every request and response buffer.
constexpr unsigned int POS_MAX_MESSAGE = 16384;
