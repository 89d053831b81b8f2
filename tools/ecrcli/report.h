// The outcome of one ecrcli operation, printed as a readable table or as
// JSON.
#pragma once
#include <string>
#include <vector>

namespace ecrcli {

struct Field {
    std::string key;    // JSON key
    std::string label;  // table label
    std::string value;  // text (UTF-8), or the number's text when number is set
    bool number = false;
};

struct Report {
    std::string operation;        // subcommand name
    std::string status;           // approved, declined, cancelled, failed, ok
    int response_code = -1;       // -1: none (service operations)
    std::string detail;           // one plain sentence about what happened
    std::vector<Field> fields;
    std::vector<std::string> records;  // audit records and other lists
    std::string receipt;          // UTF-8, may span lines
    std::string message;          // last text message of the terminal (UTF-8)
};

// Meaning of a response code of the terminal (or of the library's own 20).
const char* response_meaning(int code);
// JSON string literal (with quotes) of a UTF-8 text.
std::string json_string(const std::string& text);
// Both renderings mask card data (card number, track data, expiry).
std::string render_json(const Report& r);
std::string render_table(const Report& r);
// The terminal's CP1251 texts as UTF-8 (Cyrillic and ASCII; others become '?').
std::string cp1251_to_utf8(const std::string& text);
// Cut at the first zero byte; trailing blanks and line ends removed, and the
// leading blanks too when trim_left is set.
std::string trimmed(const std::string& text, bool trim_left = true);

}  // namespace ecrcli
