// Helpers of the payment tests: a recorder of completion callbacks and the
// scripts of the usual payment dialogues with the simulated terminal.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sim/terminal.h"
#include "support/sim_link.h"

class CVarkoClass2017;

namespace support {

// One completion as the application saw it.
struct Completion {
    unsigned long result;
    std::thread::id thread;
    uint64_t at_ms;     // GetTickCount() inside the callback
    int state_inside;   // OnTRX() read inside the callback
};

// Collects completion callbacks from any thread.
class Recorder {
public:
    static Recorder& instance();
    // Registers the recorder's callbacks (OnTrxComplete, OnMsgReceived) and clears it.
    void install();
    void clear();
    // Waits until at least n completions arrived; false on time-out.
    bool wait_for(size_t n, unsigned timeout_ms);
    std::vector<Completion> completions();
    std::vector<std::string> messages();

    static void on_trx(unsigned long result);
    static void on_msg(char const* text);

private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    std::vector<Completion> m_completions;
    std::vector<std::string> m_messages;
};

// A fresh ECR object (no connection, default properties, logging off),
// with the recorder installed.
CVarkoClass2017* fresh_object();
// Sets the transport properties for the terminal and opens: PosOpen's value.
int open_to(sim::Terminal& terminal);

// The terminal acknowledges the request whose header is `request`, answers
// with `first` (e.g. "PUR11.") and waits for the library's ACK.
void script_request(sim::Terminal& t, const std::string& request, const std::string& first);
// The final response `final_msg`: ACK from the library, its confirmation
// starting with `confirm`, and the terminal's ACK to that.
void script_final(sim::Terminal& t, const std::string& final_msg, const std::string& confirm);
// Request acknowledged, then a first answer with a wrong number: the library
// ends at once with result 20 (used where only the request bytes matter).
void script_refused(sim::Terminal& t, const std::string& request, const std::string& wrong_answer);
// Request and first answer; then the terminal itself cancels the transaction
// through CancelTransaction (from its own thread) and sends a text message,
// which the library sees only after the flag: callback 0 without a pause.
void script_cancelled(sim::Terminal& t, const std::string& request, const std::string& first);
// Waits until the text message of the n-th script_cancelled is on the wire
// (at once on the pty, which gets none): an exchange started earlier could
// take it as its own answer.
bool wait_cancel_message(const sim::Terminal& t, unsigned n = 1);

// Waits until the last asynchronous operation has finished.
void drain();

int close_and_release();

// The fixture of the payment tests: a fresh object; at the end the last
// operation waited for, the link closed and the object released.  Base is
// ::testing::Test or a TestWithParam.
template <class Base = ::testing::Test>
class PaymentTest : public Base {
protected:
    void SetUp() override { ecr = fresh_object(); }
    void TearDown() override { close_and_release(); }
    // Runs the terminal's script and opens the library to it.
    void connect(sim::Terminal& t)
    {
        t.start();
        ASSERT_EQ(open_to(t), 0);
    }
    CVarkoClass2017* ecr = nullptr;
};

// The frames the library sent, in order.
std::vector<std::string> frames(const sim::Terminal& t);
// Time of the first event of the kind whose data starts with prefix; 0 when none.
uint64_t event_time(const sim::Terminal& t, int kind, const std::string& prefix);

}  // namespace support
