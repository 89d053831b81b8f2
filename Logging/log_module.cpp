// The process-wide logger and the free functions of the logging module.
#include <ctime>
#include <new>

#include "Logging/async_writer.h"
#include "Logging/log.h"
#include "Logging/log_internal.h"
#include "Logging/logger.h"

namespace {

using ProcessLoggerType = Logger<AsyncWriter>;

// The logger lives in static storage that is never released: a thread that
// still logs while the process exits finds a valid (closed) logger instead of
// a destroyed one.  Closing happens in the destructor of LoggerCloser.
alignas(ProcessLoggerType) unsigned char g_loggerStorage[sizeof(ProcessLoggerType)];

struct LoggerCloser {
    explicit LoggerCloser(ProcessLoggerType& logger) : m_logger(logger) {}
    ~LoggerCloser() { m_logger.Close(); }
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
    return ProcessLogger().Open(std::move(path));
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

std::string LogFileName(const std::tm& local)
{
    return "VAR17_QTM " + std::to_string(local.tm_year + 1900) + "." + prependZero(local.tm_mon + 1) + "." +
           prependZero(local.tm_mday) + ".log";
}

}  // namespace detail
}  // namespace el
