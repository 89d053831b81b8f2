// ecrcli in-process: the command line, money, the verdict on an operation's
// end, the wait notices found in the library's log and the printed report.
#include "ecrcli/cli.h"
#include "ecrcli/money.h"
#include "ecrcli/outcome.h"
#include "ecrcli/progress.h"
#include "ecrcli/report.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cctype>
#include <sstream>

using namespace ecrcli;

namespace {

std::vector<std::string> words(const std::string& line)
{
    std::vector<std::string> out{"ecrcli"};
    std::istringstream in(line);
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

}  // namespace

// ---- money ----

struct MoneyCase {
    const char* text;
    bool allow_zero;
    long long minor;  // -1: refused
    const char* error;  // part of the reason when refused
};

class EcrcliMoney : public ::testing::TestWithParam<MoneyCase> {};

TEST_P(EcrcliMoney, ParsedExactlyOrRefused)
{
    const MoneyCase& c = GetParam();
    long long v = -1;
    std::string err;
    const bool ok = parse_money(c.text, c.allow_zero, &v, &err);
    EXPECT_EQ(ok, c.minor >= 0) << c.text << ": " << err;
    if (c.minor >= 0) {
        EXPECT_EQ(v, c.minor) << c.text;
        double d = 0;
        ASSERT_TRUE(money_to_double(v, &d));
        EXPECT_EQ(money_from_double(d), v);
    } else {
        EXPECT_NE(err.find(c.error), std::string::npos) << err;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, EcrcliMoney,
    ::testing::Values(MoneyCase{"12.34", false, 1234, ""}, MoneyCase{"12.3", false, 1230, ""},
                      MoneyCase{"12", false, 1200, ""}, MoneyCase{"0.01", false, 1, ""},
                      MoneyCase{"007.50", false, 750, ""}, MoneyCase{".5", false, 50, ""},
                      MoneyCase{"9999999999.99", false, 999999999999LL, ""},
                      MoneyCase{"0", true, 0, ""}, MoneyCase{"0.00", true, 0, ""},
                      MoneyCase{"12.345", false, -1, "more than two digits"},
                      MoneyCase{"0.001", true, -1, "more than two digits"},
                      MoneyCase{"0", false, -1, "above 0"}, MoneyCase{"0.00", false, -1, "above 0"},
                      MoneyCase{"10000000000", false, -1, "largest amount"},
                      MoneyCase{"0x10", false, -1, "not an amount"}, MoneyCase{"1e3", false, -1, "not an amount"},
                      MoneyCase{"-5", false, -1, "not an amount"}, MoneyCase{"+5", false, -1, "not an amount"},
                      MoneyCase{"1,50", false, -1, "not an amount"}, MoneyCase{" 1", false, -1, "not an amount"},
                      MoneyCase{"1.", false, -1, "not an amount"}, MoneyCase{"", false, -1, "not an amount"},
                      MoneyCase{".", false, -1, "not an amount"}, MoneyCase{"inf", false, -1, "not an amount"}),
    [](const ::testing::TestParamInfo<MoneyCase>& i) {
        std::string n = std::to_string(i.index) + "_";
        for (const char* c = i.param.text; *c != '\0'; ++c)
            n += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
        return n;
    });

TEST(EcrcliMoneyText, MinorUnitsPrintExactly)
{
    EXPECT_EQ(money_text(1234), "12.34");
    EXPECT_EQ(money_text(5), "0.05");
    EXPECT_EQ(money_text(-700), "-7.00");
    EXPECT_EQ(money_text(999999999999LL), "9999999999.99");
    // Doubles the library hands back land on the nearest minor unit.
    EXPECT_EQ(money_from_double(12.34), 1234);
    EXPECT_EQ(money_from_double(0.29), 29);
    EXPECT_EQ(money_from_double(-7.0), -700);
}

// ---- the command line ----

struct LineCase {
    const char* line;
    ParseStatus status;
    const char* command;  // Run: the command; Usage: part of the reason
    TransportKind transport;
    const char* host;
    unsigned port;
    unsigned timeout;
    bool json;
    long long first;  // the first argument's number (minor units for money), -1 when none
};

class EcrcliLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(EcrcliLine, Read)
{
    const LineCase& c = GetParam();
    const Parsed p = parse_command_line(words(c.line));
    ASSERT_EQ(p.status, c.status) << c.line << ": " << p.text;
    if (c.status == ParseStatus::Usage) {
        EXPECT_NE(p.text.find(c.command), std::string::npos) << p.text;
        return;
    }
    if (c.status == ParseStatus::Help) {
        EXPECT_NE(p.text.find(c.command), std::string::npos) << p.text;
        return;
    }
    const Options& o = p.options;
    EXPECT_EQ(o.command, c.command);
    EXPECT_EQ(o.transport, c.transport);
    EXPECT_EQ(c.transport == TransportKind::Serial ? o.device : o.host, c.host);
    EXPECT_EQ(o.port, c.port);
    EXPECT_EQ(o.timeout, c.timeout);
    EXPECT_EQ(o.json, c.json);
    if (c.first >= 0) {
        ASSERT_FALSE(o.args.empty());
        EXPECT_TRUE(o.args[0].given);
        EXPECT_EQ(o.args[0].number, c.first);
    }
}

constexpr auto kRun = ParseStatus::Run;
constexpr auto kUse = ParseStatus::Usage;
constexpr auto kHelp = ParseStatus::Help;
constexpr auto kTcp = TransportKind::Tcp;
constexpr auto kUdp = TransportKind::Udp;
constexpr auto kSer = TransportKind::Serial;

INSTANTIATE_TEST_SUITE_P(
    Lines, EcrcliLine,
    ::testing::Values(
        // Options before and after the subcommand, and in the --opt=value form.
        LineCase{"--tcp 10.0.0.5:2100 settle", kRun, "settle", kTcp, "10.0.0.5", 2100, 0, false, -1},
        LineCase{"settle --tcp 127.0.0.1:24681", kRun, "settle", kTcp, "127.0.0.1", 24681, 0, false, -1},
        LineCase{"purchase 12.34 --udp=host.example:7 --json", kRun, "purchase", kUdp, "host.example", 7, 0, true,
                 1234},
        LineCase{"--json ping --timeout=3", kRun, "ping", kTcp, "127.0.0.1", 2000, 3, true, -1},
        LineCase{"purchase --timeout 120 1.00 0.50", kRun, "purchase", kTcp, "127.0.0.1", 2000, 120, false, 100},
        LineCase{"check --serial /dev/ttyUSB0", kRun, "check", kSer, "/dev/ttyUSB0", 2000, 0, false, -1},
        LineCase{"--tcp 10.1.1.1 void 42", kRun, "void", kTcp, "10.1.1.1", 2000, 0, false, 42},
        LineCase{"gti 0 5", kRun, "gti", kTcp, "127.0.0.1", 2000, 0, false, 0},
        LineCase{"refund 5", kRun, "refund", kTcp, "127.0.0.1", 2000, 0, false, 500},
        LineCase{"--version", kRun, "", kTcp, "127.0.0.1", 2000, 0, false, -1},
        LineCase{"--timeout 50 gtl --timeout 60", kRun, "gtl", kTcp, "127.0.0.1", 2000, 60, false, -1},
        // Help, whole and per subcommand.
        LineCase{"--help", kHelp, "purchase", kTcp, "", 0, 0, false, -1},
        LineCase{"partvoid --help", kHelp, "INVOICE", kTcp, "", 0, 0, false, -1},
        // Usage errors, each with its reason.
        LineCase{"purchase 12.345", kUse, "more than two digits", kTcp, "", 0, 0, false, -1},
        LineCase{"purchase 0", kUse, "above 0", kTcp, "", 0, 0, false, -1},
        LineCase{"purchase 0x10", kUse, "not an amount", kTcp, "", 0, 0, false, -1},
        LineCase{"purchase 1e3", kUse, "not an amount", kTcp, "", 0, 0, false, -1},
        LineCase{"purchase 1 2 3", kUse, "not expected: 3", kTcp, "", 0, 0, false, -1},
        LineCase{"purchase", kUse, "AMOUNT is required", kTcp, "", 0, 0, false, -1},
        LineCase{"purchase 1 0.001", kUse, "ADD", kTcp, "", 0, 0, false, -1},
        LineCase{"cashback 5 0", kUse, "CASH", kTcp, "", 0, 0, false, -1},
        LineCase{"void 0", kUse, "1..999999", kTcp, "", 0, 0, false, -1},
        LineCase{"gtc 100", kUse, "0..99", kTcp, "", 0, 0, false, -1},
        LineCase{"audit 0123456789abcdef", kUse, "1 to 15 characters", kTcp, "", 0, 0, false, -1},
        LineCase{"--tcp host:0 ping", kUse, "HOST[:PORT]", kTcp, "", 0, 0, false, -1},
        LineCase{"--tcp a:1 --udp b:2 ping", kUse, "excludes", kTcp, "", 0, 0, false, -1},
        LineCase{"--timeout 0 ping", kUse, "--timeout", kTcp, "", 0, 0, false, -1},
        LineCase{"--bogus ping", kUse, "--bogus", kTcp, "", 0, 0, false, -1},
        LineCase{"pay 1", kUse, "pay", kTcp, "", 0, 0, false, -1},
        LineCase{"--json", kUse, "a command is needed", kTcp, "", 0, 0, false, -1}),
    [](const ::testing::TestParamInfo<LineCase>& i) {
        std::string n = std::to_string(i.index) + "_";
        for (const char* c = i.param.line; *c != '\0'; ++c)
            n += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
        return n;
    });

// ---- the verdict: exit code, status and reason ----

struct VerdictCase {
    const char* name;
    Observed seen;
    int exit_code;
    const char* status;
    const char* reason;
};

Observed seen(Shape shape, bool completed, unsigned long result, int worker_result = 0)
{
    Observed o;
    o.shape = shape;
    o.completed = completed;
    o.result = result;
    o.worker_done = true;
    o.worker_result = worker_result;
    o.deadline_s = 3;
    return o;
}

template <typename F>
Observed with(Observed o, F f)
{
    f(o);
    return o;
}

class EcrcliVerdict : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(EcrcliVerdict, ExitStatusAndReason)
{
    const VerdictCase& c = GetParam();
    const Verdict v = judge(c.seen);
    EXPECT_EQ(v.exit_code, c.exit_code) << c.name;
    EXPECT_EQ(v.status, c.status) << c.name;
    EXPECT_EQ(v.reason, c.reason) << c.name;
}

const Shape kPay = Shape::Payment;
const Shape kSvc = Shape::Service;

INSTANTIATE_TEST_SUITE_P(
    Ends, EcrcliVerdict,
    ::testing::Values(
        VerdictCase{"approved", seen(kPay, true, 0), 0, "approved", ""},
        VerdictCase{"declined", seen(kPay, true, 5), 1, "declined",
                    "declined by the terminal: response code 05 (do not honour)"},
        VerdictCase{"no report, nothing more known", seen(kPay, true, 20), 4, "unknown",
                    "no final answer from the terminal: the outcome is not known"},
        VerdictCase{"no report, the link says why",
                    with(seen(kPay, true, 20), [](Observed& o) {
                        o.link_error_known = true;
                        o.link_error = "the terminal closed the connection";
                    }),
                    4, "unknown", "the terminal closed the connection"},
        VerdictCase{"tool's limit", with(seen(kPay, false, 0), [](Observed& o) { o.deadline_hit = true; }), 4,
                    "unknown", "no answer within 3 s"},
        VerdictCase{"Ctrl-C", with(seen(kPay, true, 0), [](Observed& o) { o.user_cancelled = true; }), 130,
                    "cancelled", "cancelled at the cash desk (Ctrl-C)"},
        VerdictCase{"Ctrl-C after a decline", with(seen(kPay, true, 51), [](Observed& o) { o.user_cancelled = true; }),
                    1, "declined", "declined by the terminal: response code 51 (insufficient funds)"},
        VerdictCase{"refused without a connection", seen(kPay, false, 0, kEFail), 3, "failed",
                    "the library refused the operation (result 0x80004005)"},
        VerdictCase{"library: not sent",
                    with(seen(kPay, true, 20), [](Observed& o) {
                        o.outcome = LibOutcome::NotSent;
                        o.link_error_known = true;
                        o.link_error = "frames with a bad check byte were received";
                    }),
                    3, "failed", "frames with a bad check byte were received"},
        VerdictCase{"library: unknown",
                    with(seen(kPay, true, 20), [](Observed& o) {
                        o.outcome = LibOutcome::Unknown;
                        o.outcome_reason = "no final response";
                    }),
                    4, "unknown", "no final response"},
        VerdictCase{"library: approved", with(seen(kPay, true, 0), [](Observed& o) { o.outcome = LibOutcome::Approved; }),
                    0, "approved", ""},
        VerdictCase{"library: a real code 20",
                    with(seen(kPay, true, 20), [](Observed& o) { o.outcome = LibOutcome::Declined; }), 1, "declined",
                    "declined by the terminal: response code 20 (no answer from the terminal)"},
        VerdictCase{"library: cancelled by the tool's limit",
                    with(seen(kPay, true, 0), [](Observed& o) {
                        o.outcome = LibOutcome::Cancelled;
                        o.deadline_hit = true;
                    }),
                    4, "unknown", "no answer within 3 s"},
        // Result 0 after a cancel is never an approval: the outcome decides.
        VerdictCase{"library: result 0, the terminal took the abort",
                    with(seen(kPay, true, 0), [](Observed& o) {
                        o.outcome = LibOutcome::Cancelled;
                        o.outcome_reason = "the terminal accepted the abort";
                    }),
                    4, "unknown", "the terminal accepted the abort"},
        VerdictCase{"library: result 0, cancelled after the terminal started",
                    with(seen(kPay, true, 0), [](Observed& o) {
                        o.outcome = LibOutcome::Unknown;
                        o.outcome_reason = "cancelled by the cash register after the terminal started";
                    }),
                    4, "unknown", "cancelled by the cash register after the terminal started"},
        VerdictCase{"ping acknowledged", seen(Shape::Ping, false, 0), 0, "ok", ""},
        VerdictCase{"ping not acknowledged", seen(Shape::Ping, true, 20, 1), 3, "failed",
                    "the terminal did not acknowledge the ping"},
        VerdictCase{"service silent", with(seen(kSvc, false, 0), [](Observed& o) { o.deadline_hit = true; }), 3,
                    "failed", "no answer from the terminal (no answer within 3 s)"},
        VerdictCase{"service silent, the library says so",
                    with(seen(kSvc, false, 0, kEFail), [](Observed& o) {
                        o.link_error_known = true;
                        o.link_error = "no answer within 5 s";
                    }),
                    3, "failed", "no answer from the terminal (no answer within 5 s)"},
        VerdictCase{"X report silent: it may have printed",
                    with(seen(kSvc, false, 0, kEFail), [](Observed& o) {
                        o.link_error_known = true;
                        o.link_error = "no answer within 5 s";
                        o.may_have_acted = true;
                    }),
                    4, "unknown",
                    "no answer from the terminal (no answer within 5 s): the terminal may have acted on the request"},
        VerdictCase{"ping, the link closed",
                    with(seen(Shape::Ping, false, 0, kEFail), [](Observed& o) {
                        o.link_error_known = true;
                        o.link_error = "the terminal closed the connection";
                    }),
                    3, "failed", "the link failed (the terminal closed the connection)"},
        VerdictCase{"service failed, link unknown", seen(kSvc, false, 0, kEFail), 3, "failed",
                    "the terminal did not answer as expected (result 0x80004005)"},
        VerdictCase{"service refused on a sound link",
                    with(seen(kSvc, false, 0, kEFail), [](Observed& o) { o.link_error_known = true; }), 1, "declined",
                    "the terminal answered with a refusal (result 0x80004005)"},
        VerdictCase{"empty audit, link unknown",
                    with(seen(kSvc, false, 0, kEFail), [](Observed& o) { o.empty_answer_ok = true; }), 3, "failed",
                    "no records came: the journal is empty or the terminal did not answer (result 0x80004005)"},
        VerdictCase{"empty audit on a sound link",
                    with(seen(kSvc, false, 0, kEFail), [](Observed& o) {
                        o.link_error_known = true;
                        o.empty_answer_ok = true;
                    }),
                    0, "ok", ""},
        VerdictCase{"argument refused", seen(kSvc, false, 0, kEInvalidArg), 2, "usage",
                    "the library refused the argument"}),
    [](const ::testing::TestParamInfo<VerdictCase>& i) {
        std::string n = std::to_string(i.index) + "_";
        for (const char* c = i.param.name; *c != '\0'; ++c)
            n += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
        return n;
    });

// ecrb_recover's result and the library's reason decide, as a payment's own end would.
TEST(EcrcliVerdict, RecoveryEnds)
{
    const struct {
        int result;
        const char* reason;  // the library's outcome reason
        bool link_silent;
        int exit_code;
        const char* text;
    } cases[] = {
        {0, "", false, 0, "nothing to recover: no payment with an unknown outcome was recorded"},
        {1, "recovered: approved in the terminal's journal", false, 0, ""},
        {2, "recovered: declined in the terminal's journal", false, 1, "recovered: declined in the terminal's journal"},
        {3, "recovered: the terminal's journal does not hold the payment", false, 3,
         "recovered: the terminal's journal does not hold the payment: the payment was not made"},
        {kEFail, "cancelled by the cash register after the terminal started", true, 4,
         "the terminal's journal could not be asked (no answer within 5 s): the payment's outcome is still not known"},
    };
    for (const auto& c : cases) {
        Observed o = seen(Shape::Service, false, 0, c.result);
        o.outcome_reason = c.reason;
        o.link_error_known = true;
        o.link_error = c.link_silent ? "no answer within 5 s" : "";
        const Verdict v = judge_recovery(c.result, o);
        EXPECT_EQ(v.exit_code, c.exit_code) << c.result;
        EXPECT_EQ(v.reason, c.text) << c.result;
    }
}

// ---- progress: wait notices in the library's log ----

TEST(EcrcliProgress, WaitNoticesAreFoundInReceivedDumpsOnly)
{
    const std::string sent =
        "HEX DUMP: Buffer address = 0x1, size = 8, function: [SEND TO TERMINAL]\n\n"
        "000 | 50 55 52 30 30 2E 30 39                         PUR00.09 \n\n";
    const std::string notice =
        "HEX DUMP: Buffer address = 0x2, size = 8, function: [Received from terminal]\n\n"
        "000 | 50 55 52 30 30 2E 30 32                         PUR00.02 \n\n";
    const std::string other =
        "HEX DUMP: Buffer address = 0x3, size = 6, function: [Received from terminal]\n\n"
        "000 | 50 55 52 31 31 2E                               PUR11. \n\n";
    size_t used = 0;
    EXPECT_EQ(last_wait_notice(sent + other, &used), -1);
    EXPECT_EQ(used, (sent + other).size());
    EXPECT_EQ(last_wait_notice(other + notice + sent, &used), 2);
    // A dump whose bytes are not written yet is left for the next look.
    const std::string half = notice.substr(0, notice.find("000 |"));
    EXPECT_EQ(last_wait_notice(other + half, &used), -1);
    EXPECT_EQ(used, other.size());
    EXPECT_EQ(last_wait_notice(notice, &used), 2);
}

TEST(EcrcliProgress, StatusLineShowsTheMovedDeadlineAndTheMessage)
{
    EXPECT_EQ(status_text("purchase", 12.2, 40, -1, ""), "purchase: waiting for the terminal   12s / 40s");
    EXPECT_EQ(status_text("purchase", 52, 132, 2, "INSERT CARD"),
              "purchase: waiting for the terminal   52s / 132s (the terminal asked for 2 min)  | INSERT CARD");
}

TEST(EcrcliProgress, DatesCarryTheYear)
{
    EXPECT_EQ(date_with_year(8, 12, 7, 58, 2026, 12, 8), "2026-12-08 07:58");
    EXPECT_EQ(date_with_year(31, 12, 23, 59, 2027, 1, 1), "2026-12-31 23:59");  // read in the new year
    EXPECT_EQ(date_with_year(9, 12, 0, 0, 2026, 12, 8), "2025-12-09 00:00");
    EXPECT_EQ(date_with_year(0, 0, 0, 0, 2026, 12, 8), "");
}

// ---- the report ----

TEST(EcrcliReport, TableAndJsonOfOneReport)
{
    Report r;
    r.operation = "purchase";
    r.status = "unknown";
    r.exit_code = 4;
    r.reason = "no answer within 3 s";
    r.add("amount", "Amount", "12.34");
    r.add_number("invoice", "Invoice", 7);
    r.add("link", "Link", "tcp 1.2.3.4:2000", "tcp 1.2.3.4:2000: open");
    r.receipt = "Сумма: 12.34\n\"OK\"";
    EXPECT_EQ(render_table(r), "Operation  purchase\n"
                               "Result     unknown\n"
                               "Reason     no answer within 3 s\n"
                               "Amount     12.34\n"
                               "Invoice    7\n"
                               "Link       tcp 1.2.3.4:2000: open\n"
                               "---- receipt ----\nСумма: 12.34\n\"OK\"\n-----------------\n");
    EXPECT_EQ(render_json(r), "{\"operation\":\"purchase\",\"status\":\"unknown\",\"exit_code\":4,"
                              "\"reason\":\"no answer within 3 s\",\"amount\":\"12.34\",\"invoice\":7,"
                              "\"link\":\"tcp 1.2.3.4:2000\",\"receipt\":\"Сумма: 12.34\\n\\\"OK\\\"\"}\n");
    // Bytes that are not UTF-8 never make the JSON invalid.
    r.receipt = "\xC0\xFF";
    EXPECT_NO_THROW(nlohmann::json::parse(render_json(r)));
}

TEST(EcrcliReport, Cp1251TextsAndResponseMeanings)
{
    EXPECT_EQ(cp1251_to_utf8("\xA8\xB8\xB9\xC0\xFE\xFF A"), "Ёё№Аюя A");
    EXPECT_STREQ(response_meaning(0), "approved");
    EXPECT_STREQ(response_meaning(5), "do not honour");
    EXPECT_STREQ(response_meaning(77), "declined");
    // A stored transaction's operation is the type in its processing code.
    EXPECT_STREQ(stored_operation(0), "purchase");
    EXPECT_STREQ(stored_operation(200000), "refund");
    EXPECT_STREQ(stored_operation(20000), "void");
    EXPECT_STREQ(stored_operation(99999), "purchase with cash back");
    EXPECT_STREQ(stored_operation(500000), "");
    EXPECT_STREQ(stored_operation(-1), "");
}

TEST(EcrcliReport, CardDataIsMaskedInTableAndJson)
{
    ecrcli::Report r;
    r.operation = "card-read";
    r.status = "ok";
    r.add("pan", "Card", "4111111111111111");
    r.add("expiry", "Expiry", "12/27");
    r.add("track2", "Track 2", "4111111111111111=2712101");
    r.add("rrn", "RRN", "700000010001");
    r.records.push_back("PUR 5500000000000004 A00001");
    r.message = "card 4012888888881881";
    r.receipt = "Card: 378282246310005\nOK";
    EXPECT_EQ(ecrcli::render_table(r),
              "Operation         card-read\nResult            ok\nCard              411111******1111\n"
              "Expiry            *****\nTrack 2           ************************\nRRN               700000010001\n"
              "Terminal message  card 401288******1881\n  PUR 550000******0004 A00001\n"
              "---- receipt ----\nCard: 378282*****0005\nOK\n-----------------\n");
    EXPECT_EQ(ecrcli::render_json(r),
              "{\"operation\":\"card-read\",\"status\":\"ok\",\"exit_code\":0,\"reason\":\"\","
              "\"pan\":\"411111******1111\",\"expiry\":\"*****\","
              "\"track2\":\"************************\",\"rrn\":\"700000010001\","
              "\"records\":[\"PUR 550000******0004 A00001\"],\"message\":\"card 401288******1881\","
              "\"receipt\":\"Card: 378282*****0005\\nOK\"}\n");
}
