// Audit (the one multi-packet service exchange) and the X report.
#include "protocol/audit.h"

#include <cstddef>
#include <cstring>
#include <new>

#include "Logging/log.h"
#include "compat/compat.h"
#include "protocol/pos_session.h"
#include "protocol/service_fields.h"

namespace {

constexpr size_t kSelectionMax = 15;
constexpr size_t kMaxRecords = 10000;
// Audit record: header, status character, 77 bytes of fields (7..83).
constexpr unsigned int kRecordFirst = 7;
constexpr unsigned int kRecordEnd = 84;
// ACK followed by the framed message "AUD12." (check byte 0x7E).
constexpr unsigned char kConfirmation[10] = {ACK, STX, 'A', 'U', 'D', '1', '2', '.', ETX, 0x7E};

// Write the confirmation until the transport takes all ten bytes or reports an
// error; a transport that keeps taking less is given up on when the packet
// time-out has passed.
bool write_confirmation(PosHandle* h)
{
    const unsigned int limit_s = h->packet_timeout ? h->packet_timeout : 5;
    const Deadline deadline = Deadline::in_s(limit_s);
    for (;;) {
        const int written = pos_link_write(h, kConfirmation, sizeof(kConfirmation));
        LOGDUMP(kConfirmation, sizeof(kConfirmation), "SEND TO TERMINAL");
        if (written == static_cast<int>(sizeof(kConfirmation)) || written == -1)
            return true;
        if (deadline.passed())
            return false;
        Sleep(1);
    }
}

// One record packet after another, each confirmed, until the record whose
// number is the announced last one.
unsigned int run_audit(PosHandle* h, std::vector<_ecr_audit_report>* records, char* parameter)
{
    PosSession s(h, "pos_audit_request");
    PosMsg req, packet;
    if (unsigned int e = s.built(ecr_build_audit_request(req.data, &req.len, parameter), "ecr_build_audit_request"))
        return e;
    if (unsigned int e = s.confirm(req, POS_SERVICE_ACK))
        return e;
    // A record packet is numbered 11 (or 12) and carries the request's code.
    char numbered_11[5], numbered_12[5];
    std::memcpy(numbered_11, req.data, 3);
    std::memcpy(numbered_12, req.data, 3);
    std::memcpy(numbered_11 + 3, "11", 2);
    std::memcpy(numbered_12 + 3, "12", 2);

    records->clear();
    for (size_t counter = 0;; ++counter) {
        if (unsigned int e = s.read(packet, s.response_deadline()))
            return s.missed(e);
        if (!packet.starts_with(numbered_12, 5))
            if (unsigned int e = s.check(packet, numbered_11, 5, " Uncorrect message! return SE_SYNTAX"))
                return e;
        if (!write_confirmation(h))
            return SE_WRITE;
        if (packet.at(6) == '2')
            return SE_REPLY2;
        if (packet.at(6) == '3')
            return SE_REPLY3;
        if (counter > kMaxRecords - 1)
            return SE_SYNTAX;
        records->push_back(_ecr_audit_report{});
        _ecr_audit_report& record = records->back();
        ecr_parse_audit_response(packet.data, packet.len, &record);  // its status is not examined
        if (same_text_nocase(reinterpret_cast<const unsigned char*>(record.record_number), record.record_count, 4))
            return SE_OK;
    }
}

}  // namespace

unsigned int ecr_build_audit_request(unsigned char* buffer, unsigned int* length, char* parameter)
{
    if (!buffer || !length || !parameter)
        return SE_PARAM;
    const size_t n = strnlen(parameter, kSelectionMax + 1);
    if (n == 0 || n > kSelectionMax)
        return SE_PARAM;
    svc_begin(buffer, "AUD10.");
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(parameter[i]);
        buffer[6 + i] = (c < 0x20 || c >= 0x80) ? '?' : c;
    }
    buffer[6 + n] = FS;
    *length = static_cast<unsigned int>(7 + n);
    return SE_OK;
}

unsigned int ecr_parse_audit_response(unsigned char* message, unsigned int length, _ecr_audit_report* record)
{
    if (!message || !record)
        return SE_PARAM;
    if (length < 8)
        return SE_SYNTAX;
    std::memset(record, 0, sizeof(*record));
    if (!svc_head(message, "AUD", "11.") || (message[6] != '0' && message[6] != '1'))
        return SE_SYNTAX;
    // The fields follow each other from record_number on; a short packet
    // fills only what it carries.
    const unsigned int end = length < kRecordEnd ? length : kRecordEnd;
    unsigned char* fields = reinterpret_cast<unsigned char*>(record) + offsetof(_ecr_audit_report, record_number);
    static_assert(sizeof(_ecr_audit_report) - offsetof(_ecr_audit_report, record_number) == kRecordEnd - kRecordFirst,
                  "the record fields mirror message bytes 7..83");
    if (end > kRecordFirst)
        std::memcpy(fields, message + kRecordFirst, end - kRecordFirst);
    return SE_OK;
}

unsigned int pos_audit_request(void* handle, std::vector<_ecr_audit_report>* records, char* parameter)
{
    PosHandle* h = static_cast<PosHandle*>(handle);
    if (!h || !h->transport || !records)
        return SE_PARAM;
    try {
        return run_audit(h, records, parameter);
    } catch (const std::bad_alloc&) {
        return SE_NOMEM;
    } catch (...) {
        return SE_FAIL;
    }
}

unsigned int pos_x_report_print_request(unsigned char* buffer, unsigned int* length)
{
    if (!buffer || !length)
        return SE_PARAM;
    svc_begin(buffer, "NDX10.");
    *length = 6;
    return SE_OK;
}

unsigned int pos_x_report_print_responce(unsigned char* message, unsigned int length)
{
    if (!message)
        return SE_PARAM;
    if (length < 8)
        return SE_SYNTAX;
    return svc_head(message, "NDX", "11.") ? SE_OK : SE_SYNTAX;
}

unsigned int Pos_Print_X_Report(void* handle)
{
    PosHandle* h = static_cast<PosHandle*>(handle);
    if (!h || !h->transport)
        return SE_PARAM;
    const char* who = __func__;
    return pos_guard(who, [&] {
        PosSession s(h, who);
        s.note_attempts("for []");
        s.begin();
        PosMsg req, resp;
        if (unsigned int e = s.built(pos_x_report_print_request(req.data, &req.len), "pos_x_report_print_request"))
            return e;
        if (unsigned int e = s.ask(req, resp))
            return e;
        const unsigned int acked = s.ack(POS_SERVICE_PAUSE_MS);
        pos_x_report_print_responce(resp.data, resp.len);  // its status is not reported
        return acked;
    });
}
