// The board's facts for other monitoring: one JSON document, and the text
// exposition format that a node exporter's textfile collector serves.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <set>

#include <nlohmann/json.hpp>

#include "diag/status_format.h"
#include "status_board.h"

namespace board {

namespace {

const char* const kMetricPrefix = "rorerozariradi_";

using Json = nlohmann::ordered_json;

Json OrNull(bool known, const Json& value) { return known ? value : Json(nullptr); }

Json JsonReport(const Machine& m) {
    if (!m.problem.empty()) return nullptr;
    Json report = Json::object();
    for (const auto& field : m.fields) report[field.first] = field.second;
    return report;
}

Json JsonMachine(const Machine& m) {
    const bool known = m.problem.empty();
    return Json{{"file", m.file},
                {"machine", OrNull(known, m.name)},
                {"state", StateName(m.state)},
                {"age_seconds", OrNull(m.ageKnown, m.ageSeconds)},
                {"state_since", OrNull(m.stateSince > 0, m.stateSince)},
                {"last_known", m.lastKnown},
                {"problem", OrNull(!known, m.problem)},
                {"report", JsonReport(m)}};
}

// Both formats want UTF-8; a name in a Windows code page is not: each byte
// of no well-formed sequence becomes U+FFFD.
std::string Dump(const Json& j, int indent = -1) {
    return j.dump(indent, ' ', false, Json::error_handler_t::replace);
}

// Only what the exposition format requires is escaped: backslash, double
// quote and line feed. Everything else goes as UTF-8.
std::string LabelValue(const std::string& s) {
    std::string out;
    for (char ch : ValidUtf8(s)) {
        if (ch == '\\' || ch == '"') out += '\\';
        if (ch == '\n')
            out += "\\n";
        else
            out += ch;
    }
    return out;
}

// The machine label: the report's name, or the file's for a file that is no report.
std::string MachineLabel(const Machine& m) {
    if (m.problem.empty()) return m.name;
    const std::size_t dot = m.file.rfind('.');
    return dot == std::string::npos ? m.file : m.file.substr(0, dot);
}

void Family(std::string& out, const char* name, const char* help) {
    out += std::string("# HELP ") + kMetricPrefix + name + " " + help + "\n";
    out += std::string("# TYPE ") + kMetricPrefix + name + " gauge\n";
}

void Sample(std::string& out, const char* name, const std::string& machine, const std::string& extraLabel,
            const std::string& value) {
    out += kMetricPrefix;
    out += name;
    out += "{machine=\"" + LabelValue(machine) + "\"" + extraLabel + "} " + value + "\n";
}

std::string Label(const char* name, const std::string& value) {
    return std::string(",") + name + "=\"" + LabelValue(value) + "\"";
}

// A label value is one of a documented set: "rolled back" becomes
// "rolled_back", and a result this board does not know (a newer monitor's)
// counts as "other" rather than making a series of its own.
std::string SnakeCase(std::string s) {
    std::replace(s.begin(), s.end(), ' ', '_');
    return s;
}

void UpdateSamples(std::string& out, const char* name, const std::string& machine, const std::string& lastUpdate) {
    bool known = lastUpdate.empty();
    for (const char* result : rz::kUpdateResults) {
        Sample(out, name, machine, Label("result", SnakeCase(result)), lastUpdate == result ? "1" : "0");
        known = known || lastUpdate == result;
    }
    Sample(out, name, machine, Label("result", "other"), known ? "0" : "1");
}

// A report's local time "2024-03-07T18:05:09" as seconds since 1970 UTC,
// read in the board's time zone; false for anything else (empty: not yet).
bool LocalToUnix(const std::string& iso, std::int64_t& out) {
    std::tm t{};
    char extra = 0;
    if (std::sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
                    &t.tm_min, &t.tm_sec, &extra) != 6)
        return false;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    t.tm_isdst = -1;
    const std::time_t v = std::mktime(&t);
    out = static_cast<std::int64_t>(v);
    return v != static_cast<std::time_t>(-1);
}

void TimeSamples(std::string& out, const char* name, const std::vector<const Machine*>& rows,
                 std::string Machine::*field) {
    std::int64_t seconds = 0;
    for (const Machine* m : rows)
        if (m->problem.empty() && LocalToUnix(m->*field, seconds)) Sample(out, name, m->name, "", std::to_string(seconds));
}

// The board's own series, written at every run: a board that stops or
// cannot list the folder shows in them, not in frozen machine series.
void BoardFamilies(std::string& out, const Made& made) {
    Family(out, "board_last_run_timestamp_seconds", "When the status board last ran, seconds since 1970 UTC.");
    out += std::string(kMetricPrefix) + "board_last_run_timestamp_seconds " + std::to_string(made.unixTime) + "\n";
    Family(out, "board_folder_readable", "1 when the status board could list the status folder at its last run, else 0.");
    out += std::string(kMetricPrefix) + "board_folder_readable " + (made.folderReadable ? "1" : "0") + "\n";
    if (made.folderReadAt <= 0) return;
    Family(out, "board_folder_read_timestamp_seconds",
           "When the status board last listed the status folder, seconds since 1970 UTC: the time its machine series "
           "are as of.");
    out += std::string(kMetricPrefix) + "board_folder_read_timestamp_seconds " + std::to_string(made.folderReadAt) + "\n";
}

void MachineFamilies(std::string& out, const std::vector<const Machine*>& rows) {
    Family(out, "machine_state",
           "State of the machine on the status board: 1 for the state it is in, 0 for the others.");
    for (const Machine* m : rows)
        for (State s : kStates)
            Sample(out, "machine_state", MachineLabel(*m), Label("state", StateName(s)), m->state == s ? "1" : "0");
    Family(out, "machine_state_since_timestamp_seconds",
           "When the status board first saw the machine in its present state, seconds since 1970 UTC.");
    for (const Machine* m : rows)
        if (m->stateSince > 0)
            Sample(out, "machine_state_since_timestamp_seconds", MachineLabel(*m), "", std::to_string(m->stateSince));
    Family(out, "machine_info", "1 for each machine with a readable report, labelled with its builds.");
    for (const Machine* m : rows)
        if (m->problem.empty())
            Sample(out, "machine_info", m->name,
                   Label("monitor_version", m->monitorVersion) + Label("manager_version", m->version), "1");
    Family(out, "manager_up", "1 when the machine's last report says its manager runs, else 0.");
    for (const Machine* m : rows)
        if (m->problem.empty()) Sample(out, "manager_up", m->name, "", m->managerUp ? "1" : "0");
    Family(out, "manager_responding", "1 when the last report says the running manager takes its messages, 0 when not.");
    for (const Machine* m : rows)
        if (m->problem.empty() && m->managerUp && !m->responding.empty())
            Sample(out, "manager_responding", m->name, "", m->responding == "no" ? "0" : "1");
    Family(out, "report_written_timestamp_seconds", "When the machine's report was last written, seconds since 1970 UTC.");
    for (const Machine* m : rows)
        if (m->ageKnown) Sample(out, "report_written_timestamp_seconds", MachineLabel(*m), "", std::to_string(m->writtenUnix));
    Family(out, "report_age_seconds", "Seconds since the machine's report was last written, when the board last ran.");
    for (const Machine* m : rows)
        if (m->ageKnown) Sample(out, "report_age_seconds", MachineLabel(*m), "", std::to_string(m->ageSeconds));
    Family(out, "monitor_start_timestamp_seconds", "When the machine's monitor started, seconds since 1970 UTC.");
    TimeSamples(out, "monitor_start_timestamp_seconds", rows, &Machine::monitorStarted);
    Family(out, "manager_starts_24h", "Starts of the manager by the monitor in the 24 hours before its last report.");
    for (const Machine* m : rows)
        if (m->problem.empty() && !m->starts.empty()) Sample(out, "manager_starts_24h", m->name, "", m->starts);
    Family(out, "last_update",
           "Result of the last manager update the monitor met: 1 for that result, 0 for the others.");
    for (const Machine* m : rows)
        if (m->problem.empty()) UpdateSamples(out, "last_update", m->name, m->lastUpdate);
    Family(out, "last_update_timestamp_seconds", "When the monitor met its last manager update, seconds since 1970 UTC.");
    TimeSamples(out, "last_update_timestamp_seconds", rows, &Machine::lastUpdateTime);
    // The reason stays in the report and the JSON: free text makes no label.
    Family(out, "monitor_update",
           "Result of the last update of the monitor itself: 1 for that result, 0 for the others.");
    for (const Machine* m : rows)
        if (m->problem.empty() && !m->monitorUpdate.empty())
            UpdateSamples(out, "monitor_update", m->name, m->monitorUpdate);
    Family(out, "monitor_update_timestamp_seconds",
           "When the monitor last met an update of itself, seconds since 1970 UTC.");
    TimeSamples(out, "monitor_update_timestamp_seconds", rows, &Machine::monitorUpdateTime);
}

}  // namespace

