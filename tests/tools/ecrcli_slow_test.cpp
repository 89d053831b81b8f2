// ecrcli against ecrsim, both as separate processes over real loopback
// sockets and pseudo-terminals.  Every payment lasts more than 5 s (the
// confirmation of the final response follows it after 5000 ms).
#include "tools/tool_proc.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
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

}  // namespace

TEST(EcrcliPurchase, ApprovedOverTcpPrintsFieldsAndUtf8Receipt)
{
    TempDir dir;
    Simulator sim({}, dir.path());
    tooltest::Run r = run_cli(with(sim.cli_link(), {"--log-dir", dir.path(), "purchase", "12.34"}), dir.path());
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
    const std::string log = tooltest::find_log(dir.path());
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
    EXPECT_DOUBLE_EQ(j.number("amount"), 7.50);
    EXPECT_DOUBLE_EQ(j.number("add_amount"), 0.25);
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
    EXPECT_DOUBLE_EQ(j.number("amount"), 5.00);
    tooltest::Run s = run_cli(with(sim.cli_link(), {"--json", "--log-dir", dir.path(), "gsi"}), dir.path());
    ASSERT_EQ(s.exit_code, 0) << s.out << s.err;
    Json g = parse_json(s.out);
    EXPECT_EQ(g.at("refunds_count"), "1") << s.out;
    EXPECT_DOUBLE_EQ(g.number("refunds_amount"), 5.00) << s.out;
    EXPECT_EQ(g.at("purchases_count"), "0") << s.out;
}

TEST(EcrcliJournal, VoidActsOnThePurchaseInvoice)
{
    TempDir dir;
    Simulator sim({}, dir.path());
    Json p = approved(sim, dir, {"purchase", "3.21"});
    const std::string invoice = p.at("invoice");
    Json v = approved(sim, dir, {"void", invoice});
    EXPECT_EQ(v.at("op_tag"), "VOD");
    EXPECT_DOUBLE_EQ(v.number("amount"), 3.21);
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
    EXPECT_DOUBLE_EQ(s.number("total_amount"), 11.50) << s.at("receipt");
    EXPECT_EQ(s.at("sales_count"), "2");
    EXPECT_EQ(s.at("refunds_count"), "1");
    EXPECT_EQ(s.at("transaction_count"), "3");
    EXPECT_NE(s.at("receipt").find("Итого: 11.50"), std::string::npos) << s.at("receipt");
    // The settlement closed the batch.
    tooltest::Run after = run_cli(with(sim.cli_link(), {"--json", "--log-dir", dir.path(), "gtc"}), dir.path());
    EXPECT_EQ(parse_json(after.out).at("count"), "0") << after.out;
}

TEST(EcrcliJournal, AuditIsPagedToTheEnd)
{
    TempDir dir;
    Simulator sim({}, dir.path());
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

TEST(EcrcliCancel, CtrlCDuringAPaymentIsReportedAsCancelled)
{
    TempDir dir;
    Simulator sim({"--delay-ms", "4000"}, dir.path());
    std::vector<std::string> argv{tooltest::tool_path("ECRCLI"), "--lib", tooltest::tool_path("ECR_LIB"), "--json",
                                  "--log-dir", dir.path()};
    argv = with(with(argv, sim.cli_link()), {"purchase", "12.34"});
    tooltest::Process cli(argv, dir.path(), "cancel");
    // Ctrl-C once the request is on the wire (the tool may start slowly under
    // an emulator); the final response is 4 s away.
    for (int i = 0; i < 200; ++i) {
        const std::string log = tooltest::find_log(dir.path());
        if (!log.empty() && tooltest::read_file(log).find("Succes write to terminal") != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(cli.running()) << cli.out() << cli.err();
    cli.signal(SIGINT);
    const int code = cli.wait(15000);
    EXPECT_EQ(code, 130) << cli.out() << cli.err();
    Json j = parse_json(cli.out());
    EXPECT_EQ(j.at("status"), "cancelled") << cli.out();
    EXPECT_NE(cli.err().find("cancelling purchase"), std::string::npos) << cli.err();
    // Nothing was stored by the terminal: the final response was never confirmed.
    tooltest::Run c = run_cli(with(sim.cli_link(), {"--json", "--log-dir", dir.path(), "gtc"}), dir.path());
    EXPECT_EQ(parse_json(c.out).at("count"), "0") << c.out << c.err;
}

TEST(EcrcliFault, SilentTerminalEndsWithResult20)
{
    TempDir dir;
    Simulator sim({"--fault", "silence"}, dir.path());
    tooltest::Run r = run_cli(with(sim.cli_link(), {"--json", "--log-dir", dir.path(), "purchase", "12.34"}), dir.path());
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    Json j = parse_json(r.out);
    EXPECT_EQ(j.at("status"), "declined") << r.out;
    EXPECT_EQ(j.at("response_code"), "20");
    EXPECT_EQ(j.at("meaning"), "no answer from the terminal");
    EXPECT_NE(j.at("detail").find("did not answer"), std::string::npos) << r.out;
    // The request waits the response time-out (40 s) for its ACK.
    EXPECT_GE(r.elapsed_ms, 40000u);
    EXPECT_LT(r.elapsed_ms, 70000u);
}

TEST(EcrcliCheck, RunningSimulatorAnswersEverything)
{
    TempDir dir;
    Simulator sim({}, dir.path());
    tooltest::Run r = run_cli(with(sim.cli_link(), {"--log-dir", dir.path(), "check"}), dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Ping           ok: the terminal acknowledged\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Serial number  ok: SIM00001234\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Software       ok: ECRSIM TERMINAL 1.0\n"), std::string::npos) << r.out;
}

TEST(EcrcliCheck, StoppedSimulatorIsReportedPlainly)
{
    TempDir dir;
    // A port that nothing listens on: bind one, note it, close it.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    const std::string port = std::to_string(ntohs(a.sin_port));
    close(fd);
    tooltest::Run r = run_cli({"--tcp", "127.0.0.1:" + port, "--log-dir", dir.path(), "check"}, dir.path());
    EXPECT_EQ(r.exit_code, 3) << r.out << r.err;
    EXPECT_NE(r.out.find("Link       tcp 127.0.0.1:" + port + ": FAILED (cannot open the connection)\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Ping       not tried\n"), std::string::npos) << r.out;
    EXPECT_LT(r.elapsed_ms, 10000u);
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
    EXPECT_DOUBLE_EQ(j.number("amount"), 12.34);
    EXPECT_NE(j.at("receipt").find("ОДОБРЕНО"), std::string::npos);
}

TEST(EcrcliLinks, PurchaseOverAPseudoTerminal)
{
    TempDir dir;
    Simulator sim({"--pty"}, dir.path());
    ASSERT_EQ(sim.link(), "pty");
    ASSERT_EQ(sim.tty().compare(0, 9, "/dev/pts/"), 0) << sim.tty();
    Json j = approved(sim, dir, {"purchase", "12.34"});
    EXPECT_DOUBLE_EQ(j.number("amount"), 12.34);
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
