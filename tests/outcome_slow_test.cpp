// The outcome the application is told, against what the simulated terminal
// did: a fault matrix of purchases over TCP, UDP and the pseudo-terminal,
// recovery from the terminal's journal, and caller input that is refused
// before anything is sent.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "VarkoClass2017/VarkoClass2017.h"
#include "compat/compat.h"
#include "ecrbridge/instance.h"
#include "protocol/response_decoder.h"
#include "ecrbridge.h"
#include "protocol/pos_handle.h"
#include "sim/payment_script.h"
#include "support/payment_harness.h"

using paytest::Recorder;
using paytest::msg;

namespace {

// The rest of a transaction response after its header and code: cash
// register 01, receipt 57, amount 12.34, ..., RRN 123456789012.
const std::vector<std::string> kBody = {"01", "57", "000000001234", "000000000000", "444433******1111", "1227JOHN",
                                        "THANK YOU", "000321A1B2C30812153000BANK", "MERCHANT01",
                                        "000000051000004567", "123456789012", "VISA CLASSIC", "TERM0001"};

std::string response(const std::string& header_and_code)
{
    std::vector<std::string> parts{header_and_code};
    parts.insert(parts.end(), kBody.begin(), kBody.end());
    return msg(parts);
}

// What the terminal did, read from its event log.
enum class Journal { Nothing, Started, Answered, Confirmed };
const char* journal_name(Journal j)
{
    static const char* names[] = {"nothing", "started", "answered", "confirmed"};
    return names[static_cast<int>(j)];
}

// Confirmed: the terminal took the confirmation (whether or not its ACK
// arrived); answered: it sent a message after its first answer.
Journal journal_of(const sim::Terminal& t)
{
    const std::vector<sim::Event> ev = t.events();
    if (sim::find_event(ev, sim::Event::RecvFrame, "PUR13.") >= 0)
        return Journal::Confirmed;
    size_t sent = 0;
    for (const sim::Event& e : ev)
        sent += (e.kind == sim::Event::SentFrame || e.kind == sim::Event::SentRaw) ? 1 : 0;
    if (sent >= 2)
        return Journal::Answered;
    return sent == 1 ? Journal::Started : Journal::Nothing;
}

const char* outcome_name(int o)
{
    static const char* names[] = {"none", "approved", "declined", "not sent", "cancelled", "unknown"};
    return (o >= 0 && o <= 5) ? names[o] : "?";
}

// Response time-out of the tests: a silent read costs 3 s instead of 40.
constexpr unsigned short kResponseSeconds = 3;

struct FaultCase {
    const char* name;
    // The terminal's side; the request has been queued already.
    std::function<void(sim::Terminal&)> script;
    int outcome;            // what ecrb_last_outcome must say
    unsigned long result;   // the callback's result
    bool confirmation_sent; // whether the library confirmed
};

void first_answer(sim::Terminal& t) { t.send_ack().send_frame("PUR11.").expect_ack(); }

void undecodable(sim::Terminal& t, const std::string& final_msg)
{
    first_answer(t);
    t.send_frame(final_msg).expect_ack().pause(1000);
}

const std::vector<FaultCase>& fault_cases()
{
    static const std::vector<FaultCase> cases = {
        {"approved", [](sim::Terminal& t) { first_answer(t); paytest::script_final(t, response("PUR12.00"), "PUR13."); },
         ECRB_OUTCOME_APPROVED, 0, true},
        {"declined", [](sim::Terminal& t) { first_answer(t); paytest::script_final(t, response("PUR12.05"), "PUR13."); },
         ECRB_OUTCOME_DECLINED, 5, true},
        {"decline_numbered_17", [](sim::Terminal& t) { undecodable(t, response("PUR17.05")); },
         ECRB_OUTCOME_UNKNOWN, 20, false},
        {"unknown_code_ERR12", [](sim::Terminal& t) { undecodable(t, response("ERR12.05")); },
         ECRB_OUTCOME_UNKNOWN, 20, false},
        {"bare_PUR12", [](sim::Terminal& t) { undecodable(t, "PUR12."); }, ECRB_OUTCOME_UNKNOWN, 20, false},
        {"repeated_PUR11", [](sim::Terminal& t) { undecodable(t, "PUR11."); }, ECRB_OUTCOME_UNKNOWN, 20, false},
        {"lost_confirmation_ack",
         [](sim::Terminal& t) {
             first_answer(t);
             t.send_frame(response("PUR12.00")).expect_ack().expect_frame("PUR13.", 20000).pause(4000);
         },
         ECRB_OUTCOME_UNKNOWN, 20, true},
        {"cancel_after_final_read",
         [](sim::Terminal& t) {
             first_answer(t);
             t.send_frame(response("PUR12.00")).expect_ack().step([](sim::Terminal&) { CancelTransaction(); });
             t.expect_frame("PUR13.", 20000).send_ack();
         },
         ECRB_OUTCOME_APPROVED, 0, true},
        {"cancel_while_waiting",
         [](sim::Terminal& t) {
             first_answer(t);
             t.pause(300).step([](sim::Terminal&) { CancelTransaction(); }).pause(1000);
         },
         ECRB_OUTCOME_UNKNOWN, 0, false},
        {"link_drop_after_start", [](sim::Terminal& t) { first_answer(t); t.close_link(); },
         ECRB_OUTCOME_UNKNOWN, 20, false},
        {"silence_no_ack", [](sim::Terminal& t) { t.pause(4000); }, ECRB_OUTCOME_NOT_SENT, 20, false},
        {"garbage_then_silence",
         [](sim::Terminal& t) { first_answer(t); t.send_raw("\x02zz\x1c\x03?junk").pause(4000); },
         ECRB_OUTCOME_UNKNOWN, 20, false},
        {"late_final_response",
         [](sim::Terminal& t) { first_answer(t); t.pause(kResponseSeconds * 1000 + 1500).send_frame(response("PUR12.00")).pause(500); },
         ECRB_OUTCOME_UNKNOWN, 20, false},
    };
    return cases;
}

struct Row {
    std::string link, fault, journal, outcome;
};
std::mutex g_rows_lock;
std::vector<Row> g_rows;

const char* link_name(sim::Link l) { return l == sim::Link::Tcp ? "tcp" : l == sim::Link::Udp ? "udp" : "pty"; }

class OutcomeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ecr = paytest::fresh_object();
        char tmpl[] = "/tmp/ecr_outcome_XXXXXX";
        dir = mkdtemp(tmpl);
        ASSERT_EQ(ecrb_set_record_dir(dir.c_str()), 0);
    }
    void TearDown() override
    {
        paytest::drain();
        PosClose();
        destroy_object(create_object());
        std::remove((dir + "/ecrbridge.oprecord").c_str());
        rmdir(dir.c_str());
    }
    void connect(sim::Terminal& t)
    {
        t.start();
        ASSERT_EQ(paytest::open_to(t), 0);
        ASSERT_EQ(pos_set_timeouts(ecr->GetPosHandle(), 5, kResponseSeconds), 0u);
        put_ECRReceiptNumber(57);
    }
    bool record_left() const { return access((dir + "/ecrbridge.oprecord").c_str(), F_OK) == 0; }

    CVarkoClass2017* ecr = nullptr;
    Recorder& rec = Recorder::instance();
    std::string dir;
};

