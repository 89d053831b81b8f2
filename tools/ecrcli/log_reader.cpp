#include "ecrcli/log_reader.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace ecrcli {

namespace {

constexpr size_t kTimeText = 19;   // "08/12/2026 18:37:54"
constexpr size_t kLabelText = 13;  // "[LOG_INFO>  ]"

bool digits(std::string_view s, size_t at, size_t n, int* out)
{
    int v = 0;
    for (size_t i = at; i < at + n; ++i) {
        if (i >= s.size() || s[i] < '0' || s[i] > '9')
            return false;
        v = v * 10 + (s[i] - '0');
    }
    *out = v;
    return true;
}

// Days since 1970-01-01 of a civil date.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

int level_of(std::string_view label)
{
    if (label == "[LOG_ERROR> ]")
        return 0;
    if (label == "[LOG_INFO>  ]")
        return 1;
    if (label == "[LOG_TRACE> ]")
        return 2;
    return -1;
}

}  // namespace

int64_t parse_log_time(std::string_view t)
{
    int d = 0, mo = 0, y = 0, h = 0, mi = 0, s = 0;
    if (t.size() < kTimeText || t[2] != '/' || t[5] != '/' || t[10] != ' ' || t[13] != ':' || t[16] != ':')
        return -1;
    if (!digits(t, 0, 2, &d) || !digits(t, 3, 2, &mo) || !digits(t, 6, 4, &y) || !digits(t, 11, 2, &h) ||
        !digits(t, 14, 2, &mi) || !digits(t, 17, 2, &s))
        return -1;
    if (d < 1 || d > 31 || mo < 1 || mo > 12 || h > 23 || mi > 59 || s > 60)
        return -1;
    return days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 + h * 3600 + mi * 60 + s;
}

void LogScanner::end_dump()
{
    if (!m_in_dump)
        return;
    m_in_dump = false;
    LogItem it;
    it.kind = LogItem::Dump;
    it.line = m_dump_line;
    it.dump = &m_dumps.current();
    it.dump_whole = m_dumps.complete();
    if (!it.dump_whole)
        ++m_stats.broken_dumps;
    m_sink(it);
}

void LogScanner::line(std::string_view text)
{
    ++m_stats.lines;
    if (!text.empty() && text.back() == '\r')
        text.remove_suffix(1);
    const bool was_open = m_dumps.open();
    const ecrsim::LogDumpReader::Line kind = m_dumps.feed(text);
    if (kind == ecrsim::LogDumpReader::Line::Listing) {
        if (!m_dumps.open())
            end_dump();
        return;
    }
    if (was_open || kind == ecrsim::LogDumpReader::Line::Header)
        end_dump();  // a listing broken off, or a dump without a listing
    if (kind == ecrsim::LogDumpReader::Line::Header) {
        m_in_dump = true;
        m_dump_line = m_stats.lines;
        if (!m_dumps.open())
            end_dump();  // size 0
        return;
    }
    if (text.empty())
        return;  // records that end in a line break leave empty lines
    const int64_t stamp = text.size() >= kTimeText + 2 + kLabelText ? parse_log_time(text) : -1;
    if (stamp < 0 || text[kTimeText] != ' ' || text[kTimeText + 1] != '[') {
        ++m_stats.unreadable;
        if (m_stats.first_unreadable.size() < 5)
            m_stats.first_unreadable.push_back(m_stats.lines);
        return;
    }
    LogItem it;
    it.kind = LogItem::Record;
    it.line = m_stats.lines;
    it.stamp = stamp;
    it.time = text.substr(0, kTimeText);
    it.level = level_of(text.substr(kTimeText + 1, kLabelText));
    const size_t body = kTimeText + 1 + kLabelText + 1;
    it.text = text.size() > body ? text.substr(body) : std::string_view();
    m_sink(it);
}

void LogScanner::feed(const char* data, size_t n)
{
    m_stats.bytes += n;
    while (n > 0) {
        const char* nl = static_cast<const char*>(std::memchr(data, '\n', n));
        const size_t take = nl != nullptr ? static_cast<size_t>(nl - data) : n;
        if (m_cutting) {
            // skip the rest of an overlong line
        } else if (m_partial.empty() && nl != nullptr) {
            line(std::string_view(data, take));  // the usual case: no copy
        } else {
            const size_t room = kMaxLine - m_partial.size();
            m_partial.append(data, take < room ? take : room);
            if (take >= room) {
                ++m_stats.cut_lines;
                m_cutting = true;
                line(m_partial);  // what fits is read; the rest is skipped
                m_partial.clear();
            } else if (nl != nullptr) {
                line(m_partial);
                m_partial.clear();
            }
        }
        if (nl == nullptr)
            return;
        m_cutting = false;
        data += take + 1;
        n -= take + 1;
    }
}

void LogScanner::finish()
{
    if (!m_partial.empty()) {
        m_stats.ends_mid_line = true;
        line(m_partial);
        m_partial.clear();
    }
    end_dump();
    m_cutting = false;
}

bool read_log_file(const std::string& path, LogScanner& scanner, std::string* error)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    static char buf[1 << 18];
    for (;;) {
        const ssize_t got = read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            *error = "cannot read " + path + ": " + std::strerror(errno);
            close(fd);
            scanner.finish();
            return false;
        }
        if (got == 0)
            break;
        scanner.feed(buf, static_cast<size_t>(got));
    }
    close(fd);
    scanner.finish();
    return true;
}

}  // namespace ecrcli
