// Reads the library's log file as a stream of records and hex dumps, in
// bounded memory whatever the size of the file: a record line is
// "DD/MM/YYYY HH:MM:SS", a blank, a 13-character level label, a blank and the
// message; a dump is a header line and its listing, read by the replay's
// dump reader.  Lines that are neither (binary junk, a line cut in two, a
// dump broken off) are counted and reported, never fatal.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "ecrsim/replay.h"

namespace ecrcli {

struct LogItem {
    enum Kind { Record, Dump } kind = Record;
    uint64_t line = 0;      // line number (first line of a dump)
    int64_t stamp = -1;     // record: seconds since 1970 of its time text (local time as written)
    std::string_view time;  // record: its time text
    int level = -1;         // record: 0 error, 1 info, 2 trace, -1 unknown
    std::string_view text;  // record: the message after the label
    const ecrsim::LogDump* dump = nullptr;  // dump: label, bytes, announced size
    bool dump_whole = false;                // dump: every announced byte was listed
};

// What could not be read.
struct ReadStats {
    uint64_t bytes = 0;
    uint64_t lines = 0;
    uint64_t unreadable = 0;        // lines neither record nor dump
    uint64_t cut_lines = 0;         // lines longer than kMaxLine, cut
    uint64_t broken_dumps = 0;      // listings shorter than announced
    std::vector<uint64_t> first_unreadable;  // up to 5 line numbers
    bool ends_mid_line = false;     // the file's last line has no line end
};

// Takes bytes in pieces of any size and hands out the items in order.
class LogScanner {
public:
    static constexpr size_t kMaxLine = 64 * 1024;

    explicit LogScanner(std::function<void(const LogItem&)> sink) : m_sink(std::move(sink)) {}
    void feed(const char* data, size_t n);
    // The end of the input: a last line without line end and an open dump.
    void finish();
    const ReadStats& stats() const { return m_stats; }

private:
    void line(std::string_view text);
    void end_dump();

    std::function<void(const LogItem&)> m_sink;
    std::string m_partial;  // a line not yet ended
    bool m_cutting = false;  // the rest of an overlong line is skipped
    ecrsim::LogDumpReader m_dumps;
    bool m_in_dump = false;
    uint64_t m_dump_line = 0;
    ReadStats m_stats;
};

// Seconds since 1970 of "DD/MM/YYYY HH:MM:SS" (taken as UTC); -1 when malformed.
int64_t parse_log_time(std::string_view text);

// Reads the file through a scanner; false with a reason when it cannot be opened.
bool read_log_file(const std::string& path, LogScanner& scanner, std::string* error);

}  // namespace ecrcli
