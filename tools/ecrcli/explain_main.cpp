// ecrcli explain: command line, rendering and exit status.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>

#include "ecrcli/explain.h"
#include "ecrcli/outcome.h"

namespace ecrcli {

namespace {

std::string clock_of(int64_t stamp)
{
    if (stamp < 0)
        return "--:--:--";
    char b[16];
    const int64_t s = stamp % 86400;
    std::snprintf(b, sizeof b, "%02d:%02d:%02d", static_cast<int>(s / 3600), static_cast<int>(s / 60 % 60),
                  static_cast<int>(s % 60));
    return b;
}

// "2026-12-08 18:30:00", "2026-12-08T18:30", "08/12/2026 18:30:00" or a
// date alone -> seconds as the log's stamps count them; -1 when malformed.
int64_t parse_time_option(std::string t, bool end_of_day)
{
    std::replace(t.begin(), t.end(), 'T', ' ');
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    int n = 0;
    char tail = 0;
    if (std::sscanf(t.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &tail) >= 3 &&
        t.size() >= 10 && t[4] == '-') {
        n = std::sscanf(t.c_str(), "%4d-%2d-%2d %2d:%2d:%2d", &y, &mo, &d, &h, &mi, &s);
    } else if (std::sscanf(t.c_str(), "%2d/%2d/%4d %2d:%2d:%2d", &d, &mo, &y, &h, &mi, &s) >= 3 && t.size() >= 10 &&
               t[2] == '/') {
        n = std::sscanf(t.c_str(), "%2d/%2d/%4d %2d:%2d:%2d", &d, &mo, &y, &h, &mi, &s);
    } else {
        return -1;
    }
    if (n == 3 && end_of_day) {
        h = 23; mi = 59; s = 59;
    } else if (n == 5) {
        s = end_of_day ? 59 : 0;
    } else if (n != 6 && n != 3) {
        return -1;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%02d/%02d/%04d %02d:%02d:%02d", d, mo, y, h, mi, s);
    return parse_log_time(text);
}

struct ExplainOptions {
    std::vector<std::string> files;
    bool json = false;
    std::string html;
    int64_t since = -1, until = -1;
    unsigned op = 0;
};

}  // namespace

std::string render_operation_text(const ExplainedOperation& op)
{
    std::string out;
    char head[512];
    std::snprintf(head, sizeof head, "operation %u: %s (%s)%s%s, started %s, took %s  [%s, lines %llu-%llu]\n",
                  op.index, op.name.c_str(), op.code.c_str(), op.amount.empty() ? "" : ", amount ",
                  op.amount.c_str(), op.start.empty() ? "(no time in the log)" : op.start.c_str(),
                  op.start_stamp >= 0 && op.end_stamp >= 0
                      ? (std::to_string(op.end_stamp - op.start_stamp) + " s").c_str()
                      : "an unknown time",
                  op.file.c_str(), static_cast<unsigned long long>(op.first_line),
                  static_cast<unsigned long long>(op.last_line));
    out += head;
    int64_t prev = op.start_stamp;
    for (const ExplainEvent& e : op.events) {
        const char* arrow = e.dir == "ecr" ? "ECR  -> TERM" : e.dir == "term" ? "TERM -> ECR " : "            ";
        std::string what = e.kind == "frame" ? e.code + e.number + ". " + e.label : e.label;
        for (const auto& f : e.fields)
            what += (&f == &e.fields.front() ? ": " : ", ") + f.first + " " + f.second;
        const std::string gap = (e.stamp >= 0 && prev >= 0) ? "+" + std::to_string(e.stamp - prev) + "s" : "";
        std::snprintf(head, sizeof head, "  %s %5s  %s  %s", clock_of(e.stamp).c_str(), gap.c_str(), arrow,
                      what.c_str());
        out += head;
        if (!e.anomaly.empty())
            out += "   <-- " + e.anomaly;
        out += "  (line " + std::to_string(e.line) + ")\n";
        if (e.stamp >= 0)
            prev = e.stamp;
    }
    if (op.events_left_out > 0)
        out += "  ... " + std::to_string(op.events_left_out) + " more events not shown\n";
    for (const ExplainPause& p : op.pauses)
        out += "  pause: " + p.what + " " + (p.seconds >= 0 ? "about " + std::to_string(p.seconds) + " s" : "?") +
               " (the log's times are whole seconds), mandated " + std::to_string(p.mandated_ms) + " ms" +
               (p.early ? ": TOO EARLY" : "") + "\n";
    for (const ExplainNote& a : op.anomalies)
        out += "  anomaly (line " + std::to_string(a.line) + "): " + a.text + "\n";
    if (op.callback_result >= 0)
        out += "  the cash register's callback was given " + std::to_string(op.callback_result) + "\n";
    out += "  verdict: " + op.verdict + "\n\n";
    return out;
}

namespace {

// A JSON writer for the objects of --json: written straight into one string
// (a log of many operations is rendered at the speed it is read).  Bytes that
// are not valid UTF-8 become U+FFFD.
class JsonOut {
public:
    std::string out;
    void key(const char* k)
    {
        if (!m_first)
            out += ',';
        m_first = false;
        out += '"';
        out += k;
        out += "\":";
    }
    void open(char c) { out += c; m_first = true; }
    void close(char c) { out += c; m_first = false; }
    void item() { if (!m_first) out += ','; m_first = false; }
    void str(const std::string& s)
    {
        static const char hex[] = "0123456789abcdef";
        out += '"';
        for (size_t i = 0; i < s.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(s[i]);
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20) {
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 15];
            } else if (c < 0x80) {
                out += static_cast<char>(c);
            } else {
                const size_t n = utf8_length(s, i);
                if (n == 0) {
                    out += "\\ufffd";
                } else {
                    out.append(s, i, n);
                    i += n - 1;
                }
            }
        }
        out += '"';
    }
    void num(int64_t v) { out += std::to_string(v); }
    void unsigned_num(uint64_t v) { out += std::to_string(v); }

private:
    // Length of the valid UTF-8 sequence at i, 0 when it is not one.
    static size_t utf8_length(const std::string& s, size_t i)
    {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        if (n == 0 || i + n > s.size())
            return 0;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return 0;
        const unsigned char d = static_cast<unsigned char>(s[i + 1]);
        if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d > 0x9F) || (c == 0xF0 && d < 0x90) || (c == 0xF4 && d > 0x8F))
            return 0;  // overlong, surrogate or beyond U+10FFFF
        return n;
    }
    bool m_first = true;
};

}  // namespace

