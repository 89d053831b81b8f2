// The outcome the application is told, against what the simulated terminal
// did: a fault matrix of purchases over TCP, UDP and the pseudo-terminal,
// recovery from the terminal's journal, and caller input that is refused
// before anything is sent.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VarkoClass2017/VarkoClass2017.h"
#include "VarkoClass2017/operation_record.h"
#include "compat/compat.h"
#include "ecrbridge/instance.h"
#include "protocol/response_decoder.h"
#include "ecrbridge.h"
#include "protocol/pos_handle.h"
#include "sim/payment_script.h"
#include "support/payment_harness.h"
#include "support/sim_link.h"

using support::Recorder;
using support::msg;

namespace {

// The rest of a transaction response after its header and code: cash
// register 01, receipt 57, amount 12.34, ..., RRN 123456789012.
const std::vector<std::string> kBody = {"01", "57", "000000001234", "000000000000", "444433******1111", "1227JOHN",
                                        "THANK YOU", "000321A1B2C30812153000BANK", "MERCHANT01",
                                        "000000051000004567", "123456789012", "VISA CLASSIC", "TERM0001"};

// field: an index of kBody given another value (-1: none).
std::string response(const std::string& header_and_code, int field = -1, const std::string& value = "")
{
    std::vector<std::string> parts{header_and_code};
    parts.insert(parts.end(), kBody.begin(), kBody.end());
    if (field >= 0)
        parts[field + 1] = value;
    return msg(parts);
}
constexpr int kRrnField = 10, kCardNameField = 11;

// The terminal's journal stood at invoice 320 before each payment of these
// tests (the payment itself is 321): the cash register has paid before.
constexpr long kJournalBefore = 320;

// The journal's entry 320: a payment of 5.00 with receipt 56.
std::string older_payment()
{
    return msg({"GTL11.00", "01", "56", "000000000500", "", "", "", "", "000320A1B2C30812153000BANK"});
}

// Response time-out of the tests: a silent read costs 3 s instead of 40.
constexpr unsigned short kResponseSeconds = 3;
// The packet time-out: the wait for an ACK.
constexpr unsigned kAckWaitMs = 5000;

// What the terminal did with the payment, read from its event log.
enum class Journal { Nothing, Started, Approved, Declined, Confirmed };
const char* journal_name(Journal j)
{
    static const char* names[] = {"nothing", "started", "approved", "declined", "confirmed"};
    return names[static_cast<int>(j)];
}

bool starts_with(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// h: the request's code ("PUR" or "PIR").  A final response that the
// terminal's own journal holds is one it sent whole and decodable; an
// approval counts only once the terminal took its confirmation; a payment
// the terminal stopped on an interrupt before any final is nothing.
Journal journal_of(const std::vector<sim::Event>& ev, const std::string& h)
{
    Journal j = Journal::Nothing;
    bool final_sent = false;
    for (const sim::Event& e : ev) {
        if (e.kind == sim::Event::SentFrame && starts_with(e.data, h + "11.") && j == Journal::Nothing)
            j = Journal::Started;
        // The purchase with a card check answers 12 (checked) and, once the
        // cash register decided, 16 (the payment), confirmed with 13 and 17.
        for (const char* number : {"12.", "16."})
            if (e.kind == sim::Event::SentFrame && e.data.size() > 20 && starts_with(e.data, h + number)) {
                final_sent = true;
                j = starts_with(e.data, h + number + "00") ? Journal::Approved : Journal::Declined;
            }
        for (const char* number : {"13.", "17."})
            if (e.kind == sim::Event::RecvFrame && starts_with(e.data, h + number) && j == Journal::Approved)
                j = Journal::Confirmed;
        if (e.kind == sim::Event::SentFrame && starts_with(e.data, "IRT11.00") && !final_sent)
            j = Journal::Nothing;
    }
    return j;
}

// What recovery must find in that journal.
int recovered_from(Journal j)
{
    return j == Journal::Confirmed ? ECRB_OUTCOME_APPROVED
                                   : j == Journal::Declined ? ECRB_OUTCOME_DECLINED : ECRB_OUTCOME_NOT_SENT;
}

std::string link_error()
{
    char text[256] = {};
    ecrb_last_error_text(text, sizeof text);
    return text;
}

const char* outcome_name(int o)
{
    static const char* names[] = {"none", "approved", "declined", "not sent", "cancelled", "unknown"};
    return (o >= 0 && o <= 5) ? names[o] : "?";
}

// ---- the terminal's side ---------------------------------------------------------

std::atomic<bool> g_queries_over{false};
std::atomic<bool> g_answering{false};  // the script has reached the journal's answers
std::mutex g_interrupter_lock;  // the script thread starts it, the test joins it
std::thread g_interrupter;
std::atomic<int> g_interrupt_result{-1};

// Waits for the interrupting thread (started or not) and joins it.
void join_interrupter(unsigned timeout_ms)
{
    for (unsigned waited = 0; g_interrupt_result.load() == -1 && waited < timeout_ms; waited += 10)
        Sleep(10);
    std::lock_guard<std::mutex> lock(g_interrupter_lock);
    if (g_interrupter.joinable())
        g_interrupter.join();
}
std::atomic<pid_t> g_child{0};

std::atomic<bool> g_reaped{false};  // the killed child has exited: its link is closed

void kill_child()
{
    const pid_t pid = g_child.exchange(0);
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        g_reaped = true;
    }
}

// The child is killed on every way out of the test, so that no orphan keeps
// the test's output open.
struct ChildReaper {
    ~ChildReaper()
    {
        kill_child();
        join_interrupter(0);
    }
};

// Answers the journal queries of a recovery from what the terminal did,
// until the test says it asks no more.
// The link may be another one than the payment's (after a drop the cash
// register opens a new one); the journal is that of the payment's terminal.
void journal_answers(sim::Terminal& t, const sim::Terminal& journal_of_payment, const std::string& h)
{
    sim::FrameParser parser;
    g_answering = true;
    const uint64_t start = GetTickCount();
    while (!g_queries_over.load() && GetTickCount() - start < 60000) {
        const std::string bytes = t.read_bytes(100);
        parser.feed(bytes.data(), bytes.size(), [&](sim::FrameParser::Kind kind, const std::string& data) {
            if (kind != sim::FrameParser::Kind::Frame || (!starts_with(data, "GTL10.") && !starts_with(data, "GTI10.")))
                return;
            const std::string code = data.substr(0, 3);
            const Journal j = journal_of(journal_of_payment.events(), h);
            std::string answer;
            if (j == Journal::Confirmed || j == Journal::Declined)
                answer = response(code + (j == Journal::Confirmed ? "11.00" : "11.05"));
            else if (code == "GTI")
                answer = "GTI11.99";  // no such invoice
            else
                answer = older_payment();
            t.write_bytes("\x06");
            Sleep(20);
            t.write_bytes(sim::frame(answer));
        });
    }
}

// The script pieces of a payment whose request code is h.
struct Dialogue {
    std::string h;
    sim::Terminal& t;
    Dialogue& request() { t.expect_frame(h + "10."); return *this; }
    Dialogue& first() { t.send_ack().send_frame(h + "11.").expect_ack(); return *this; }
    Dialogue& text() { t.send_frame(msg({"SMS10.PLEASE WAIT", "0"})).expect_ack(); return *this; }
    Dialogue& final_sent(const std::string& code = "00") { t.send_frame(response(h + "12." + code)); return *this; }
    Dialogue& final(const std::string& code = "00") { final_sent(code); t.expect_ack(); return *this; }
    Dialogue& confirmation() { t.expect_frame(h + "13.", 20000); return *this; }
    Dialogue& ack() { t.send_ack(); return *this; }
    Dialogue& pause(unsigned ms) { t.pause(ms); return *this; }
    Dialogue& close() { t.close_link(); return *this; }
    Dialogue& raw(const std::string& bytes) { t.send_raw(bytes); return *this; }
    Dialogue& cancel() { t.step([](sim::Terminal&) { CancelTransaction(); }); return *this; }
    // The cash register interrupts from a thread of its own; the terminal
    // takes the interrupt when it comes.
    Dialogue& interrupt() { return control([] { return PosInterruptTrx(); }); }
    Dialogue& abort() { return control([] { return ecrb_PosAbortTrx(); }); }
    Dialogue& control(int (*call)())
    {
        t.step([call](sim::Terminal&) {
            std::lock_guard<std::mutex> lock(g_interrupter_lock);
            g_interrupter = std::thread([call] { g_interrupt_result = call(); });
        });
        return *this;
    }
    Dialogue& wait_notice() { t.send_frame(h + "00.01").expect_ack(); return *this; }
    Dialogue& takes_interrupt()
    {
        t.expect_frame("IRT10.", 20000).send_ack().send_frame("IRT11.00").expect_ack();
        return *this;
    }
    Dialogue& takes_abort()
    {
        t.expect_frame("PUR11.", 20000).send_ack().send_frame("PUR12.").expect_ack().expect_frame("PUR13.").send_ack();
        return *this;
    }
    // The terminal's final response crosses the control: sent as the
    // control's request arrives, in the place of its answer.
    Dialogue& crossed_by(const std::string& code)
    {
        t.expect_frame(h == "PUR" ? "PUR11." : "IRT10.", 20000).send_ack();
        return final(code).confirmation().ack();
    }
    Dialogue& kill() { t.step([](sim::Terminal&) { kill_child(); }); return *this; }
    // The check-card purchase: the card-belonging notice of step 1 and its
    // reply, then step 2's completion request and answer.
    Dialogue& notice() { t.send_frame(msg({"PCC12.33", "1"})).expect_ack().expect_frame("PCC13.", 20000).send_ack(); return *this; }
    Dialogue& completion() { t.expect_frame("PCC14.1", 20000).send_ack().send_frame("PCC15.").expect_ack(); return *this; }
};

enum class Fault { Drop, Silence, Garbage, Undecodable, LongField, LostAck, LateFinal, Cancel, Interrupt, Abort, Kill, None };
const char* fault_name(Fault f)
{
    static const char* names[] = {"drop", "silence", "garbage", "undecodable", "long_field", "lost_ack", "late_final",
                                  "cancel", "interrupt", "abort", "kill", "none"};
    return names[static_cast<int>(f)];
}

struct FaultCase {
    const char* step;
    Fault fault;
    const char* variant;  // tells apart two cases of one step and fault
    std::function<void(Dialogue&)> script;
    int outcome;           // what ecrb_last_outcome says (for a kill: after recovery)
    unsigned long result;  // the callback's result (none for a kill)
    int control = 0;       // what PosInterruptTrx or ecrb_PosAbortTrx returned
    const char* rrn = "123456789012";  // the last report's RRN when decided
    bool check_card = false;           // PurchaseCheckCard, then its completion
};

std::string case_name(const FaultCase& c)
{
    return std::string(c.step) + "_" + fault_name(c.fault) + (c.variant[0] != 0 ? "_" : "") + c.variant;
}

constexpr int kApproved = ECRB_OUTCOME_APPROVED, kDeclined = ECRB_OUTCOME_DECLINED, kNotSent = ECRB_OUTCOME_NOT_SENT,
              kCancelled = ECRB_OUTCOME_CANCELLED, kUnknown = ECRB_OUTCOME_UNKNOWN;
const unsigned kSilentRead = kResponseSeconds * 1000 + 1500;

// Every fault at every step of a purchase.  Steps: before the request's ACK,
// after the first answer, just before the final response (after a text),
// the final response itself and right after it, before the confirmation
// (the library's pause), after the confirmation, at the confirmation's ACK.
const std::vector<FaultCase>& fault_cases()
{
    using D = Dialogue;
    static const std::vector<FaultCase> cases = {
        {"request", Fault::Drop, "", [](D& d) { d.request().close(); }, kNotSent, 20},
        {"request", Fault::Silence, "", [](D& d) { d.request().pause(kAckWaitMs + 1000); }, kNotSent, 20},
        {"request", Fault::Garbage, "", [](D& d) { d.request().raw("\x15zz\x1c").pause(kAckWaitMs + 1000); }, kNotSent, 20},
        {"request", Fault::LostAck, "", [](D& d) { d.request().pause(300); d.t.send_frame(d.h + "11."); d.pause(kAckWaitMs); }, kUnknown, 20},
        {"request", Fault::Cancel, "", [](D& d) { d.request().cancel().pause(1500); }, kUnknown, 0},
        {"request", Fault::Interrupt, "", [](D& d) { d.request().interrupt().takes_interrupt(); }, kCancelled, 0},
        {"request", Fault::Abort, "", [](D& d) { d.request().abort().takes_abort(); }, kCancelled, 0},
        {"request", Fault::Kill, "", [](D& d) { d.request().kill(); }, kNotSent, 0},

        {"first_answer", Fault::Drop, "", [](D& d) { d.request().first().close(); }, kUnknown, 20},
        {"first_answer", Fault::Silence, "", [](D& d) { d.request().first().pause(kSilentRead); }, kUnknown, 20},
        {"first_answer", Fault::Garbage, "", [](D& d) { d.request().first().raw("\x02zz\x1c\x03?junk").pause(kSilentRead); }, kUnknown, 20},
        {"first_answer", Fault::LostAck, "", [](D& d) { d.request().first().pause(300); d.t.send_frame(d.h + "11."); d.pause(kSilentRead); }, kUnknown, 20},
        {"first_answer", Fault::Cancel, "", [](D& d) { d.request().first().pause(300).cancel().pause(1500); }, kUnknown, 0},
        {"first_answer", Fault::Interrupt, "", [](D& d) { d.request().first().pause(300).interrupt().takes_interrupt(); }, kCancelled, 0},
        {"first_answer", Fault::Abort, "", [](D& d) { d.request().first().pause(300).abort().takes_abort(); }, kCancelled, 0},
        {"first_answer", Fault::Kill, "", [](D& d) { d.request().first().kill(); }, kNotSent, 0},

        {"before_final", Fault::Drop, "", [](D& d) { d.request().first().text().close(); }, kUnknown, 20},
        {"before_final", Fault::Garbage, "bad_check_byte", [](D& d) {
             std::string bad = sim::frame(response(d.h + "12.00"));
             bad.back() ^= 0x55;
             d.request().first().text().raw(bad).pause(kSilentRead);
         }, kUnknown, 20},
        {"before_final", Fault::LateFinal, "", [](D& d) { d.request().first().text().pause(kSilentRead).final_sent().pause(500); }, kUnknown, 20},
        {"before_final", Fault::Cancel, "", [](D& d) { d.request().first().text().cancel().pause(1500); }, kUnknown, 0},
        {"before_final", Fault::Interrupt, "", [](D& d) { d.request().first().text().interrupt().takes_interrupt(); }, kCancelled, 0},
        {"before_final", Fault::Abort, "", [](D& d) { d.request().first().text().abort().takes_abort(); }, kCancelled, 0},
        // The terminal's prompt crosses the abort: the answer comes after it.
        {"before_final", Fault::Abort, "text_first", [](D& d) { d.request().first().abort(); d.t.expect_frame("PUR11.", 20000).send_ack(); d.text(); d.t.send_frame("PUR12.").expect_ack().expect_frame("PUR13.").send_ack(); }, kCancelled, 0},
        // An abort after the cash register's cancel, answered by the approval.
        {"before_final", Fault::Abort, "after_cancel", [](D& d) { d.request().first().text().cancel().pause(1500).abort().crossed_by("00"); }, kUnknown, 0, E_FAIL},

        {"final", Fault::Undecodable, "numbered_17", [](D& d) { d.request().first(); d.t.send_frame(response(d.h + "17.05")).expect_ack().pause(1000); }, kUnknown, 20},
        {"final", Fault::Undecodable, "code_ERR12", [](D& d) { d.request().first(); d.t.send_frame(response("ERR12.05")).expect_ack().pause(1000); }, kUnknown, 20},
        {"final", Fault::Undecodable, "bare", [](D& d) { d.request().first(); d.t.send_frame(d.h + "12.").expect_ack().pause(1000); }, kUnknown, 20},
        {"final", Fault::Undecodable, "repeated_first", [](D& d) { d.request().first(); d.t.send_frame(d.h + "11.").expect_ack().pause(1000); }, kUnknown, 20},
        {"final", Fault::Drop, "", [](D& d) { d.request().first().final_sent().close(); }, kUnknown, 20},
        {"final", Fault::LostAck, "", [](D& d) { d.request().first().final_sent().pause(300).final_sent().confirmation().ack(); }, kApproved, 0},
        {"final", Fault::Cancel, "", [](D& d) { d.request().first().final().cancel().confirmation().ack(); }, kApproved, 0},
        {"final", Fault::Interrupt, "", [](D& d) { d.request().first().final().interrupt().confirmation().ack().takes_interrupt(); }, kApproved, 0},
        // A text the terminal sent too long for its field does not undo its decision.
        {"final", Fault::LongField, "rrn_13", [](D& d) { d.request().first(); d.t.send_frame(response(d.h + "12.00", kRrnField, "1234567890123")); d.t.expect_ack(); d.confirmation().ack(); }, kApproved, 0, 0, ""},
        {"final", Fault::LongField, "card_name_1000", [](D& d) { d.request().first(); d.t.send_frame(response(d.h + "12.00", kCardNameField, std::string(1000, 'N'))); d.t.expect_ack(); d.confirmation().ack(); }, kApproved, 0},
        // The terminal decides as the control reaches it: its final response
        // is the control's answer.  A decline stands; an approval may have
        // left before the control arrived and the payment then been given
        // up, so the journal decides it.
        {"final", Fault::Interrupt, "crossed_approved", [](D& d) { d.request().first().interrupt().crossed_by("00"); }, kUnknown, 20, E_FAIL},
        {"final", Fault::Interrupt, "crossed_declined", [](D& d) { d.request().first().interrupt().crossed_by("05"); }, kDeclined, 5},
        {"final", Fault::Abort, "crossed_approved", [](D& d) { d.request().first().abort().crossed_by("00"); }, kUnknown, 20, E_FAIL},
        {"final", Fault::Abort, "crossed_declined", [](D& d) { d.request().first().abort().crossed_by("05"); }, kDeclined, 5},
        {"final", Fault::Abort, "crossed_undecodable", [](D& d) { d.request().first().abort(); d.t.expect_frame("PUR11.", 20000).send_ack().send_frame("PUR12.0").expect_ack().pause(1000); }, kUnknown, 20, E_FAIL},

        {"confirmation_pause", Fault::Drop, "", [](D& d) { d.request().first().final().pause(1000).close(); }, kUnknown, 20},
        {"confirmation_pause", Fault::Garbage, "", [](D& d) { d.request().first().final().pause(1000).raw("zz\x15junk").confirmation().ack(); }, kApproved, 0},
        {"confirmation_pause", Fault::Cancel, "", [](D& d) { d.request().first().final().pause(1000).cancel().confirmation().ack(); }, kApproved, 0},
        {"confirmation_pause", Fault::Interrupt, "", [](D& d) { d.request().first().final().pause(1000).interrupt().confirmation().ack().takes_interrupt(); }, kApproved, 0},
        {"confirmation_pause", Fault::Kill, "", [](D& d) { d.request().first().final().pause(1000).kill(); }, kNotSent, 0},

        {"confirmed", Fault::Drop, "", [](D& d) { d.request().first().final().confirmation().close(); }, kUnknown, 20},
        {"confirmed", Fault::Silence, "", [](D& d) { d.request().first().final().confirmation().pause(kAckWaitMs + 1000); }, kUnknown, 20},
        {"confirmed", Fault::Cancel, "", [](D& d) { d.request().first().final().confirmation().cancel().pause(300).ack(); }, kApproved, 0},
        {"confirmed", Fault::Kill, "", [](D& d) { d.request().first().final().confirmation().kill(); }, kApproved, 0},
        // The cash register dies while its callback is being told the approval.
        {"callback", Fault::Kill, "", [](D& d) { d.request().first().final().confirmation().ack().pause(500).kill(); }, kApproved, 0},

        {"confirmation_ack", Fault::Garbage, "nak", [](D& d) { d.request().first().final().confirmation().raw("\x15").pause(kAckWaitMs + 1000); }, kUnknown, 20},
        {"confirmation_ack", Fault::LostAck, "late", [](D& d) { d.request().first().final().confirmation().pause(1500).ack(); }, kApproved, 0},
        {"confirmation_ack", Fault::None, "approved", [](D& d) { d.request().first().final().confirmation().ack(); }, kApproved, 0},
        {"confirmation_ack", Fault::None, "declined", [](D& d) { d.request().first().final("05").confirmation().ack(); }, kDeclined, 5},

        {"first_answer", Fault::None, "wait_notice", [](D& d) { d.request().first().wait_notice().final().confirmation().ack(); }, kApproved, 0},

        // The check-card purchase at each of its steps: the notice decides
        // nothing, the record lives until step 2's final response is known.
        {"check_card_notice", Fault::Kill, "", [](D& d) { d.request().first().notice().pause(300).kill(); }, kNotSent, 0, 0, "", true},
        {"check_card_completion", Fault::Kill, "", [](D& d) { d.request().first().notice().completion().kill(); }, kNotSent, 0, 0, "", true},
        {"check_card_final", Fault::Drop, "", [](D& d) { d.request().first().notice().completion().final_sent().close(); }, kUnknown, 20, 0, "", true},
        {"check_card_confirmed", Fault::Kill, "", [](D& d) { d.request().first().notice().completion().final().confirmation().kill(); }, kApproved, 0, 0, "", true},
        {"check_card_confirmation_ack", Fault::None, "", [](D& d) { d.request().first().notice().completion().final().confirmation().ack(); }, kApproved, 0, 0, "123456789012", true},
    };
    return cases;
}

struct Row {
    std::string link, fault, journal, outcome, recovered;
    size_t index;  // in the table of cases: the rows of a link in step order
};

std::string row_text(const Row& r)
{
    char line[160];
    std::snprintf(line, sizeof line, "%-5s %-40s %-10s %-10s %s\n", r.link.c_str(), r.fault.c_str(),
                  r.journal.c_str(), r.outcome.c_str(), r.recovered.c_str());
    return line;
}

std::mutex g_rows_lock;
std::vector<Row> g_rows;

// The file name of a row without its extension: link, order, fault.
std::string row_base(const std::string& link, size_t index, const std::string& fault)
{
    char order[8];
    std::snprintf(order, sizeof order, "%02zu", index);
    return link + "_" + order + "_" + fault;
}

// The row is printed at the end of this process and, under ctest (each case
// its own process), written for the table of the whole matrix.
void record_row(const Row& r)
{
    {
        std::lock_guard<std::mutex> lock(g_rows_lock);
        g_rows.push_back(r);
    }
#ifdef ECR_MATRIX_DIR
    const std::string path = std::string(ECR_MATRIX_DIR) + "/" + row_base(r.link, r.index, r.fault) + ".row";
    if (FILE* f = std::fopen(path.c_str(), "w")) {
        std::fputs(row_text(r).c_str(), f);
        std::fclose(f);
    }
#endif
}

class OutcomeTest : public support::PaymentTest<> {
protected:
    void SetUp() override
    {
        support::PaymentTest<>::SetUp();
        char tmpl[] = "/tmp/ecr_outcome_XXXXXX";
        dir = mkdtemp(tmpl);
        ASSERT_EQ(ecrb_set_record_dir(dir.c_str()), 0);
    }
    void TearDown() override
    {
        support::close_and_release();
        std::remove((dir + "/ecrbridge.oprecord").c_str());
        std::remove((dir + "/ecrbridge.oprecord.lock").c_str());
        std::remove((dir + "/ecrbridge.journal").c_str());
        rmdir(dir.c_str());
    }
    void connect(sim::Terminal& t)
    {
        support::PaymentTest<>::connect(t);
        ASSERT_EQ(pos_set_timeouts(ecr->GetPosHandle(), kAckWaitMs / 1000, kResponseSeconds), 0u);
        put_ECRReceiptNumber(57);
        OperationRecord::NoteJournalPosition(kJournalBefore);
    }
    bool record_left() const { return access((dir + "/ecrbridge.oprecord").c_str(), F_OK) == 0; }

