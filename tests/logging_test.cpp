// Log writer: line format, file name, open/close/re-open, the logging switch,
// the queue bound and the file's protection (owner only, no symbolic link).
#include <fcntl.h>
#include <gtest/gtest.h>
#include "protocol/link_error.h"
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "Logging/async_writer.h"
#include "Logging/log.h"
#include "Logging/log_internal.h"
#include "Logging/logger.h"
#include "log_test_util.h"

using logtest::Lines;
using logtest::ScratchDir;

namespace {

class ProcessLog : public ::testing::Test {
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
    ScratchDir dir;
};

const char kTimePattern[] = R"(\d{2}/\d{2}/\d{4} \d{2}:\d{2}:\d{2})";

}  // namespace

TEST_F(ProcessLog, RecordLineHasTimeLabelAndCallerPrefix)
{
    const std::string path = dir.file("format.log");
    ASSERT_TRUE(ConfigureFile(path));
    el::set_logging(true);
    const std::string before = WriteObject::GetTime("%d/%m/%Y %H:%M:%S");
    const int line = __LINE__ + 1;
    LOGREC(LOG_INFO) << "value " << 42 << ' ' << std::string("text");
    const std::string after = WriteObject::GetTime("%d/%m/%Y %H:%M:%S");
    CloseLog();

    const std::string text = support::read_file(path);
    const std::string record = " [LOG_INFO>  ] [TestBody:" + std::to_string(line) + "] value 42 text\n";
    ASSERT_EQ(text.size(), 19 + record.size()) << text;
    const std::string time = text.substr(0, 19);
    EXPECT_TRUE(time == before || time == after) << time;
    EXPECT_TRUE(std::regex_match(time, std::regex(kTimePattern))) << time;
    EXPECT_EQ(text.substr(19), record);
}

namespace {
int LogsInside()
{
    LOGREC(LOG_INFO) << "inner";
    return 7;
}
}  // namespace

// Values print as a stream prints them; a null C string ends the record's
// text; a record longer than the room inside it is written whole; a record
// composed while another is open lands before it.
TEST_F(ProcessLog, RecordValuesPrintAsAStreamPrintsThem)
{
    const std::string path = dir.file("values.log");
    ASSERT_TRUE(ConfigureFile(path));
    el::set_logging(true);
    const unsigned char letter = 'A';
    const signed char other = 'B';
    const char* none = nullptr;
    const std::string long_text(300, 'x');
    LOGREC(LOG_INFO) << letter << other << ' ' << true << false << ' ' << -7 << ' ' << LLONG_MIN << ' ' << ULLONG_MAX
                     << ' ' << 12.34 << ' ' << 0.1f << ' ' << 1e10 << ' ' << static_cast<uint16_t>(643);
    LOGREC(LOG_INFO) << "a" << none << "b" << 1;
    LOGREC(LOG_INFO) << long_text << "|" << 5;
    LOGREC(LOG_INFO) << "outer " << LogsInside();
    CloseLog();

    std::vector<std::string> messages;
    for (const std::string& line : Lines(support::read_file(path)))  // after the label and the "[function:line] "
        messages.push_back(line.substr(line.find("] ", line.find("] ") + 2) + 2));
    ASSERT_EQ(messages.size(), 5u);
    EXPECT_EQ(messages[0], "AB 10 -7 -9223372036854775808 18446744073709551615 12.34 0.1 1e+10 643");
    EXPECT_EQ(messages[1], "a");
    EXPECT_EQ(messages[2], long_text + "|5");
    EXPECT_EQ(messages[3], "inner");
    EXPECT_EQ(messages[4], "outer 7");
}

