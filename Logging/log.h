// Diagnostic log: records are composed stream-style on any thread and
// written to the dated log file by a background writer.
#pragma once
#include <map>
#include <sstream>
#include <string>

// Fixed underlying type: any int (an unknown level such as 5) is a valid value.
enum LogType : int { LOG_UNKNOW = -1, LOG_ERROR = 0, LOG_INFO = 1, LOG_TRACE = 2 };

// One record being composed; the finished line is queued when it is destroyed:
// time text, " ", level label, " ", message, "\n".
class WriteObject {
public:
    explicit WriteObject(LogType level);
    WriteObject(const WriteObject&) = delete;
    WriteObject& operator=(const WriteObject&) = delete;
    ~WriteObject();

    template <typename T>
    WriteObject& operator<<(const T& value)
    {
        m_stream << value;
        return *this;
    }

    static std::string GetTime(const std::string& format);
    static std::string MapLogLevel(LogType level);

    static std::string m_sDefaultTimeFormat;           // "%d/%m/%Y %H:%M:%S"
    static const std::map<int, std::string> LogLevelMap;

private:
    std::ostringstream m_stream;
    LogType m_level;
    std::string m_time;
};

WriteObject GetLogObject(LogType level);

// Open (or re-open) the log file at path; appends.  False when it cannot be opened.
bool ConfigureFile(std::string path);
void CloseLog();
// Queue a finished text exactly as given; false when logging is off.
bool Write(std::string&& line);
bool Write(const std::string& line);

namespace el {
bool get_logging();
void set_logging(bool on);
// Log file name for today: "VAR17_QTM YYYY.MM.DD.log".
std::string getCurrentTimeString();
std::string prependZero(int n);
// Offset / hex / characters listing of size bytes, per_line bytes a line.
std::string hex_dump(const void* data, unsigned int size, unsigned int per_line);
// Header line plus hex_dump(data, size, 16), queued through Write.  The
// listing shows the bytes with their card data masked (Logging/redact.h).
void dbdump(const void* data, unsigned int size, std::string label);
}  // namespace el

// Record convention: "[" function ":" line "] " message.
// LOGREC composes only while logging is on; LOGREC_ALWAYS composes in any case
// (the writer drops it while logging is off).
#define LOGREC_ALWAYS(level) GetLogObject(level) << "[" << __func__ << ":" << __LINE__ << "] "
// (A one-pass loop rather than if/else, so that "if (x) LOGREC(...) << ...;"
// draws no dangling-else warning.)
#define LOGREC(level) \
    for (bool ecr_log_record_once = el::get_logging(); ecr_log_record_once; ecr_log_record_once = false) \
    LOGREC_ALWAYS(level)
// Dump a buffer only while logging is on.
#define LOGDUMP(data, size, label)               \
    do {                                         \
        if (el::get_logging())                   \
            el::dbdump((data), (size), (label)); \
    } while (0)
