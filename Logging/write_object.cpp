// One log record being composed, its time text and its level label.
#include <cstring>
#include <ctime>
#include <exception>
#include <string>
#include <string_view>
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

const char* CurrentTimeFormat()
{
    return el::detail::LoggingShutDown() ? kShutdownTimeFormat : WriteObject::m_sDefaultTimeFormat.c_str();
}

// Local time formatted with format; false when it cannot be converted.
bool FormatTime(std::time_t now, const char* format, char (&out)[64], std::size_t* size)
{
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr)
        return false;
    *size = std::strftime(out, sizeof out, format, &local);
    return true;
}

// The time text of the current second, per thread: records come in bursts,
// and converting to local time takes a process-wide lock in the C library.
struct TimeTextCache {
    std::time_t second = -1;
    char format[64] = {};
    char text[64] = {};
    std::size_t size = 0;
};
thread_local TimeTextCache t_timeText;

const char kTimeFailure[] = "00/00/0000 00:00:00";

// The time text of now: from the thread's cache of the current second, or
// converted afresh (held in fallback when it cannot be cached).
std::string_view TimeTextNow(const char* format, std::string& fallback)
{
    const std::time_t now = std::time(nullptr);
    TimeTextCache& cache = t_timeText;
    if (cache.second == now && std::strncmp(cache.format, format, sizeof cache.format) == 0)
        return std::string_view(cache.text, cache.size);
    const std::size_t format_size = std::strlen(format);
    if (format_size < sizeof cache.format && FormatTime(now, format, cache.text, &cache.size)) {
        std::memcpy(cache.format, format, format_size + 1);
        cache.second = now;
        return std::string_view(cache.text, cache.size);
    }
    // An unusual format, or a time that cannot be converted.
    cache.second = -1;
    fallback = WriteObject::GetTime(format);
    return fallback;
}

}  // namespace

WriteObject::WriteObject(LogType level)
{
    std::string uncached;
    const std::string_view time_text = TimeTextNow(CurrentTimeFormat(), uncached);
    Append(time_text.data(), time_text.size());
    Append(" ", 1);
    const std::string label = MapLogLevel(level);
    Append(label.data(), label.size());
    Append(" ", 1);
}

WriteObject::~WriteObject()
{
    try {
        Append("\n", 1);
        if (m_spilled)
            el::detail::WriteText(m_spill.data(), m_spill.size());
        else
            el::detail::WriteText(m_inline, m_size);
    } catch (...) {
        // A record that cannot be built is lost; the caller never notices.
    }
}

void WriteObject::Append(const char* text, std::size_t size)
{
    if (!m_spilled && m_size + size <= kInline) {
        std::memcpy(m_inline + m_size, text, size);
        m_size += size;
        return;
    }
    if (!m_spilled) {
        m_spill.reserve(2 * kInline + size);
        m_spill.assign(m_inline, m_size);
        m_spilled = true;
    }
    m_spill.append(text, size);
}

void WriteObject::AppendCString(const char* text)
{
    if (text == nullptr)
        m_bad = true;
    else
        Append(text, std::strlen(text));
}

std::string WriteObject::GetTime(const std::string& format)
{
    try {
        char buffer[64];
        std::size_t n = 0;
        if (!FormatTime(std::time(nullptr), format.c_str(), buffer, &n))
            throw std::runtime_error("localtime_r failed");
        return std::string(buffer, n);
    } catch (const std::exception& e) {
        std::cerr << "[" << "GetTime" << "] catch [" << e.what() << "]" << std::endl;
    } catch (...) {
        std::cerr << "[" << "GetTime" << "] catch [...]" << std::endl;
    }
    return kTimeFailure;
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