std::string render_operation_json(const ExplainedOperation& op)
{
    JsonOut j;
    j.open('{');
    j.key("operation"); j.unsigned_num(op.index);
    j.key("file"); j.str(op.file);
    j.key("name"); j.str(op.name);
    j.key("code"); j.str(op.code);
    j.key("op_code"); j.num(op.op_code);
    j.key("payment"); j.out += op.payment ? "true" : "false";
    j.key("amount"); j.str(op.amount);
    j.key("start"); j.str(op.start);
    j.key("end"); j.str(op.end);
    j.key("duration_s");
    if (op.start_stamp >= 0 && op.end_stamp >= 0)
        j.num(op.end_stamp - op.start_stamp);
    else
        j.out += "null";
    j.key("first_line"); j.unsigned_num(op.first_line);
    j.key("last_line"); j.unsigned_num(op.last_line);
    j.key("events");
    j.open('[');
    for (const ExplainEvent& e : op.events) {
        j.item();
        j.open('{');
        j.key("line"); j.unsigned_num(e.line);
        j.key("time"); j.str(clock_of(e.stamp));
        j.key("dir"); j.str(e.dir);
        j.key("kind"); j.str(e.kind);
        j.key("code"); j.str(e.code);
        j.key("number"); j.str(e.number);
        j.key("label"); j.str(e.label);
        j.key("fields");
        j.open('{');
        for (const auto& kv : e.fields) {
            j.item();
            j.str(kv.first);
            j.out += ':';
            j.str(kv.second);
        }
        j.close('}');
        j.key("hex"); j.str(e.hex);
        j.key("anomaly"); j.str(e.anomaly);
        j.close('}');
    }
    j.close(']');
    j.key("events_left_out"); j.unsigned_num(op.events_left_out);
    j.key("pauses");
    j.open('[');
    for (const ExplainPause& p : op.pauses) {
        j.item();
        j.open('{');
        j.key("line"); j.unsigned_num(p.line);
        j.key("what"); j.str(p.what);
        j.key("seconds"); j.num(p.seconds);
        j.key("mandated_ms"); j.unsigned_num(p.mandated_ms);
        j.key("early"); j.out += p.early ? "true" : "false";
        j.close('}');
    }
    j.close(']');
    j.key("anomalies");
    j.open('[');
    for (const ExplainNote& a : op.anomalies) {
        j.item();
        j.open('{');
        j.key("line"); j.unsigned_num(a.line);
        j.key("text"); j.str(a.text);
        j.close('}');
    }
    j.close(']');
    j.key("callback_result");
    if (op.callback_result >= 0)
        j.num(op.callback_result);
    else
        j.out += "null";
    j.key("status"); j.str(op.status);
    j.key("verdict"); j.str(op.verdict);
    j.close('}');
    j.out += '\n';
    return j.out;
}