    Recorder& rec = Recorder::instance();
    std::string dir;
};

class FaultMatrix : public OutcomeTest, public ::testing::WithParamInterface<std::tuple<sim::Link, size_t>> {
protected:
    // The cash register that is killed: a forked child pays on its own
    // thread (an emulated child of a threaded process cannot start threads).
    void pay_in_child(sim::Terminal& t, bool check_card)
    {
        put_EcrLogging(0);  // no log writer may hold its lock across the fork
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ecrb_set_record_dir(dir.c_str());
            // The callback of the payment's decision never returns: the
            // cash register is killed in it.
            static int callbacks_left = check_card ? 2 : 1;
            OnTrxComplete([](unsigned long) {
                if (--callbacks_left == 0)
                    for (;;)
                        pause();
            });
            if (support::open_to(t) == 0) {
                pos_set_timeouts(GetInstanse()->GetPosHandle(), kAckWaitMs / 1000, kResponseSeconds);
                put_ECRReceiptNumber(57);
                OperationRecord::NoteJournalPosition(kJournalBefore);
                unsigned long r = 0;
                if (check_card) {
                    GetInstanse()->PosPurchaseCheckCard(12.34, 0, &r);
                    GetInstanse()->PosPurchaseCheckCardCompleteTran(1, &r);
                } else {
                    GetInstanse()->PosPurchase(12.34, 0, &r);
                }
            }
            for (;;)
                pause();
        }
        g_reaped = false;
        g_child = child;
        t.start();
        while (!g_reaped.load() && !t.wait_done(50)) {
        }
    }
};

