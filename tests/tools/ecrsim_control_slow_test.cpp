// ecrsim's control API and magic amounts, with ecrcli as the cash register:
// separate processes over real loopback sockets and pseudo-terminals.
#include "tools/http_probe.h"
#include "tools/tool_proc.h"

#include <gtest/gtest.h>

#include <thread>
#include <unistd.h>

using httpprobe::call;
using tooltest::Json;
using tooltest::Simulator;
using tooltest::TempDir;

namespace {

tooltest::Run purchase(const Simulator& sim, const TempDir& dir, const std::string& amount,
                       std::vector<std::string> extra = {})
{
    std::vector<std::string> args = sim.cli_link();
    args.insert(args.end(), {"--json", "--log-dir", dir.path()});
    args.insert(args.end(), extra.begin(), extra.end());
    args.insert(args.end(), {"purchase", amount});
    return tooltest::run_cli(args, dir.path());
}

// The labels of the wire events the simulator recorded, one per line.
std::string frame_labels(unsigned port)
{
    std::string out;
    const httpprobe::Reply r = call(port, "GET", "/frames");
    for (const auto& ev : r.json["events"])
        out += ev["label"].get<std::string>() + "\n";
    return out;
}

}  // namespace

// ---- the API drives payments over every link ----

class ControlApi : public ::testing::TestWithParam<const char*> {};

