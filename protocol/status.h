// Status codes returned by every exchange, encoder and decoder and used
// inside the transaction run.  The numbers reach the application through the
// completion callback, so they are fixed.
#pragma once

enum : unsigned int {
    SE_OK = 0,        // success; also an exchange stopped by the interrupt flag
    SE_FAIL = 1,      // socket read got no bytes; no field separator after the response code
    SE_NOMEM = 2,     // allocating the handle record failed
    SE_PARAM = 3,     // invalid argument
    SE_NOTOPEN = 4,   // an operation needs a connection and none is open
    SE_OPEN = 8,      // opening the serial line failed
    SE_READ = 9,      // no valid response packet before the deadline / frame not completed
    SE_WRITE = 10,    // frame or ACK not written completely
    SE_EXEC = 13,     // the terminal did not acknowledge
    SE_SYNTAX = 15,   // malformed or unexpected data
    SE_EMPTY = 17,    // a buffer that must carry data holds only zero bytes
    SE_NODATA = 18,   // nothing was transferred
    SE_FORMAT = 19,   // no frame start; count that does not fit its field
    SE_SIZE = 20,     // data does not fit
    SE_MESSAGE = 23,  // intermediate message received and acknowledged
    SE_NOCARD = 25,   // discount exchanges: no card data
    SE_REPLY2 = 26,   // first field of the answer is "2"
    SE_REPLY3 = 27,   // first field of the answer is "3"
};

// Name of a status code ("SE_READ"), or "SE_UNKNOWN" for any other value.
const char* se_name(unsigned int status);
