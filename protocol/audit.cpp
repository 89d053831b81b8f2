// Audit (the one multi-packet service exchange) and the X report.
#include "protocol/audit.h"

#include <cstddef>
#include <cstring>
#include <new>

#include "Logging/log.h"
#include "compat/compat.h"
#include "protocol/service_fields.h"
#include "transport/transport.h"

// Records of the audit carry the exported function's name.
#define AUDIT_REC(level)         \
    if (!el::get_logging()) {    \
    } else                       \
        GetLogObject(level) << "[pos_audit_request:" << __LINE__ << "] "

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
        const int written = h->transport->Write(kConfirmation, sizeof(kConfirmation));
        LOGDUMP(kConfirmation, sizeof(kConfirmation), "SEND TO TERMINAL");
        if (written == static_cast<int>(sizeof(kConfirmation)) || written == -1)
            return true;
        if (deadline.passed())
            return false;
        Sleep(1);
    }
}

unsigned int run_audit(PosHandle* h, std::vector<_ecr_audit_report>* records, char* parameter)
{
    unsigned char request[POS_MAX_MESSAGE];
    unsigned int request_len = 0;
    const unsigned int built = ecr_build_audit_request(request, &request_len, parameter);
    if (built != SE_OK) {
        AUDIT_REC(LOG_ERROR) << " ecr_build_audit_request fail, code[" << built << "]";
        return built;
    }
    char expected[3];
    std::memcpy(expected, request, 3);
    const unsigned int sent = pos_write_packet(h, request, request_len);
    if (sent != SE_OK) {
        AUDIT_REC(LOG_ERROR) << " pos_write_packet fail, code[" << sent << "]";
        return sent;
    }
    unsigned char last = 0;
    if (pos_sx_wait_ack(h, Deadline::in_ms(5000), &last) != SE_OK) {
        AUDIT_REC(LOG_ERROR) << " Received data is not ACK[" << static_cast<char>(last) << "]";
        return SE_EXEC;
    }

    records->clear();
    size_t counter = 0;
    unsigned char packet[POS_MAX_MESSAGE];
    for (;;) {
        unsigned int len = 0;
        const unsigned int read =
            pos_sx_read_response(h, packet, &len, Deadline::in_s(h->response_timeout), __func__, nullptr);
        if (read != SE_OK) {
            AUDIT_REC(LOG_ERROR) << " pos_read_packet fail, code[" << read << "]";
            return SE_READ;
        }
        if (len < 5 || !pos_sx_same(packet, expected, 3) ||
            !(pos_sx_same(packet + 3, "11", 2) || pos_sx_same(packet + 3, "12", 2))) {
            AUDIT_REC(LOG_ERROR) << " Uncorrect message! return SE_SYNTAX";
            return SE_SYNTAX;
        }
        if (!write_confirmation(h))
            return SE_WRITE;
        const unsigned char status = len > 6 ? packet[6] : 0;
        if (status == '2')
            return SE_REPLY2;
        if (status == '3')
            return SE_REPLY3;
        if (counter > kMaxRecords - 1)
            return SE_SYNTAX;
        records->push_back(_ecr_audit_report{});
        _ecr_audit_report& record = records->back();
        ecr_parse_audit_response(packet, len, &record);
        ++counter;
        if (pos_sx_same(reinterpret_cast<const unsigned char*>(record.record_number), record.record_count, 4))
            return SE_OK;
    }
}

unsigned int build_x_report(unsigned char* buf, unsigned int* len, const void*)
{
    return pos_x_report_print_request(buf, len);
}

unsigned int decode_x_report(unsigned char* msg, unsigned int len, void*)
{
    return pos_x_report_print_responce(msg, len);
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
    if (!handle)
        return SE_PARAM;
    SingleExchange ex;
    ex.caller = __func__;
    ex.build = build_x_report;
    ex.builder_name = "pos_x_report_print_request";
    ex.read_attempt_record = "for []";
    ex.decode = decode_x_report;
    return pos_single_exchange(handle, ex);
}
