#include "ecrcli/report.h"

#include "ecrcli/outcome.h"

#include <nlohmann/json.hpp>

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
        for (std::string* text : {&f.value, &f.display}) {
            if (f.key == "pan")
                *text = el::masked_pan(*text);
            else if (f.key == "track2" || f.key == "card_id" || f.key == "expiry")
                *text = el::masked_all(*text);
            else
                *text = el::redacted_text(*text);
        }
    }
    for (std::string& rec : r.records)
        rec = el::redacted_text(rec);
    r.reason = el::redacted_text(r.reason);
    r.receipt = el::redacted_text(r.receipt);
    r.message = el::redacted_text(r.message);
    return r;
}

}  // namespace

void Report::add(const std::string& key, const std::string& label, const std::string& value,
                 const std::string& display)
{
    fields.push_back(Field{key, label, value, false, display});
}

void Report::add_number(const std::string& key, const std::string& label, long long value)
{
    fields.push_back(Field{key, label, std::to_string(value), true, std::string()});
}

std::string render_json(const Report& report)
{
    const Report r = redacted(report);
    nlohmann::ordered_json j;
    if (!r.operation.empty())
        j["operation"] = r.operation;
    j["status"] = r.status;
    j["exit_code"] = r.exit_code;
    j["reason"] = r.reason;
    if (r.response_code >= 0) {
        j["response_code"] = r.response_code;
        j["meaning"] = response_meaning(r.response_code);
    }
    for (const Field& f : r.fields) {
        if (f.number)
            j[f.key] = std::stoll(f.value);
        else
            j[f.key] = f.value;
    }
    if (!r.records.empty() || r.operation == "audit")
        j["records"] = r.records;
    if (!r.message.empty())
        j["message"] = r.message;
    if (!r.receipt.empty())
        j["receipt"] = r.receipt;
    if (!r.next.empty())
        j["next"] = r.next;
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string render_table(const Report& report)
{
    const Report r = redacted(report);
    std::vector<std::pair<std::string, std::string>> rows;
    if (!r.operation.empty())
        rows.emplace_back("Operation", r.operation);
    rows.emplace_back("Result", r.status);
    if (!r.reason.empty())
        rows.emplace_back("Reason", r.reason);
    if (r.response_code >= 0) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%02d", r.response_code);
        rows.emplace_back("Response code", std::string(buf) + " (" + response_meaning(r.response_code) + ")");
    }
    for (const Field& f : r.fields) {
        const std::string& text = f.display.empty() ? f.value : f.display;
        if (!text.empty())
            rows.emplace_back(f.label, text);
    }
    if (!r.message.empty())
        rows.emplace_back("Terminal message", r.message);
    size_t width = 0;
    for (const auto& row : rows)
        width = row.first.size() > width ? row.first.size() : width;
    std::string out;
    for (const auto& row : rows)
        out += row.first + std::string(width + 2 - row.first.size(), ' ') + row.second + "\n";
    for (const std::string& rec : r.records)
        out += "  " + rec + "\n";
    if (!r.receipt.empty()) {
        out += "---- receipt ----\n" + r.receipt;
        if (r.receipt.back() != '\n')
            out += "\n";
        out += "-----------------\n";
    }
    if (!r.next.empty())
        out += "Next: " + r.next + "\n";
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
