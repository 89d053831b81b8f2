#include "protocol/single_exchange.h"

#include <cctype>
#include <cstring>

#include "Logging/log.h"
#include "compat/compat.h"
#include "protocol/pos_link.h"
#include "transport/link_error.h"

// A record of the exchange, named after the exchange that runs it; composed
// only while logging is on and the exchange is not quiet.
#define SXREC(ex, level)                         \
    if ((ex).quiet || !el::get_logging()) {      \
    } else                                       \
        GetLogObject(level) << "[" << (ex).caller << ":" << __LINE__ << "] "
// A fixed information record that is composed whether logging is on or off.
#define SXREC_ALWAYS(name) GetLogObject(LOG_INFO) << "[" << (name) << ":" << __LINE__ << "] "

bool pos_sx_same(const unsigned char* a, const char* b, unsigned int n)
{
    for (unsigned int i = 0; i < n; ++i) {
        if (std::tolower(a[i]) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

unsigned int pos_sx_wait_ack(PosHandle* h, unsigned int wait_ms, unsigned char* last, PosWake wake)
{
    if (last)
        *last = 0;
    if (!h || !h->transport)
        return SE_PARAM;
    PosAckWait seen;
    const unsigned int status = pos_link_wait_ack(h, pos_deadline_in(wait_ms), wake, &seen);
    LOGDUMP(&seen.last, 1, "RECV FROM TERMINAL");
    if (last)
        *last = seen.last;
    // Not a byte came: the application must be able to tell this from a
    // terminal that answered with a refusal.
    if (status != SE_OK && !seen.interrupted && !seen.frame_seen && seen.last == 0)
        link_error_set("no answer within %u s", (wait_ms + 999u) / 1000u);
    return status;
}

bool pos_sx_send_ack(PosHandle* h)
{
    if (!h || !h->transport)
        return false;
    return pos_link_send_ack(h) == 1;
}

unsigned int pos_sx_read_response(PosHandle* h, unsigned char* buf, unsigned int* len, uint64_t timeout_ms,
                                  const char* caller, const char* attempt_record, PosWake wake)
{
    if (!h || !h->transport || !buf || !len)
        return SE_PARAM;
    std::memset(buf, 0, POS_MAX_MESSAGE);
    *len = 0;
    unsigned int status = SE_READ;
    const uint64_t deadline = pos_deadline_in(timeout_ms);
    while (GetTickCount() < deadline) {
        if (attempt_record)
            SXREC_ALWAYS(caller) << attempt_record;
        unsigned int got = 0;
        status = pos_link_read_frame(h, buf, POS_MAX_READ_MESSAGE, &got, deadline, wake);
        if (status == SE_OK) {
            *len = got;
            return SE_OK;
        }
    }
    link_error_set("no answer within %llu s", static_cast<unsigned long long>(timeout_ms / 1000u));
    return status == SE_OK ? SE_READ : status;
}

static unsigned int run_exchange(PosHandle* h, SingleExchange& ex)
{
    unsigned char request[POS_MAX_MESSAGE];
    unsigned char own_response[POS_MAX_MESSAGE];
    unsigned char* response = ex.response ? ex.response : own_response;

    unsigned int request_len = 0;
    const unsigned int built = ex.build(request, &request_len, ex.build_ctx);
    if (built != SE_OK) {
        SXREC(ex, LOG_ERROR) << " " << ex.builder_name << " fail, code[" << built << "]";
        return built;
    }

    char expected[8] = {0};
    unsigned int expected_len = ex.expected_len > sizeof(expected) ? sizeof(expected) : ex.expected_len;
    if (ex.expected) {
        std::memcpy(expected, ex.expected, strnlen(ex.expected, sizeof(expected)));
    } else {
        std::memcpy(expected, request, 3);
        std::memcpy(expected + 3, "11", 2);
        if (expected_len > 5)
            expected_len = 5;
    }

    pos_link_drop_stale(h);
    const unsigned int sent = pos_write_packet(h, request, request_len);
    if (sent != SE_OK) {
        SXREC(ex, LOG_ERROR) << " pos_write_packet fail, code[" << sent << "]";
        return sent;
    }

    const unsigned int ack_wait = ex.ack_wait_ms == POS_SX_ACK_WAIT_RESPONSE_TIMEOUT
                                      ? static_cast<unsigned int>(h->response_timeout) * 1000u
                                      : ex.ack_wait_ms;
    unsigned char last = 0;
    if (pos_sx_wait_ack(h, ack_wait, &last) != SE_OK) {
        SXREC(ex, LOG_ERROR) << " Received data is not ACK[" << static_cast<char>(last) << "]";
        return SE_EXEC;
    }

    const uint64_t response_ms =
        (ex.response_timeout_s < 0 ? static_cast<uint64_t>(h->response_timeout)
                                   : static_cast<uint64_t>(ex.response_timeout_s)) *
        1000u;
    unsigned int len = 0;
    const unsigned int read = pos_sx_read_response(h, response, &len, response_ms, ex.caller, ex.read_attempt_record);
    ex.got_response = read == SE_OK;
    ex.response_len = len;

    if (ex.ack_before_check)
        ex.ack_written = pos_sx_send_ack(h);

    if (read != SE_OK) {
        if (ex.read_fail_records)
            SXREC_ALWAYS(ex.caller) << "pos_read_packet fail 1";
        SXREC(ex, LOG_ERROR) << " pos_read_packet fail, code[" << read << "]";
        return SE_READ;
    }

    if (len < expected_len || !pos_sx_same(response, expected, expected_len)) {
        if (ex.read_fail_records)
            SXREC_ALWAYS(ex.caller) << "pos_read_packet fail 2";
        if (ex.syntax_text) {
            SXREC(ex, LOG_ERROR) << ex.syntax_text;
        }
        return SE_SYNTAX;
    }

    if (ex.after_match) {
        const unsigned int hooked = ex.after_match(response, len, ex.hook_ctx);
        if (hooked != SE_OK)
            return hooked;
    }

    if (ex.pause_ms)
        Sleep(ex.pause_ms);
    if (!ex.ack_before_check)
        ex.ack_written = pos_sx_send_ack(h);

    if (ex.decode) {
        const unsigned int decoded = ex.decode(response, len, ex.decode_out);
        if (ex.report_decoder_status && decoded != SE_OK) {
            SXREC(ex, LOG_ERROR) << " " << ex.decoder_name << " fail, code[" << decoded << "]";
            return decoded;
        }
    }
    return ex.ack_written ? SE_OK : SE_WRITE;
}

unsigned int pos_single_exchange(void* handle, SingleExchange& ex)
{
    ex.response_len = 0;
    ex.got_response = false;
    ex.ack_written = false;
    PosHandle* h = static_cast<PosHandle*>(handle);
    if (!h || !h->transport || !ex.build)
        return SE_PARAM;
    // A cancel raised while nothing ran is over: it does not stop this one.
    h->interrupt.store(0);
    try {
        return run_exchange(h, ex);
    } catch (...) {
        try {
            SXREC(ex, LOG_ERROR) << " exception, return SE_FAIL";
        } catch (...) {
        }
        return SE_FAIL;
    }
}