TEST_P(FaultMatrix, OutcomeAgreesWithTheTerminal)
{
    const sim::Link link = std::get<0>(GetParam());
    const FaultCase& c = fault_cases()[std::get<1>(GetParam())];
    const bool kill = c.fault == Fault::Kill;
#if defined(__SANITIZE_THREAD__)
    if (kill)
        GTEST_SKIP() << "ThreadSanitizer does not support a child forked from a threaded process";
#endif
    const bool interruptible = c.fault == Fault::Interrupt;
    const bool control = interruptible || c.fault == Fault::Abort;
    sim::Terminal t(link);
    Dialogue d{interruptible ? "PIR" : c.check_card ? "PCC" : "PUR", t};
    c.script(d);
    const std::string h = d.h;
    // After a drop the link is opened anew (to a new end for the pty and UDP).
    const bool dropped = c.fault == Fault::Drop;
    std::unique_ptr<sim::Terminal> reopened;
    sim::Terminal* answering = &t;
    if (dropped) {
        reopened.reset(new sim::Terminal(link));
        answering = reopened.get();
    }
    answering->step([&t, h](sim::Terminal& term) { journal_answers(term, t, h); });
    g_queries_over = false;
    g_answering = false;
    g_interrupt_result = -1;
    const ChildReaper reaper;
#ifdef ECR_MATRIX_DIR
    // The library's log of the case, kept beside its row for ecrcli explain.
    const std::string log_dir = std::string(ECR_MATRIX_DIR) + "/" +
                                row_base(support::link_label(link), std::get<1>(GetParam()), case_name(c)) + ".logs";
    mkdir(log_dir.c_str(), 0755);
    put_EcrLogingPath(log_dir.c_str());
#endif

    int outcome = ECRB_OUTCOME_NONE;
    if (kill) {
        pay_in_child(t, c.check_card);
        ASSERT_TRUE(g_reaped.load()) << "the script did not reach the kill: "
                                      << (t.errors().empty() ? "" : t.errors()[0]);
        ASSERT_TRUE(record_left());  // written before the request
        ASSERT_EQ(support::open_to(t), 0) << link_error();
    } else {
        connect(t);
        size_t step = 0;  // the completion that ends the payment
        if (interruptible) {
            unsigned long r = 1;
            EXPECT_EQ(PosPurchaseInterrupt(12.34, 0, &r), 0);
        } else if (c.check_card) {
            unsigned long r = 0;
            PurchaseCheckCard(12.34, 0, &r);
            ASSERT_TRUE(rec.wait_for(1, 40000));
            support::drain();
            // The notice is no outcome: the record waits for step 2.
            EXPECT_EQ(rec.completions()[0].result, 33u);
            EXPECT_EQ(ecrb_last_outcome(), kUnknown);
            EXPECT_TRUE(record_left());
            EXPECT_EQ(PurchaseCheckCardCompleteTran(true, &r), 0);
            step = 1;
        } else {
            PosPurchase(12.34, 0);
        }
        ASSERT_TRUE(rec.wait_for(step + 1, 40000));
        support::drain();
        if (control) {
            join_interrupter(30000);
            EXPECT_EQ(g_interrupt_result.load(), c.control);
        }
        outcome = ecrb_last_outcome();
        EXPECT_EQ(rec.completions()[step].result, c.result);
        EXPECT_STRNE(ecrb_last_outcome_reason(), "");
        // The record stays exactly while the outcome is unknown.
        EXPECT_EQ(record_left(), outcome == kUnknown);
    }
    // What the terminal said is kept whenever it was decoded, until an
    // interrupt the terminal accepted afterwards clears it; the decision
    // stands, and its reason says that an interrupt followed.
    const bool interrupt_followed = interruptible && c.control == 0 && outcome != kCancelled && c.variant[0] == 0;
    if (outcome == kApproved || outcome == kDeclined) {
        char rrn[16] = {};
        get_LastTrxRRN(rrn);
        EXPECT_STREQ(rrn, interrupt_followed ? "" : c.rrn);
    }
    // An approval that came as a control's answer is kept, but its being
    // kept by the terminal is left to the journal (recovery, below).
    if (std::string(c.variant) == "crossed_approved" || std::string(c.variant) == "after_cancel") {
        EXPECT_NE(std::string(ecrb_last_outcome_reason()).find("crossed the terminal's approval"), std::string::npos);
        char rrn[16] = {};
        get_LastTrxRRN(rrn);
        EXPECT_STREQ(rrn, c.rrn);
    }
    if (interrupt_followed) {
        EXPECT_STREQ(ecrb_last_outcome_reason(), "approved by the terminal; an interrupt followed");
    }
    // Unknown is resolved from the journal; nothing else sends anything.
    if (dropped) {
        ASSERT_TRUE(t.wait_done(20000));
        reopened->start();
        PosClose();
        ASSERT_EQ(support::open_to(*reopened), 0) << link_error();
    }
    for (int i = 0; i < 400 && !g_answering.load(); ++i)
        Sleep(50);
    ASSERT_TRUE(g_answering.load()) << "the terminal's script did not end: " << (t.errors().empty() ? "" : t.errors()[0]);
    // What the terminal did, once its part of the payment is over.
    const Journal journal = journal_of(t.events(), h);
    const int recovered = ecrb_recover();
    g_queries_over = true;
    ASSERT_TRUE(answering->wait_done(20000));
    record_row({support::link_label(link), case_name(c), journal_name(journal),
                kill ? "(killed)" : outcome_name(outcome), outcome_name(recovered), std::get<1>(GetParam())});
    const int final_outcome = kill ? recovered : outcome;
    EXPECT_EQ(final_outcome, c.outcome) << ecrb_last_outcome_reason();
    // The rules of money, whatever the case.
    if (outcome == kApproved) {
        EXPECT_EQ(journal, Journal::Confirmed);
    }
    if (outcome == kDeclined) {
        EXPECT_EQ(journal, Journal::Declined);
    }
    if (journal == Journal::Confirmed) {
        EXPECT_TRUE(outcome == kApproved || outcome == kUnknown || kill) << outcome_name(outcome);
    }
    if (outcome == kUnknown || kill) {
        EXPECT_EQ(recovered, recovered_from(journal));
        EXPECT_EQ(ecrb_last_outcome(), recovered);
    } else {
        EXPECT_EQ(recovered, ECRB_OUTCOME_NONE);
    }
    EXPECT_FALSE(record_left());
}