std::string ValidUtf8(const std::string& s) { return Json::parse(Dump(s)).get<std::string>(); }

std::string JsonDocument(const std::vector<Machine>& machines, const Made& made) {
    std::string at = made.at;
    if (at.size() > 10 && at[10] == ' ') at[10] = 'T';
    Json list = Json::array();
    for (const Machine& m : machines) list.push_back(JsonMachine(m));
    const Json doc = {{"schema", 1},
                      {"time", at},
                      {"unix_time", made.unixTime},
                      {"folder", made.folder},
                      {"silent_after_seconds", made.silentAfter},
                      {"folder_readable", made.folderReadable},
                      {"folder_read_unix_time", OrNull(made.folderReadAt > 0, made.folderReadAt)},
                      {"folder_unreadable_since", OrNull(made.unreadableSince > 0, made.unreadableSince)},
                      {"folder_problem", OrNull(!made.folderProblem.empty(), made.folderProblem)},
                      {"machines", list}};
    return Dump(doc, 2) + "\n";
}

std::string PrometheusText(const std::vector<Machine>& machines, const Made& made) {
    std::string out;
    BoardFamilies(out, made);
    // Two files may name one machine (PCWS07.txt and pcws07.TXT); a label
    // set given twice would make the collector drop the whole file, so the
    // first one, the one needing most attention, stands for the machine.
    std::vector<const Machine*> rows;
    std::set<std::string> seen;
    for (const Machine& m : machines)
        if (seen.insert(MachineLabel(m)).second) rows.push_back(&m);
    MachineFamilies(out, rows);
    return out;
}

}  // namespace board
