// Interrupt (IRT10.) and abort (PUR11. / PUR13.) of a running transaction.
// Both run on the caller's thread with a buffer of their own; neither looks
// at the handle's interrupt flag (their reads are not woken by it: the
// interrupt exchange runs while the flag is raised to stop the payment).
#include "protocol/interrupt_abort.h"

#include <cstring>

#include "Logging/log.h"
#include "protocol/message.h"
#include "protocol/pos_handle.h"
#include "protocol/pos_session.h"
#include "protocol/transaction_rules.h"

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

}  // namespace

unsigned int send_receive_interrupt(void* handle)
{
    PosHandle* h = static_cast<PosHandle*>(handle);
    if (h == nullptr)
        return SE_PARAM;
    const char* who = __func__;
    return pos_guard(nullptr, [&] {
        PosSession s(h, who, PosSession::kServiceTexts, PosWake::Never);
        PosMsg req, resp;
        if (unsigned int e = s.built(header_request(req, "IRT10."), "build_request_header"))
            return e;
        s.drop_stale();
        if (unsigned int e = s.confirm(req, CONTROL_ACK))
            return e;
        if (unsigned int e = s.receive(resp, "IRT11", 5, s.response_deadline()))
            return e;
        const unsigned int acked = s.ack(0);
        (void)parse_response_interrupt(resp.data, resp.len);  // does not decide the outcome
        return acked;
    });
}

unsigned int send_receive_abort(void* handle, _ecr_transaction_report* report)
{
    PosHandle* h = static_cast<PosHandle*>(handle);
    if (h == nullptr)
        return SE_PARAM;
    return pos_guard(nullptr, [&] {
        PosSession s(h, "send_receive_abort", PosSession::kQuiet, PosWake::Never);
        PosMsg req, resp;
        s.drop_stale();
        if (unsigned int e = header_request(req, "PUR11."))
            return e;
        if (unsigned int e = s.send(req))
            return e;
        // No ACK wait: the terminal's ACK is skipped while the answer is awaited.
        if (s.read(resp, s.response_deadline()) != SE_OK)
            return static_cast<unsigned int>(SE_READ);
        if (is_text_message(resp.data, resp.len)) {
            store_text_message(resp.data, resp.len, report);  // without a report nothing is stored
            s.ack(0);
            return static_cast<unsigned int>(SE_MESSAGE);
        }
        if (unsigned int e = s.check(resp, "PUR12", 5, nullptr))
            return e;
        const unsigned int acked = s.ack(0);
        if (unsigned int e = header_request(req, "PUR13."))
            return e;
        if (unsigned int e = s.confirm(req, CONTROL_ACK))
            return e;
        return acked;
    });
}
