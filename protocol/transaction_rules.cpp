#include "protocol/transaction_rules.h"

#include <cctype>
#include <cstring>

#include "protocol/message.h"
#include "protocol/operation_table.h"
#include "protocol/pos_handle.h"

namespace {

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool message_starts_with(const unsigned char* msg, unsigned int len, const char* text, unsigned int n)
{
    if (msg == nullptr || len < n)
        return false;
    for (unsigned int i = 0; i < n; ++i) {
        if (std::toupper(msg[i]) != std::toupper(static_cast<unsigned char>(text[i])))
            return false;
    }
    return true;
}

bool is_wait_notice(const unsigned char* msg, unsigned int len)
{
    return msg != nullptr && len >= 5 && msg[3] == '0' && msg[4] == '0';
}

bool wait_notice_minutes(const unsigned char* msg, unsigned int len, unsigned int* minutes)
{
    if (msg == nullptr || minutes == nullptr || len < 8 || !is_digit(msg[6]) || !is_digit(msg[7]))
        return false;
    *minutes = static_cast<unsigned int>(msg[6] - '0') * 10u + static_cast<unsigned int>(msg[7] - '0');
    return true;
}

bool is_text_message(const unsigned char* msg, unsigned int len)
{
    return message_starts_with(msg, len, "SMS", 3);
}

bool is_progress_notice(const unsigned char* msg, unsigned int len)
{
    if (msg == nullptr || len < 5)
        return false;
    return std::memcmp(msg, "PIR21", 5) == 0 || std::memcmp(msg, "RFI21", 5) == 0 ||
           std::memcmp(msg, "VID21", 5) == 0;
}

void build_confirmation(const unsigned char* msg, unsigned int len, unsigned char out[6])
{
    // Bytes the message does not have are taken as zero (the receive
    // buffer is zeroed before every read).
    auto at = [msg, len](unsigned int i) -> unsigned char { return (msg != nullptr && i < len) ? msg[i] : 0; };
    out[0] = at(0);
    out[1] = at(1);
    out[2] = at(2);
    out[3] = '1';
    out[4] = '3';
    out[5] = '.';
    const OpConfirm rule = (msg != nullptr && len >= 3) ? op_confirm_rule(msg) : OpConfirm::Thirteen;
    if (rule == OpConfirm::Fifteen) {
        out[4] = '5';
    } else if (rule == OpConfirm::NextNumber) {
        out[3] = at(3);
        out[4] = static_cast<unsigned char>(at(4) + 1);
    }
}

void store_text_message(const unsigned char* msg, unsigned int len, _ecr_transaction_report* report)
{
    if (msg == nullptr || report == nullptr || len <= 6)
        return;
    // Each field is cut into a scratch area as large as a whole message, so
    // no field can be refused for its length; the text is then cut to fit.
    unsigned char field[POS_MAX_MESSAGE];
    unsigned char* cursor = const_cast<unsigned char*>(msg) + 6;
    unsigned int remaining = len - 6;
    unsigned int field_len = 0;

    std::memset(field, 0, sizeof field);
    if (cut_next_field_n(&cursor, &remaining, field, sizeof field - 1, &field_len) == SE_OK) {
        const size_t n = strnlen(reinterpret_cast<const char*>(field), sizeof report->MsgText - 1);
        std::memset(report->MsgText, 0, sizeof report->MsgText);
        std::memcpy(report->MsgText, field, n);
    }

    std::memset(field, 0, sizeof field);
    if (cut_next_field_n(&cursor, &remaining, field, sizeof field - 1, &field_len) == SE_OK && field[0] > '0')
        report->MsgFlag = 1;
}
