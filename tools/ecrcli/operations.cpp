#include "ecrcli/operations.h"

#include "ecrcli/money.h"
#include "ecrcli/outcome.h"
#include "ecrcli/progress.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace ecrcli {

namespace {

unsigned long g_pul = 0;  // out value of the payment exports; lives until exit
char g_text[8192];
char* g_ptr = nullptr;
unsigned long g_count = 0;
std::vector<std::string> g_records;
bool g_batch_known = false;  // the summary before a settlement was read

std::string pointed(size_t max) { return g_ptr != nullptr ? std::string(g_ptr, strnlen(g_ptr, max)) : std::string(); }

std::string get_text(const Library& lib, const char* name, size_t size = 256, bool trim_left = true)
{
    auto f = lib.find<int (*)(char*)>(name);
    if (f == nullptr)
        return std::string();
    std::vector<char> buf(size, 0);
    if (f(buf.data()) != 0)
        return std::string();
    buf[size - 1] = '\0';
    return trimmed(std::string(buf.data()), trim_left);
}

long get_long(const Library& lib, const char* name)
{
    long v = 0;
    if (auto f = lib.find<int (*)(long*)>(name))
        f(&v);
    return v;
}

std::string get_money(const Library& lib, const char* name)
{
    double v = 0;
    if (auto f = lib.find<int (*)(double*)>(name))
        f(&v);
    return money_text(money_from_double(v));
}

std::string two(long v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02ld", v);
    return buf;
}

std::string six(long v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "%06ld", v);
    return buf;
}

// What a card read gave: the kind of card data and the card number, which
// the output masks (first 6 and last 4 digits); the track itself is never shown.
void add_card_read(Report& r, const std::string& data)
{
    if (data.empty())
        return;
    const bool track1 = data[0] == '%' || data[0] == 'B' || data.find('^') != std::string::npos;
    const bool track2 = !track1 && (data[0] == ';' || data.find('=') != std::string::npos);
    size_t at = data.find_first_of("0123456789");
    const size_t end = at == std::string::npos ? at : data.find_first_not_of("0123456789", at);
    const std::string pan = at == std::string::npos ? std::string() : data.substr(at, end == std::string::npos ? end : end - at);
    r.add("card_data", "Card data", track1 ? "track 1" : track2 ? "track 2" : "card data");
    if (pan.size() >= 12)
        r.add("pan", "Card", pan);
}

}  // namespace

