// Interrupt (IRT10.) and abort (PUR11. / PUR13.) of a running transaction.
// Both run on the caller's thread with a buffer of their own; neither looks
// at the handle's interrupt flag (their reads are not woken by it: the
// interrupt exchange runs while the flag is raised to stop the payment).
#include "protocol/interrupt_abort.h"

#include <cstring>

#include "Logging/log.h"
#include "protocol/message.h"
#include "protocol/pos_handle.h"
#include "protocol/pos_link.h"
#include "protocol/single_exchange.h"
#include "protocol/transaction_rules.h"

namespace {

// The terminal acknowledges the interrupt request and the abort
// confirmation within 20 s, whatever the response time-out.
constexpr unsigned int CONTROL_ACK_WAIT_MS = 20000;

Deadline response_deadline(const PosHandle* h) { return Deadline::in_s(h->response_timeout); }

bool has_number(const unsigned char* msg, unsigned int len, char d1, char d2)
{
    return len >= 5 && msg[3] == d1 && msg[4] == d2;
}

// Build a request of the six header characters into buf and write it.
unsigned int write_header(PosHandle* h, unsigned char* buf, unsigned int* len, const char* header)
{
    char text[7];
    std::memcpy(text, header, sizeof text);
    const unsigned int status = build_request_header(buf, len, text);
    if (status != SE_OK)
        return status;
    return pos_write_packet(h, buf, *len);
}

}  // namespace

unsigned int send_receive_interrupt(void* handle)
{
    if (handle == nullptr)
        return SE_PARAM;
    try {
        PosHandle* h = static_cast<PosHandle*>(handle);
        unsigned char buf[POS_MAX_MESSAGE];
        unsigned int len = 0;
        std::memset(buf, 0, sizeof buf);
        char header[] = "IRT10.";
        unsigned int status = build_request_header(buf, &len, header);
        if (status != SE_OK) {
            LOGREC(LOG_ERROR) << " build_request_header fail, code[" << status << "]";
            return status;
        }
        pos_link_drop_stale(h);
        status = pos_write_packet(h, buf, len);
        if (status != SE_OK) {
            LOGREC(LOG_ERROR) << " pos_write_packet fail, code[" << status << "]";
            return status;
        }

        unsigned char last = 0;
        if (pos_sx_wait_ack(h, Deadline::in_ms(CONTROL_ACK_WAIT_MS), &last, PosWake::Never) != SE_OK) {
            LOGREC(LOG_ERROR) << " Received data is not ACK[" << static_cast<char>(last) << "]";
            return SE_EXEC;
        }

        status = pos_sx_read_response(h, buf, &len, response_deadline(h), __func__, nullptr, PosWake::Never);
        if (status != SE_OK) {
            LOGREC(LOG_ERROR) << " pos_read_packet fail, code[" << status << "]";
            return SE_READ;
        }
        if (!message_starts_with(buf, len, "IRT", 3) || !has_number(buf, len, '1', '1')) {
            LOGREC(LOG_ERROR) << " parse messgae error! return SE_SYNTAX";
            return SE_SYNTAX;
        }

        const bool acked = pos_sx_send_ack(h);
        // The full answer check does not decide the outcome.
        (void)parse_response_interrupt(buf, len);
        return acked ? SE_OK : SE_WRITE;
    } catch (...) {
        return SE_FAIL;
    }
}

unsigned int send_receive_abort(void* handle, _ecr_transaction_report* report)
{
    if (handle == nullptr)
        return SE_PARAM;
    try {
        PosHandle* h = static_cast<PosHandle*>(handle);
        unsigned char buf[POS_MAX_MESSAGE];
        unsigned int len = 0;
        std::memset(buf, 0, sizeof buf);
        pos_link_drop_stale(h);
        unsigned int status = write_header(h, buf, &len, "PUR11.");
        if (status != SE_OK)
            return status;

        // No ACK wait: the terminal's ACK is skipped while the answer frame
        // is awaited.
        if (pos_sx_read_response(h, buf, &len, response_deadline(h), __func__, nullptr, PosWake::Never) != SE_OK)
            return SE_READ;

        if (is_text_message(buf, len)) {
            store_text_message(buf, len, report);  // without a report nothing is stored
            (void)pos_sx_send_ack(h);
            return SE_MESSAGE;
        }
        if (!message_starts_with(buf, len, "PUR", 3) || !has_number(buf, len, '1', '2'))
            return SE_SYNTAX;

        const bool acked = pos_sx_send_ack(h);
        status = write_header(h, buf, &len, "PUR13.");
        if (status != SE_OK)
            return status;

        if (pos_sx_wait_ack(h, Deadline::in_ms(CONTROL_ACK_WAIT_MS), nullptr, PosWake::Never) != SE_OK)
            return SE_EXEC;
        return acked ? SE_OK : SE_WRITE;
    } catch (...) {
        return SE_FAIL;
    }
}