std::string fault_case_name(const ::testing::TestParamInfo<std::tuple<sim::Link, size_t>>& info)
{
    return std::string(support::link_label(std::get<0>(info.param))) + "_" + case_name(fault_cases()[std::get<1>(info.param)]);
}

INSTANTIATE_TEST_SUITE_P(Links, FaultMatrix,
                         ::testing::Combine(ECR_ALL_LINKS, ::testing::Range<size_t>(0, fault_cases().size())),
                         fault_case_name);

// The matrix of the cases that ran in this process, as a table.
class MatrixPrinter : public ::testing::Environment {
public:
    void TearDown() override
    {
        if (g_rows.empty())
            return;
        std::printf("\nlink  step and fault                           terminal   reported   recovered\n");
        for (const Row& r : g_rows)
            std::fputs(row_text(r).c_str(), stdout);
    }
};
const auto* const kPrinter = ::testing::AddGlobalTestEnvironment(new MatrixPrinter);

// Records left by a process that died before it knew the outcome, each
// against what the terminal's journal then holds.
struct RecoveryCase {
    const char* name;
    unsigned op;
    double amount;
    const char* invoice;      // of the request: the voided transaction
    long position;            // the journal before the request; -1: not known
    std::vector<std::pair<std::string, std::string>> answers;  // query prefix, answer
    int outcome;
    bool record_stays;
    long terminal_invoice = 0;  // > 0: the payment's final was read, its confirmation not acknowledged
    long position_after = -2;   // >= -1: the journal position recovery leaves
};

