// The status line of a running operation: elapsed time, the deadline as the
// terminal's wait notices move it, and the terminal's last text message.
// Wait notices reach the cash register only through the library's log, whose
// dumps of received frames this follows.
#pragma once
#include <string>

namespace ecrcli {

// Minutes of the last wait notice ("XXX00.MM") among the frames dumped as
// received from the terminal in a piece of the library's log; -1 when none.
// *consumed is how much of the text was read to the end (an unfinished dump
// at the end is left for the next call).
int last_wait_notice(const std::string& log_text, size_t* consumed);

// Follows the newest log file in a directory from the moment start() is called.
class NoticeWatch {
public:
    explicit NoticeWatch(std::string dir) : m_dir(std::move(dir)) {}
    void start();
    // Minutes of a wait notice logged since the last poll; -1 when none.
    int poll();

private:
    std::string m_dir;
    std::string m_file;
    long long m_offset = 0;
};

// "purchase: waiting for the terminal  12s / 40s", with the wait notice and
// the message when there are: "... 52s / 172s (the terminal asked for 2 min)  | INSERT CARD".
std::string status_text(const std::string& op, double elapsed_s, double deadline_s, int notice_min,
                        const std::string& message);

// The date and time of a transaction, "YYYY-MM-DD hh:mm": the terminal sends
// day and month only, so the year is the latest one in which that day is not
// after today (given as year, month and day).
std::string date_with_year(long day, long month, long hours, long minutes, int today_year, int today_month,
                           int today_day);

}  // namespace ecrcli
