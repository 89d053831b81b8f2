// The outcome of one ecrcli operation, printed as a readable table or as one
// JSON object.
#pragma once
#include <string>
#include <vector>

namespace ecrcli {

struct Field {
    std::string key;      // JSON key
    std::string label;    // table label
    std::string value;    // text (UTF-8), or the digits of a whole number when number is set
    bool number = false;  // a whole number in JSON
    std::string display;  // the table's text when it differs from value
};

struct Report {
    std::string operation;        // subcommand name ("" before one is known)
    std::string status;           // approved, declined, ok, failed, unknown, cancelled, usage
    int exit_code = 0;
    std::string reason;           // one line: why it failed
    int response_code = -1;       // -1: none
    std::vector<Field> fields;
    std::vector<std::string> records;  // audit records and other lists
    std::string receipt;          // UTF-8, may span lines
    std::string message;          // last text message of the terminal (UTF-8)
    std::string next;             // one line: what the technician does next ("" when nothing)

    void add(const std::string& key, const std::string& label, const std::string& value,
             const std::string& display = std::string());
    void add_number(const std::string& key, const std::string& label, long long value);
};

// Both renderings mask card data (card number, track data, expiry).
std::string render_json(const Report& r);
std::string render_table(const Report& r);
// The terminal's CP1251 texts as UTF-8 (Cyrillic and ASCII; others become '?').
std::string cp1251_to_utf8(const std::string& text);
// Cut at the first zero byte; trailing blanks and line ends removed, and the
// leading blanks too when trim_left is set.
std::string trimmed(const std::string& text, bool trim_left = true);

}  // namespace ecrcli