std::string journal_entry(const char* header, const char* receipt, const char* amount, const char* invoice)
{
    return msg({header, "01", receipt, amount, "", "", "", "", std::string(invoice) + "A1B2C30812153000BANK"});
}

const std::vector<RecoveryCase>& recovery_cases()
{
    static const std::vector<RecoveryCase> table = {
        // Without the journal's position, an older entry proves nothing.
        {"no_position_another_entry", 1, 12.34, "", -1, {{"GTL10.", older_payment()}}, ECRB_OUTCOME_UNKNOWN, true},
        // 2.50 approved as 321, then a second 2.50 killed before the
        // terminal decided: entry 321 is the first payment, not this one.
        {"same_amount_again_not_made", 1, 2.50, "", 321,
         {{"GTL10.", journal_entry("GTL11.00", "57", "000000000250", "000321")}}, ECRB_OUTCOME_NOT_SENT, false},
        {"same_amount_again_made", 1, 2.50, "", 321,
         {{"GTL10.", journal_entry("GTL11.00", "57", "000000000250", "000322")}}, ECRB_OUTCOME_APPROVED, false},
        // The journal emptied between the crash and the recovery.
        {"settled_since", 1, 2.50, "", 321, {{"GTL10.", "GTL11.25"}}, ECRB_OUTCOME_UNKNOWN, true},
        // A void of 321 (12.34) is found by the voided invoice, not by its
        // own amount, which the request does not carry.
        {"void_made", 8, 0, "000321", 321,
         {{"GTI10.", journal_entry("GTI11.00", "57", "000000001234", "000321")},
          {"GTL10.", journal_entry("GTL11.00", "57", "000000001234", "000322")}},
         ECRB_OUTCOME_APPROVED, false},
        // A refund of 3.00: found by its amount among the entries newer than
        // the position, like a purchase.
        {"refund_made", 2, 3.00, "", 321,
         {{"GTL10.", journal_entry("GTL11.00", "57", "000000000300", "000322")}}, ECRB_OUTCOME_APPROVED, false},
        {"refund_not_made", 2, 3.00, "", 321,
         {{"GTL10.", journal_entry("GTL11.00", "57", "000000001234", "000321")}}, ECRB_OUTCOME_NOT_SENT, false},
        // The void request carries no receipt number, so the terminal's
        // entry of the void has none: it is found all the same.
        {"void_made_entry_without_receipt", 8, 0, "000321", 321,
         {{"GTI10.", journal_entry("GTI11.00", "57", "000000001234", "000321")},
          {"GTL10.", journal_entry("GTL11.00", "0", "000000001234", "000322")}},
         ECRB_OUTCOME_APPROVED, false},
        // The terminal numbered the payment 322 but did not keep it: the
        // position goes back to the journal's end, or the next recovery
        // would take the journal for emptied.
        {"unkept_number_gives_the_position_back", 1, 2.50, "", 321,
         {{"GTI10.", std::string("GTI11.25") + '\x1c'},
          {"GTL10.", journal_entry("GTL11.00", "56", "000000000500", "000321")}},
         ECRB_OUTCOME_NOT_SENT, false, 322, 321},
        // A journal that does not answer proves nothing: the terminal could
        // not be asked, and the record stays for the next try.
        {"void_journal_not_answering", 8, 0, "000321", 321, {}, E_FAIL, true},
        {"void_not_made", 8, 0, "000321", 321,
         {{"GTI10.", journal_entry("GTI11.00", "57", "000000001234", "000321")},
          {"GTL10.", journal_entry("GTL11.00", "57", "000000001234", "000321")}},
         ECRB_OUTCOME_NOT_SENT, false},
    };
    return table;
}

