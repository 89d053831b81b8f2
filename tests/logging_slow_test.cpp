// Log writer against a slow file: Close waits (re-signalling) until the
// writer task has written everything, and producers never wait for it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "Logging/async_writer.h"
#include "Logging/logger.h"
#include "log_test_util.h"

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

TEST(LogWriterSlowFile, CloseReturnsOnlyAfterASlowFileTookEveryLine)
{
    logtest::ScratchDir dir;
    const std::string fifo = dir.file("slow.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A reader that is present but does not read yet: the pipe fills up and
    // the writer task blocks in its write.
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);

    Logger<AsyncWriter> logger;
    logger.set_logging(true);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(logger.Open(fifo));
    testing::internal::GetCapturedStdout();

    const std::string line = std::string(99, 'q') + "\n";
    const int kLines = 3000;  // 300 KB, several times the pipe's capacity
    for (int i = 0; i < kLines; ++i)
        ASSERT_TRUE(logger.Write(line));
    std::this_thread::sleep_for(milliseconds(100));  // let the task block on the full pipe

    // Producers do not wait for the blocked disk.
    const auto produceStart = Clock::now();
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(logger.Write(line));
    EXPECT_LT(Clock::now() - produceStart, milliseconds(300));

    const auto start = Clock::now();
    std::string received;
    std::thread drain([&] {
        std::this_thread::sleep_until(start + milliseconds(700));
        fcntl(reader, F_SETFL, 0);  // blocking reads until the writer closes
        char buf[65536];
        for (;;) {
            ssize_t n = read(reader, buf, sizeof buf);
            if (n <= 0)
                break;
            received.append(buf, static_cast<std::size_t>(n));
        }
    });
    logger.Close();
    const auto took = Clock::now() - start;
    drain.join();
    close(reader);

    EXPECT_GE(took, milliseconds(700));
    EXPECT_LT(took, milliseconds(5000));
    const auto lines = logtest::Lines(received);
    ASSERT_EQ(lines.size(), 1u + kLines + 1000u);
    EXPECT_NE(lines[0].find("]  Open " + fifo), std::string::npos);
    for (std::size_t i = 1; i < lines.size(); ++i)
        ASSERT_EQ(lines[i] + "\n", line) << i;
}
