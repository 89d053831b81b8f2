// The steps of an exchange, written once.
#include "protocol/pos_session.h"

#include <cctype>
#include <cstring>

#include "Logging/log.h"
#include "protocol/message.h"
#include "protocol/link_error.h"

// A record of the session under the exchange's name, while logging is on
// (a one-pass loop, as LOGREC, so that it can follow an if).
#define SESSION_REC(level)                                                          \
    for (bool session_record_once = el::get_logging(); session_record_once; session_record_once = false) \
    GetLogObject(level) << "[" << m_who << ":" << __LINE__ << "] "
// An information record composed whether logging is on or off.
#define SESSION_NOTE GetLogObject(LOG_INFO) << "[" << m_who << ":" << __LINE__ << "] "

const PosSession::Texts PosSession::kServiceTexts = {" pos_write_packet fail, code[", " Received data is not ACK[", "]",
                                                     " pos_read_packet fail, code["};
const PosSession::Texts PosSession::kQuiet = {nullptr, nullptr, nullptr, nullptr};

bool PosMsg::starts_with(const char* text, unsigned int n) const
{
    return len >= n && same_text_nocase(data, text, n);
}

PosSession::PosSession(PosHandle* h, const char* who, const Texts& texts, PosWake wake, OnInterrupt policy)
    : m_h(h), m_who(who), m_texts(texts), m_wake(wake), m_policy(policy)
{
}

unsigned int PosSession::built(unsigned int status, const char* builder)
{
    if (status != SE_OK)
        SESSION_REC(LOG_ERROR) << " " << builder << " fail, code[" << status << "]";
    return status;
}

unsigned int PosSession::send(const unsigned char* bytes, unsigned int n)
{
    const unsigned int status = pos_write_packet(m_h, const_cast<unsigned char*>(bytes), n);
    if (status != SE_OK && m_texts.send_failed != nullptr)
        SESSION_REC(LOG_ERROR) << m_texts.send_failed << status << "]";
    return status;
}

unsigned int PosSession::expect_ack(Deadline d, PosWake wake)
{
    m_interrupted = false;
    pos_link_wait_ack(m_h, d, wake, &m_ack);
    if (m_ack.interrupted && m_policy == OnInterrupt::Stop) {
        m_interrupted = true;
        return SE_EXEC;
    }
    LOGDUMP(&m_ack.last, 1, "RECV FROM TERMINAL");
    if (m_ack.last == ACK)
        return SE_OK;
    // Not a byte came: the application must be able to tell this from a
    // terminal that answered with a refusal.
    if (!m_ack.interrupted && !m_ack.frame_seen && m_ack.last == 0 && m_h->gone == LinkGone::No)
        link_error_set("no answer within %u s", static_cast<unsigned>(d.span_s()));
    if (m_texts.no_ack != nullptr)
        SESSION_REC(LOG_ERROR) << m_texts.no_ack << static_cast<char>(m_ack.last) << m_texts.no_ack_tail;
    return SE_EXEC;
}

unsigned int PosSession::read(PosMsg& out, Deadline d)
{
    std::memset(out.data, 0, sizeof out.data);
    out.len = 0;
    m_interrupted = false;
    if (m_h->transport == nullptr)
        return SE_PARAM;
    unsigned int status = SE_READ;
    while (!d.passed()) {
        if (m_attempt_note != nullptr)
            SESSION_NOTE << m_attempt_note;
        unsigned int got = 0;
        status = pos_link_read_frame(m_h, out.data, POS_MAX_READ_MESSAGE, &got, d, m_wake);
        if (m_policy == OnInterrupt::Stop && m_h->interrupt.load() != 0) {
            m_interrupted = true;
            return SE_OK;
        }
        if (status == SE_OK) {
            out.len = got;
            return SE_OK;
        }
        if (m_h->gone != LinkGone::No)
            return status;  // a dead link: the link error says why
    }
    // The payment's worker names its own failures.
    if (m_policy == OnInterrupt::Fail)
        link_error_set("no answer within %llu s", static_cast<unsigned long long>(d.span_s()));
    return status;
}

unsigned int PosSession::missed(unsigned int status)
{
    if (m_failure_notes)
        SESSION_NOTE << "pos_read_packet fail 1";
    if (m_texts.no_answer != nullptr)
        SESSION_REC(LOG_ERROR) << m_texts.no_answer << status << "]";
    return SE_READ;
}

unsigned int PosSession::check(const PosMsg& m, const char* prefix, unsigned int n, const char* mismatch)
{
    if (m.starts_with(prefix, n))
        return SE_OK;
    if (m_failure_notes)
        SESSION_NOTE << "pos_read_packet fail 2";
    if (mismatch != nullptr)
        SESSION_REC(LOG_ERROR) << mismatch;
    return SE_SYNTAX;
}

unsigned int PosSession::receive(PosMsg& out, const char* prefix, unsigned int n, Deadline d, const char* mismatch)
{
    const unsigned int status = read(out, d);
    if (status != SE_OK)
        return missed(status);
    return check(out, prefix, n, mismatch);
}

unsigned int PosSession::check(const PosMsg& m, const PosMsg& request, const char* mismatch)
{
    char expected[5];
    std::memcpy(expected, request.data, 3);
    std::memcpy(expected + 3, "11", 2);
    return check(m, expected, sizeof expected, mismatch);
}

unsigned int PosSession::receive(PosMsg& out, const PosMsg& request, Deadline d, const char* mismatch)
{
    const unsigned int status = read(out, d);
    if (status != SE_OK)
        return missed(status);
    return check(out, request, mismatch);
}

unsigned int PosSession::ack(unsigned int pause_ms)
{
    if (pause_ms != 0)
        Sleep(pause_ms);
    m_ack_written = pos_link_send_ack(m_h);
    if (m_ack_written == 1)
        return SE_OK;
    if (m_ack_written < 0)
        pos_link_dead(m_h);  // a link that is gone says why (the reason names it)
    return SE_WRITE;
}

unsigned int PosSession::confirm(const unsigned char* bytes, unsigned int n, Span ack_within)
{
    const unsigned int status = send(bytes, n);
    if (status != SE_OK)
        return status;
    return expect_ack(ack_within.from_now());
}

unsigned int PosSession::ask(const PosMsg& request, PosMsg& answer, const char* mismatch)
{
    if (unsigned int e = confirm(request, POS_SERVICE_ACK))
        return e;
    return receive(answer, request, response_deadline(), mismatch);
}

void pos_record_exception(const char* who) noexcept
{
    if (who == nullptr)
        return;
    try {
        if (el::get_logging())
            GetLogObject(LOG_ERROR) << "[" << who << ":" << __LINE__ << "] " << " exception, return SE_FAIL";
    } catch (...) {
    }
}
