// Card data never reaches a log, a dump or a tool's output in clear.
//
// Every dump and every record that carries terminal or request data passes
// through these functions before it is formatted.  Where the message layout
// tells which fields hold card data, exactly those fields are masked: a card
// number keeps at most its first 6 and last 4 digits, the digits between
// become '*'; track data, PIN-read results, the expiry date and the
// cardholder name become '*' throughout.  Where the layout cannot be told
// (garbage, an unknown code, free text), every run of 13 to 19 digits that
// passes the Luhn check is masked as a card number, and every track pattern
// (track 1 "B<digits>^...", "%B...", track 2 "<digits>=<digits>") becomes '*'.
// Masking never changes a length, so a dump keeps its layout and offsets.
//
// Self-contained (standard library only): the tools compile it in as well.
#pragma once
#include <cstddef>
#include <string>

namespace el {

// True when the n characters are 13 to 19 decimal digits passing the Luhn check.
bool luhn_valid(const char* digits, std::size_t n);
// A card number field: the characters between the first 6 and the last 4
// become '*' (a field shorter than 13 keeps at most its last 4, one shorter
// than 8 keeps nothing).
void mask_pan(char* pan, std::size_t n);
// Text of unknown layout: Luhn-valid digit runs and track patterns masked.
void redact_text(char* text, std::size_t n);
// One message (code, number, ".", fields).  from_terminal selects the
// response layouts, otherwise the request layouts of the library.
void redact_message(char* msg, std::size_t n, bool from_terminal);
// Fail closed: all but headers, separators, control bytes and check bytes
// become '*'.
void mask_closed(unsigned char* data, std::size_t n);

// What a dump holds; its call site knows, and that decides the masking.
enum class DumpAs {
    Sent,      // a frame or a control byte the library writes: request layouts
    Message,   // a message from the terminal that passed its check: response layouts
    Received,  // any other bytes from the terminal: fail closed
    Text,      // a decoded text field (the receipt): scanned
    Header,    // the code or number of a rejected message: as it is
};
void redact_for_dump(unsigned char* data, std::size_t n, DumpAs as);
// The kind of a dump made under one of the library's labels: "SEND TO
// TERMINAL" is Sent, "Receipt" Text, "UNCKNOWN MSG TYPE" and "UNCKNOWN MSG
// NUM" Header, every other label Received.
DumpAs dump_as_for_label(const char* label);

namespace detail {
// Test builds only (not exported): false puts the Luhn and track scan in the
// place of the fail-closed rule, to show what that rule catches.
void set_fail_closed(bool on);
}  // namespace detail

// Copies, for the tools.
std::string masked_pan(std::string pan);
std::string redacted_text(std::string text);
// Every character '*' (track data, expiry, PIN-read result).
std::string masked_all(std::string text);

}  // namespace el