class FaultMatrix : public OutcomeTest, public ::testing::WithParamInterface<std::tuple<sim::Link, size_t>> {};

TEST_P(FaultMatrix, OutcomeAgreesWithTheTerminal)
{
    const sim::Link link = std::get<0>(GetParam());
    const FaultCase& c = fault_cases()[std::get<1>(GetParam())];
    sim::Terminal t(link);
    t.expect_frame("PUR10.");
    c.script(t);
    connect(t);

    PosPurchase(12.34, 0);
    ASSERT_TRUE(rec.wait_for(1, 30000));
    paytest::drain();
    ASSERT_TRUE(t.wait_done(20000));
    const Journal journal = journal_of(t);
    const int outcome = ecrb_last_outcome();
    {
        std::lock_guard<std::mutex> lock(g_rows_lock);
        g_rows.push_back({link_name(link), c.name, journal_name(journal), outcome_name(outcome)});
    }

    EXPECT_EQ(rec.completions()[0].result, c.result);
    EXPECT_EQ(outcome, c.outcome) << ecrb_last_outcome_reason();
    EXPECT_STRNE(ecrb_last_outcome_reason(), "");
    const bool confirmed_sent = sim::find_event(t.events(), sim::Event::RecvFrame, "PUR13.") >= 0;
    EXPECT_EQ(confirmed_sent, c.confirmation_sent);
    // The rules of money, whatever the case.
    if (outcome == ECRB_OUTCOME_APPROVED || outcome == ECRB_OUTCOME_DECLINED) {
        EXPECT_EQ(journal, Journal::Confirmed);
    }
    if (journal == Journal::Confirmed) {
        EXPECT_NE(outcome, ECRB_OUTCOME_NOT_SENT);
    }
    // The record stays exactly while the outcome is unknown.
    EXPECT_EQ(record_left(), outcome == ECRB_OUTCOME_UNKNOWN);
    // A decoded response is kept even when its confirmation was not acknowledged.
    char rrn[16] = {};
    get_LastTrxRRN(rrn);
    const bool decoded = c.outcome == ECRB_OUTCOME_APPROVED || c.outcome == ECRB_OUTCOME_DECLINED ||
                         std::string(c.name) == "lost_confirmation_ack";
    EXPECT_STREQ(rrn, decoded ? "123456789012" : "");
}

