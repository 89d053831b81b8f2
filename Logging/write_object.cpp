// One log record being composed, its time text and its level label.
#include <ctime>
#include <exception>
#include <stdexcept>
#include <iostream>

#include "Logging/log.h"
#include "Logging/log_internal.h"

namespace {

// Used once the process logger has been closed at exit, when the time format
// may already be gone while another thread still logs.
const char kShutdownTimeFormat[] = "%d/%m/%Y %H:%M:%S";

const char* KnownLabel(LogType level)
{
    switch (level) {
    case LOG_ERROR: return "[LOG_ERROR> ]";
    case LOG_INFO: return "[LOG_INFO>  ]";
    case LOG_TRACE: return "[LOG_TRACE> ]";
    case LOG_UNKNOW: return "[LOG_UNKNOW>]";
    }
    return nullptr;
}

std::string CurrentTimeFormat()
{
    return el::detail::LoggingShutDown() ? std::string(kShutdownTimeFormat) : WriteObject::m_sDefaultTimeFormat;
}

}  // namespace

WriteObject::WriteObject(LogType level)
    : m_level(level),
      m_time(GetTime(CurrentTimeFormat()))
{
}

WriteObject::~WriteObject()
{
    try {
        Write(el::detail::FormatRecord(m_time, m_level, m_stream.str()));
    } catch (...) {
        // A record that cannot be built is lost; the caller never notices.
    }
}

std::string WriteObject::GetTime(const std::string& format)
{
    try {
        std::time_t now = std::time(nullptr);
        std::tm local{};
        if (localtime_r(&now, &local) == nullptr)
            throw std::runtime_error("localtime_r failed");
        char buffer[64];
        std::size_t n = std::strftime(buffer, sizeof buffer, format.c_str(), &local);
        return std::string(buffer, n);
    } catch (const std::exception& e) {
        std::cerr << "[" << "GetTime" << "] catch [" << e.what() << "]" << std::endl;
    } catch (...) {
        std::cerr << "[" << "GetTime" << "] catch [...]" << std::endl;
    }
    return "00/00/0000 00:00:00";
}

std::string WriteObject::MapLogLevel(LogType level)
{
    // The labels of LogLevelMap, read from constant storage so that a thread
    // still logging while the process exits never reads a destroyed table.
    if (const char* label = KnownLabel(level))
        return label;
    std::cerr << "!!!ERROR: cannot map log level";
    return KnownLabel(LOG_UNKNOW);
}

WriteObject GetLogObject(LogType level)
{
    return WriteObject(level);
}

namespace el {
namespace detail {

std::string FormatRecord(const std::string& time_text, LogType level, const std::string& text)
{
    std::string label = WriteObject::MapLogLevel(level);
    std::string line;
    line.reserve(time_text.size() + label.size() + text.size() + 3);
    line += time_text;
    line += ' ';
    line += label;
    line += ' ';
    line += text;
    line += '\n';
    return line;
}

std::string FormatRecordNow(LogType level, const std::string& text)
{
    return FormatRecord(WriteObject::GetTime(CurrentTimeFormat()), level, text);
}

}  // namespace detail
}  // namespace el
