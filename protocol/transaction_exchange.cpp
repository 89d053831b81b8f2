// The long exchange of a payment operation: request, ACK, first answer, then
// wait notices, text messages and notices until the final response, which
// the library acknowledges after 100 ms, confirms after 5 s and decodes.
#include "protocol/transaction_exchange.h"

#include <cstring>
#include <mutex>

#include "Logging/log.h"
#include "compat/compat.h"
#include "protocol/pos_handle.h"
#include "protocol/request_encoder.h"
#include "protocol/response_decoder.h"
#include "protocol/transaction_rules.h"
#include "protocol/operation_table.h"
#include "protocol/pos_session.h"
#include "protocol/link_error.h"

// A record of an internal step under the name of the exported function it
// belongs to (LOGREC would give the helper's own name).
#define LOGREC_AS(level, name)    \
    if (!el::get_logging()) {     \
    } else                        \
        GetLogObject(level) << "[" << (name) << ":" << __LINE__ << "] "

namespace {

constexpr const char* INIT_NAME = "pos_init_transaction";
constexpr const char* REPORT_NAME = "pos_read_transaction_report";

// The terminal's last packet; the final response is decoded from it.  It
// holds the longest final response, not only 16383 bytes.
unsigned char data_buf[POS_MAX_RESPONSE];
unsigned int data_len = 0;
// The request being sent by pos_init_transaction, then its first answer.
PosMsg request_msg;

// data_buf and request_msg belong to one transaction exchange at a time: each
// of the two functions holds this lock for its whole run, and a second caller
// that finds it taken is refused at once with SE_EXEC.
std::mutex g_exchange_lock;

constexpr unsigned int ACK_PAUSE_MS = 100;
constexpr unsigned int CONFIRM_PAUSE_MS = 5000;

// The records of the two halves when a step fails.
const PosSession::Texts kInitTexts = {" pos_write_packet error[", "Received ack[", "]", nullptr};
const PosSession::Texts kReportTexts = {nullptr, "Readed[", "] return SE_EXEC", nullptr};

// A session of the payment: the raised interrupt flag stops its waits.
PosSession payment_session(PosHandle* h, const char* who, const PosSession::Texts& texts)
{
    return PosSession(h, who, texts, PosWake::OnInterrupt, PosSession::OnInterrupt::Stop);
}

enum class LoopEnd { Accepted, Nothing, Interrupted, AckFailed, TooLong };

// Read packets into data_buf until a message other than a wait notice comes.
// Wait notices are acknowledged after 100 ms and move the deadline to their
// minutes from now.  *last_status gets the last status of pos_read_packet.
LoopEnd read_response(PosSession& s, unsigned int* last_status)
{
    PosHandle* h = s.handle();
    std::memset(data_buf, 0, sizeof data_buf);
    data_len = 0;
    Deadline deadline = s.response_deadline();
    while (!deadline.passed()) {
        unsigned int len = 0;
        const unsigned int status = pos_link_read_frame(h, data_buf, sizeof data_buf, &len, deadline);
        *last_status = status;
        if (status == SE_SIZE)
            return LoopEnd::TooLong;  // refused, not acknowledged: the exchange is over
        if (status != SE_OK) {
            // A read that the raised flag stopped brings no message at all.
            if (h->interrupt.load() != 0)
                return LoopEnd::Interrupted;
            if (h->gone != LinkGone::No)
                return LoopEnd::Nothing;  // nothing more can come; the link error says why
            Sleep(1);  // a link that fails at once must not make this loop spin
            continue;
        }
        data_len = len < sizeof data_buf ? len : sizeof data_buf;
        // A final response that has been read is taken even when the flag
        // came meanwhile: what the terminal said is never dropped.  (A read
        // that the flag stopped brings no message at all.)
        const bool intermediate = data_len == 0 || is_wait_notice(data_buf, data_len) ||
                                  is_text_message(data_buf, data_len) || is_progress_notice(data_buf, data_len);
        if (h->interrupt.load() != 0 && intermediate)
            return LoopEnd::Interrupted;
        if (!is_wait_notice(data_buf, data_len))
            return LoopEnd::Accepted;

        if (s.ack(ACK_PAUSE_MS) != SE_OK) {
            LOGREC_AS(LOG_ERROR, REPORT_NAME) << "Can't write ACK error[" << s.ack_written() << "] return SE_WRITE";
            return LoopEnd::AckFailed;
        }
        unsigned int minutes = 0;
        if (wait_notice_minutes(data_buf, data_len, &minutes))
            deadline = Deadline::in_minutes(minutes);
    }
    link_error_set("no answer within %u s", static_cast<unsigned int>(h->response_timeout));
    return LoopEnd::Nothing;
}

// The final response decoded into the report.  The two-step operations (those
// not confirmed with "13.") end with a response numbered 11; it carries the
// fields of a final response and is decoded as one.
FinalDecode decode_final(_ecr_transaction_report* report)
{
    const bool numbered_11 = data_len >= 6 && data_buf[3] == '1' && data_buf[4] == '1' && data_buf[5] == '.';
    if (numbered_11 && op_confirm_rule(data_buf) != OpConfirm::Thirteen) {
        data_buf[4] = '2';
        const FinalDecode decoded = ecr_decode_final(data_buf, data_len, report);
        data_buf[4] = '1';  // the confirmation is built from the number as received
        return decoded;
    }
    return ecr_decode_final(data_buf, data_len, report);
}

InitRead init_transaction(PosHandle* h, _init_transaction_request* request)
{
    InitRead out{SE_OK, RequestStep::NotWritten, false};
    PosSession s = payment_session(h, INIT_NAME, kInitTexts);
    PosMsg& req = request_msg;
    std::memset(req.data, 0, sizeof req.data);
    out.status = ecr_build_init_transaction(req.data, &req.len, request);
    if (out.status != SE_OK) {
        LOGREC_AS(LOG_ERROR, INIT_NAME) << " ecr_build_init_transaction error[" << out.status << "]";
        return out;
    }
    // The request's message code; the first answer must carry the same.
    char code[4] = {0};
    std::memcpy(code, req.data, 3);
    s.drop_stale();
    if ((out.status = s.send(req)) != SE_OK)
        return out;
    out.step = RequestStep::Written;
    out.status = s.expect_ack(s.response_deadline());
    out.interrupted = s.interrupted();
    if (out.interrupted) {
        LOGREC_AS(LOG_TRACE, INIT_NAME) << "Interapted! return SE_OK";
        out.status = SE_OK;
        return out;
    }
    // No ACK, but a frame after the request: the terminal may well have
    // taken it, so the request cannot count as not sent.
    if (out.status != SE_OK && !s.frame_seen())
        return out;
    out.step = RequestStep::Accepted;
    if (out.status != SE_OK) {
        // Says in the log which of the two it was: a reader of the log
        // sees only the last byte of the wait.
        LOGREC_AS(LOG_ERROR, INIT_NAME) << "Frame received instead of ack, the request may have been taken";
        return out;
    }
    // The first answer is read into the request buffer, which is free now.
    PosMsg& answer = request_msg;
    const bool got = s.read(answer, s.response_deadline()) == SE_OK;
    out.interrupted = s.interrupted();
    if (out.interrupted || !got) {
        out.status = out.interrupted ? SE_OK : SE_READ;
        return out;
    }
    const bool same_code = answer.starts_with(code, 3);
    const unsigned char number = answer.at(4);
    const bool first_number = answer.len >= 5 && answer.at(3) == '1' && (number == '1' || number == '3' || number == '5');
    out.status = (!same_code || !first_number) ? SE_SYNTAX : s.ack(0);
    return out;
}

// The final response in data_buf: decoded first; only a response that was
// understood is confirmed (after 5 s), so the terminal keeps no payment the
// cash desk could not read.
ReportRead conclude_final(PosSession& s, _ecr_transaction_report* report)
{
    PosHandle* h = s.handle();
    const FinalDecode decoded = decode_final(report);
    // A settlement of fewer currencies than the layout holds ends early.
    if (!decoded.usable && !(decoded.status == SE_PARAM && report->TrxType == 38)) {
        LOGREC_AS(LOG_ERROR, REPORT_NAME) << "Final response not decoded[" << decoded.status << "] no confirmation";
        return {SE_SYNTAX, FinalStep::Undecodable};
    }
    // The terminal decided and said so: a text too long for its field does
    // not undo that.  The fields from it on stay empty.
    if (decoded.oversized_field != 0) {
        LOGREC_AS(LOG_ERROR, REPORT_NAME) << "Final response field[" << decoded.oversized_field
                                          << "] too long, left empty with the fields after it";
    }
    unsigned char confirmation[6];
    build_confirmation(data_buf, data_len, confirmation);
    Sleep(CONFIRM_PAUSE_MS);
    // The terminal has answered: a cancel that came after its final response
    // is too late and must not cut the confirmation short.
    h->interrupt.store(0);
    if (const unsigned int e = s.send(confirmation, sizeof confirmation))
        return {e, FinalStep::Decoded};
    unsigned int status = s.expect_ack(s.response_deadline());
    if (s.interrupted()) {
        LOGREC_AS(LOG_INFO, REPORT_NAME) << "Read was interrapted -> exit from read";
        // The confirmation is out and cannot be taken back: its ACK is
        // still awaited for the packet time-out, so that a cancel at this
        // moment does not turn a confirmed payment into an unknown one.
        status = s.expect_ack(Deadline::in_s(h->packet_timeout).sooner(s.response_deadline()), PosWake::Never);
    }
    if (status == SE_OK)
        return {SE_OK, FinalStep::Confirmed};
    return {SE_EXEC, FinalStep::Decoded};
}

ReportRead read_transaction_report(PosHandle* h, _ecr_transaction_report* report)
{
    const FinalStep none = FinalStep::None;
    PosSession s = payment_session(h, REPORT_NAME, kReportTexts);
    unsigned int last_status = SE_READ;
    switch (read_response(s, &last_status)) {
    case LoopEnd::Interrupted:
        return {SE_OK, none};
    case LoopEnd::AckFailed:
        return {SE_WRITE, none};
    case LoopEnd::TooLong:
        return {SE_SIZE, FinalStep::Undecodable};
    case LoopEnd::Nothing:
        return {SE_READ, none};
    case LoopEnd::Accepted:
        break;
    }

    if (s.ack(ACK_PAUSE_MS) != SE_OK)
        return {SE_WRITE, none};

    if (is_text_message(data_buf, data_len)) {
        store_text_message(data_buf, data_len, report);
        return {SE_MESSAGE, none};
    }

    if (is_progress_notice(data_buf, data_len)) {
        // The packet that follows the notice is acknowledged but not decoded.
        switch (read_response(s, &last_status)) {
        case LoopEnd::Interrupted:
            return {SE_OK, none};
        case LoopEnd::AckFailed:
            return {SE_WRITE, none};
        case LoopEnd::TooLong:
            return {SE_SIZE, FinalStep::Undecodable};
        case LoopEnd::Nothing:
            LOGREC_AS(LOG_ERROR, REPORT_NAME) << "Can't read packet error[" << last_status << "] return SE_READ";
            return {SE_READ, none};
        case LoopEnd::Accepted:
            break;
        }
        if (s.ack(ACK_PAUSE_MS) != SE_OK) {
            LOGREC_AS(LOG_ERROR, REPORT_NAME) << "Can't write ACK error[" << s.ack_written() << "] return SE_WRITE";
            return {SE_WRITE, none};
        }
        return {SE_MESSAGE, none};
    }

    return conclude_final(s, report);
}

// Both entry points: the arguments are checked, one exchange runs at a time
// in the process, and no exception leaves.  failed(status) makes the result.
template <class Record, class Result>
Result guarded(const char* name, void* handle, Record* record, Result (*run)(PosHandle*, Record*),
               Result (*failed)(unsigned int))
{
    try {
        if (handle == nullptr || record == nullptr) {
            LOGREC_AS(LOG_ERROR, name) << (handle == nullptr ? " NULL pos_handle " : "")
                                       << (record == nullptr ? " NULL ecr_init_request " : "");
            return failed(SE_PARAM);
        }
        std::unique_lock<std::mutex> lock(g_exchange_lock, std::try_to_lock);
        if (!lock.owns_lock()) {
            LOGREC_AS(LOG_ERROR, name) << " transaction exchange busy, return SE_EXEC";
            return failed(SE_EXEC);
        }
        return run(static_cast<PosHandle*>(handle), record);
    } catch (...) {
        return failed(SE_FAIL);
    }
}

InitRead init_failed(unsigned int status) { return {status, RequestStep::NotWritten, false}; }
ReportRead report_failed(unsigned int status) { return {status, FinalStep::None}; }

}  // namespace

InitRead init_transaction_step(void* handle, _init_transaction_request* request)
{
    return guarded("pos_init_transaction", handle, request, init_transaction, init_failed);
}

ReportRead read_transaction_report_step(void* handle, _ecr_transaction_report* report)
{
    return guarded("pos_read_transaction_report", handle, report, read_transaction_report, report_failed);
}

extern "C" {

unsigned int pos_init_transaction(void* handle, _init_transaction_request* request)
{
    return init_transaction_step(handle, request).status;
}

unsigned int pos_read_transaction_report(void* handle, _ecr_transaction_report* report)
{
    return read_transaction_report_step(handle, report).status;
}

}  // extern "C"