std::string fault_case_name(const ::testing::TestParamInfo<std::tuple<sim::Link, size_t>>& info)
{
    return std::string(link_name(std::get<0>(info.param))) + "_" + fault_cases()[std::get<1>(info.param)].name;
}

INSTANTIATE_TEST_SUITE_P(Links, FaultMatrix,
                         ::testing::Combine(::testing::Values(sim::Link::Tcp, sim::Link::Udp, sim::Link::Pty),
                                            ::testing::Range<size_t>(0, 13)),
                         fault_case_name);

// The matrix of the cases that ran in this process, as a table.
class MatrixPrinter : public ::testing::Environment {
public:
    void TearDown() override
    {
        if (g_rows.empty())
            return;
        std::printf("\n%-5s %-26s %-10s %s\n", "link", "fault", "terminal", "reported");
        for (const Row& r : g_rows)
            std::printf("%-5s %-26s %-10s %s\n", r.link.c_str(), r.fault.c_str(), r.journal.c_str(),
                        r.outcome.c_str());
    }
};
const auto* const kPrinter = ::testing::AddGlobalTestEnvironment(new MatrixPrinter);

class Recovery : public OutcomeTest, public ::testing::WithParamInterface<sim::Link> {};

// The confirmation's ACK is lost: unknown, the record stays; asking the
// terminal's journal resolves it (and the record goes).
TEST_P(Recovery, UnknownIsResolvedFromTheJournal)
{
    sim::Terminal t(GetParam());
    t.expect_frame("PUR10.");
    first_answer(t);
    t.send_frame(response("PUR12.00")).expect_ack().expect_frame("PUR13.", 20000).pause(4000);
    sim::queue_single_answer(t, "GTL10.", response("GTL11.00"));
    connect(t);

    EXPECT_EQ(ecrb_recover(), ECRB_OUTCOME_NONE);  // nothing left behind yet, nothing sent
    PosPurchase(12.34, 0);
    ASSERT_TRUE(rec.wait_for(1, 30000));
    paytest::drain();
    ASSERT_EQ(ecrb_last_outcome(), ECRB_OUTCOME_UNKNOWN);
    ASSERT_TRUE(record_left());

    EXPECT_EQ(ecrb_recover(), ECRB_OUTCOME_APPROVED);
    EXPECT_EQ(ecrb_last_outcome(), ECRB_OUTCOME_APPROVED);
    EXPECT_STREQ(ecrb_last_outcome_reason(), "recovered: approved in the terminal's journal");
    EXPECT_FALSE(record_left());
    ASSERT_TRUE(t.wait_done(10000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
    EXPECT_EQ(t.frames_received().back(), "GTL10.00");
}

// A record left by a process that died before the terminal ever answered:
// the journal's last transaction is another one, so the payment was not made.
TEST_P(Recovery, RecordOfAnotherProcessNotInTheJournal)
{
    sim::Terminal t(GetParam());
    std::vector<std::string> older{"GTL11.00", "01", "56", "000000000500"};
    sim::queue_single_answer(t, "GTL10.", msg(older));
    connect(t);
    {
        FILE* f = std::fopen((dir + "/ecrbridge.oprecord").c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("op=1\namount=12.34\ninvoice=\nreceipt=57\ntime=1\n", f);
        std::fclose(f);
    }
    EXPECT_EQ(ecrb_recover(), ECRB_OUTCOME_NOT_SENT);
    EXPECT_FALSE(record_left());
    ASSERT_TRUE(t.wait_done(10000));
}

// The cash register's process is killed after the terminal took the
// confirmation and before the library heard its ACK: the restarted process
// finds the record and the terminal's journal says approved.
std::atomic<pid_t> g_child{0};

// The child is killed on every way out of the test, so that no orphan keeps
// the test's output open.
struct ChildReaper {
    ~ChildReaper()
    {
        const pid_t pid = g_child.exchange(0);
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

TEST_P(Recovery, KilledProcessIsResolvedAfterRestart)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not support a child forked from a threaded process";
#endif
    sim::Terminal t(GetParam());
    // No log writer thread may hold its lock across the fork.
    put_EcrLogging(0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The cash register that is about to die: no test assertions here.
        ecrb_set_record_dir(dir.c_str());
        // The purchase runs on this thread: a forked child starts no
        // threads (an emulated i386 process cannot).
        if (paytest::open_to(t) == 0) {
            put_ECRReceiptNumber(57);
            unsigned long r = 0;
            ecr->PosPurchase(12.34, 0, &r);
        }
        for (;;)
            pause();
    }
    g_child = child;
    const ChildReaper reaper;
    t.expect_frame("PUR10.");
    first_answer(t);
    t.send_frame(response("PUR12.00")).expect_ack().expect_frame("PUR13.", 20000).step([](sim::Terminal&) {
        const pid_t pid = g_child.exchange(0);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    });
    sim::queue_single_answer(t, "GTL10.", response("GTL11.00"));
    t.start();
    const uint64_t start = GetTickCount();
    while (!record_left() && GetTickCount() - start < 10000)
        Sleep(20);
    // The restarted cash register.
    for (int i = 0; i < 200 && sim::find_event(t.events(), sim::Event::RecvFrame, "PUR13.") < 0; ++i)
        Sleep(50);
    Sleep(200);  // the kill step has run
    ASSERT_TRUE(record_left());
    ASSERT_EQ(paytest::open_to(t), 0);
    EXPECT_EQ(ecrb_recover(), ECRB_OUTCOME_APPROVED);
    EXPECT_EQ(ecrb_last_outcome(), ECRB_OUTCOME_APPROVED);
    EXPECT_FALSE(record_left());
    char rrn[16] = {};
    EXPECT_EQ(get_LastTrxRRN(rrn), 0);
    EXPECT_STREQ(rrn, "123456789012");
    ASSERT_TRUE(t.wait_done(10000));
    EXPECT_TRUE(t.errors().empty()) << t.errors()[0];
    {
        std::lock_guard<std::mutex> lock(g_rows_lock);
        g_rows.push_back({link_name(GetParam()), "kill_then_recover", "confirmed",
                          outcome_name(ecrb_last_outcome())});
    }
}

INSTANTIATE_TEST_SUITE_P(Links, Recovery, ::testing::Values(sim::Link::Tcp, sim::Link::Udp, sim::Link::Pty),
                         [](const ::testing::TestParamInfo<sim::Link>& i) { return std::string(link_name(i.param)); });

// ---- caller input ------------------------------------------------------------

struct Refusal {
    const char* name;
    std::function<int()> call;
};

const std::vector<Refusal>& refusals()
{
    static char stx[] = "AB\x02" "C", etx[] = "AB\x03", ack[] = "\x06", nak[] = "x\x15", fs[] = "12\x1c" "34";
    static const std::vector<Refusal> table = {
        {"host_text_fs", [] { return GetInstanse()->put_HostText(fs); }},
        {"service_number_stx", [] { return put_ServiceNumber(stx); }},
        {"print_text_etx", [] { return GetInstanse()->PosPrintMessage(etx); }},
        {"auth_code_ack", [] { unsigned long r; return GetInstanse()->PosAuthFinNoCard(ack, 1.0, 0, &r); }},
        {"service_params_nak", [] { return GetInstanse()->ServiceParam(nak, 1.0, nullptr); }},
        {"gts_five_digits", [] { return GetInstanse()->PosGTS(0, 12345); }},
        {"gti_negative", [] { return GetInstanse()->PosGTI(0, -1); }},
        {"gti_seven_digits", [] { return GetInstanse()->PosGTI(0, 1000000); }},
        {"void_seven_digits", [] { unsigned long r; return GetInstanse()->PosVoid(1000000, &r); }},
    };
    return table;
}

class CallerInput : public OutcomeTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(CallerInput, RefusedAndNothingSent)
{
    sim::Terminal t(sim::Link::Tcp);
    t.pause(300);
    connect(t);
    EXPECT_EQ(refusals()[GetParam()].call(), E_INVALIDARG);
    ASSERT_TRUE(t.wait_done(5000));
    EXPECT_TRUE(t.frames_received().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, CallerInput, ::testing::Range<size_t>(0, 9),
                         [](const ::testing::TestParamInfo<size_t>& i) { return std::string(refusals()[i.param].name); });

// A line break in a print text passes as before.
TEST_F(OutcomeTest, PrintTextWithLineBreakIsSent)
{
    sim::Terminal t(sim::Link::Tcp);
    t.expect_frame("PST10.").send_ack().send_frame("PST11.").expect_ack();
    paytest::script_final(t, response("PST12.00"), "PST13.");
    connect(t);
    char text[] = "LINE1\nLINE2";
    EXPECT_EQ(GetInstanse()->PosPrintMessage(text), 0);
    ASSERT_TRUE(t.wait_done(15000));
    EXPECT_NE(t.frames_received()[0].find("LINE1\nLINE2"), std::string::npos);
}

// A receipt number comes back whole, or is refused where a long cannot hold it.
TEST_F(OutcomeTest, ReceiptNumberKeepsItsValueOrIsRefused)
{
    struct {
        const char* field;
        int result;
        long value;
    } rows[] = {{"2147483647", 0, 2147483647L}, {"9999999999", E_INVALIDARG, 0}, {"57", 0, 57}};
    for (const auto& row : rows) {
        std::vector<std::string> parts{"PUR12.00", "01", row.field, "000000001234"};
        unsigned char buf[256];
        const std::string m = msg(parts);
        std::memcpy(buf, m.data(), m.size());
        ASSERT_EQ(ecr_parse_response(buf, static_cast<unsigned>(m.size()), &ecr->m_LastReport), SE_OK);
        long v = 0;
        EXPECT_EQ(get_LastTrxEcrReceiptNum(&v), row.result) << row.field;
        EXPECT_EQ(v, row.value) << row.field;
    }
}

}  // namespace