TEST_F(ProcessLog, EveryLevelPrintsItsLabel)
{
    EXPECT_EQ(WriteObject::MapLogLevel(LOG_ERROR), "[LOG_ERROR> ]");
    EXPECT_EQ(WriteObject::MapLogLevel(LOG_INFO), "[LOG_INFO>  ]");
    EXPECT_EQ(WriteObject::MapLogLevel(LOG_TRACE), "[LOG_TRACE> ]");
    EXPECT_EQ(WriteObject::MapLogLevel(LOG_UNKNOW), "[LOG_UNKNOW>]");
    EXPECT_EQ(WriteObject::m_sDefaultTimeFormat, "%d/%m/%Y %H:%M:%S");
    ASSERT_EQ(WriteObject::LogLevelMap.size(), 4u);
    for (const auto& entry : WriteObject::LogLevelMap)
        EXPECT_EQ(WriteObject::MapLogLevel(static_cast<LogType>(entry.first)), entry.second);

    const std::string path = dir.file("levels.log");
    ASSERT_TRUE(ConfigureFile(path));
    el::set_logging(true);
    LOGREC(LOG_ERROR) << "e";
    LOGREC(LOG_TRACE) << "t";
    testing::internal::CaptureStderr();
    GetLogObject(static_cast<LogType>(5)) << "five";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "!!!ERROR: cannot map log level");
    CloseLog();

    const auto lines = Lines(support::read_file(path));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(std::string(kTimePattern) +
                                                      R"( \[LOG_ERROR> \] \[TestBody:\d+\] e)")));
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(std::string(kTimePattern) +
                                                      R"( \[LOG_TRACE> \] \[TestBody:\d+\] t)")));
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(std::string(kTimePattern) + R"( \[LOG_UNKNOW>\] five)")))
        << lines[2];
}

TEST(LogFileName, NamesCarryTheDateWithTwoDigitMonthAndDay)
{
    EXPECT_EQ(el::prependZero(0), "00");
    EXPECT_EQ(el::prependZero(7), "07");
    EXPECT_EQ(el::prependZero(9), "09");
    EXPECT_EQ(el::prependZero(10), "10");
    EXPECT_EQ(el::prependZero(12), "12");
    EXPECT_EQ(el::prependZero(-3), "-3");

    std::tm jan{};
    jan.tm_year = 2027 - 1900;
    jan.tm_mon = 0;
    jan.tm_mday = 1;
    EXPECT_EQ(el::detail::LogFileName(jan), "VAR17_QTM 2027.01.01.log");
    std::tm dec{};
    dec.tm_year = 2026 - 1900;
    dec.tm_mon = 11;
    dec.tm_mday = 7;
    EXPECT_EQ(el::detail::LogFileName(dec), "VAR17_QTM 2026.12.07.log");

    auto today = [] {
        std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        char buf[64];
        std::strftime(buf, sizeof buf, "VAR17_QTM %Y.%m.%d.log", &local);
        return std::string(buf);
    };
    const std::string before = today();
    const std::string name = el::getCurrentTimeString();
    const std::string after = today();
    EXPECT_TRUE(name == before || name == after) << name;
}

TEST_F(ProcessLog, ExistingFileIsAppendedToNeverTruncated)
{
    const std::string path = dir.file("append.log");
    support::write_file(path, "earlier line\n");
    ASSERT_TRUE(ConfigureFile(path));
    el::set_logging(true);
    EXPECT_TRUE(Write(std::string("first\n")));
    CloseLog();
    EXPECT_EQ(support::read_file(path), "earlier line\nfirst\n");

    el::set_logging(false);
    ASSERT_TRUE(ConfigureFile(path));
    el::set_logging(true);
    const std::string second = "second\n";
    EXPECT_TRUE(Write(second));
    CloseLog();
    EXPECT_EQ(support::read_file(path), "earlier line\nfirst\nsecond\n");
}

TEST_F(ProcessLog, LinesQueuedJustBeforeCloseAreAllWritten)
{
    const std::string path = dir.file("drain.log");
    ASSERT_TRUE(ConfigureFile(path));
    el::set_logging(true);
    std::string expected;
    for (int i = 0; i < 5000; ++i) {
        std::string line = "line " + std::to_string(i) + "\n";
        expected += line;
        ASSERT_TRUE(Write(std::move(line)));
    }
    CloseLog();
    EXPECT_EQ(support::read_file(path), expected);
}

