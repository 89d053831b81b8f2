// The payment operations, one row each: what the encoder writes for it, how
// the decoder and the message map name it, how its final response is
// confirmed, and what the controls may do while it runs.
#pragma once
#include <cstdint>

// How the request of an operation is laid out (the encoder's cases).
enum class OpLayout : uint8_t {
    None,            // no request: the operation is refused with SE_SYNTAX
    Ping,            // the header alone, the buffer not cleared first
    Bare,            // the header alone
    PrintText,       // the header and the text to print
    Settlement,      // the header, the merchant when set, FS
    XReport,         // the header, then the merchant and FS when set
    HeaderFs,        // the header and FS
    Invoice,         // the header, the 6 invoice bytes, FS
    DiscountRequest, // the header, the request type in two digits, FS
    DiscountComplete,// the header, the completion type, FS, the amount, FS
    PartVoid,        // the header, the invoice, FS, the amount, FS
    ServiceParams,   // the header, amount, currency and the 16 service parameters
    Common,          // the header and the common fields
};

// How the final response is confirmed: "13.", "15.", or its own number with
// the second digit increased by one.  The operations confirmed otherwise than
// with "13." end with a response numbered 11.
enum class OpConfirm : uint8_t { Thirteen, Fifteen, NextNumber };

struct OpRow {
    uint16_t code;        // operation code (the request record's trx_type)
    const char* name;     // three letters the log names it by (g_TransactionsMap)
    const char* tag;      // code of its response for the decoder; null: not decoded
    const char* header;   // its request header; null without a layout
    OpLayout layout;
    bool interruptible;   // PosInterruptTrx may stop it
    bool abortable;       // PosAbortTrx may stop it
    OpConfirm confirm;
    bool moves_money;     // kept in the operation journal (all but the ping)
};

// The row of an operation code; null for a code without one (3, 13, > 47).
const OpRow* op_row(unsigned int code);
// The row whose response code is the three letters at tag (case ignored);
// null when the decoder knows no such code.
const OpRow* op_row_by_tag(const unsigned char* tag);
bool op_interruptible(unsigned int code);
bool op_abortable(unsigned int code);
bool op_moves_money(unsigned int code);
// The confirmation rule of a final response by its code; "13." for a code
// the table does not know.
OpConfirm op_confirm_rule(const unsigned char* tag);
// Every row, in the order of the codes.
const OpRow* op_rows(unsigned int* count);
