#include "status_board.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>

#ifdef _WIN32
#include <windows.h>
#endif

#include "diag/status_format.h"

namespace fs = std::filesystem;
using rz::KeyName;
using rz::ReportKey;

namespace board {

namespace {

const ReportKey kRequired[] = {ReportKey::Machine, ReportKey::Written, ReportKey::ManagerRunning};

std::string Lower(std::string s) {
    for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return s;
}

bool EndsWithTxt(const std::string& name) { return name.size() > 4 && Lower(name.substr(name.size() - 4)) == ".txt"; }

bool ValidKey(const std::string& key) {
    if (key.empty() || key.size() > 40) return false;
    for (char ch : key)
        if (!(std::islower(static_cast<unsigned char>(ch)) || std::isdigit(static_cast<unsigned char>(ch)) || ch == '_'))
            return false;
    return true;
}

bool AllDigits(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char ch) { return std::isdigit(static_cast<unsigned char>(ch)); });
}

using Fields = std::vector<std::pair<std::string, std::string>>;

// The lines of a report as keys and values, or the reason it is none.
std::string SplitLines(const std::string& text, Fields& fields, std::map<std::string, std::string>& values) {
    if (text.size() > kMaxReportBytes) return "larger than " + std::to_string(kMaxReportBytes) + " bytes";
    for (char ch : text)
        if ((ch < 0x20 || ch > 0x7E) && ch != '\r' && ch != '\n') return "not ASCII text";
    if (text.empty() || text.back() != '\n') return "truncated";
    std::size_t start = 0, number = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = text.substr(start, end - start);
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t eq = line.find('=');
        const std::string key = line.substr(0, eq);
        if (eq == std::string::npos || !ValidKey(key)) return "line " + std::to_string(number) + " is not key=value";
        if (!values.emplace(key, line.substr(eq + 1)).second) return "key " + key + " given twice";
        fields.emplace_back(key, line.substr(eq + 1));
    }
    return "";
}

std::string Get(const std::map<std::string, std::string>& values, ReportKey key) {
    auto it = values.find(KeyName(key));
    return it == values.end() ? std::string() : it->second;
}

bool Has(const std::map<std::string, std::string>& values, ReportKey key) { return values.count(KeyName(key)) != 0; }

std::string Check(const std::string& fileName, const Fields& fields, const std::map<std::string, std::string>& values) {
    if (!Has(values, ReportKey::StatusFormat)) return "not a status report";
    if (fields.back().first != KeyName(ReportKey::End)) return "truncated";
    for (ReportKey key : kRequired)
        if (!Has(values, key)) return std::string("no ") + KeyName(key);
    const std::string machine = Get(values, ReportKey::Machine);
    if (machine.empty() || Lower(machine + ".txt") != Lower(fileName)) return "names machine '" + machine + "'";
    const std::string running = Get(values, ReportKey::ManagerRunning);
    if (running != "yes" && running != "no")
        return std::string(KeyName(ReportKey::ManagerRunning)) + " is '" + running + "'";
    const std::string starts = Get(values, ReportKey::Starts24h);
    if (!AllDigits(starts)) return std::string(KeyName(ReportKey::Starts24h)) + " is '" + starts + "'";
    return "";
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

std::string Summary(const std::vector<Machine>& machines) {
    if (machines.empty()) return "no machine reports here";
    return std::to_string(machines.size()) + (machines.size() == 1 ? " machine, " : " machines, ") +
           std::to_string(NeedingAttention(machines)) + " needing attention";
}

// Reads at most one byte past the cap, so a huge file costs nothing.
bool ReadCapped(const fs::path& path, std::string& text) {
    ReportFile file(path);
    return file.IsOpen() && file.Read(kMaxReportBytes + 1, text);
}

Machine ReadOne(const fs::directory_entry& entry, std::int64_t silentAfter) {
    Machine m;
    m.file = entry.path().filename().string();
    std::error_code ec;
    const auto written = fs::last_write_time(entry.path(), ec);
    std::int64_t age = 0;
    if (!ec) age = std::chrono::duration_cast<std::chrono::seconds>(fs::file_time_type::clock::now() - written).count();
    std::string text;
    if (!ec && ReadCapped(entry.path(), text))
        ParseReport(m.file, text, m);
    else
        m.problem = "cannot be read";
    Classify(m, age, silentAfter);
    m.ageKnown = !ec;
    m.writtenUnix = static_cast<std::int64_t>(std::time(nullptr)) - age;
    return m;
}

}  // namespace