class Recovery : public OutcomeTest, public ::testing::WithParamInterface<std::tuple<sim::Link, size_t>> {};

TEST_P(Recovery, AnswersOnlyWhatTheJournalProves)
{
    const RecoveryCase& c = recovery_cases()[std::get<1>(GetParam())];
    sim::Terminal t(std::get<0>(GetParam()));
    for (const auto& a : c.answers)
        sim::queue_single_answer(t, a.first, a.second);
    connect(t);
    if (c.position >= 0)
        OperationRecord::NoteJournalPosition(c.position);
    else
        std::remove((dir + "/ecrbridge.journal").c_str());
    _init_transaction_request req{};
    req.trx_type = static_cast<uint16_t>(c.op);
    req.amount = c.amount;
    req.ecr_receipt_num = 57;
    std::strcpy(req.invoice_num, c.invoice);
    ASSERT_TRUE(OperationRecord::Write(req));
    if (c.terminal_invoice > 0) {  // as the payment's end notes it
        ASSERT_TRUE(OperationRecord::NoteTerminalInvoice(c.terminal_invoice));
        OperationRecord::NoteJournalPosition(c.terminal_invoice);
    }
    ASSERT_TRUE(record_left());
    EXPECT_EQ(ecrb_recover(), c.outcome) << ecrb_last_outcome_reason();
    EXPECT_EQ(record_left(), c.record_stays);
    if (c.position_after >= -1) {
        EXPECT_EQ(OperationRecord::JournalPosition(), c.position_after);
    }
    ASSERT_TRUE(t.wait_done(20000));
}

