// The subcommands of ecrcli, one row each: name, arguments, the library
// export it calls and the shape of its result.
#pragma once
#include <string>
#include <vector>

namespace ecrcli {

// How an argument is read and checked.
enum class ArgKind {
    Amount,        // money above 0
    AmountOrZero,  // money, 0 allowed
    Invoice,       // 1..999999
    InvoiceQuery,  // 0..999999
    Index,         // merchant index 0..99
    Sequence,      // 0..9999
    Seconds,       // 1..99
    Text,          // 1..1000 characters
    Selection,     // 1..15 characters
};

// How the outcome arrives.
enum class Shape {
    Payment,  // the transaction-complete callback ends it
    Ping,     // the terminal's ACK is the answer
    Service,  // one exchange on the caller's thread, no callback
};

// Which call of the library the command makes (the export's signature).
enum class Call {
    AmountAdd,     // void f(double, double)
    AmountAddOut,  // void f(double, double, unsigned long*)
    Refund,        // PosPurchase with the negated amount
    Invoice,       // void f(long)
    InvoiceAmount, // void f(long, double)
    Out,           // void f(unsigned long*)
    NoArgs,        // void f()
    Status,        // int f(unsigned long*)
    Text,          // void f(char*)
    Ping,          // the ECR object's member, int (obj, unsigned long*)
    CardRead, DiscountRead, Discount, Group, TextQuery, Gtc, Gts, Gtl, Gti, Gsi, Audit, XReport,
    Recover,       // int ecrb_recover(): the resolved outcome or E_FAIL
};

struct ArgDef {
    const char* name;
    ArgKind kind;
    bool required;
    const char* help;
};

struct CommandDef {
    const char* name;
    const char* help;
    Shape shape;
    Call call;
    const char* symbol;  // the export, as dlsym finds it
    std::vector<ArgDef> args;
    bool transaction_report;  // read the last transaction afterwards
    // A payment that charges or credits a card: an unknown end of it is
    // what ecrcli recover resolves from the terminal's journal.
    bool moves_money = false;
};

const std::vector<CommandDef>& commands();
const CommandDef* find_command(const std::string& name);

// One checked argument: money and numbers in number (minor units for money),
// texts in text.
struct ArgValue {
    bool given = false;
    long long number = 0;
    double units = 0;  // money: the double the library takes, checked to round-trip
    std::string text;
};

// Checks the text of an argument; false with a reason in *error.
bool read_arg(const ArgDef& def, const std::string& text, ArgValue* out, std::string* error);

}  // namespace ecrcli
