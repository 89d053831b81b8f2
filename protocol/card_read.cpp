// Card and PIN reads and the two exchanges of the card-check purchase.  The
// reads are single-response exchanges; the card-belonging notice is the one
// exchange here in which the terminal speaks first.
#include "protocol/card_read.h"

#include <cstring>

#include "Logging/log.h"
#include "compat/compat.h"
#include "protocol/message.h"
#include "protocol/pos_handle.h"
#include "protocol/service_fields.h"
#include "protocol/single_exchange.h"

namespace {

// Card read kinds.
constexpr unsigned char MODE_DISCOUNT = 1;
constexpr unsigned char MODE_FUEL = 2;

// Field widths of the card-read record.
constexpr unsigned int TRACK1_MAX = 100;
constexpr unsigned int TRACK2_MAX = 100;
constexpr unsigned int TRACK3_MAX = 110;
constexpr unsigned int HASH_MAX = 100;
constexpr unsigned int PIN_MAX = 6;

constexpr unsigned int BELONGING_NOTICE_ACK_PAUSE_MS = 100;
constexpr unsigned int BELONGING_REPLY_PAUSE_MS = 800;

bool wait_is_sent(unsigned char mode, unsigned char wait) { return mode == MODE_DISCOUNT && wait >= 1 && wait <= 99; }

// Length of the next field, whether or not it fits a scratch area.
unsigned int next_field_length(const unsigned char* cursor, unsigned int remaining)
{
    const void* sep = std::memchr(cursor, FS, remaining);
    return sep ? static_cast<unsigned int>(static_cast<const unsigned char*>(sep) - cursor) : remaining;
}

// ---- card read ----

struct CrdRequest {
    unsigned char mode;
    unsigned char wait;
};

unsigned int build_crd(unsigned char* buf, unsigned int* len, const void* ctx)
{
    const CrdRequest* r = static_cast<const CrdRequest*>(ctx);
    return ecr_build_crd_request(buf, len, r->mode, r->wait);
}

unsigned int decode_crd(unsigned char* msg, unsigned int len, void* out)
{
    return ecr_parse_crd_response(msg, len, static_cast<_ecr_mread_report*>(out));
}

// ---- PIN read ----

unsigned int build_pin(unsigned char* buf, unsigned int* len, const void* ctx)
{
    const unsigned char parameter = *static_cast<const unsigned char*>(ctx);
    svc_begin(buf, "APP10.");
    // A parameter above 99 gives a character beyond "9" in the first position.
    buf[6] = static_cast<unsigned char>('0' + parameter / 10);
    buf[7] = static_cast<unsigned char>('0' + parameter % 10);
    buf[8] = FS;
    *len = 9;
    return SE_OK;
}

unsigned int mark_pin_report(const unsigned char* msg, unsigned int len, void* ctx)
{
    _ecr_transaction_report* report = static_cast<_ecr_transaction_report*>(ctx);
    report->TrxType = 34;
    std::memcpy(report->OpTag, msg, 3);
    report->OpTag[3] = 0;
    return SE_OK;
}

// Runs after the ACK of the response: a short answer is SE_SYNTAX, a PIN
// field longer than 6 characters SE_SIZE.
unsigned int decode_pin(unsigned char* msg, unsigned int len, void* out)
{
    _ecr_transaction_report* report = static_cast<_ecr_transaction_report*>(out);
    if (len < 8)
        return SE_SYNTAX;
    unsigned char scratch[SVC_SCRATCH];
    unsigned int field_len = 0;
    const unsigned int cut = svc_cut_first(msg, len, scratch, &field_len);
    if (cut == SE_SIZE)
        return SE_SIZE;  // longer than the scratch area, so longer than 6 as well
    if (cut != SE_OK)
        return SE_OK;    // no field: nothing copied
    if (field_len > PIN_MAX)
        return SE_SIZE;
    std::memset(report->PinResult, 0, sizeof report->PinResult);
    std::memcpy(report->PinResult, scratch, field_len);
    return SE_OK;
}

// ---- completion decision ----

unsigned int build_completion(unsigned char* buf, unsigned int* len, const void* ctx)
{
    const unsigned int complete = *static_cast<const unsigned int*>(ctx);
    svc_begin(buf, "PCC14.");
    buf[6] = complete != 0 ? '1' : '2';
    buf[7] = FS;
    *len = 8;
    return SE_OK;
}

}  // namespace

unsigned int ecr_build_crd_request(unsigned char* buffer, unsigned int* length, unsigned char mode, unsigned char wait)
{
    if (buffer == nullptr || length == nullptr)
        return SE_PARAM;
    svc_begin(buffer, mode == MODE_DISCOUNT ? "DCR10." : mode == MODE_FUEL ? "ACR10." : "CRD10.");
    buffer[6] = FS;
    unsigned int n = 7;
    if (wait_is_sent(mode, wait)) {
        buffer[n++] = static_cast<unsigned char>('0' + wait / 10);
        buffer[n++] = static_cast<unsigned char>('0' + wait % 10);
    }
    *length = n;
    return SE_OK;
}