TEST_P(ControlApi, DeclinesDelaysDropsThenReadsTheJournal)
{
    TempDir dir;
    std::vector<std::string> opts{GetParam(), "127.0.0.1:0", "--control", "127.0.0.1:0"};
    if (opts[0] == "--pty")
        opts.erase(opts.begin() + 1);
    Simulator sim(opts, dir.path());
    const unsigned api = sim.control_port();
    ASSERT_NE(api, 0u);
    httpprobe::EventStream events(api, "/events");

    // 1: declined with the code the script chose.
    ASSERT_EQ(call(api, "POST", "/next", R"({"code":"05"})").status, 201);
    tooltest::Run r = purchase(sim, dir, "12.34");
    Json j = tooltest::parse_json(r.out);
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_EQ(j.at("response_code"), "5") << r.out;

    // 2: approved after the delay asked for.
    ASSERT_EQ(call(api, "POST", "/next", R"({"delay_ms":1500})").status, 201);
    r = purchase(sim, dir, "5.00");
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_GE(r.elapsed_ms, 5000u + 1500u);

    // 3: the terminal drops the link after its first answer; the cash
    // register is left not knowing the outcome.
    ASSERT_EQ(call(api, "POST", "/next", R"({"fault":"close","fault_step":"first"})").status, 201);
    r = purchase(sim, dir, "7.00", {"--timeout", "3"});
    EXPECT_EQ(r.exit_code, 4) << r.out << r.err;
    if (GetParam() == std::string("--tcp")) {
        EXPECT_NE(r.out.find("closed the connection"), std::string::npos) << r.out;
    }

    // Only the approved payment is in the journal.
    const nlohmann::json journal = call(api, "GET", "/journal").json;
    ASSERT_EQ(journal["entries"].size(), 1u) << journal.dump();
    EXPECT_EQ(journal["entries"][0]["amount"], "5.00");
    EXPECT_EQ(journal["entries"][0]["response"], "00");
    EXPECT_EQ(journal["totals"]["net"], "5.00");

    const nlohmann::json c = call(api, "GET", "/counters").json;
    EXPECT_EQ(c["payments"], 3);
    EXPECT_EQ(c["queued_used"], 3);
    EXPECT_EQ(c["approved"], 1);
    EXPECT_EQ(c["declined"], 1);
    EXPECT_EQ(c["faults"], 1);
    EXPECT_EQ(call(api, "GET", "/state").json["busy"], false);

    // The recorded exchange and the live stream agree on what happened.
    const std::string labels = frame_labels(api);
    for (const char* want : {"PUR10. amount 12.34", "PUR12. code 05", "PUR13. confirmation", "terminal hangs up"}) {
        EXPECT_NE(labels.find(want), std::string::npos) << want << "\n" << labels;
        EXPECT_NE(events.text().find(want), std::string::npos) << want;
    }

    // The journal is cleared on its own; the queue is left as it was.
    ASSERT_EQ(call(api, "POST", "/next", R"({"code":"51"})").status, 201);
    EXPECT_EQ(call(api, "DELETE", "/journal").status, 200);
    EXPECT_TRUE(call(api, "GET", "/journal").json["entries"].empty());
    EXPECT_EQ(call(api, "GET", "/next").json["queue"].size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Links, ControlApi, ::testing::Values("--tcp", "--udp", "--pty"),
                         [](const ::testing::TestParamInfo<const char*>& i) { return std::string(i.param + 2); });

// ---- hostile requests: each refused with a reason, the terminal unmoved ----

TEST(ControlApiRefuses, BadRequestsWithAReasonWhileTheTerminalPays)
{
    TempDir dir;
    Simulator sim({"--control", "127.0.0.1:0"}, dir.path());
    const unsigned api = sim.control_port();
    tooltest::Run paid;
    std::thread register_([&] { paid = purchase(sim, dir, "12.34"); });

    auto post = [api](const std::string& path, const std::string& body, const std::string& more = "") {
        return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(api) + "\r\n" + more +
               "Connection: close\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    const struct {
        const char* what;
        std::string request;
        int status;
    } kCases[] = {
        {"bad JSON", post("/next", R"({"code":)"), 400},
        {"no object", post("/next", "42"), 400},
        {"unknown field", post("/next", R"({"code":"05","colour":"red"})"), 400},
        {"wrong type", post("/next", R"({"delay_ms":"soon"})"), 400},
        {"fault that changes nothing", post("/next", R"({"fault":"bad-lrc","fault_step":"confirm"})"), 400},
        {"half a bad list", post("/next", R"([{"code":"05"},{"code":"5"}])"), 400},
        {"decision field of another action", post("/decision", R"({"action":"approve","code":"05"})"), 400},
        {"decision with nothing waiting", post("/decision", R"({"action":"approve"})"), 409},
        {"other origin", post("/next", R"({"code":"05"})", "Origin: http://elsewhere.example\r\n"), 403},
        {"wrong method", "DELETE /state HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 405},
        {"unknown path", "GET /nothing HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 404},
        {"huge body", "POST /next HTTP/1.1\r\nHost: x\r\nContent-Length: 100000000\r\n\r\n{\"code\":", 413},
        {"huge header", "GET /state HTTP/1.1\r\nHost: x\r\nX-Pad: " + std::string(20000, 'a') + "\r\n\r\n", 431},
        {"not HTTP", "HELLO TERMINAL\r\n\r\n", 400},
    };
    for (const auto& c : kCases) {
        const httpprobe::Reply r = httpprobe::raw(api, c.request);
        EXPECT_EQ(r.status, c.status) << c.what << ": " << r.body;
        EXPECT_TRUE(r.json.is_object() && r.json.contains("error") && !r.json["error"].get<std::string>().empty())
            << c.what << ": " << r.body;
    }
    EXPECT_TRUE(call(api, "GET", "/next").json["queue"].empty()) << "a refused request queued a plan";

    // More connections than it serves at once: the rest get 429 at once.
    std::vector<int> idle;
    for (int i = 0; i < 32; ++i)
        idle.push_back(httpprobe::idle_connection(api));
    EXPECT_EQ(call(api, "GET", "/state").status, 429);
    for (int fd : idle)
        close(fd);
    int status = 0;
    for (int i = 0; i < 50 && status != 200; ++i) {  // the server sees the closes within moments
        status = call(api, "GET", "/state").status;
        if (status != 200)
            usleep(100000);
    }
    EXPECT_EQ(status, 200);

    register_.join();
    EXPECT_EQ(paid.exit_code, 0) << paid.out << paid.err;
}

// ---- magic amounts, row by row of the table in ecrsim --help ----

struct MagicCase {
    const char* amount;
    bool magic;
    int exit_code;
    const char* status;
    const char* seen;  // in ecrcli's JSON (reason, message) or in the recorded exchange
    unsigned min_ms;
    bool waits;        // no outcome comes: the cash register gives up after 3 s
};

void PrintTo(const MagicCase& c, std::ostream* os) { *os << c.amount << (c.magic ? "" : " --no-magic"); }

class MagicAmounts : public ::testing::TestWithParam<MagicCase> {};

TEST_P(MagicAmounts, ChooseTheOutcome)
{
    const MagicCase& c = GetParam();
    TempDir dir;
    std::vector<std::string> opts{"--control", "127.0.0.1:0"};
    if (!c.magic)
        opts.push_back("--no-magic");
    Simulator sim(opts, dir.path());
    const tooltest::Run r = purchase(sim, dir, c.amount, c.waits ? std::vector<std::string>{"--timeout", "3"}
                                                                 : std::vector<std::string>{});
    const Json j = tooltest::parse_json(r.out);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.out << r.err;
    EXPECT_EQ(j.at("status"), c.status) << r.out;
    EXPECT_GE(r.elapsed_ms, c.min_ms);
    const std::string seen = r.out + frame_labels(sim.control_port());
    EXPECT_NE(seen.find(c.seen), std::string::npos) << c.seen << "\n" << seen;
}

INSTANTIATE_TEST_SUITE_P(
    Table, MagicAmounts,
    ::testing::Values(MagicCase{"7001.51", true, 1, "declined", "response code 51", 5000, false},
                      MagicCase{"7002.01", true, 4, "unknown", "terminal goes silent", 3000, true},
                      MagicCase{"7003.01", true, 0, "approved", "PUR00. wait notice 1 min", 5000, false},
                      MagicCase{"7004.00", true, 0, "approved", "\"message\":\"MAGIC AMOUNT: A TEXT MESSAGE\"", 5000, false},
                      MagicCase{"7005.01", true, 4, "unknown", "closed the connection", 0, true},
                      MagicCase{"7006.02", true, 0, "approved", "PUR12. code 00", 5000 + 2000, false},
                      MagicCase{"7007.00", true, 4, "unknown", "waiting for a decision", 3000, true},
                      MagicCase{"7001.51", false, 0, "approved", "PUR12. code 00", 5000, false}),
    [](const ::testing::TestParamInfo<MagicCase>& i) {
        std::string n = std::string(i.param.magic ? "" : "NoMagic_") + i.param.amount;
        n[n.find('.')] = '_';
        return n;
    });