TEST(LoggerLifecycle, CloseOfANeverOpenedLoggerReturnsAtOnce)
{
    Logger<AsyncWriter> logger;
    const auto start = std::chrono::steady_clock::now();
    logger.Close();
    logger.Close();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(100));
    EXPECT_FALSE(logger.get_logging());
}

TEST_F(ProcessLog, ReopeningAnnouncesTheNewPathInTheOldFile)
{
    const std::string first = dir.file("first.log");
    const std::string second = dir.file("second.log");
    ASSERT_TRUE(ConfigureFile(first));
    el::set_logging(true);
    LOGREC(LOG_INFO) << "before";
    testing::internal::CaptureStdout();
    ASSERT_TRUE(ConfigureFile(second));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "open [" + second + "]\n");
    LOGREC(LOG_INFO) << "after";
    CloseLog();

    const auto old = Lines(support::read_file(first));
    ASSERT_EQ(old.size(), 2u);
    EXPECT_NE(old[0].find("] before"), std::string::npos);
    EXPECT_TRUE(std::regex_match(old[1], std::regex(std::string(kTimePattern) + R"( \[LOG_INFO>  \] \[Open:\d+\]  Open )" +
                                                    second)))
        << old[1];
    const auto now = Lines(support::read_file(second));
    ASSERT_EQ(now.size(), 1u);
    EXPECT_TRUE(std::regex_match(now[0], std::regex(std::string(kTimePattern) +
                                                    R"( \[LOG_INFO>  \] \[TestBody:\d+\] after)")));
}

TEST_F(ProcessLog, MissingDirectoryFailsAndRecordsWaitForALaterOpen)
{
    const std::string bad = dir.file("no/such/dir/x.log");
    const std::string good = dir.file("good.log");
    el::set_logging(true);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ConfigureFile(bad));
    // The reason follows the line, and the application can read it.
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "open [" + bad + "]\nOpenreturn false Fopen\nlog directory [" +
                                                          dir.file("no/such/dir") + "]: No such file or directory\n");
    char why[512] = {0};
    EXPECT_EQ(link_error_copy(why, sizeof why), 0);
    EXPECT_EQ(std::string(why), "log directory " + dir.file("no/such/dir") + ": No such file or directory");
    EXPECT_TRUE(Write(std::string("waiting\n")));
    EXPECT_EQ(support::read_file(good), "");

    ASSERT_TRUE(ConfigureFile(good));
    CloseLog();
    const auto lines = Lines(support::read_file(good));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("]  Open " + bad), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], "waiting");
    EXPECT_NE(lines[2].find("]  Open " + good), std::string::npos) << lines[2];
}

namespace {
int g_evaluated = 0;
int Evaluated()
{
    return ++g_evaluated;
}
}  // namespace

TEST_F(ProcessLog, SwitchedOffDropsLinesForGood)
{
    const std::string path = dir.file("switch.log");
    ASSERT_TRUE(ConfigureFile(path));
    el::set_logging(true);
    EXPECT_TRUE(el::get_logging());
    EXPECT_TRUE(Write(std::string("one\n")));
    el::set_logging(false);
    EXPECT_FALSE(el::get_logging());
    EXPECT_FALSE(Write(std::string("dropped\n")));
    const std::string copy = "dropped too\n";
    EXPECT_FALSE(Write(copy));
    LOGREC_ALWAYS(LOG_INFO) << "composed but dropped";
    g_evaluated = 0;
    LOGREC(LOG_INFO) << "never composed " << Evaluated();
    EXPECT_EQ(g_evaluated, 0);
    el::set_logging(true);
    EXPECT_TRUE(Write(std::string("two\n")));
    LOGREC(LOG_INFO) << "composed " << Evaluated();
    EXPECT_EQ(g_evaluated, 1);
    CloseLog();

    const auto lines = Lines(support::read_file(path));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "one");
    EXPECT_EQ(lines[1], "two");
    EXPECT_NE(lines[2].find("] composed 1"), std::string::npos);
}

