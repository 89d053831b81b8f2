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
#include "protocol/pos_session.h"

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

// Runs after the ACK of the response: a short answer is SE_SYNTAX, a PIN
// field longer than 6 characters SE_SIZE.
unsigned int decode_pin(unsigned char* msg, unsigned int len, _ecr_transaction_report* report)
{
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
            if (same_text_nocase(message, k.code, 3)) {
                report->operation = k.operation;
                break;
            }
        }
        if (report->operation == 0)
            return SE_SYNTAX;
        std::memcpy(report->message_code, message, 3);
        if (!same_text_nocase(message + 3, "11.", 3))
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
    PosHandle* h = static_cast<PosHandle*>(handle);
    if (!h || !h->transport || !report)
        return SE_PARAM;
    const char* who = __func__;
    return pos_guard(who, [&] {
        PosSession s(h, who);
        s.begin();
        PosMsg req, resp;
        if (unsigned int e = s.built(ecr_build_crd_request(req.data, &req.len, mode, wait), "ecr_build_crd_request"))
            return e;
        if (unsigned int e = s.confirm(req, POS_SERVICE_ACK))
            return e;
        // A discount read waits for the card as long as it asked the terminal to.
        const Deadline answer_by = wait_is_sent(mode, wait) ? Deadline::in_s(wait + 5u) : s.response_deadline();
        if (unsigned int e = s.receive(resp, req, answer_by, nullptr))
            return e;
        const unsigned int acked = s.ack(POS_SERVICE_PAUSE_MS);
        ecr_parse_crd_response(resp.data, resp.len, report);  // its status is not reported
        return acked;
    });
}

unsigned int pos_pin_read(void* handle, _ecr_transaction_report* report, unsigned char parameter,
                          unsigned short wait_seconds)
{
    PosHandle* h = static_cast<PosHandle*>(handle);
    if (!h || !h->transport || !report)
        return SE_PARAM;
    return pos_guard(nullptr, [&] {
        PosSession s(h, "pos_pin_read", PosSession::kQuiet);
        s.begin();
        PosMsg req, resp;
        svc_begin(req.data, "APP10.");
        // A parameter above 99 gives a character beyond "9" in the first position.
        req.data[6] = static_cast<unsigned char>('0' + parameter / 10);
        req.data[7] = static_cast<unsigned char>('0' + parameter % 10);
        req.data[8] = FS;
        req.len = 9;
        if (unsigned int e = s.confirm(req, POS_SERVICE_ACK))
            return e;
        if (unsigned int e = s.receive(resp, req, Deadline::in_s(wait_seconds), nullptr))
            return e;
        report->TrxType = 34;
        std::memcpy(report->OpTag, resp.data, 3);
        report->OpTag[3] = 0;
        const unsigned int acked = s.ack(POS_SERVICE_PAUSE_MS);
        const unsigned int decoded = decode_pin(resp.data, resp.len, report);
        return decoded != SE_OK ? decoded : acked;
    });
}

unsigned int pos_read_card_belonging(void* handle, unsigned short* belonging)
{
    if (belonging == nullptr)
        return SE_PARAM;
    *belonging = '5';
    PosHandle* h = static_cast<PosHandle*>(handle);
    if (h == nullptr)
        return SE_PARAM;
    const unsigned int status = pos_guard(nullptr, [&] {
        // The terminal speaks first: its notice, our ACK, our reply, its ACK.
        PosSession s(h, "pos_read_card_belonging", PosSession::kQuiet);
        PosMsg notice;
        if (s.read(notice, s.response_deadline()) != SE_OK)
            return static_cast<unsigned int>(SE_READ);
        if (unsigned int e = s.ack(BELONGING_NOTICE_ACK_PAUSE_MS))
            return e;
        if (unsigned int e = s.check(notice, "PCC12.", 6, nullptr))
            return e;
        const bool is_33 = notice.at(6) == '3' && notice.at(7) == '3';
        if (is_33 && (notice.at(9) == '1' || notice.at(9) == '2'))
            *belonging = notice.at(9);
        unsigned char reply[6];
        std::memcpy(reply, notice.data, 3);
        std::memcpy(reply + 3, "13.", 3);
        Sleep(BELONGING_REPLY_PAUSE_MS);
        return s.confirm(reply, sizeof reply, s.response_wait());
    });
    if (status != SE_OK)
        *belonging = '5';  // no valid answer
    return status;
}

unsigned int pos_sent_tran_completion(void* handle, unsigned int complete)
{
    PosHandle* h = static_cast<PosHandle*>(handle);
    if (!h || !h->transport)
        return SE_PARAM;
    return pos_guard(nullptr, [&] {
        PosSession s(h, "pos_sent_tran_completion", PosSession::kQuiet);
        s.begin();
        PosMsg req, resp;
        svc_begin(req.data, "PCC14.");
        req.data[6] = complete != 0 ? '1' : '2';
        req.data[7] = FS;
        req.len = 8;
        if (unsigned int e = s.confirm(req, POS_SERVICE_ACK))
            return e;
        if (unsigned int e = s.receive(resp, "PCC15", 5, s.response_deadline(), nullptr))
            return e;
        return s.ack(POS_SERVICE_PAUSE_MS);
    });
}

}  // extern "C"
