// Interrupt (IRT10.) and abort (PUR11. / PUR13.) of a running transaction.
// Both run on the caller's thread with a buffer of their own; neither looks
// at the handle's interrupt flag (their reads are not woken by it: the
// interrupt exchange runs while the flag is raised to stop the payment).
#include "protocol/interrupt_abort.h"

#include <cstring>

#include "Logging/log.h"
#include "protocol/message.h"
#include "protocol/wire.h"
#include "protocol/pos_handle.h"
#include "protocol/pos_session.h"
#include "protocol/response_decoder.h"
#include "protocol/transaction_rules.h"

// A record under the name of the exchange (LOGREC would give the helper's).
#define LOGREC_AS(level, name)    \
    if (!el::get_logging()) {     \
    } else                        \
        GetLogObject(level) << "[" << (name) << ":" << __LINE__ << "] "

namespace {

// The terminal acknowledges the interrupt request and the abort
// confirmation within 20 s, whatever the response time-out.
constexpr Span CONTROL_ACK = Span::ms(20000);

// A request of the six header characters and a separator.
unsigned int header_request(PosMsg& m, const char* header)
{
    char text[7];
    std::memcpy(text, header, sizeof text);
    return build_request_header(m.data, &m.len, text);
}

// The running operation's final response came instead of the control's
// answer: the terminal decided before the control reached it.  It is taken
// as any final response: acknowledged, decoded and, when understood,
// confirmed at once (the control's own 20 s wait for the ACK).
ControlRead crossed_final(PosSession& s, PosMsg& resp, _ecr_transaction_report* decided)
{
    const unsigned int acked = s.ack(0);
    const FinalDecode decoded = ecr_decode_final(resp.data, resp.len, decided);
    if (!decoded.usable) {
        LOGREC_AS(LOG_ERROR, s.who()) << "Final response not decoded[" << decoded.status << "] no confirmation";
        return {SE_SYNTAX, FinalStep::Undecodable};
    }
    if (decoded.oversized_field != 0) {
        LOGREC_AS(LOG_ERROR, s.who()) << "Final response field[" << decoded.oversized_field
                                      << "] too long, left empty with the fields after it";
    }
    if (acked != SE_OK)
        return {acked, FinalStep::Decoded};
    unsigned char confirmation[6];
    build_confirmation(resp.data, resp.len, confirmation);
    if (s.confirm(confirmation, sizeof confirmation, CONTROL_ACK) != SE_OK)
        return {SE_EXEC, FinalStep::Decoded};
    return {SE_OK, FinalStep::Confirmed};
}

// A final response of the operation whose tag is given (number 12).
bool is_final_of(const PosMsg& m, const char* tag)
{
    return tag != nullptr && m.starts_with(tag, 3) && m.at(3) == '1' && m.at(4) == '2' && m.at(5) == '.';
}

// The abort's answer carries a response code: more than the bare "PUR12."
// (with or without a separator) of an accepted abort.
bool has_response_code(const PosMsg& m) { return m.len > 6 && m.at(6) != FS; }

}  // namespace


ControlRead interrupt_step(void* handle, const char* tag, _ecr_transaction_report* decided, bool in_payment)
{
    PosHandle* h = static_cast<PosHandle*>(handle);
    if (h == nullptr)
        return {SE_PARAM, FinalStep::None};
    const char* who = "send_receive_interrupt";
    ControlRead out{SE_OK, FinalStep::None};
    out.status = pos_guard(nullptr, [&] {
        PosSession s(h, who, PosSession::kServiceTexts, PosWake::Never);
        PosMsg req, resp;
        if (unsigned int e = s.built(header_request(req, "IRT10."), "build_request_header"))
            return e;
        // In a payment, what came meanwhile is the payment's and is read below.
        if (!in_payment)
            s.drop_stale();
        if (unsigned int e = s.confirm(req, CONTROL_ACK))
            return e;
        if (unsigned int e = s.read(resp, s.response_deadline()))
            return s.missed(e);
        if (decided != nullptr && is_final_of(resp, tag)) {
            out = crossed_final(s, resp, decided);
            return out.status;
        }
        if (unsigned int e = s.check(resp, "IRT11", 5))
            return e;
        const unsigned int acked = s.ack(0);
        (void)parse_response_interrupt(resp.data, resp.len);  // does not decide the outcome
        return acked;
    });
    return out;
}

ControlRead abort_step(void* handle, _ecr_transaction_report* report, _ecr_transaction_report* decided,
                       bool in_payment)
{
    PosHandle* h = static_cast<PosHandle*>(handle);
    if (h == nullptr)
        return {SE_PARAM, FinalStep::None};
    ControlRead out{SE_OK, FinalStep::None};
    out.status = pos_guard(nullptr, [&] {
        PosSession s(h, "send_receive_abort", PosSession::kQuiet, PosWake::Never);
        PosMsg req, resp;
        // In a payment, a final response that came meanwhile is the answer.
        if (!in_payment)
            s.drop_stale();
        if (unsigned int e = header_request(req, "PUR11."))
            return e;
        if (unsigned int e = s.send(req))
            return e;
        // No ACK wait: the terminal's ACK is skipped while the answer is awaited.
        const Deadline answer_by = s.response_deadline();
        for (;;) {
            if (s.read(resp, answer_by) != SE_OK)
                return static_cast<unsigned int>(SE_READ);
            if (!is_text_message(resp.data, resp.len))
                break;
            store_text_message(resp.data, resp.len, report);  // without a report nothing is stored
            s.ack(0);
            // In a payment the terminal's text (a prompt that crossed the
            // request) is the payment's: the abort's answer is still to come.
            if (!in_payment)
                return static_cast<unsigned int>(SE_MESSAGE);
        }
        if (unsigned int e = s.check(resp, "PUR12", 5, nullptr))
            return e;
        // The purchase's final response: the abort came too late, or the
        // terminal declined as it took the abort.
        if (decided != nullptr && has_response_code(resp)) {
            out = crossed_final(s, resp, decided);
            return out.status;
        }
        const unsigned int acked = s.ack(0);
        if (unsigned int e = header_request(req, "PUR13."))
            return e;
        if (unsigned int e = s.confirm(req, CONTROL_ACK))
            return e;
        return acked;
    });
    return out;
}

unsigned int send_receive_interrupt(void* handle) { return interrupt_step(handle, nullptr, nullptr, false).status; }

unsigned int send_receive_abort(void* handle, _ecr_transaction_report* report)
{
    return abort_step(handle, report, nullptr, false).status;
}