#ifdef _WIN32
ReportFile::ReportFile(const fs::path& path) {
    const HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) handle_ = h;
}

ReportFile::~ReportFile() {
    if (handle_) CloseHandle(handle_);
}

bool ReportFile::Read(std::size_t limit, std::string& text) {
    text.assign(limit, '\0');
    std::size_t got = 0;
    BOOL ok = TRUE;
    while (got < limit) {
        DWORD n = 0;
        ok = ReadFile(handle_, &text[got], static_cast<DWORD>(limit - got), &n, nullptr);
        if (!ok || n == 0) break;
        got += n;
    }
    text.resize(got);
    return ok != 0;
}
#else
ReportFile::ReportFile(const fs::path& path) : handle_(std::fopen(path.c_str(), "rb")) {}

ReportFile::~ReportFile() {
    if (handle_) std::fclose(static_cast<std::FILE*>(handle_));
}

bool ReportFile::Read(std::size_t limit, std::string& text) {
    std::FILE* f = static_cast<std::FILE*>(handle_);
    text.assign(limit, '\0');
    text.resize(std::fread(&text[0], 1, limit, f));
    return !std::ferror(f);
}
#endif

void ParseReport(const std::string& fileName, const std::string& text, Machine& m) {
    m.file = fileName;
    m.state = State::Unreadable;
    std::map<std::string, std::string> values;
    Fields fields;
    m.problem = SplitLines(text, fields, values);
    if (m.problem.empty()) m.problem = Check(fileName, fields, values);
    if (!m.problem.empty()) return;
    m.name = Get(values, ReportKey::Machine);
    m.version = Get(values, ReportKey::ManagerVersion);
    m.lastEvent = Get(values, ReportKey::LastEvent);
    m.lastEventTime = Get(values, ReportKey::LastEventTime);
    m.written = Get(values, ReportKey::Written);
    m.lastUpdate = Get(values, ReportKey::LastUpdate);
    m.lastUpdateTime = Get(values, ReportKey::LastUpdateTime);
    m.monitorVersion = Get(values, ReportKey::MonitorVersion);
    m.monitorStarted = Get(values, ReportKey::MonitorStarted);
    m.managerUp = Get(values, ReportKey::ManagerRunning) == "yes";
    m.pid = Get(values, ReportKey::ManagerPid);
    m.starts = Get(values, ReportKey::Starts24h);
    m.responding = Get(values, ReportKey::ManagerResponding);
    m.fields = std::move(fields);
}

void Classify(Machine& m, std::int64_t ageSeconds, std::int64_t silentAfter) {
    m.ageSeconds = ageSeconds < 0 ? 0 : ageSeconds;
    if (!m.problem.empty())
        m.state = State::Unreadable;
    else if (m.lastEvent == rz::kStoppingEvent)
        m.state = State::Stopped;
    else if (m.ageSeconds > silentAfter)
        m.state = State::Silent;
    else
        m.state = !m.managerUp ? State::Down : m.responding == "no" ? State::Hung : State::Ok;
}

bool ReadFolder(const std::string& folder, std::int64_t silentAfter, std::vector<Machine>& out, std::string& error) {
    std::error_code ec;
    fs::directory_iterator it(fs::path(folder), ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        std::error_code typeError;
        if (EndsWithTxt(name) && !it->is_directory(typeError)) out.push_back(ReadOne(*it, silentAfter));
    }
    if (ec) {
        error = "cannot list '" + folder + "': " + ec.message();
        return false;
    }
    SortForAttention(out);
    return true;
}

void SortForAttention(std::vector<Machine>& machines) {
    std::sort(machines.begin(), machines.end(), [](const Machine& a, const Machine& b) {
        if (a.state != b.state) return a.state < b.state;
        return Lower(a.name.empty() ? a.file : a.name) < Lower(b.name.empty() ? b.file : b.name);
    });
}

