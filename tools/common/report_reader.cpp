#include "report_reader.h"

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

// A last update that did not put its build in place (every known result but
// "applied"), until a later one does. A result of a newer monitor is no
// reason for attention that this reader could explain.
bool UpdateHeldBack(const std::string& lastUpdate) {
    const std::string applied = rz::kUpdateResults[0];
    return lastUpdate != applied && std::find(std::begin(rz::kUpdateResults), std::end(rz::kUpdateResults),
                                              lastUpdate) != std::end(rz::kUpdateResults);
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
        m.problem = "cannot be read", m.readError = true;
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
    m.lastUpdateReason = Get(values, ReportKey::LastUpdateReason);
    m.monitorUpdate = Get(values, ReportKey::MonitorUpdate);
    m.monitorUpdateVersion = Get(values, ReportKey::MonitorUpdateVersion);
    m.monitorUpdateTime = Get(values, ReportKey::MonitorUpdateTime);
    m.monitorUpdateReason = Get(values, ReportKey::MonitorUpdateReason);
    m.updateKey = Get(values, ReportKey::UpdateKey);
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
    else if (!m.managerUp)
        m.state = State::Down;
    else if (m.responding == "no")
        m.state = State::Hung;
    else
        m.state = UpdateHeldBack(m.lastUpdate) || UpdateHeldBack(m.monitorUpdate) ? State::NotUpdated : State::Ok;
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
        case State::NotUpdated: return "NOT_UPDATED";
        case State::Ok: return "OK";
    }
    return "?";
}

bool StateFromName(const std::string& name, State& s) {
    for (State each : kStates)
        if (name == StateName(each)) return s = each, true;
    return false;
}

std::string LocalTime(std::int64_t unixTime, const char* format) {
    const std::time_t t = static_cast<std::time_t>(unixTime);
    char buf[32] = "";
    if (const std::tm* local = std::localtime(&t)) std::strftime(buf, sizeof buf, format, local);
    return buf;
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

}  // namespace board