TEST_F(ProcessLog, FileIsPrivateToItsOwnerAndClosedOnExec)
{
    const std::string path = dir.file("private.log");
    const mode_t old = umask(0);
    const bool opened = ConfigureFile(path);
    umask(old);
    ASSERT_TRUE(opened);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Find our descriptor of the file and check its close-on-exec flag.
    int found = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        char link[64];
        char target[PATH_MAX];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, target, sizeof target - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        if (path == target) {
            ++found;
            EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        }
    }
    EXPECT_EQ(found, 1);
    CloseLog();
}

TEST_F(ProcessLog, SymlinkPlantedInTheLogDirectoryIsRefusedAndSaidOnce)
{
    const std::string target = dir.file("elsewhere.txt");
    const std::string link = dir.file("planted.log");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    testing::internal::CaptureStderr();
    const bool first = ConfigureFile(link);
    const bool second = ConfigureFile(link);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(first);
    EXPECT_FALSE(second);
    struct stat st {};
    EXPECT_NE(lstat(target.c_str(), &st), 0) << "nothing was created through the link";
    const std::string said = "log file [" + link + "] is a symbolic link: not opened\n";
    EXPECT_EQ(err, said);
}

TEST(LogQueueBound, LinesBeyondTheBoundAreCountedAndReported)
{
    ScratchDir dir;
    Logger<AsyncWriter> logger;
    logger.SetQueueLimit(100);
    logger.set_logging(true);
    const std::string line(29, 'x');  // 30 bytes with the line end
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(logger.Write(line + "\n"));
    EXPECT_FALSE(logger.Write(line + "\n"));
    EXPECT_FALSE(logger.Write(line + "\n"));
    EXPECT_EQ(logger.DroppedLines(), 2u);

    const std::string path = dir.file("bound.log");
    testing::internal::CaptureStdout();
    ASSERT_TRUE(logger.Open(path));  // its own announcement does not fit either
    testing::internal::GetCapturedStdout();
    logger.Close();
    EXPECT_EQ(logger.DroppedLines(), 0u);

    const auto lines = Lines(support::read_file(path));
    ASSERT_EQ(lines.size(), 4u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(lines[i], line);
    EXPECT_TRUE(std::regex_match(lines[3], std::regex(std::string(kTimePattern) +
                                                      R"( \[LOG_ERROR> \] \[WriterTask:\d+\] log queue full, 3 lines dropped)")))
        << lines[3];

    // Room again once written.
    EXPECT_TRUE(logger.Write(line + "\n"));
}

TEST(LogQueueBound, DefaultBoundIsFourMebibytes)
{
    EXPECT_EQ(AsyncWriter::kDefaultQueueLimit, 4u * 1024u * 1024u);
    Logger<AsyncWriter> logger;
    logger.set_logging(true);
    const std::string line(1023, 'y');
    for (int i = 0; i < 4096; ++i)
        ASSERT_TRUE(logger.Write(line + "\n")) << i;
    EXPECT_FALSE(logger.Write(std::string("z\n")));
    EXPECT_EQ(logger.DroppedLines(), 1u);
}

TEST(LogWriterFailure, FailingDiskNeverFailsTheCaller)
{
    Logger<AsyncWriter> logger;
    logger.set_logging(true);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(logger.Open("/dev/full"));
    testing::internal::GetCapturedStdout();
    for (int i = 0; i < 100; ++i)
        EXPECT_TRUE(logger.Write("lost on a full disk " + std::to_string(i) + "\n"));
    const auto start = std::chrono::steady_clock::now();
    logger.Close();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

    // The writer is usable again afterwards.
    ScratchDir dir;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(logger.Open(dir.file("after.log")));
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(logger.Write(std::string("after\n")));
    logger.Close();
    const auto lines = Lines(support::read_file(dir.file("after.log")));
    ASSERT_EQ(lines.size(), 2u);  // the announcement of the open, then the line
    EXPECT_NE(lines[0].find("]  Open " + dir.file("after.log")), std::string::npos);
    EXPECT_EQ(lines[1], "after");
}
