#include "status_board.h"

#include <algorithm>
#include <cctype>
#include <ctime>

namespace board {

namespace {

std::string Lower(std::string s) {
    for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return s;
}

std::string Html(const std::string& s) {
    std::string out;
    for (char ch : s) {
        switch (ch) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += ch;
        }
    }
    return out;
}

std::string Pad(const std::string& s, std::size_t width) {
    return s.size() >= width ? s + " " : s + std::string(width - s.size(), ' ');
}

std::string LastEvent(const Machine& m) {
    if (!m.problem.empty()) return m.problem;
    if (m.lastEvent.empty()) return "-";
    std::string when = m.lastEventTime;
    std::replace(when.begin(), when.end(), 'T', ' ');
    return when.empty() ? m.lastEvent : m.lastEvent + ", " + when;
}

// The monitor's build, and its own update when that did not go in. A build
// refused before its version could be trusted (unsigned, no program) has none.
std::string Monitor(const Machine& m) {
    if (!m.problem.empty() || m.monitorVersion.empty()) return "-";
    if (m.monitorUpdate.empty() || m.monitorUpdate == "applied") return m.monitorVersion;
    const std::string build = m.monitorUpdateVersion.empty() ? "build" : m.monitorUpdateVersion;
    return m.monitorVersion + " (" + build + " " + m.monitorUpdate + ")";
}

// Why the manager's build, or the monitor's own, was not updated (yet), as
// the monitor's log says it; each record names its program.
std::string Reason(const Machine& m) {
    if (!m.problem.empty()) return "";
    std::string out;
    for (const std::string* reason : {&m.lastUpdateReason, &m.monitorUpdateReason})
        if (!reason->empty()) out += "; " + *reason;
    return out;
}

// A row the board could not read now shows what it read before, and says so.
std::string LastKnownMark(const Machine& m) { return m.lastKnown ? " (last known)" : ""; }

std::string Dash(const std::string& s) { return s.empty() ? "-" : s; }

// What the last report said of the manager; hearsay once the monitor is quiet.
std::string Manager(const Machine& m) {
    if (!m.problem.empty()) return "-";
    const std::string said = !m.managerUp ? "down" : m.responding == "no" ? "hung" : "up";
    return m.state == State::Silent || m.state == State::Stopped ? "was " + said : said;
}

int NeedingAttention(const std::vector<Machine>& machines) {
    return static_cast<int>(std::count_if(machines.begin(), machines.end(),
                                          [](const Machine& m) { return m.state != State::Ok; }));
}

std::string Count(const std::vector<Machine>& machines) {
    return std::to_string(machines.size()) + (machines.size() == 1 ? " machine, " : " machines, ") +
           std::to_string(NeedingAttention(machines)) + " needing attention";
}

std::string Summary(const std::vector<Machine>& machines, const Made& made) {
    if (made.folderReadable) return machines.empty() ? "no machine reports here" : Count(machines);
    std::string out = "the folder cannot be read";
    if (made.unreadableSince > 0) out += " since " + LocalTime(made.unreadableSince);
    out += " (" + made.folderProblem + "); ";
    if (machines.empty()) return out + "nothing is known of its machines";
    return out + "last known" + (made.folderReadAt > 0 ? ", as read at " + LocalTime(made.folderReadAt) : "") + ": " +
           Count(machines);
}

// In words, at the top of the page: a page that is rewritten in an outage
// must not pass for a fresh one.
std::string OutageNotice(const std::vector<Machine>& machines, const Made& made) {
    std::string out = "The status folder cannot be read";
    if (made.unreadableSince > 0) out += " since " + LocalTime(made.unreadableSince);
    out += ": " + made.folderProblem + ". ";
    if (machines.empty()) return out + "Nothing is known of its machines.";
    out += "The figures below are the last known";
    return out + (made.folderReadAt > 0 ? ", as the board read them at " + LocalTime(made.folderReadAt) : "") + ".";
}

std::string PageSummary(const std::vector<Machine>& machines, const Made& made) {
    if (made.folderReadable || machines.empty()) return made.folderReadable ? Summary(machines, made) : "nothing known";
    return "last known: " + Count(machines);
}

}  // namespace

int ExitCode(const std::vector<Machine>& machines) {
    return machines.empty() || NeedingAttention(machines) > 0 ? 1 : 0;
}

