#include "ecrcli/progress.h"

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sys/stat.h>

namespace ecrcli {

namespace {

const std::string kReceived = "function: [Received from terminal]";
const std::string kFirstRow = "000 | ";

}  // namespace

int last_wait_notice(const std::string& text, size_t* consumed)
{
    int minutes = -1;
    size_t pos = 0;
    *consumed = 0;
    for (;;) {
        const size_t at = text.find(kReceived, pos);
        if (at == std::string::npos) {
            // Keep a partial header line for the next call.
            const size_t eol = text.rfind('\n');
            *consumed = eol == std::string::npos || eol < pos ? pos : eol + 1;
            return minutes;
        }
        const size_t row = text.find(kFirstRow, at);
        const size_t eol = row == std::string::npos ? std::string::npos : text.find('\n', row);
        if (eol == std::string::npos) {
            // The dump is not complete yet: read it again from its first line.
            const size_t line = text.rfind('\n', at);
            *consumed = line == std::string::npos || line < pos ? pos : line + 1;
            return minutes;
        }
        // Up to 16 bytes as hex pairs after "000 | ".
        unsigned char b[8] = {};
        size_t n = 0;
        for (size_t p = row + kFirstRow.size(); n < 8 && p + 1 < eol; p += 3, ++n)
            b[n] = static_cast<unsigned char>(std::strtoul(text.substr(p, 2).c_str(), nullptr, 16));
        auto digit = [](unsigned char c) { return c >= '0' && c <= '9'; };
        if (n == 8 && b[3] == '0' && b[4] == '0' && b[5] == '.' && digit(b[6]) && digit(b[7]))
            minutes = (b[6] - '0') * 10 + (b[7] - '0');
        pos = eol + 1;
    }
}

void NoticeWatch::start()
{
    m_file.clear();
    DIR* d = opendir(m_dir.c_str());
    if (d == nullptr)
        return;
    std::string newest;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.compare(0, 10, "VAR17_QTM ") == 0 && name.size() == 24 && name > newest)
            newest = name;
    }
    closedir(d);
    if (newest.empty())
        return;
    m_file = m_dir + "/" + newest;
    struct stat st {};
    m_offset = stat(m_file.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

int NoticeWatch::poll()
{
    if (m_file.empty())
        return -1;
    std::ifstream f(m_file, std::ios::binary);
    if (!f)
        return -1;
    f.seekg(m_offset);
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t consumed = 0;
    const int minutes = last_wait_notice(text, &consumed);
    m_offset += static_cast<long long>(consumed);
    return minutes;
}

std::string status_text(const std::string& op, double elapsed_s, double deadline_s, int notice_min,
                        const std::string& message)
{
    char buf[160];
    std::snprintf(buf, sizeof buf, "%s: waiting for the terminal %4.0fs / %.0fs", op.c_str(), elapsed_s, deadline_s);
    std::string out = buf;
    if (notice_min >= 0)
        out += " (the terminal asked for " + std::to_string(notice_min) + " min)";
    if (!message.empty())
        out += "  | " + message;
    return out;
}

std::string date_with_year(long day, long month, long hours, long minutes, int today_year, int today_month,
                           int today_day)
{
    if (day < 1 || day > 31 || month < 1 || month > 12)
        return std::string();
    const int year = month > today_month || (month == today_month && day > today_day) ? today_year - 1 : today_year;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02ld-%02ld %02ld:%02ld", year, month, day, hours, minutes);
    return buf;
}

}  // namespace ecrcli