INSTANTIATE_TEST_SUITE_P(Links, Recovery,
                         ::testing::Combine(ECR_ALL_LINKS, ::testing::Range<size_t>(0, recovery_cases().size())),
                         [](const ::testing::TestParamInfo<std::tuple<sim::Link, size_t>>& info) {
                             return std::string(support::link_label(std::get<0>(info.param))) + "_" +
                                    recovery_cases()[std::get<1>(info.param)].name;
                         });

// ---- a dead link -----------------------------------------------------------------

// The terminal goes away at a point of the payment; the payment ends at
// once, not after the 40 s budget.  Reasons per link: tcp, udp, pty.
struct DeadLinkCase {
    const char* point;
    std::function<void(Dialogue&)> script;
    bool before_payment;  // the script runs out before the payment starts
    int outcome;
    const char* reasons[3];  // null: the link cannot tell (the test is skipped)
};

const std::vector<DeadLinkCase>& dead_link_cases()
{
    static const std::vector<DeadLinkCase> table = {
        // Gone before the request: TCP has the FIN, UDP the refusal of the request's datagram.
        {"request", [](Dialogue& d) { d.pause(300).close(); }, true, kNotSent,
         {"the terminal closed the connection", "the terminal refused the connection", "the serial line was hung up"}},
        // The request arrived and was never read (TCP: a reset).  Over UDP a
        // terminal that took the datagram and went sends nothing back.
        {"before_ack", [](Dialogue& d) { d.t.close_link_unread(); }, false, kNotSent,
         {"the terminal reset the connection", nullptr, "the serial line was hung up"}},
        // Gone after a text message, before the library's ACK of it (UDP: refused).
        {"payment", [](Dialogue& d) { d.request().first(); d.t.send_frame(msg({"SMS10.PLEASE WAIT", "0"})); d.close(); },
         false, kUnknown,
         {"the terminal closed the connection", "the terminal refused the connection", "the serial line was hung up"}},
    };
    return table;
}

