// ecrcli explain --html: one self-contained page (nothing fetched) with the
// summary of the operations and, per operation, the sequence diagram drawn by
// the shared renderer script, anomalies marked on the arrows, the masked hex
// dump of an arrow shown on a click.
#include <nlohmann/json.hpp>

#include <algorithm>

#include "ecrcli/explain.h"
#include "explain_sequence_js.h"  // generated from tools/web/sequence.js

namespace ecrcli {

namespace {

std::string escape_html(const std::string& s)
{
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

// JSON inside a script element: no "</" may close it early.
std::string script_json(const nlohmann::json& j)
{
    std::string s = j.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '<')
            out += "\\u003c";
        else
            out += s[i];
    }
    return out;
}

// The renderer's events: the operation's frames and bytes, and its
// anomalies from records as marks where they came.
nlohmann::json diagram_events(const ExplainedOperation& op)
{
    nlohmann::json out = nlohmann::json::array();
    size_t a = 0;
    int64_t last_ms = 0;
    auto note = [&](const ExplainNote& n) {
        out.push_back({{"t_ms", last_ms}, {"dir", "none"}, {"kind", "note"}, {"label", n.text},
                       {"anomaly", n.text}, {"line", n.line}});
    };
    for (const ExplainEvent& e : op.events) {
        while (a < op.anomalies.size() && op.anomalies[a].line < e.line)
            note(op.anomalies[a++]);
        if (e.stamp >= 0 && op.start_stamp >= 0)
            last_ms = (e.stamp - op.start_stamp) * 1000;
        std::string label = e.kind == "frame" ? e.code + e.number + ". " + e.label : e.label;
        for (const auto& f : e.fields)
            label += (&f == &e.fields.front() ? ": " : ", ") + f.first + " " + f.second;
        nlohmann::json ev = {{"t_ms", last_ms}, {"dir", e.dir}, {"kind", e.kind == "byte" ? "nak" : e.kind},
                             {"label", label}, {"hex", e.hex}, {"line", e.line}};
        if (!e.anomaly.empty())
            ev["anomaly"] = e.anomaly;
        out.push_back(ev);
    }
    while (a < op.anomalies.size())
        note(op.anomalies[a++]);
    return out;
}

}  // namespace

void HtmlPage::add(const ExplainedOperation& op)
{
    if (m_ops.size() >= kMaxOperations || m_bytes >= kMaxBytes) {
        ++m_left_out;
        return;
    }
    Entry e;
    e.index = op.index;
    char row[64];
    std::snprintf(row, sizeof row, "<tr id=\"row-%u\"><td><a href=\"#op-%u\">%u</a></td>", op.index, op.index, op.index);
    e.row = std::string(row) + "<td>" + escape_html(op.name + " (" + op.code + ")") + "</td><td>" +
            escape_html(op.amount) + "</td><td>" + escape_html(op.start) + "</td><td class=\"status " +
            (op.status == "unknown" ? "unknown" : "known") + "\">" + escape_html(op.status) + "</td><td>" +
            escape_html(op.verdict) + "</td></tr>\n";
    std::string anomalies;
    for (const ExplainNote& n : op.anomalies)
        anomalies += "<li>line " + std::to_string(n.line) + ": " + escape_html(n.text) + "</li>";
    e.section = "<section id=\"op-" + std::to_string(op.index) + "\"><h2>" + std::to_string(op.index) + ". " +
                escape_html(op.name + " (" + op.code + ")" + (op.amount.empty() ? "" : ", amount " + op.amount)) +
                "</h2><p>" + escape_html(op.file + ", lines " + std::to_string(op.first_line) + "-" +
                                         std::to_string(op.last_line) + ", started " + op.start) +
                "</p><div class=\"diagram\" id=\"diagram-" + std::to_string(op.index) + "\"></div>" +
                (anomalies.empty() ? "" : "<ul class=\"anomalies\">" + anomalies + "</ul>") +
                "<p class=\"verdict\">verdict: " + escape_html(op.verdict) + "</p></section>\n";
    e.events = script_json(diagram_events(op));
    m_bytes += e.row.size() + e.section.size() + e.events.size();
    m_ops.push_back(std::move(e));
}

std::string HtmlPage::text(const std::string& title) const
{
    std::string out =
        "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; script-src 'unsafe-inline'; "
        "style-src 'unsafe-inline'\"><title>" +
        escape_html(title) +
        "</title><style>body{font:14px/1.4 system-ui,sans-serif;margin:1em 2em;color:#222}"
        "table{border-collapse:collapse}td,th{border:1px solid #ccc;padding:2px 6px;text-align:left;vertical-align:top}"
        ".unknown{color:#b00;font-weight:bold}.anomalies{color:#b00}.verdict{font-weight:bold}"
        "section{margin-top:2em}</style><script>";
    out.append(kExplainSequenceJs, kExplainSequenceJs_size);
    out += "</script></head><body><h1>" + escape_html(title) +
           "</h1><table id=\"summary\"><tr><th>#</th><th>operation</th><th>amount</th><th>start</th>"
           "<th>status</th><th>verdict</th></tr>\n";
    for (const Entry& e : m_ops)
        out += e.row;
    out += "</table>\n";
    if (m_left_out > 0)
        out += "<p>" + std::to_string(m_left_out) + " more operations are not on this page (use --op or --since).</p>\n";
    for (const Entry& e : m_ops)
        out += e.section;
    out += "<script>\n\"use strict\";\n";
    for (const Entry& e : m_ops)
        out += "SequenceDiagram.render(document.getElementById(\"diagram-" + std::to_string(e.index) + "\"), " +
               e.events + ", {});\n";
    out += "</script></body></html>\n";
    return out;
}

}  // namespace ecrcli