unsigned int ecr_parse_crd_response(unsigned char* message, unsigned int length, _ecr_mread_report* report)
{
    if (message == nullptr || report == nullptr)
        return SE_PARAM;
    if (length < 8)
        return SE_SYNTAX;
    try {
        std::memset(report, 0, sizeof *report);
        static const struct {
            const char* code;
            uint16_t operation;
        } kinds[] = {{"CRD", 3}, {"ACR", 33}, {"DSC", 4}, {"DCR", 29}, {"GRC", 31}};
        for (const auto& k : kinds) {
            if (pos_sx_same(message, k.code, 3)) {
                report->operation = k.operation;
                break;
            }
        }
        if (report->operation == 0)
            return SE_SYNTAX;
        std::memcpy(report->message_code, message, 3);
        if (!pos_sx_same(message + 3, "11.", 3))
            return SE_SYNTAX;

        unsigned char* cursor = message + 6;
        unsigned int remaining = length - 6;
        unsigned char scratch[SVC_SCRATCH];
        struct Target {
            char* dest;
            unsigned int max;
            const char* name;
        };
        const Target targets[] = {{report->track1, TRACK1_MAX, "track1"},
                                  {report->track2, TRACK2_MAX, "track2"},
                                  {report->track3, TRACK3_MAX, "track3"},
                                  {report->sha1hash, HASH_MAX, "sha1hash"}};
        for (const Target& t : targets) {
            if (remaining == 0)
                continue;  // no field left: skipped
            const unsigned int field_len = next_field_length(cursor, remaining);
            if (field_len > t.max) {
                LOGREC(LOG_ERROR) << " Incorrect field size " << t.name << " [" << field_len << "]";
                return SE_SIZE;
            }
            unsigned int cut_len = 0;
            if (svc_cut(&cursor, &remaining, scratch, &cut_len) != SE_OK)
                continue;
            std::memcpy(t.dest, scratch, cut_len);
        }
        return SE_OK;
    } catch (...) {
        return SE_FAIL;
    }
}

extern "C" {

unsigned int pos_magnetic_read(void* handle, _ecr_mread_report* report, unsigned char mode, unsigned char wait)
{
    if (handle == nullptr || report == nullptr)
        return SE_PARAM;
    CrdRequest request{mode, wait};
    SingleExchange ex;
    ex.caller = __func__;
    ex.build = build_crd;
    ex.build_ctx = &request;
    ex.builder_name = "ecr_build_crd_request";
    if (wait_is_sent(mode, wait))
        ex.response_timeout_s = wait + 5;
    ex.syntax_text = nullptr;  // a code or number mismatch is not logged
    ex.decode = decode_crd;
    ex.decode_out = report;
    return pos_single_exchange(handle, ex);
}

unsigned int pos_pin_read(void* handle, _ecr_transaction_report* report, unsigned char parameter,
                          unsigned short wait_seconds)
{
    if (handle == nullptr || report == nullptr)
        return SE_PARAM;
    SingleExchange ex;
    ex.caller = __func__;
    ex.quiet = true;
    ex.build = build_pin;
    ex.build_ctx = &parameter;
    ex.response_timeout_s = wait_seconds;
    ex.after_match = mark_pin_report;
    ex.hook_ctx = report;
    ex.decode = decode_pin;
    ex.decode_out = report;
    ex.report_decoder_status = true;
    return pos_single_exchange(handle, ex);
}

unsigned int pos_read_card_belonging(void* handle, unsigned short* belonging)
{
    if (belonging == nullptr)
        return SE_PARAM;
    *belonging = '5';
    if (handle == nullptr)
        return SE_PARAM;
    try {
        PosHandle* h = static_cast<PosHandle*>(handle);
        unsigned char buf[POS_MAX_MESSAGE];
        unsigned int len = 0;
        if (pos_sx_read_response(h, buf, &len, Deadline::in_s(h->response_timeout), __func__, nullptr) != SE_OK)
            return SE_READ;

        Sleep(BELONGING_NOTICE_ACK_PAUSE_MS);
        if (!pos_sx_send_ack(h))
            return SE_WRITE;

        if (len < 6 || !pos_sx_same(buf, "PCC12.", 6))
            return SE_SYNTAX;
        const bool is_33 = len >= 8 && buf[6] == '3' && buf[7] == '3';
        if (is_33 && len >= 10 && (buf[9] == '1' || buf[9] == '2'))
            *belonging = buf[9];

        unsigned char reply[6];
        std::memcpy(reply, buf, 3);
        std::memcpy(reply + 3, "13.", 3);
        Sleep(BELONGING_REPLY_PAUSE_MS);
        const unsigned int sent = pos_write_packet(h, reply, sizeof reply);
        if (sent != SE_OK) {
            *belonging = '5';
            return sent;
        }
        if (pos_sx_wait_ack(h, Deadline::in_s(h->response_timeout), nullptr) != SE_OK) {
            *belonging = '5';
            return SE_EXEC;
        }
        return SE_OK;
    } catch (...) {
        *belonging = '5';
        return SE_FAIL;
    }
}

unsigned int pos_sent_tran_completion(void* handle, unsigned int complete)
{
    SingleExchange ex;
    ex.caller = __func__;
    ex.quiet = true;
    ex.build = build_completion;
    ex.build_ctx = &complete;
    ex.expected = "PCC15";
    ex.expected_len = 5;
    return pos_single_exchange(handle, ex);
}

}  // extern "C"