class DeadLink : public OutcomeTest, public ::testing::WithParamInterface<std::tuple<sim::Link, size_t>> {};

TEST_P(DeadLink, EndsThePaymentAtOnce)
{
    const sim::Link link = std::get<0>(GetParam());
    const DeadLinkCase& c = dead_link_cases()[std::get<1>(GetParam())];
    const char* reason = c.reasons[static_cast<int>(link)];
    if (reason == nullptr) {
        GTEST_SKIP() << "a terminal that takes a datagram and goes leaves no trace on the link";
    }
    sim::Terminal t(link);
    Dialogue d{"PUR", t};
    c.script(d);
    support::PaymentTest<>::connect(t);  // the library's own time-outs: 5 s, 40 s
    put_ECRReceiptNumber(57);
    if (c.before_payment) {
        ASSERT_TRUE(t.wait_done(5000));
    }
    const uint64_t start = GetTickCount();
    PosPurchase(12.34, 0);
    ASSERT_TRUE(rec.wait_for(1, 45000));
    const uint64_t took = rec.completions()[0].at_ms - start;
    support::drain();
    EXPECT_LT(took, 3000u) << "the budget is 40 s";
    EXPECT_EQ(rec.completions()[0].result, 20u);
    EXPECT_EQ(ecrb_last_outcome(), c.outcome) << outcome_name(ecrb_last_outcome());
    EXPECT_STREQ(ecrb_last_outcome_reason(), reason);
    EXPECT_EQ(link_error(), reason);
    EXPECT_EQ(record_left(), c.outcome == kUnknown);
}

INSTANTIATE_TEST_SUITE_P(Links, DeadLink,
                         ::testing::Combine(ECR_ALL_LINKS, ::testing::Range<size_t>(0, dead_link_cases().size())),
                         [](const ::testing::TestParamInfo<std::tuple<sim::Link, size_t>>& info) {
                             return std::string(support::link_label(std::get<0>(info.param))) + "_" +
                                    dead_link_cases()[std::get<1>(info.param)].point;
                         });

// A payment whose record cannot be written is still made, and says that it
// has no crash record: here one the terminal leaves unknown.
TEST_F(OutcomeTest, PaymentWithoutRecordSaysSo)
{
    sim::Terminal t(sim::Link::Tcp);
    Dialogue d{"PUR", t};
    dead_link_cases()[2].script(d);
    connect(t);
    ASSERT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);  // the record directory is gone
    PosPurchase(12.34, 0);
    ASSERT_TRUE(rec.wait_for(1, 10000));
    support::drain();
    EXPECT_EQ(ecrb_last_outcome(), kUnknown);
    EXPECT_STREQ(ecrb_last_outcome_reason(), "the terminal closed the connection; this payment has no crash record");
    EXPECT_EQ(link_error(), "the terminal closed the connection; this payment has no crash record");
}

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
    support::script_final(t, response("PST12.00"), "PST13.");
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
