// Log writer under several threads: whole records, per-thread order, re-opening
// while others log, and process exit while a thread is still logging.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Logging/log.h"
#include "Logging/log_internal.h"
#include "log_test_util.h"

namespace {

class ThreadedLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir.path().empty());
        logtest::ResetProcessLogger(dir);
    }
    void TearDown() override
    {
        el::set_logging(false);
        CloseLog();
    }
    logtest::ScratchDir dir;
};

const std::regex kWorkerLine(R"(\d{2}/\d{2}/\d{4} \d{2}:\d{2}:\d{2} \[LOG_TRACE> \] \[(?:operator\(\)|TestBody):\d+\] worker (\d+) seq (\d+))");

}  // namespace

TEST_F(ThreadedLog, RecordsAndDumpsFromManyThreadsArriveWholeAndInOrder)
{
    const std::string path = dir.file("threads.log");
    ASSERT_TRUE(ConfigureFile(path));
    el::set_logging(true);
    const int kThreads = 4;
    const int kRecords = 1000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kRecords; ++i)
                LOGREC(LOG_TRACE) << "worker " << t << " seq " << i;
        });
    threads.emplace_back([] {
        const unsigned char frame[20] = {0x02, 'P', 'U', 'R', '1', '0', '.', 0x1C, 0x03};
        for (int i = 0; i < 200; ++i)
            LOGDUMP(frame, sizeof frame, "SEND TO TERMINAL");
    });
    for (auto& th : threads)
        th.join();
    CloseLog();

    const auto lines = logtest::Lines(support::read_file(path));
    std::vector<int> next(kThreads, 0);
    int dumps = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::smatch m;
        if (std::regex_match(lines[i], m, kWorkerLine)) {
            const int t = std::stoi(m[1]);
            ASSERT_EQ(std::stoi(m[2]), next[t]) << lines[i];
            ++next[t];
            continue;
        }
        // A dump block is five lines that nothing else interrupts.
        ASSERT_EQ(lines[i].rfind("HEX DUMP: Buffer address = 0x", 0), 0u) << i << ": " << lines[i];
        ASSERT_LT(i + 4, lines.size());
        EXPECT_EQ(lines[i].substr(lines[i].find(", size")), ", size = 20, function: [SEND TO TERMINAL]");
        EXPECT_EQ(lines[i + 1], "");
        EXPECT_EQ(lines[i + 2], "000 | 02 50 55 52 31 30 2E 1C 03 00 00 00 00 00 00 00 .PUR10.......... ");
        EXPECT_EQ(lines[i + 3], "010 | 00 00 00 00" + std::string(36, ' ') + " .... ");
        EXPECT_EQ(lines[i + 4], "");
        i += 4;
        ++dumps;
    }
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(next[t], kRecords) << "worker " << t;
    EXPECT_EQ(dumps, 200);
}

TEST_F(ThreadedLog, ReopeningWhileOthersLogLosesNoRecord)
{
    const std::string a = dir.file("a.log");
    const std::string b = dir.file("b.log");
    ASSERT_TRUE(ConfigureFile(a));
    el::set_logging(true);
    const int kThreads = 3;
    const int kRecords = 2000;
    std::atomic<int> running{kThreads};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &running] {
            for (int i = 0; i < kRecords; ++i)
                LOGREC(LOG_TRACE) << "worker " << t << " seq " << i;
            --running;
        });
    testing::internal::CaptureStdout();
    int reopened = 0;
    while (running.load() > 0 || reopened < 4) {
        ASSERT_TRUE(ConfigureFile(reopened % 2 ? a : b));
        ++reopened;
    }
    testing::internal::GetCapturedStdout();
    for (auto& th : threads)
        th.join();
    CloseLog();

    std::set<std::pair<int, int>> seen;
    int opens = 0;
    for (const std::string& path : {a, b}) {
        for (const std::string& line : logtest::Lines(support::read_file(path))) {
            std::smatch m;
            if (std::regex_match(line, m, kWorkerLine)) {
                EXPECT_TRUE(seen.insert({std::stoi(m[1]), std::stoi(m[2])}).second) << line;
            } else {
                EXPECT_NE(line.find(" [LOG_INFO>  ] [Open:"), std::string::npos) << line;
                ++opens;
            }
        }
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kRecords));
    EXPECT_EQ(opens, reopened);
}

TEST_F(ThreadedLog, SwitchingLoggingWhileOthersLogKeepsRecordsWhole)
{
    const std::string path = dir.file("toggle.log");
    ASSERT_TRUE(ConfigureFile(path));
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([t, &stop] {
            for (int i = 0; !stop.load(); ++i)
                LOGREC(LOG_TRACE) << "worker " << t << " seq " << i;
        });
    for (int i = 0; i < 200; ++i) {
        el::set_logging(i % 2 == 0);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    el::set_logging(false);
    stop = true;
    for (auto& th : threads)
        th.join();
    CloseLog();

    std::vector<int> last(2, -1);
    const auto lines = logtest::Lines(support::read_file(path));
    EXPECT_FALSE(lines.empty());
    for (const auto& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, kWorkerLine)) << line;
        const int t = std::stoi(m[1]);
        EXPECT_GT(std::stoi(m[2]), last[t]);
        last[t] = std::stoi(m[2]);
    }
}

TEST_F(ThreadedLog, ExitWhileAnotherThreadLogsDrainsTheFileAndEnds)
{
    const std::string path = dir.file("exit.log");
    // The logger is closed here, so the child starts with no writer task.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        testing::internal::CaptureStdout();
        if (!ConfigureFile(path))
            _exit(3);
        el::set_logging(true);
        static std::atomic<int> written{0};
        std::thread([] {
            // Finished lines only: the thread touches nothing but the logger
            // while the exiting main thread tears the statics down.
            for (int i = 0;; ++i) {
                Write(el::detail::FormatRecord("01/01/2026 00:00:00", LOG_TRACE,
                                               "[operator():1] worker 0 seq " + std::to_string(i)));
                ++written;
            }
        }).detach();
        while (written.load() < 2000)
            std::this_thread::yield();
        LOGREC(LOG_TRACE) << "worker 1 seq 0";
        std::exit(0);
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (done == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "the process hung at exit";
    }
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);

    const std::string text = support::read_file(path);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const auto lines = logtest::Lines(text);
    int first = 0;
    bool lastRecord = false;
    for (const auto& line : lines) {
        std::smatch m;
        if (line.find("]  Open ") != std::string::npos)
            continue;
        ASSERT_TRUE(std::regex_match(line, m, kWorkerLine)) << line;
        if (m[1] == "1")
            lastRecord = true;
        else
            ++first;
    }
    EXPECT_TRUE(lastRecord) << "the record written just before exit is missing";
    EXPECT_GE(first, 2000);
}
