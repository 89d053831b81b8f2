// Diagnostic log: records are composed stream-style on any thread and
// written to the dated log file by a background writer.
#pragma once
#include <charconv>
#include <cstddef>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

// Fixed underlying type: any int (an unknown level such as 5) is a valid value.
enum LogType : int { LOG_UNKNOW = -1, LOG_ERROR = 0, LOG_INFO = 1, LOG_TRACE = 2 };

namespace el {
namespace detail {
template <typename C>
constexpr bool kIsNarrowChar =
    std::is_same<C, char>::value || std::is_same<C, signed char>::value || std::is_same<C, unsigned char>::value;
// Pointers that a stream prints as C strings.
template <typename V>
constexpr bool kIsNarrowString = std::is_pointer<V>::value && kIsNarrowChar<std::remove_cv_t<std::remove_pointer_t<V>>>;
}  // namespace detail
}  // namespace el

// One record being composed; the finished line is queued when it is destroyed:
// time text, " ", level label, " ", message, "\n".  Values are inserted with
// the formatting of an ordinary output stream (integers in decimal, chars as
// characters, strings as text).  The line is built in the object itself (on
// the stack of the logging function); only a record longer than kInline
// bytes, or a value of a type other than text, a character or an integer,
// costs a heap allocation.
class WriteObject {
public:
    explicit WriteObject(LogType level);
    WriteObject(const WriteObject&) = delete;
    WriteObject& operator=(const WriteObject&) = delete;
    ~WriteObject();

    template <typename T>
    WriteObject& operator<<(const T& value)
    {
        static_assert(!std::is_function<T>::value, "stream manipulators do not apply to log records");
        using V = typename std::decay<T>::type;
        if (m_bad)
            return *this;
        if constexpr (std::is_same<V, std::string>::value || std::is_same<V, std::string_view>::value) {
            Append(value.data(), value.size());
        } else if constexpr (el::detail::kIsNarrowString<V>) {
            AppendCString(reinterpret_cast<const char*>(value));
        } else if constexpr (el::detail::kIsNarrowChar<V>) {
            const char c = static_cast<char>(value);
            Append(&c, 1);
        } else if constexpr (std::is_same<V, bool>::value) {
            Append(value ? "1" : "0", 1);
        } else if constexpr (std::is_integral<V>::value) {
            char digits[24];
            const std::to_chars_result r = std::to_chars(digits, digits + sizeof digits, value);
            Append(digits, static_cast<std::size_t>(r.ptr - digits));
        } else {
            std::ostringstream s;
            s << value;
            const std::string text = s.str();
            Append(text.data(), text.size());
            m_bad = !s;
        }
        return *this;
    }

    static std::string GetTime(const std::string& format);
    static std::string MapLogLevel(LogType level);

    static std::string m_sDefaultTimeFormat;           // "%d/%m/%Y %H:%M:%S"
    static const std::map<int, std::string> LogLevelMap;

    static constexpr std::size_t kInline = 256;

private:
    void Append(const char* text, std::size_t size);
    // A null pointer puts the record in the failed state, as it does a
    // stream: nothing inserted after it appears.
    void AppendCString(const char* text);

    char m_inline[kInline];  // the line while it fits
    std::size_t m_size = 0;  // bytes in m_inline
    std::string m_spill;     // the whole line once it has outgrown m_inline
    bool m_spilled = false;
    bool m_bad = false;
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
// listing shows the bytes with their card data masked (Logging/redact.h):
// under "SEND TO TERMINAL" by the library's request layouts, under any other
// label as bytes of unknown layout from the terminal (fail closed).
void dbdump(const void* data, unsigned int size, std::string label);
// The same for a label in constant text (what LOGDUMP passes): no copy of it.
void dbdump(const void* data, unsigned int size, const char* label);
// A message from the terminal that passed its check byte: masked by the
// response layouts (fail closed when it matches none).
void dbdump_message(const void* data, unsigned int size, const char* label);
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
// Dump a received message that passed its check byte.
#define LOGDUMP_MESSAGE(data, size, label)               \
    do {                                                 \
        if (el::get_logging())                           \
            el::dbdump_message((data), (size), (label)); \
    } while (0)