void add_last_transaction(const Library& lib, Report& r, Call call)
{
    const bool stored = call == Call::Gtl || call == Call::Gts || call == Call::Gti;
    r.add("amount", "Amount", get_money(lib, "get_LastTrxAmount"));
    r.add("add_amount", "Additional amount", get_money(lib, "get_LastTrxAddAmount"));
    r.add("rrn", "RRN", get_text(lib, "get_LastTrxRRN"));
    r.add("approval_code", "Approval code", get_text(lib, "get_LastTrxApprovalCode"));
    r.add("pan", "Card", get_text(lib, "get_LastTrxPAN"));
    const long month = get_long(lib, "get_LastTrxCardExpireMonth"), year = get_long(lib, "get_LastTrxCardExpireYear");
    r.add("expiry", "Expiry", month || year ? two(month) + "/" + two(year) : std::string());
    r.add_number("invoice", "Invoice", get_long(lib, "get_LastTrxInvoceNumber"));
    const std::time_t now = std::time(nullptr);
    std::tm today{};
    localtime_r(&now, &today);
    r.add("date_time", "Date and time",
          date_with_year(get_long(lib, "get_LastTrxTransactionDateDay"), get_long(lib, "get_LastTrxTransactionDateMonth"),
                         get_long(lib, "get_LastTrxTransactionTimeHours"), get_long(lib, "get_LastTrxTransactionTimeMinutes"),
                         today.tm_year + 1900, today.tm_mon + 1, today.tm_mday));
    r.add("card_name", "Card name", get_text(lib, "get_LastTrxCardName"));
    r.add("issuer", "Issuer", get_text(lib, "get_LastTrxIssuerName"));
    r.add("terminal_id", "Terminal ID", get_text(lib, "get_LastTrxTerminalID"));
    r.add("merchant_id", "Merchant ID", get_text(lib, "get_LastTrxMerchantId"));
    const std::string tag = get_text(lib, "get_LastTrxOpTag");
    if (stored) {
        // The answer's code names the query, not the transaction: what it was
        // is in its processing code, and how it ended in its response code.
        const long processing = get_long(lib, "get_LastTrxProcessingCode");
        const std::string what = stored_operation(processing);
        r.add("transaction", "Transaction", what.empty() ? "unknown (processing code " + six(processing) + ")" : what);
        // Its response code is read through the ECR object's member.
        unsigned short code = 0;
        auto f = lib.find<int (*)(void*, unsigned short*)>("_ZN15CVarkoClass201724get_LastTrxLoyalRespCodeEPt");
        auto obj = lib.find<void* (*)()>("_Z13create_objectv");
        if (f != nullptr && obj != nullptr && f(obj(), &code) == 0)
            r.response_code = code;
    } else {
        r.add("op_tag", "Message code", tag);
    }
    r.add("bank", "Bank", get_text(lib, "get_LastTrxNameBank"));
    // Only the settlement report and the X report carry totals in the
    // terminal's message; for the others the fields are zeros, not counts.
    double total = 0;
    auto tot = lib.find<int (*)(double*)>("get_LastTrxTotalAmount");
    if ((tag == "SLR" || tag == "XRP") && tot != nullptr && tot(&total) == 0) {
        r.add("total_amount", "Total amount", money_text(money_from_double(total)));
        const char* const counts[3][3] = {{"get_LastTrxSalesCount", "sales_count", "Sales"},
                                          {"get_LastTrxRefundsCount", "refunds_count", "Refunds"},
                                          {"get_LastTrxTotalTrxCount", "transaction_count", "Transactions"}};
        for (const auto& c : counts) {
            unsigned short n = 0;
            if (auto f = lib.find<int (*)(unsigned short*)>(c[0]))
                f(&n);
            r.add_number(c[1], c[2], n);
        }
    }
    r.receipt = get_text(lib, "get_LastTrxReceipt", 8192, false);
}

namespace {

void add_summary(const Library& lib, Report& r)
{
    const char* const counts[3] = {"CountPurchaseTransaction", "CountRefundTransaction", "CountVoidTransaction"};
    const char* const sums[3] = {"_Z30TotolAmoundPurchaseTransactionPd", "_Z28TotolAmoundRefundTransactionPd",
                                 "_Z26TotolAmoundVoidTransactionPd"};
    const char* const keys[3] = {"purchases", "refunds", "voids"};
    const char* const labels[3] = {"Purchases", "Refunds", "Voids"};
    for (int k = 0; k < 3; ++k) {
        int cnt = 0;
        if (auto fc = lib.find<int (*)(int*)>(counts[k]))
            fc(&cnt);
        r.add_number(std::string(keys[k]) + "_count", std::string(labels[k]) + " count", cnt);
        r.add(std::string(keys[k]) + "_amount", std::string(labels[k]) + " amount", get_money(lib, sums[k]));
    }
}

// One record per call until the one marked last; the terminal sends at most 10000.
int audit_all(int (*f)(char*, char*))
{
    for (int k = 0; k < 10001; ++k) {
        char rec[80] = {0};
        const int res = f(g_text, rec);
        if (res != 0)
            return g_records.empty() ? res : 0;
        if (rec[0] == '0' && rec[1] == '\0')
            break;  // end marker
        g_records.push_back(std::string(rec, 78));
        if (rec[0] != '1')
            break;  // the last record
    }
    return 0;
}

double amount_arg(const Options& o, size_t i) { return i < o.args.size() && o.args[i].given ? o.args[i].units : 0.0; }

long number_arg(const Options& o, size_t i, long dflt = 0)
{
    return i < o.args.size() && o.args[i].given ? static_cast<long>(o.args[i].number) : dflt;
}

}  // namespace