// Every column as wide as its widest value, so that a long name or a
// monitor's update in words keeps the rows aligned.
std::string TextReport(const std::vector<Machine>& machines, const Made& made) {
    std::string out = "Status of " + made.folder + " at " + made.at + ": " + Summary(machines, made) + "\n";
    if (machines.empty()) return out;
    std::vector<std::vector<std::string>> rows = {
        {"STATE", "MACHINE", "AGE", "MANAGER", "BUILD", "MONITOR", "STARTS24H", "LAST EVENT"}};
    for (const Machine& m : machines) {
        const bool known = m.problem.empty();
        rows.push_back({StateName(m.state), known ? m.name : m.file, known ? Age(m.ageSeconds) : "-", Manager(m),
                        Dash(m.version), Monitor(m), Dash(m.starts), LastEvent(m) + Reason(m) + LastKnownMark(m)});
    }
    std::vector<std::size_t> widths = {12, 16, 8, 9, 16, 16, 10, 0};  // at least
    for (const auto& row : rows)
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size() + 1);
    for (const auto& row : rows) {
        for (std::size_t i = 0; i + 1 < row.size(); ++i) out += Pad(row[i], widths[i]);
        out += row.back() + "\n";
    }
    return out;
}

std::string HtmlPage(const std::vector<Machine>& machines, const Made& made, int refreshSeconds) {
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
    if (refreshSeconds > 0) page += "<meta http-equiv=\"refresh\" content=\"" + std::to_string(refreshSeconds) + "\">\n";
    page +=
        "<title>Status board</title>\n<style>\n"
        "body{font-family:system-ui,-apple-system,Segoe UI,Arial,sans-serif;margin:0;padding:1rem;background:#f2f2f2;"
        "color:#222}\n"
        "h1{font-size:1.4rem;margin:0 0 .2rem}\n"
        "p.made{margin:0 0 1rem;color:#555}\n"
        "p.outage{margin:0 0 1rem;padding:.6rem .8rem;background:#c62828;color:#fff;font-weight:600}\n"
        "table{border-collapse:collapse;width:100%;background:#fff}\n"
        "th,td{padding:.5rem .7rem;text-align:left;border-bottom:1px solid #ddd;white-space:nowrap}\n"
        "td:last-child{white-space:normal}\n"
        "th{background:#333;color:#fff;font-weight:600}\n"
        "tr{border-left:.5rem solid #999}\n"
        "td.state{font-weight:700}\n"
        "tr.down{background:#fde0df;border-left-color:#c62828}\n"
        "tr.hung{background:#fde0df;border-left-color:#ad1457}\n"
        "tr.silent{background:#fff0c2;border-left-color:#e69500}\n"
        "tr.stopped{background:#e4e4ef;border-left-color:#5c5c8a}\n"
        "tr.unreadable{background:#f3e0f7;border-left-color:#8e24aa}\n"
        "tr.not_updated{background:#ffe9d6;border-left-color:#ef6c00}\n"
        "tr.ok{background:#e3f4e5;border-left-color:#2e7d32}\n"
        "@media (max-width:700px){thead{display:none}table,tbody,tr,td{display:block}"
        "tr{margin:0 0 .8rem;border-radius:.4rem}td{border:0;padding:.25rem .7rem}"
        "td::before{content:attr(data-label) \": \";color:#555;font-weight:400}}\n"
        "</style>\n</head>\n<body>\n<h1>Status board</h1>\n";
    if (!made.folderReadable) page += "<p class=\"outage\">" + Html(OutageNotice(machines, made)) + "</p>\n";
    page += "<p class=\"made\">Made " + Html(made.at) + " from " + Html(made.folder) + ": " +
            Html(PageSummary(machines, made)) + ".</p>\n";
    page +=
        "<table>\n<thead><tr><th>State</th><th>Machine</th><th>Last report</th><th>Manager</th><th>Build</th>"
        "<th>Monitor</th><th>Starts in 24 h</th><th>Last event</th></tr></thead>\n<tbody>\n";
    for (const Machine& m : machines) {
        const bool known = m.problem.empty();
        std::string cls = Lower(StateName(m.state));
        page += "<tr class=\"" + cls + "\"><td class=\"state\" data-label=\"State\">" + StateName(m.state) +
                "</td><td data-label=\"Machine\">" + Html(known ? m.name : m.file) +
                "</td><td data-label=\"Last report\">" + (known ? Age(m.ageSeconds) + " ago" : "-") + LastKnownMark(m) +
                "</td><td data-label=\"Manager\">" +
                Manager(m) + (m.managerUp && !m.pid.empty() ? " (pid " + Html(m.pid) + ")" : "") +
                "</td><td data-label=\"Build\">" + Html(Dash(m.version)) +
                "</td><td data-label=\"Monitor\">" + Html(Monitor(m)) +
                "</td><td data-label=\"Starts in 24 h\">" + Html(Dash(m.starts)) +
                "</td><td data-label=\"Last event\">" + Html(LastEvent(m) + Reason(m)) + "</td></tr>\n";
    }
    page += "</tbody>\n</table>\n</body>\n</html>\n";
    return page;
}

}  // namespace board
