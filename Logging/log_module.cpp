// The process-wide logger and the free functions of the logging module.
#include <atomic>
#include <mutex>
#include <utility>
#include <vector>
#include <ctime>
#include <new>

#include "Logging/async_writer.h"
#include "Logging/log.h"
#include "Logging/log_internal.h"
#include "Logging/logger.h"

// The level labels and the time format live here, ahead of the process
// logger, so that within this file they are built before it and destroyed
// after it has been closed.
std::string WriteObject::m_sDefaultTimeFormat = "%d/%m/%Y %H:%M:%S";

const std::map<int, std::string> WriteObject::LogLevelMap = {
    {LOG_ERROR, "[LOG_ERROR> ]"},
    {LOG_INFO, "[LOG_INFO>  ]"},
    {LOG_TRACE, "[LOG_TRACE> ]"},
    {LOG_UNKNOW, "[LOG_UNKNOW>]"},
};

namespace {

std::atomic<bool> g_shutDown{false};

using ProcessLoggerType = Logger<AsyncWriter>;

// The logger lives in static storage that is never released: a thread that
// still logs while the process exits finds a valid (closed) logger instead of
// a destroyed one.  Closing happens in the destructor of LoggerCloser.
alignas(ProcessLoggerType) unsigned char g_loggerStorage[sizeof(ProcessLoggerType)];

struct LoggerCloser {
    explicit LoggerCloser(ProcessLoggerType& logger) : m_logger(logger) {}
    // At exit: stop taking lines, drain what is queued, close the file.
    // Threads still logging afterwards find a valid logger that drops.
    ~LoggerCloser()
    {
        g_shutDown.store(true);
        m_logger.set_logging(false);
        m_logger.Close();
    }
    ProcessLoggerType& m_logger;
};

ProcessLoggerType& ProcessLogger()
{
    static ProcessLoggerType* const logger = new (g_loggerStorage) ProcessLoggerType();
    // Destroyed after every static object constructed later (the ECR object
    // among them), so their last records still reach the file.
    static LoggerCloser closer(*logger);
    return *logger;
}

// Construct the logger when the library loads.
const bool g_loggerReady = (ProcessLogger(), true);

}  // namespace

bool ConfigureFile(std::string path)
{
    const bool opened = ProcessLogger().Open(std::move(path));
    if (opened)
        el::detail::WriteNotes();
    return opened;
}

void CloseLog()
{
    ProcessLogger().Close();
}

bool Write(std::string&& line)
{
    return ProcessLogger().Write(std::move(line));
}

bool Write(const std::string& line)
{
    return ProcessLogger().Write(line);
}

namespace el {

bool get_logging()
{
    return ProcessLogger().get_logging();
}

void set_logging(bool on)
{
    ProcessLogger().set_logging(on);
    if (on)
        detail::WriteNotes();
}

std::string prependZero(int n)
{
    if (n >= 0 && n <= 9)
        return "0" + std::to_string(n);
    return std::to_string(n);
}

std::string getCurrentTimeString()
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return detail::LogFileName(local);
}

namespace detail {

bool WriteText(const char* text, std::size_t size)
{
    return ProcessLogger().WriteText(text, size);
}

bool LoggingShutDown()
{
    return g_shutDown.load(std::memory_order_relaxed);
}

std::size_t QueuedBytes()
{
    return ProcessLogger().QueuedBytes();
}

namespace {
struct Notes {
    std::mutex lock;
    std::vector<std::pair<LogType, std::string>> records;
};
Notes& notes()
{
    static Notes* const n = new Notes;  // made at first use, even during load; never given back
    return *n;
}
}  // namespace

void NoteForLog(LogType level, std::string text)
{
    try {
        Notes& n = notes();
        std::lock_guard<std::mutex> hold(n.lock);
        n.records.emplace_back(level, std::move(text));
    } catch (...) {
        // A note that cannot be kept is lost.
    }
}

void WriteNotes()
{
    try {
        Notes& n = notes();
        std::lock_guard<std::mutex> hold(n.lock);
        while (!n.records.empty() &&
               Write(FormatRecordNow(n.records.front().first, n.records.front().second)))
            n.records.erase(n.records.begin());
    } catch (...) {
    }
}

std::string LogFileName(const std::tm& local)
{
    return "VAR17_QTM " + std::to_string(local.tm_year + 1900) + "." + prependZero(local.tm_mon + 1) + "." +
           prependZero(local.tm_mday) + ".log";
}

}  // namespace detail
}  // namespace el