const char* StateName(State s) {
    switch (s) {
        case State::Down: return "DOWN";
        case State::Hung: return "HUNG";
        case State::Silent: return "SILENT";
        case State::Stopped: return "STOPPED";
        case State::Unreadable: return "UNREADABLE";
        case State::Ok: return "OK";
    }
    return "?";
}

std::string Age(std::int64_t s) {
    char buf[32];
    if (s < 60)
        std::snprintf(buf, sizeof buf, "%llds", static_cast<long long>(s));
    else if (s < 3600)
        std::snprintf(buf, sizeof buf, "%lldm%02llds", static_cast<long long>(s / 60), static_cast<long long>(s % 60));
    else if (s < 86400)
        std::snprintf(buf, sizeof buf, "%lldh%02lldm", static_cast<long long>(s / 3600),
                      static_cast<long long>(s / 60 % 60));
    else
        std::snprintf(buf, sizeof buf, "%lldd%02lldh", static_cast<long long>(s / 86400),
                      static_cast<long long>(s / 3600 % 24));
    return buf;
}

int ExitCode(const std::vector<Machine>& machines) {
    return machines.empty() || NeedingAttention(machines) > 0 ? 1 : 0;
}

std::string TextReport(const std::vector<Machine>& machines, const std::string& folder, const std::string& madeAt) {
    std::string out = "Status of " + folder + " at " + madeAt + ": " + Summary(machines) + "\n";
    if (machines.empty()) return out;
    out += Pad("STATE", 11) + Pad("MACHINE", 16) + Pad("AGE", 8) + Pad("MANAGER", 9) + Pad("BUILD", 16) +
           Pad("STARTS24H", 10) + "LAST EVENT\n";
    for (const Machine& m : machines) {
        const bool known = m.problem.empty();
        out += Pad(StateName(m.state), 11) + Pad(known ? m.name : m.file, 16) + Pad(known ? Age(m.ageSeconds) : "-", 8) +
               Pad(Manager(m), 9) + Pad(Dash(m.version), 16) + Pad(Dash(m.starts), 10) +
               LastEvent(m) + "\n";
    }
    return out;
}

std::string HtmlPage(const std::vector<Machine>& machines, const std::string& folder, const std::string& madeAt,
                     int refreshSeconds) {
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
        "tr.ok{background:#e3f4e5;border-left-color:#2e7d32}\n"
        "@media (max-width:700px){thead{display:none}table,tbody,tr,td{display:block}"
        "tr{margin:0 0 .8rem;border-radius:.4rem}td{border:0;padding:.25rem .7rem}"
        "td::before{content:attr(data-label) \": \";color:#555;font-weight:400}}\n"
        "</style>\n</head>\n<body>\n<h1>Status board</h1>\n";
    page += "<p class=\"made\">Made " + Html(madeAt) + " from " + Html(folder) + ": " + Html(Summary(machines)) +
            ".</p>\n";
    page +=
        "<table>\n<thead><tr><th>State</th><th>Machine</th><th>Last report</th><th>Manager</th><th>Build</th>"
        "<th>Starts in 24 h</th><th>Last event</th></tr></thead>\n<tbody>\n";
    for (const Machine& m : machines) {
        const bool known = m.problem.empty();
        std::string cls = Lower(StateName(m.state));
        page += "<tr class=\"" + cls + "\"><td class=\"state\" data-label=\"State\">" + StateName(m.state) +
                "</td><td data-label=\"Machine\">" + Html(known ? m.name : m.file) +
                "</td><td data-label=\"Last report\">" + (known ? Age(m.ageSeconds) + " ago" : "-") +
                "</td><td data-label=\"Manager\">" +
                Manager(m) + (m.managerUp && !m.pid.empty() ? " (pid " + Html(m.pid) + ")" : "") +
                "</td><td data-label=\"Build\">" + Html(Dash(m.version)) + "</td><td data-label=\"Starts in 24 h\">" +
                Html(Dash(m.starts)) + "</td><td data-label=\"Last event\">" + Html(LastEvent(m)) + "</td></tr>\n";
    }
    page += "</tbody>\n</table>\n</body>\n</html>\n";
    return page;
}

}  // namespace board
