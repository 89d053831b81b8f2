// The single-response exchange: one request, its ACK, one response, the ACK
// of the response and the decoding of it.  Every service exchange (card and
// PIN reads, discount, card group, terminal information, stored transactions,
// X report) is this one function driven by a descriptor; the exchange only
// says how it differs.
//
// Steps, in order (each one can end the exchange with the status named):
//   1. null handle (or a handle without transport)          -> SE_PARAM
//      (then the interrupt flag is lowered: a cancel raised while nothing
//      ran does not stop this exchange; one raised during it does)
//   2. build the request into a zeroed 16384-byte buffer;
//      builder status != SE_OK                               -> that status
//      record: " <builder_name> fail, code[" status "]"
//   3. pos_write_packet; status != SE_OK                     -> that status
//      record: " pos_write_packet fail, code[" status "]"
//   4. wait for ACK until ack_wait deadline, one byte at a time; the last
//      byte read is dumped under "RECV FROM TERMINAL"; not ACK -> SE_EXEC
//      record: " Received data is not ACK[" byte "]"
//   5. pos_read_packet repeatedly until one succeeds or the response
//      deadline has passed (checked before each attempt); before each
//      attempt the optional read_attempt_record is composed (always).
//      [ack_before_check: the ACK is written here, without a pause,
//       whether or not a response came.]
//      no response                                           -> SE_READ
//      records: ("pos_read_packet fail 1" when read_fail_records)
//               " pos_read_packet fail, code[" last status "]"
//   6. compare the first expected_len characters of the response with the
//      expected text (request code + "11" unless given), case ignored;
//      mismatch                                              -> SE_SYNTAX
//      records: ("pos_read_packet fail 2" when read_fail_records)
//               syntax_text (when not null)
//   7. after_match hook; a status other than SE_OK from it   -> that status
//      (in the ordinary order no ACK has been written yet)
//   8. pause pause_ms, then write the ACK (dumped under "SEND TO TERMINAL")
//      [ack_before_check: only the pause; the ACK went out in step 5]
//   9. decoder (if any) into decode_out; when report_decoder_status and it
//      fails                                                 -> its status
//      record: " <decoder_name> fail, code[" status "]"
//  10. SE_OK when the transport reported one byte written for the ACK,
//      else SE_WRITE.
// An exception thrown on the way (only the log records allocate) is caught
// and ends the exchange with SE_FAIL.
//
// Records are written at error level (the fixed information records at info
// level) only while logging is on, and not at all when quiet is set; they
// carry the exchange's own name (caller).  The dumps are written whenever
// logging is on, quiet or not.
#pragma once
#include <cstdint>

#include "protocol/pos_handle.h"
#include "protocol/pos_link.h"
#include "protocol/status.h"

// Fills buf (16384 bytes) and *len; ctx is SingleExchange::build_ctx.
typedef unsigned int (*pos_sx_build_fn)(unsigned char* buf, unsigned int* len, const void* ctx);
// Decodes the response (len bytes at msg) into out.
typedef unsigned int (*pos_sx_decode_fn)(unsigned char* msg, unsigned int len, void* out);
// Runs after the response matched; SE_OK goes on, anything else ends the
// exchange with that status.
typedef unsigned int (*pos_sx_hook_fn)(const unsigned char* msg, unsigned int len, void* ctx);

// Response deadline taken from the handle (its response time-out).
constexpr int POS_SX_HANDLE_RESPONSE_TIMEOUT = -1;
// ACK wait taken from the handle's response time-out instead of milliseconds.
constexpr unsigned int POS_SX_ACK_WAIT_RESPONSE_TIMEOUT = 0xFFFFFFFFu;

struct SingleExchange {
    // --- identity and logging ---
    const char* caller = "pos_single_exchange";  // function name in the records
    bool quiet = false;                           // true: no log records at all (dumps only)

    // --- request ---
    pos_sx_build_fn build = nullptr;              // required
    const void* build_ctx = nullptr;
    const char* builder_name = "builder";         // " <builder_name> fail, code["

    // --- waits ---
    unsigned int ack_wait_ms = 5000;              // or POS_SX_ACK_WAIT_RESPONSE_TIMEOUT
    int response_timeout_s = POS_SX_HANDLE_RESPONSE_TIMEOUT;  // seconds, or the handle's
    unsigned int pause_ms = 1000;                 // before the ACK of the response

    // --- records around the read ---
    const char* read_attempt_record = nullptr;    // e.g. "for []": info level, composed always
    bool read_fail_records = false;               // "pos_read_packet fail 1" / "... fail 2"

    // --- response check ---
    const char* expected = nullptr;               // null: request code + "11"
    unsigned int expected_len = 5;                // characters compared (at most 8)
    const char* syntax_text = " parse messgae error! return SE_SYNTAX";  // null: no record

    // --- after the check ---
    pos_sx_hook_fn after_match = nullptr;
    void* hook_ctx = nullptr;
    bool ack_before_check = false;                // ACK right after the read attempts, no pause

    // --- decoding ---
    pos_sx_decode_fn decode = nullptr;            // null: nothing decoded
    void* decode_out = nullptr;
    const char* decoder_name = "decoder";         // " <decoder_name> fail, code["
    bool report_decoder_status = false;

    // --- response handed back (optional) ---
    unsigned char* response = nullptr;            // caller's buffer of POS_MAX_MESSAGE bytes, or null
    unsigned int response_len = 0;                // out: length of the response (0 when none came)
    bool got_response = false;                    // out: a response packet was read
    bool ack_written = false;                     // out: the ACK byte went out
};

// Run the exchange described by ex over handle (a PosHandle*).  The result is
// the status of the step that ended it, as listed above.
unsigned int pos_single_exchange(void* handle, SingleExchange& ex);

// ---- building blocks, also used by the multi-packet exchanges ----

// Wait for ACK until wait_ms passed (pos_link_wait_ack); the last byte is
// dumped under "RECV FROM TERMINAL".  SE_OK on ACK, else SE_EXEC; *last gets
// the last byte taken (0 when none came).  SE_PARAM for a null handle or
// transport.
unsigned int pos_sx_wait_ack(PosHandle* h, Deadline deadline, unsigned char* last,
                             PosWake wake = PosWake::OnInterrupt);
// Write one ACK byte, dumped under "SEND TO TERMINAL"; true when one byte went out.
bool pos_sx_send_ack(PosHandle* h);
// Read one frame (at most 16383 message bytes) until SE_OK or timeout_ms
// passed; a read that ends early (a broken frame) is tried again within the
// time.  buf (16384 bytes) is zeroed first.  Returns SE_OK or the last read
// status (SE_READ when no attempt was made).  attempt_record (optional) is
// composed at info level before each attempt, logging on or off, under the
// name caller.
unsigned int pos_sx_read_response(PosHandle* h, unsigned char* buf, unsigned int* len, Deadline deadline,
                                  const char* caller, const char* attempt_record,
                                  PosWake wake = PosWake::OnInterrupt);
// Case-insensitive comparison of n characters.
bool pos_sx_same(const unsigned char* a, const char* b, unsigned int n);
