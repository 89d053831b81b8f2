#include "ecrcli/commands.h"

#include "ecrcli/money.h"

namespace ecrcli {

namespace {

const ArgDef kAmount{"AMOUNT", ArgKind::Amount, true, "amount, e.g. 12.34"};
const ArgDef kAdd{"ADD", ArgKind::AmountOrZero, false, "additional amount (default 0)"};
const ArgDef kIndexOpt{"INDEX", ArgKind::Index, false, "merchant index 0..99 (default 0)"};

bool number_in(const std::string& text, long long lo, long long hi, long long* out)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *out = std::stoll(text);
    return *out >= lo && *out <= hi;
}

}  // namespace

const std::vector<CommandDef>& commands()
{
    using A = ArgDef;
    static const std::vector<CommandDef> table = {
        {"purchase", "pay AMOUNT by card", Shape::Payment, Call::AmountAdd, "PosPurchase", {kAmount, kAdd}, true, true},
        {"refund", "give AMOUNT back to the card", Shape::Payment, Call::Refund, "PosPurchase", {kAmount}, true, true},
        {"void", "void the payment with this invoice number", Shape::Payment, Call::Invoice, "PosVoid",
         {A{"INVOICE", ArgKind::Invoice, true, "invoice number 1..999999"}}, true, true},
        {"partvoid", "void part of a payment", Shape::Payment, Call::InvoiceAmount, "PosPartVoid",
         {A{"INVOICE", ArgKind::Invoice, true, "invoice number 1..999999"}, kAmount}, true, true},
        {"auth", "pre-authorise AMOUNT", Shape::Payment, Call::AmountAdd, "_Z4Authdd", {kAmount, kAdd}, true, true},
        {"authfin", "complete a pre-authorisation", Shape::Payment, Call::AmountAdd, "_Z10PosAuthFindd",
         {kAmount, kAdd}, true, true},
        {"cashback", "purchase with cash back", Shape::Payment, Call::AmountAdd, "_Z11PosCashBackdd",
         {kAmount, A{"CASH", ArgKind::Amount, true, "cash-back amount"}}, true, true},
        {"cash", "cash withdrawal", Shape::Payment, Call::AmountAddOut, "PosCash", {kAmount, kAdd}, true, true},
        {"payment", "credit payment", Shape::Payment, Call::AmountAddOut, "PosPayment", {kAmount, kAdd}, true, true},
        {"balance", "card balance", Shape::Payment, Call::AmountAddOut, "PosBalance", {}, true},
        {"settle", "close the batch (settlement), with the batch's counts", Shape::Payment, Call::Out, "PosSettle", {}, true},
        {"settle-report", "settlement with totals", Shape::Payment, Call::NoArgs, "PosSettleReported", {}, true},
        {"echo", "echo test through the bank", Shape::Payment, Call::Status, "EchoTest", {}, true},
        {"print", "print a text on the terminal", Shape::Payment, Call::Text, "_Z15PosPrintMessagePc",
         {A{"TEXT", ArgKind::Text, true, "text of at most 1000 characters"}}, true},
        {"ping", "is the terminal there?", Shape::Ping, Call::Ping, "_ZN15CVarkoClass20177PosPingEPm", {}, false},
        {"card-read", "read a card's track 2", Shape::Service, Call::CardRead, "PosMagneticRead", {}, false},
        {"discount-read", "read a discount card", Shape::Service, Call::DiscountRead, "PosDiscountMagneticRead",
         {A{"WAIT", ArgKind::Seconds, false, "seconds to wait for the card, 1..99 (default 30)"}}, false},
        {"discount", "start a discount (card read)", Shape::Service, Call::Discount, "PosDiscountInit", {}, false},
        {"group", "read the card's group", Shape::Service, Call::Group, "_ZN15CVarkoClass201711PosGetGroupEPPc", {},
         false},
        {"tsn", "the terminal's serial number", Shape::Service, Call::TextQuery, "PosTSN", {}, false},
        {"software", "the terminal's software", Shape::Service, Call::TextQuery, "PosGetNameSoftware", {}, false},
        {"gtc", "count of stored transactions", Shape::Service, Call::Gtc, "PosGTC", {kIndexOpt}, false},
        {"gts", "stored transaction by sequence number: operation, response code, date", Shape::Service, Call::Gts, "PosGTS",
         {A{"SEQUENCE", ArgKind::Sequence, true, "sequence number 0..9999"}, kIndexOpt}, true},
        {"gtl", "last stored transaction: operation, response code, date", Shape::Service, Call::Gtl, "PosGTL", {kIndexOpt}, true},
        {"gti", "stored transaction by invoice: operation, response code, date", Shape::Service, Call::Gti, "PosGTI",
         {A{"INVOICE", ArgKind::InvoiceQuery, true, "invoice number 0..999999"}, kIndexOpt}, true},
        {"gsi", "summary of stored transactions", Shape::Service, Call::Gsi, "PosGSI", {kIndexOpt}, false},
        {"audit", "the terminal's audit records", Shape::Service, Call::Audit, "PosAudit",
         {A{"SELECTION", ArgKind::Selection, true, "selection text, 1..15 characters"}}, false},
        {"xreport", "print the X report", Shape::Service, Call::XReport, "PosPrintXReport", {}, false},
        {"recover", "ask the terminal's journal what became of a payment whose outcome is unknown", Shape::Service,
         Call::Recover, "ecrb_recover", {}, true},
    };
    return table;
}

const CommandDef* find_command(const std::string& name)
{
    for (const CommandDef& c : commands())
        if (name == c.name)
            return &c;
    return nullptr;
}

bool read_arg(const ArgDef& def, const std::string& text, ArgValue* out, std::string* error)
{
    const std::string what = std::string(def.name) + ": ";
    out->given = true;
    out->text = text;
    long long lo = 0, hi = 0;
    switch (def.kind) {
    case ArgKind::Amount:
    case ArgKind::AmountOrZero:
        if (!parse_money(text, def.kind == ArgKind::AmountOrZero, &out->number, error)) {
            *error = what + *error;
            return false;
        }
        // The library takes a double: it must carry exactly these minor units.
        if (!money_to_double(out->number, &out->units)) {
            *error = what + "\"" + text + "\" cannot be passed to the library exactly";
            return false;
        }
        return true;
    case ArgKind::Text:
    case ArgKind::Selection: {
        const size_t max = def.kind == ArgKind::Text ? 1000 : 15;
        if (text.empty() || text.size() > max) {
            *error = what + "1 to " + std::to_string(max) + " characters";
            return false;
        }
        return true;
    }
    case ArgKind::Invoice: lo = 1; hi = 999999; break;
    case ArgKind::InvoiceQuery: lo = 0; hi = 999999; break;
    case ArgKind::Index: lo = 0; hi = 99; break;
    case ArgKind::Sequence: lo = 0; hi = 9999; break;
    case ArgKind::Seconds: lo = 1; hi = 99; break;
    }
    if (!number_in(text, lo, hi, &out->number)) {
        *error = what + "\"" + text + "\" is not a whole number " + std::to_string(lo) + ".." + std::to_string(hi);
        return false;
    }
    return true;
}

}  // namespace ecrcli