Operation make_operation(Library& lib, const Options& o)
{
    const CommandDef& c = *o.def;
    Operation op;
    op.shape = c.shape;
    op.transaction_report = c.transaction_report;
    void* sym = lib.sym(c.symbol);
    const double a = amount_arg(o, 0), b = amount_arg(o, 1);
    const long n0 = number_arg(o, 0), n1 = number_arg(o, 1);
    const unsigned char idx0 = static_cast<unsigned char>(n0), idx1 = static_cast<unsigned char>(n1);
    auto as = [sym](auto* type_hint) { return reinterpret_cast<decltype(type_hint)>(sym); };
    auto text_into = [](const std::string& t) { std::snprintf(g_text, sizeof g_text, "%s", t.c_str()); };
    // The terminal can be told to stop an abortable payment (purchase, refund,
    // cash, credit payment) or an interruptible one (the cash-back).
    const std::string symbol = c.symbol;
    if (symbol == "PosPurchase" || symbol == "PosCash" || symbol == "PosPayment" || symbol == "_Z11PosCashBackdd") {
        const bool abort = symbol != "_Z11PosCashBackdd";
        void* obj = lib.get<void* (*)()>("_Z13create_objectv")();
        auto f = lib.get<int (*)(void*)>(abort ? "_ZN15CVarkoClass201711PosAbortTrxEv"
                                               : "_ZN15CVarkoClass201715PosInterruptTrxEv");
        op.stop = [f, obj] { return f(obj); };
        op.stop_name = abort ? "abort" : "interrupt";
    }
    switch (c.call) {
    case Call::AmountAdd: {
        auto f = as(static_cast<void (*)(double, double)>(nullptr));
        op.run = [f, a, b] { return f(a, b), 0; };
        break;
    }
    case Call::Refund: {
        auto f = as(static_cast<void (*)(double, double)>(nullptr));
        op.run = [f, a] { return f(-a, 0), 0; };  // a negative purchase runs a refund of that amount
        break;
    }
    case Call::AmountAddOut: {
        auto f = as(static_cast<void (*)(double, double, unsigned long*)>(nullptr));
        op.run = [f, a, b] { return f(a, b, &g_pul), 0; };
        break;
    }
    case Call::Invoice: {
        auto f = as(static_cast<void (*)(long)>(nullptr));
        op.run = [f, n0] { return f(n0), 0; };
        break;
    }
    case Call::InvoiceAmount: {
        auto f = as(static_cast<void (*)(long, double)>(nullptr));
        op.run = [f, n0, b] { return f(n0, b), 0; };
        break;
    }
    case Call::Out: {
        auto f = as(static_cast<void (*)(unsigned long*)>(nullptr));
        op.run = [f] { return f(&g_pul), 0; };
        if (symbol == "PosSettle") {
            // The settlement's answer carries no counts: the terminal's
            // summary of the batch, asked just before, tells what it closes.
            auto gsi = lib.find<int (*)(int)>("PosGSI");
            op.run = [f, gsi] {
                g_batch_known = gsi != nullptr && gsi(0) == 0;
                return f(&g_pul), 0;
            };
            op.after = [&lib](Report& r) {
                if (g_batch_known)
                    add_summary(lib, r);
            };
        }
        break;
    }
    case Call::NoArgs: {
        auto f = as(static_cast<void (*)()>(nullptr));
        op.run = [f] { return f(), 0; };
        break;
    }
    case Call::Status: {
        auto f = as(static_cast<int (*)(unsigned long*)>(nullptr));
        op.run = [f] { return f(&g_pul); };
        break;
    }
    case Call::Text: {
        text_into(o.args[0].text);
        auto f = as(static_cast<void (*)(char*)>(nullptr));
        op.run = [f] { return f(g_text), 0; };
        break;
    }
    case Call::Ping: {
        // The member returns once the terminal has acknowledged.
        auto f = as(static_cast<int (*)(void*, unsigned long*)>(nullptr));
        void* obj = lib.get<void* (*)()>("_Z13create_objectv")();
        op.run = [f, obj] { return f(obj, &g_pul); };
        break;
    }
    case Call::CardRead: {
        auto f = as(static_cast<int (*)(char*)>(nullptr));
        op.run = [f] { return f(g_text); };
        op.after = [](Report& r) { add_card_read(r, trimmed(g_text)); };
        break;
    }
    case Call::DiscountRead: {
        auto f = as(static_cast<int (*)(unsigned char, char**)>(nullptr));
        const unsigned char w = static_cast<unsigned char>(number_arg(o, 0, 30));
        op.run = [f, w] { return f(w, &g_ptr); };
        op.after = [](Report& r) { add_card_read(r, trimmed(pointed(100))); };
        break;
    }
    case Call::Discount: {
        auto f = as(static_cast<int (*)(char**)>(nullptr));
        op.run = [f] { return f(&g_ptr); };
        op.after = [](Report& r) { r.add("card_id", "Card", pointed(100)); };
        break;
    }
    case Call::Group: {
        auto f = as(static_cast<int (*)(void*, char**)>(nullptr));
        void* obj = lib.get<void* (*)()>("_Z13create_objectv")();
        op.run = [f, obj] { return f(obj, &g_ptr); };
        op.after = [](Report& r) { r.add("group", "Card group", pointed(64)); };
        break;
    }
    case Call::TextQuery: {
        auto f = as(static_cast<int (*)(char*)>(nullptr));
        const bool tsn = std::strcmp(c.name, "tsn") == 0;
        op.run = [f] {
            std::memset(g_text, 0, sizeof g_text);
            return f(g_text);
        };
        op.after = [tsn](Report& r) {
            r.add(tsn ? "serial" : "software", tsn ? "Serial number" : "Software",
                  trimmed(std::string(g_text, strnlen(g_text, 255))));
        };
        break;
    }
    case Call::Gtc: {
        auto f = as(static_cast<int (*)(unsigned char, unsigned long*)>(nullptr));
        op.run = [f, idx0] { return f(idx0, &g_count); };
        op.after = [](Report& r) { r.add_number("count", "Stored transactions", static_cast<long long>(g_count)); };
        break;
    }
    case Call::Gts: {
        auto f = as(static_cast<int (*)(unsigned char, unsigned long)>(nullptr));
        const unsigned long seq = static_cast<unsigned long>(n0);
        op.run = [f, idx1, seq] { return f(idx1, seq); };
        break;
    }
    case Call::Gtl: {
        auto f = as(static_cast<int (*)(unsigned char)>(nullptr));
        op.run = [f, idx0] { return f(idx0); };
        break;
    }
    case Call::Gti: {
        auto f = as(static_cast<int (*)(unsigned char, long)>(nullptr));
        op.run = [f, idx1, n0] { return f(idx1, n0); };
        break;
    }
    case Call::Gsi: {
        auto f = as(static_cast<int (*)(int)>(nullptr));
        const int i = static_cast<int>(n0);
        op.run = [f, i] { return f(i); };
        op.after = [&lib](Report& r) { add_summary(lib, r); };
        break;
    }
    case Call::Audit: {
        text_into(o.args[0].text);
        auto f = as(static_cast<int (*)(char*, char*)>(nullptr));
        op.run = [f] { return audit_all(f); };
        op.after = [](Report& r) {
            r.add_number("record_count", "Records", static_cast<long long>(g_records.size()));
            for (const std::string& rec : g_records)
                r.records.push_back(rec.substr(1));
        };
        break;
    }
    case Call::XReport: {
        auto f = as(static_cast<int (*)()>(nullptr));
        op.run = [f] { return f(); };
        break;
    }
    case Call::Recover: {
        auto f = as(static_cast<int (*)()>(nullptr));
        op.run = [f] { return f(); };
        break;
    }
    }
    return op;
}

}  // namespace ecrcli
