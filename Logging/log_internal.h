// Helpers shared by the parts of the logging module (not part of the
// logging API that the rest of the library uses).
#pragma once
#include <cstddef>
#include <ctime>
#include <string>

#include "Logging/log.h"

namespace el {
namespace detail {

// A finished log line: time text, " ", level label, " ", text, "\n".
std::string FormatRecord(const std::string& time_text, LogType level, const std::string& text);
// FormatRecord with the current local time.
std::string FormatRecordNow(LogType level, const std::string& text);
// "VAR17_QTM YYYY.MM.DD.log" for the given local calendar time.
std::string LogFileName(const std::tm& local);
// Queue size bytes of finished text exactly as given; false when logging
// is off or the text could not be queued.
bool WriteText(const char* text, std::size_t size);
// True once the process logger has been closed at process exit.
bool LoggingShutDown();
// Bytes of log lines waiting for the writer (for long-running checks).
std::size_t QueuedBytes();
// A record made before the log could take it (at library load): text is
// the message with its "[function:line] " prefix.  It is written as soon as
// logging is on with a file open.
void NoteForLog(LogType level, std::string text);
// Write the noted records, if logging takes them now.
void WriteNotes();

}  // namespace detail
}  // namespace el