int explain_main(const std::vector<std::string>& args)
{
    ExplainOptions o;
    std::string since, until;
    CLI::App app("ecrcli explain: the library's log files read as a story of operations, with a verdict for each",
                 "ecrcli explain");
    app.add_option("LOGFILE", o.files, "log files of the library, in order")->required();
    app.add_flag("--json", o.json, "one JSON object per operation, one a line");
    app.add_option("--html", o.html, "also write one self-contained page with a sequence diagram per operation")
        ->type_name("FILE");
    app.add_option("--since", since, "operations started at or after this time (2026-12-08 18:30:00)");
    app.add_option("--until", until, "operations started at or before this time");
    app.add_option("--op", o.op, "only operation N, in full")->check(CLI::Range(1u, 100000000u));
    app.footer("Exit status: 0 every operation has a verdict; 1 the outcome of one or more is unknown; 2 usage.");
    std::vector<std::string> rev(args.rbegin(), args.rend());
    try {
        app.parse(rev);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return kExitOk;
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "ecrcli explain: %s\n(ecrcli explain --help lists the options)\n", e.what());
        return kExitUsage;
    }
    if ((!since.empty() && (o.since = parse_time_option(since, false)) < 0) ||
        (!until.empty() && (o.until = parse_time_option(until, true)) < 0)) {
        std::fprintf(stderr, "ecrcli explain: --since and --until take a time such as 2026-12-08 18:30:00\n");
        return kExitUsage;
    }

    int exit_code = kExitOk;
    unsigned shown = 0;
    HtmlPage page;
    Explainer ex([&](ExplainedOperation&& op) {
        if (o.op != 0 && op.index != o.op)
            return;
        if ((o.since >= 0 && op.start_stamp >= 0 && op.start_stamp < o.since) ||
            (o.until >= 0 && op.start_stamp >= 0 && op.start_stamp > o.until))
            return;
        ++shown;
        if (op.status == "unknown")
            exit_code = 1;
        if (!o.html.empty())
            page.add(op);
        const std::string text = o.json ? render_operation_json(op) : render_operation_text(op);
        std::fwrite(text.data(), 1, text.size(), stdout);
    });
    LogScanner scanner([&](const LogItem& it) { ex.item(it); });
    bool unreadable_file = false;
    for (const std::string& file : o.files) {
        ex.set_file(file);
        std::string error;
        if (!read_log_file(file, scanner, &error)) {
            std::fprintf(stderr, "ecrcli explain: %s\n", error.c_str());
            unreadable_file = true;
        }
    }
    ex.finish();
    const ReadStats& st = scanner.stats();
    std::string notes;
    for (const ExplainNote& n : ex.loose_notes())
        notes += "note (line " + std::to_string(n.line) + "): " + n.text + "\n";
    if (st.unreadable > 0) {
        notes += std::to_string(st.unreadable) + " lines could not be read as records or dumps (first at line";
        for (uint64_t l : st.first_unreadable)
            notes += " " + std::to_string(l);
        notes += ")\n";
    }
    if (st.cut_lines > 0)
        notes += std::to_string(st.cut_lines) + " lines longer than " + std::to_string(LogScanner::kMaxLine) +
                 " bytes were read only in part\n";
    if (st.broken_dumps > 0)
        notes += std::to_string(st.broken_dumps) + " dumps were broken off before their announced size\n";
    if (st.ends_mid_line)
        notes += "the log ends in the middle of a line\n";
    if (shown == 0)
        notes += "no operation found" + std::string(o.op != 0 || o.since >= 0 || o.until >= 0 ? " in the range asked for" : "") + "\n";
    // Notes go to stderr with --json, so that stdout holds only the objects.
    std::fputs(notes.c_str(), o.json ? stderr : stdout);
    std::fflush(stdout);
    if (!o.html.empty()) {
        FILE* f = std::fopen(o.html.c_str(), "w");
        const std::string html = page.text("ecrcli explain: " + o.files.front() + (o.files.size() > 1 ? " ..." : ""));
        if (f == nullptr || std::fwrite(html.data(), 1, html.size(), f) != html.size()) {
            std::fprintf(stderr, "ecrcli explain: cannot write %s\n", o.html.c_str());
            if (f != nullptr)
                std::fclose(f);
            return kExitUsage;
        }
        std::fclose(f);
    }
    if (unreadable_file && shown == 0)
        return kExitUsage;
    return exit_code;
}

}  // namespace ecrcli
