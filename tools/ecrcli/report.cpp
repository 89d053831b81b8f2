#include "ecrcli/report.h"

#include <cstdio>

#include "Logging/redact.h"

namespace ecrcli {

namespace {

// What is printed never holds card data, whatever the terminal sent: the
// card number keeps its first 6 and last 4 digits; track data and the
// expiry become '*'; every other text is masked by the rule for text of
// unknown layout.
Report redacted(Report r)
{
    for (Field& f : r.fields) {
        if (f.number)
            continue;
        if (f.key == "pan")
            f.value = el::masked_pan(f.value);
        else if (f.key == "track2" || f.key == "card_id" || f.key == "expiry")
            f.value = el::masked_all(f.value);
        else
            f.value = el::redacted_text(f.value);
    }
    for (std::string& rec : r.records)
        rec = el::redacted_text(rec);
    r.detail = el::redacted_text(r.detail);
    r.receipt = el::redacted_text(r.receipt);
    r.message = el::redacted_text(r.message);
    return r;
}

}  // namespace

const char* response_meaning(int code)
{
    switch (code) {
    case 0: return "approved";
    case 1: return "refer to card issuer";
    case 3: return "invalid merchant";
    case 4: return "pick up card";
    case 5: return "do not honour";
    case 12: return "invalid transaction";
    case 13: return "invalid amount";
    case 14: return "invalid card number";
    case 20: return "no answer from the terminal";
    case 25: return "transaction not found";
    case 33: return "card checked, decision needed";
    case 41: return "lost card";
    case 43: return "stolen card";
    case 51: return "insufficient funds";
    case 54: return "expired card";
    case 55: return "incorrect PIN";
    case 57: return "not permitted to the card holder";
    case 58: return "not permitted to the terminal";
    case 61: return "exceeds the amount limit";
    case 65: return "exceeds the count limit";
    case 75: return "PIN tries exceeded";
    case 91: return "issuer unavailable";
    case 96: return "system malfunction";
    default: return "declined";
    }
}

std::string json_string(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7f) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += "\"";
    return out;
}

std::string render_json(const Report& report)
{
    const Report r = redacted(report);
    std::string out = "{";
    out += "\"operation\":" + json_string(r.operation);
    out += ",\"status\":" + json_string(r.status);
    if (r.response_code >= 0) {
        out += ",\"response_code\":" + std::to_string(r.response_code);
        out += ",\"meaning\":" + json_string(response_meaning(r.response_code));
    }
    if (!r.detail.empty())
        out += ",\"detail\":" + json_string(r.detail);
    for (const Field& f : r.fields)
        out += "," + json_string(f.key) + ":" + (f.number ? f.value : json_string(f.value));
    if (!r.records.empty()) {
        out += ",\"records\":[";
        for (size_t i = 0; i < r.records.size(); ++i)
            out += (i ? "," : "") + json_string(r.records[i]);
        out += "]";
    }
    if (!r.message.empty())
        out += ",\"message\":" + json_string(r.message);
    if (!r.receipt.empty())
        out += ",\"receipt\":" + json_string(r.receipt);
    out += "}\n";
    return out;
}

std::string render_table(const Report& report)
{
    const Report r = redacted(report);
    std::vector<std::pair<std::string, std::string>> rows;
    rows.emplace_back("Operation", r.operation);
    rows.emplace_back("Result", r.status);
    if (r.response_code >= 0) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%02d", r.response_code);
        rows.emplace_back("Response code", std::string(buf) + " (" + response_meaning(r.response_code) + ")");
    }
    for (const Field& f : r.fields)
        if (!f.value.empty())
            rows.emplace_back(f.label, f.value);
    if (!r.message.empty())
        rows.emplace_back("Terminal message", r.message);
    size_t width = 0;
    for (const auto& row : rows)
        width = row.first.size() > width ? row.first.size() : width;
    std::string out;
    for (const auto& row : rows)
        out += row.first + std::string(width + 2 - row.first.size(), ' ') + row.second + "\n";
    if (!r.detail.empty())
        out += r.detail + "\n";
    for (const std::string& rec : r.records)
        out += "  " + rec + "\n";
    if (!r.receipt.empty()) {
        out += "---- receipt ----\n" + r.receipt;
        if (r.receipt.back() != '\n')
            out += "\n";
        out += "-----------------\n";
    }
    return out;
}

std::string cp1251_to_utf8(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        unsigned cp;
        if (c < 0x80)
            cp = c;
        else if (c >= 0xC0)
            cp = 0x410 + (c - 0xC0);
        else if (c == 0xA8)
            cp = 0x401;
        else if (c == 0xB8)
            cp = 0x451;
        else if (c == 0xB9)
            cp = 0x2116;
        else
            cp = '?';
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::string trimmed(const std::string& text, bool trim_left)
{
    size_t end = text.find('\0');
    if (end == std::string::npos)
        end = text.size();
    while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\r' || text[end - 1] == '\n'))
        --end;
    size_t start = 0;
    while (trim_left && start < end && text[start] == ' ')
        ++start;
    return text.substr(start, end - start);
}

}  // namespace ecrcli
