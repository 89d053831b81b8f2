// ecrcli against ecrsim, both as separate processes over real loopback
// sockets and pseudo-terminals.  Every payment lasts more than 5 s (the
// confirmation of the final response follows it after 5000 ms).
#include "tools/tool_proc.h"
#include "support/ports.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <memory>
#include <thread>
#include <unistd.h>

using tooltest::Json;
using tooltest::parse_json;
using tooltest::run_cli;

using tooltest::Simulator;
using tooltest::TempDir;

namespace {

constexpr unsigned long long kConfirmPauseMs = 5000;

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A purchase through ecrcli with JSON output, checked to be approved.
Json approved(const Simulator& sim, const TempDir& dir, const std::vector<std::string>& command)
{
    tooltest::Run r = run_cli(with(with(sim.cli_link(), {"--json", "--log-dir", dir.path()}), command), dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    Json j = parse_json(r.out);
    EXPECT_TRUE(j.ok) << r.out;
    EXPECT_EQ(j.at("status"), "approved") << r.out;
    return j;
}

// Whether the library tells the tool its link failures (ecrcli --version).
bool library_tells_link_errors()
{
    TempDir dir;
    const tooltest::Run r = run_cli({"--version", "--json"}, dir.path());
    return parse_json(r.out).at("last_error_text") == "yes";
}

}  // namespace

TEST(EcrcliPurchase, ApprovedOverTcpPrintsFieldsAndUtf8Receipt)
{
    TempDir dir;
    Simulator sim({}, dir.path());
    const std::string logs = dir.file("logs/desk1");  // created by ecrcli
    tooltest::Run r = run_cli(with({"purchase", "12.34", "--log-dir", logs}, sim.cli_link()), dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_GE(r.elapsed_ms, kConfirmPauseMs);
    EXPECT_LT(r.elapsed_ms, 20000u);
    EXPECT_NE(r.out.find("Result             approved\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Response code      00 (approved)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Amount             12.34\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Card               4111********1111\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("RRN                700000010001\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Invoice            1\n"), std::string::npos) << r.out;
    // The expiry is card data: never printed.
    EXPECT_NE(r.out.find("Expiry             *****\n"), std::string::npos) << r.out;
    // The receipt arrives in CP1251 and is printed in UTF-8.
    EXPECT_NE(r.out.find("Сумма: 12.34\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ОДОБРЕНО\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Bank               Тестовый Банк\n"), std::string::npos) << r.out;
    // The library's log lands in --log-dir, with the request in its dumps.
    const std::string log = tooltest::find_log(logs);
    ASSERT_FALSE(log.empty());
    EXPECT_NE(tooltest::read_file(log).find("function: [SEND TO TERMINAL]"), std::string::npos);
}

TEST(EcrcliPurchase, DeclinedShowsTheCodeAndExitsNonZero)
{
    TempDir dir;
    Simulator sim({"--code", "05"}, dir.path());
    tooltest::Run r = run_cli(with(sim.cli_link(), {"--log-dir", dir.path(), "purchase", "12.34"}), dir.path());
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("Result             declined\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Response code      05 (do not honour)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ОТКАЗ (05)"), std::string::npos) << r.out;
}

TEST(EcrcliPurchase, JsonOutputParsesBack)
{
    TempDir dir;
    Simulator sim({}, dir.path());
    Json j = approved(sim, dir, {"purchase", "7.50", "0.25"});
    EXPECT_EQ(j.at("operation"), "purchase");
    EXPECT_EQ(j.at("response_code"), "0");
    EXPECT_EQ(j.at("meaning"), "approved");
    EXPECT_EQ(j.at("amount"), "7.50");
    EXPECT_EQ(j.at("add_amount"), "0.25");
    EXPECT_EQ(j.at("pan"), "4111********1111");
    EXPECT_EQ(j.at("rrn").size(), 12u);
    EXPECT_EQ(j.at("approval_code").size(), 6u);
    EXPECT_EQ(j.at("invoice"), "1");
    EXPECT_EQ(j.at("terminal_id"), "SIM00001");
    EXPECT_NE(j.at("receipt").find("Сумма: 7.50\nДоп. сумма: 0.25\n"), std::string::npos) << j.at("receipt");
}

TEST(EcrcliJournal, RefundIsCountedInTheSummary)
{
    TempDir dir;
    Simulator sim({}, dir.path());
    Json j = approved(sim, dir, {"refund", "5.00"});
    EXPECT_EQ(j.at("op_tag"), "REF");
    EXPECT_EQ(j.at("amount"), "5.00");
    tooltest::Run s = run_cli(with(sim.cli_link(), {"--json", "--log-dir", dir.path(), "gsi"}), dir.path());
    ASSERT_EQ(s.exit_code, 0) << s.out << s.err;
    Json g = parse_json(s.out);
    EXPECT_EQ(g.at("refunds_count"), "1") << s.out;
    EXPECT_EQ(g.at("refunds_amount"), "5.00") << s.out;
    EXPECT_EQ(g.at("purchases_count"), "0") << s.out;
    // The stored refund, asked three ways: what it was, how it ended, when.
    const std::string invoice = j.at("invoice");
    const std::vector<std::string> queries[] = {{"gtl"}, {"gts", "1"}, {"gti", invoice}};
    for (const std::vector<std::string>& q : queries) {
        const tooltest::Run t = run_cli(with(with(sim.cli_link(), {"--json"}), q), dir.path());
        ASSERT_EQ(t.exit_code, 0) << t.out << t.err;
        const Json st = parse_json(t.out);
        EXPECT_EQ(st.at("transaction"), "refund") << t.out;
        EXPECT_EQ(st.at("response_code"), "0") << t.out;
        EXPECT_EQ(st.at("meaning"), "approved") << t.out;
        EXPECT_EQ(st.at("date_time"), j.at("date_time")) << t.out;
        EXPECT_EQ(st.at("date_time").find('-'), 4u) << t.out;  // "YYYY-MM-DD hh:mm"
        EXPECT_EQ(st.at("invoice"), invoice) << t.out;
        EXPECT_FALSE(st.has("op_tag") || st.has("sales_count")) << t.out;
    }
    const tooltest::Run t = run_cli(with(sim.cli_link(), {"gtl"}), dir.path());
    EXPECT_NE(t.out.find("\nTransaction        refund\n"), std::string::npos) << t.out;
    EXPECT_NE(t.out.find("\nResponse code      00 (approved)\n"), std::string::npos) << t.out;
    EXPECT_EQ(t.out.find("Message code"), std::string::npos) << t.out;
    // The settlement's answer has no counts: those of the batch it closed.
    const Json st = approved(sim, dir, {"settle"});
    EXPECT_EQ(st.at("refunds_count"), "1");
    EXPECT_EQ(st.at("refunds_amount"), "5.00");
    EXPECT_EQ(st.at("purchases_count"), "0");
    EXPECT_FALSE(st.has("sales_count"));
}

TEST(EcrcliJournal, VoidActsOnThePurchaseInvoice)
{
    TempDir dir;
    Simulator sim({}, dir.path());
    Json p = approved(sim, dir, {"purchase", "3.21"});
    const std::string invoice = p.at("invoice");
    Json v = approved(sim, dir, {"void", invoice});
    EXPECT_EQ(v.at("op_tag"), "VOD");
    EXPECT_EQ(v.at("amount"), "3.21");
    EXPECT_EQ(v.at("pan"), "4111********1111");
    // The same invoice cannot be voided twice.
    tooltest::Run again = run_cli(with(sim.cli_link(), {"--json", "--log-dir", dir.path(), "void", invoice}), dir.path());
    EXPECT_EQ(again.exit_code, 1) << again.out;
    EXPECT_EQ(parse_json(again.out).at("response_code"), "25") << again.out;
}

TEST(EcrcliJournal, SettlementTotalsMatchTheJournal)
{
    TempDir dir;
    Simulator sim({}, dir.path());
    approved(sim, dir, {"purchase", "10.00"});
    approved(sim, dir, {"purchase", "2.50"});
    approved(sim, dir, {"refund", "1.00"});
    tooltest::Run c = run_cli(with(sim.cli_link(), {"--json", "--log-dir", dir.path(), "gtc"}), dir.path());
    EXPECT_EQ(parse_json(c.out).at("count"), "3") << c.out;
    Json s = approved(sim, dir, {"settle-report"});
    EXPECT_EQ(s.at("op_tag"), "SLR");
    EXPECT_EQ(s.at("total_amount"), "11.50") << s.at("receipt");
    EXPECT_EQ(s.at("sales_count"), "2");
    EXPECT_EQ(s.at("refunds_count"), "1");
    EXPECT_EQ(s.at("transaction_count"), "3");
    EXPECT_NE(s.at("receipt").find("Итого: 11.50"), std::string::npos) << s.at("receipt");
    // The settlement closed the batch.
    tooltest::Run after = run_cli(with(sim.cli_link(), {"--json", "--log-dir", dir.path(), "gtc"}), dir.path());
    EXPECT_EQ(parse_json(after.out).at("count"), "0") << after.out;
    // The terminal's "not found" is a refusal, with no record printed.
    tooltest::Run none = run_cli(with(sim.cli_link(), {"--json", "gtl"}), dir.path());
    EXPECT_EQ(none.exit_code, 1) << none.out;
    const Json n = parse_json(none.out);
    EXPECT_EQ(n.at("reason"), "the terminal holds no such stored transaction") << none.out;
    EXPECT_FALSE(n.has("amount")) << none.out;
}

TEST(EcrcliJournal, AuditIsPagedToTheEnd)
{
    TempDir dir;
    Simulator sim({}, dir.path());
    // The empty journal: no records, and not a silent terminal when the
    // library can tell the difference.
    tooltest::Run e = run_cli(with(sim.cli_link(), {"--json", "audit", "0"}), dir.path());
    const Json ej = parse_json(e.out);
    EXPECT_EQ(ej.at("exit_code"), std::to_string(e.exit_code)) << e.out;
    if (library_tells_link_errors()) {
        EXPECT_EQ(e.exit_code, 0) << e.out;
        EXPECT_EQ(ej.at("record_count"), "0") << e.out;
    } else {
        EXPECT_EQ(e.exit_code, 3) << e.out;
        EXPECT_NE(ej.at("reason").find("no records came"), std::string::npos) << e.out;
    }
    const Json a = approved(sim, dir, {"purchase", "1.11"});
    const Json b = approved(sim, dir, {"purchase", "2.22"});
    approved(sim, dir, {"refund", "0.50"});
    tooltest::Run r = run_cli(with(sim.cli_link(), {"--json", "--log-dir", dir.path(), "audit", "01"}), dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    Json j = parse_json(r.out);
    EXPECT_EQ(j.at("record_count"), "3") << r.out;
    const std::vector<std::string>& recs = j.arrays["records"];
    ASSERT_EQ(recs.size(), 3u) << r.out;
    // Record number, last number, then the invoice, the operation and the card.
    EXPECT_EQ(recs[0].substr(0, 14), "00010003000001") << recs[0];
    EXPECT_EQ(recs[1].substr(0, 14), "00020003000002") << recs[1];
    EXPECT_EQ(recs[2].substr(0, 14), "00030003000003") << recs[2];
    EXPECT_EQ(recs[0].substr(14, 20), "PUR 4111********1111");
    EXPECT_EQ(recs[2].substr(14, 3), "REF");
    EXPECT_EQ(recs[0].substr(34, 6), a.at("approval_code"));
    EXPECT_EQ(recs[1].substr(40, 12), "000000000222");
    EXPECT_EQ(recs[1].substr(52, 12), b.at("rrn"));
}

// The purchase that ecrcli starts once the request is on the wire (the tool
// may start slowly under an emulator); the final response is 4 s away.
std::unique_ptr<tooltest::Process> purchase_on_the_wire(const Simulator& sim, const TempDir& dir, const char* amount)
{
    std::vector<std::string> argv{tooltest::tool_path("ECRCLI"), "--lib", tooltest::tool_path("ECR_LIB"), "--json",
                                  "--log-dir", dir.path()};
    argv = with(with(argv, sim.cli_link()), {"purchase", amount});
    auto writes = [&dir] {
        const std::string log = tooltest::find_log(dir.path()), text = log.empty() ? "" : tooltest::read_file(log);
        size_t n = 0;
        for (size_t at = text.find("Succes write to terminal"); at != std::string::npos;
             at = text.find("Succes write to terminal", at + 1))
            ++n;
        return n;
    };
    const size_t before = writes();
    auto cli = std::make_unique<tooltest::Process>(argv, dir.path(), std::string("purchase") + amount);
    for (int i = 0; i < 200; ++i) {
        if (writes() > before)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(cli->running()) << cli->out() << cli->err();
    return cli;
}

// Ctrl-C during a purchase sends the abort; the terminal takes it and
// stores nothing, and that is the verdict (exit 130).
TEST(EcrcliCancel, CtrlCSendsTheAbortAndReportsTheTerminalsAnswer)
{
    TempDir dir;
    Simulator sim({"--delay-ms", "4000", "--verbose"}, dir.path());
    auto cli = purchase_on_the_wire(sim, dir, "12.34");
    cli->signal(SIGINT);
    const int code = cli->wait(15000);
    EXPECT_EQ(code, 130) << cli->out() << cli->err();
    Json j = parse_json(cli->out());
    EXPECT_EQ(j.at("status"), "cancelled") << cli->out();
    EXPECT_EQ(j.at("reason"), "cancelled at the cash desk (Ctrl-C): the terminal accepted the abort") << cli->out();
    EXPECT_NE(cli->err().find("asking the terminal to abort it"), std::string::npos) << cli->err();
    tooltest::Run c = run_cli(with(sim.cli_link(), {"--json", "--log-dir", dir.path(), "gtc"}), dir.path());
    EXPECT_EQ(parse_json(c.out).at("count"), "0") << c.out << c.err;
    sim.process().signal(SIGTERM);
    sim.process().wait(5000);
    EXPECT_NE(sim.process().err().find("ecrsim: request PUR11.\necrsim: abort accepted"), std::string::npos)
        << sim.process().err();
}

// A purchase killed mid-way leaves its record; recover asks the terminal's
// journal, whose last entry is the payment before it (the position the record
// noted), and says the payment was not made; then there is nothing left.
TEST(EcrcliRecover, KilledPurchaseIsResolvedFromTheJournal)
{
    TempDir dir;
    Simulator sim({"--delay-ms", "2000"}, dir.path());
    approved(sim, dir, {"purchase", "2.00"});  // the journal's last entry is another payment
    auto cli = purchase_on_the_wire(sim, dir, "7.00");
    cli->signal(SIGKILL);
    cli->wait(5000);
    const std::vector<std::string> recover = with(sim.cli_link(), {"--json", "--log-dir", dir.path(), "recover"});
    tooltest::Run r;
    for (int i = 0; i < 20 && (r = run_cli(recover, dir.path())).exit_code == 4; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the simulator is still busy with it
    EXPECT_EQ(r.exit_code, 3) << r.out << r.err;
    EXPECT_EQ(parse_json(r.out).at("reason"),
              "recovered: the terminal's journal holds nothing newer than before the request: the payment was not made")
        << r.out;
    const tooltest::Run again = run_cli(recover, dir.path());
    EXPECT_EQ(again.exit_code, 0) << again.out;
    EXPECT_EQ(parse_json(again.out).at("status"), "ok") << again.out;
}

// On a terminal the status line shows the deadline that the terminal's wait
// notice moved, and its message for the cash desk.
TEST(EcrcliProgress, StatusLineShowsTheWaitNoticeAndTheMessage)
{
    TempDir dir;
    Simulator sim({"--wait-notice", "2", "--delay-ms", "2000", "--sms", "INSERT CARD"}, dir.path());
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::vector<std::string> argv{tooltest::tool_path("ECRCLI"), "--lib", tooltest::tool_path("ECR_LIB"),
                                  "--log-dir", dir.path(), "purchase", "1.00"};
    tooltest::Process cli(with(argv, sim.cli_link()), dir.path(), "progress", ptsname(master));
    std::string screen;
    while (cli.running()) {
        pollfd p{master, POLLIN, 0};
        char buf[4096];
        if (poll(&p, 1, 100) > 0) {
            const ssize_t n = read(master, buf, sizeof buf);
            if (n > 0)
                screen.append(buf, static_cast<size_t>(n));
        }
    }
    close(master);
    EXPECT_EQ(cli.wait(1000), 0) << cli.out();
    EXPECT_NE(screen.find("purchase: waiting for the terminal    0s / 40s"), std::string::npos) << screen;
    // Two minutes from the notice, which came within the first seconds.
    const size_t at = screen.find(" (the terminal asked for 2 min)  | INSERT CARD");
    ASSERT_NE(at, std::string::npos) << screen;
    const size_t slash = screen.rfind("s / ", at);
    ASSERT_NE(slash, std::string::npos);
    const int deadline = std::atoi(screen.c_str() + slash + 4);
    EXPECT_GE(deadline, 120) << screen;
    EXPECT_LE(deadline, 125) << screen;
}

struct Drill {
    const char* fault;
    const char* link;
    const char* reason;  // what the library says when it tells its link failures
    const char* command = "purchase";  // a payment that moves money unless said otherwise
};

class EcrcliFault : public ::testing::TestWithParam<Drill> {};

// A faulty link is never a decline: exit 3 (unusable) or 4 (outcome unknown)
// with one reason, in one valid JSON object, within the tool's own limit.
TEST_P(EcrcliFault, EndsAsLinkFailureOrUnknownWithItsReason)
{
    const Drill& d = GetParam();
    TempDir dir;
    std::vector<std::string> options{"--fault", d.fault, d.link};
    if (options.back() != "--pty")
        options.push_back("127.0.0.1:0");
    Simulator sim(options, dir.path());
    const tooltest::Run r = run_cli(
        with(with(sim.cli_link(), {"--json", "--timeout", "3", "--log-dir", dir.path(), d.command}),
             d.command == std::string("purchase") ? std::vector<std::string>{"2.00"} : std::vector<std::string>{}),
        dir.path());
    ASSERT_TRUE(r.exit_code == 3 || r.exit_code == 4) << r.exit_code << r.out << r.err;
    Json j = parse_json(r.out);
    ASSERT_TRUE(j.ok) << r.out;
    EXPECT_EQ(j.at("exit_code"), std::to_string(r.exit_code));
    EXPECT_EQ(j.at("status"), r.exit_code == 3 ? "failed" : "unknown") << r.out;
    EXPECT_FALSE(j.has("response_code")) << r.out;
    // Every unknown payment ends with the way forward; an operation that
    // moves no money leaves the journal nothing to recover.
    EXPECT_EQ(j.has("next"), r.exit_code == 4 && d.command == std::string("purchase")) << r.out;
    if (library_tells_link_errors()) {
        const std::string& why = j.at("reason");
        EXPECT_TRUE(why.find(d.reason) != std::string::npos || why.find("no answer within") != std::string::npos)
            << why;
    } else {
        EXPECT_EQ(r.exit_code, 4);
        EXPECT_EQ(j.at("reason"), "no answer within 3 s") << r.out;
    }
    // The tool's limit and the short grace for the cancelled payment; a
    // connection the terminal closed ends the payment at once.
    if (std::string(d.fault) != "close" || std::string(d.link) != "--tcp") {
        EXPECT_GE(r.elapsed_ms, 3000u);
    } else {
        EXPECT_LT(r.elapsed_ms, 3000u);
    }
    EXPECT_LT(r.elapsed_ms, 15000u);
}

INSTANTIATE_TEST_SUITE_P(
    Drills, EcrcliFault,
    ::testing::Values(Drill{"close", "--tcp", "the terminal closed the connection"},
                      Drill{"close", "--udp", "the terminal closed the connection"},
                      Drill{"close", "--pty", "the terminal closed the connection"},
                      Drill{"bad-lrc", "--tcp", "bad check byte"}, Drill{"bad-lrc", "--udp", "bad check byte"},
                      Drill{"bad-lrc", "--pty", "bad check byte"}, Drill{"drop-ack", "--tcp", "no answer"},
                      Drill{"drop-ack", "--udp", "no answer"}, Drill{"drop-ack", "--pty", "no answer"},
                      Drill{"silence", "--tcp", "no answer"}, Drill{"silence", "--udp", "no answer"},
                      Drill{"silence", "--pty", "no answer"}, Drill{"silence", "--tcp", "no answer", "balance"}),
    [](const ::testing::TestParamInfo<Drill>& i) {
        std::string n = std::string(i.param.fault) + "_" + (i.param.link + 2) +
                        (i.param.command == std::string("purchase") ? "" : std::string("_") + i.param.command);
        for (char& c : n)
            c = c == '-' ? '_' : c;
        return n;
    });

class EcrcliSilence : public ::testing::TestWithParam<const char*> {};

// A terminal that never answers is not a refusal: every service subcommand
// ends with exit 3 (4 where the terminal may have acted) and says no answer
// came, from the library's own report (its wait) or from the tool's limit.
TEST_P(EcrcliSilence, ServiceCallsSayNoAnswer)
{
    TempDir dir;
    std::vector<std::string> options{"--fault", "silence", GetParam()};
    if (options.back() != std::string("--pty"))
        options.push_back("127.0.0.1:0");
    Simulator sim(options, dir.path());
    const struct {
        std::vector<std::string> args;  // with --timeout 1 the tool's limit ends the wait, else the library's
        int exit_code;
    } cases[] = {
        {{"tsn"}, 3}, {{"xreport"}, 4}, {{"--timeout", "1", "gtc"}, 3}, {{"--timeout", "1", "gtl"}, 3},
        {{"--timeout", "1", "card-read"}, 3}, {{"--timeout", "1", "software"}, 3},
    };
    for (const auto& c : cases) {
        const tooltest::Run r = run_cli(with(with(sim.cli_link(), {"--json"}), c.args), dir.path());
        EXPECT_EQ(r.exit_code, c.exit_code) << c.args.back() << r.out << r.err;
        const Json j = parse_json(r.out);
        EXPECT_EQ(j.at("status"), c.exit_code == 3 ? "failed" : "unknown") << r.out;
        EXPECT_EQ(j.at("reason").rfind("no answer from the terminal (no answer within ", 0), 0u) << r.out;
        // Nothing from an empty record.
        for (const char* k : {"count", "serial", "software", "track2", "op_tag", "amount"})
            EXPECT_FALSE(j.has(k)) << k << " " << r.out;
    }
    // check: the link opened, the ping got nothing.
    const tooltest::Run r = run_cli(with(sim.cli_link(), {"--timeout", "1", "check"}), dir.path());
    EXPECT_EQ(r.exit_code, 3) << r.out;
    EXPECT_NE(r.out.find(": open\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Ping       FAILED (no answer from the terminal"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("acknowledged"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Links, EcrcliSilence, ::testing::Values("--tcp", "--udp", "--pty"),
                         [](const ::testing::TestParamInfo<const char*>& i) { return std::string(i.param + 2); });

TEST(EcrcliCheck, RunningSimulatorAnswersEverything)
{
    TempDir dir;
    Simulator sim({}, dir.path());
    tooltest::Run r = run_cli(with(sim.cli_link(), {"--log-dir", dir.path(), "check"}), dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Ping           ok: the terminal acknowledged\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Serial number  SIM00001234\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Software       ECRSIM TERMINAL 1.0\n"), std::string::npos) << r.out;
    const Json j = parse_json(run_cli(with({"check", "--json"}, sim.cli_link()), dir.path()).out);
    EXPECT_EQ(j.at("serial"), "SIM00001234");
    EXPECT_EQ(j.at("software"), "ECRSIM TERMINAL 1.0");
    EXPECT_EQ(j.at("ping"), "ok");
    // A card read says what it read and shows the masked number, never the track.
    const Json c = parse_json(run_cli(with({"card-read", "--json"}, sim.cli_link()), dir.path()).out);
    EXPECT_EQ(c.at("card_data"), "track 2");
    EXPECT_EQ(c.at("pan"), "411111******1111");
    EXPECT_FALSE(c.has("track2"));
}

// A port that nothing listens on: bind one, note it, close it.
std::string free_port(int type) { return std::to_string(support::closed_port(type)); }

// check against a terminal that is not there: a failed link with its reason,
// exit 3, within its own short time-out.
TEST(EcrcliCheck, AbsentTerminalIsAFailedLink)
{
    TempDir dir;
    const std::string tcp = free_port(SOCK_STREAM), udp = free_port(SOCK_DGRAM);
    struct Case {
        std::vector<std::string> link;
        std::string row;     // the table's Link row
        std::string reason;  // part of the reason
    } cases[] = {
        {{"--tcp", "127.0.0.1:" + tcp}, "tcp 127.0.0.1:" + tcp + ": FAILED", "cannot open tcp 127.0.0.1:" + tcp},
        {{"--tcp=localhost:" + tcp}, "tcp localhost:" + tcp + ": FAILED", "cannot open tcp localhost:" + tcp},
        // UDP has no connection to refuse: the socket opens, the ping fails.
        {{"--udp", "127.0.0.1:" + udp}, "udp 127.0.0.1:" + udp + ": open\nPing       FAILED (the link failed", "ping: "},
        {{"--serial", "/dev/null"}, "serial /dev/null: FAILED",
         "/dev/null is not a serial line: Inappropriate ioctl for device"},
        {{"--serial", dir.file("none")}, "serial " + dir.file("none") + ": FAILED",
         dir.file("none") + ": No such file or directory"},
    };
    for (const Case& c : cases) {
        // Options after the subcommand count as well as before it.
        tooltest::Run r = run_cli(with({"check", "--log-dir", dir.path()}, c.link), dir.path());
        EXPECT_EQ(r.exit_code, 3) << r.out << r.err;
        EXPECT_NE(r.out.find("Result     failed\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Link       " + c.row), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Reason     " + c.reason), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find(": open") == std::string::npos, c.row.find(": open") == std::string::npos) << r.out;
        EXPECT_LT(r.elapsed_ms, 10000u) << r.out;
        tooltest::Run j = run_cli(with({"--json", "check"}, c.link), dir.path());
        const Json js = parse_json(j.out);
        ASSERT_TRUE(js.ok) << j.out;
        EXPECT_EQ(js.at("exit_code"), "3");
        EXPECT_NE(js.at("reason").find(c.reason), std::string::npos) << j.out;
    }
}

// Ends that need no terminal: one JSON object each, with the exit code and
// the reason.
TEST(EcrcliExit, EveryEndIsOneJsonObjectWithItsReason)
{
    TempDir dir;
    const std::string closed = free_port(SOCK_STREAM);
    const struct {
        std::vector<std::string> args;
        int exit_code;
        const char* status;
        std::string reason;
    } cases[] = {
        {{"purchase", "12.345"}, 2, "usage", "purchase: AMOUNT: \"12.345\" has more than two digits after the point"},
        {{"purchase", "1", "2", "3"}, 2, "usage", "The following argument was not expected: 3"},
        {{"ping", "--log-dir", "/proc/none/logs"}, 2, "usage",
         "cannot create the log directory /proc/none/logs: No such file or directory"},
        {{"--lib", "/none/libecrbridge.so", "ping"}, 3, "failed", "cannot load /none/libecrbridge.so"},
        {{"--tcp", "127.0.0.1:" + closed, "purchase", "1"}, 3, "failed", "cannot open tcp 127.0.0.1:" + closed},
        {{"--tcp", "no-such-host.invalid", "ping"}, 3, "failed", "cannot resolve no-such-host.invalid"},
    };
    for (const auto& c : cases) {
        const tooltest::Run r = run_cli(with({"--json"}, c.args), dir.path());
        EXPECT_EQ(r.exit_code, c.exit_code) << r.out << r.err;
        const Json j = parse_json(r.out);
        ASSERT_TRUE(j.ok) << r.out;
        EXPECT_EQ(j.at("status"), c.status);
        EXPECT_EQ(j.at("exit_code"), std::to_string(c.exit_code));
        EXPECT_EQ(j.at("reason").compare(0, c.reason.size(), c.reason), 0) << j.at("reason");
        // Without --json the reason is one line: on stderr for usage, in the table otherwise.
        const tooltest::Run t = run_cli(c.args, dir.path());
        EXPECT_EQ(t.exit_code, c.exit_code);
        EXPECT_NE((c.exit_code == 2 ? t.err : t.out).find(c.exit_code == 2 ? "ecrcli: " + c.reason : "Reason     " + c.reason),
                  std::string::npos)
            << t.out << t.err;
    }
}

TEST(EcrcliReplay, RecordedPurchaseLogReproducesTheResult)
{
    TempDir dir;
    Json original;
    {
        // A terminal that sends the card number in full.
        Simulator sim({"--pan", "4012888888881881"}, dir.path());
        original = approved(sim, dir, {"purchase", "12.34"});
    }
    EXPECT_EQ(original.at("pan"), "401288******1881");
    // The log the library wrote at the "cash desk", its card data masked:
    // the replay does not depend on the masked fields.
    const std::string log = tooltest::find_log(dir.path());
    ASSERT_FALSE(log.empty());

    TempDir replay_dir;
    Simulator replay({"--replay", log}, replay_dir.path());
    tooltest::Run r = run_cli(with(replay.cli_link(), {"--json", "--log-dir", replay_dir.path(), "purchase", "12.34"}),
                    replay_dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    Json j = parse_json(r.out);
    for (const char* key : {"status", "response_code", "amount", "rrn", "approval_code", "pan", "invoice",
                            "date_time", "receipt", "bank"})
        EXPECT_EQ(j.at(key), original.at(key)) << key;
    EXPECT_EQ(replay.process().wait(5000), 0) << replay.process().err();
    EXPECT_NE(replay.process().err().find("replay: all 8 steps played"), std::string::npos)
        << replay.process().err();
}

TEST(EcrcliLinks, PurchaseOverUdp)
{
    TempDir dir;
    Simulator sim({"--udp", "127.0.0.1:0"}, dir.path());
    ASSERT_EQ(sim.link(), "udp");
    Json j = approved(sim, dir, {"purchase", "12.34"});
    EXPECT_EQ(j.at("amount"), "12.34");
    EXPECT_NE(j.at("receipt").find("ОДОБРЕНО"), std::string::npos);
}

TEST(EcrcliLinks, PurchaseOverAPseudoTerminal)
{
    TempDir dir;
    Simulator sim({"--pty"}, dir.path());
    ASSERT_EQ(sim.link(), "pty");
    ASSERT_EQ(sim.tty().compare(0, 9, "/dev/pts/"), 0) << sim.tty();
    Json j = approved(sim, dir, {"purchase", "12.34"});
    EXPECT_EQ(j.at("amount"), "12.34");
    EXPECT_NE(j.at("receipt").find("ОДОБРЕНО"), std::string::npos);
}

TEST(EcrcliLinks, OnceExitsAfterOneConnection)
{
    TempDir dir;
    Simulator sim({"--once"}, dir.path());
    tooltest::Run r = run_cli(with(sim.cli_link(), {"--log-dir", dir.path(), "ping"}), dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(sim.process().wait(5000), 0);
}
