#include "diag/status_report.h"

#include "core/app.h"
#include "diag/debug_log.h"

namespace rz {

namespace {

constexpr std::uint64_t kDayMs = 24ull * 60 * 60 * 1000;
constexpr std::size_t kMaxStartTimes = 20000;  // more than a start every five seconds for a day

// The board reads ASCII only, one fact per line.
std::string Clean(const std::string& value) {
    std::string out = value;
    for (char& ch : out)
        if (ch < 0x20 || ch > 0x7E) ch = '?';
    return out;
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string NowIso(Ctx& c) { return IsoTime(c.p.Now()); }

int StartsInLastDay(Ctx& c) {
    std::deque<std::uint64_t>& times = c.s.status.startTimes;
    const std::uint64_t now = c.p.MonotonicMs();
    while (!times.empty() && now - times.front() >= kDayMs) times.pop_front();
    return static_cast<int>(times.size());
}

void Line(std::string& text, const char* key, const std::string& value) {
    text += key;
    text += '=';
    text += Clean(value);
    text += "\r\n";
}

bool WriteDue(const StatusState& st, std::uint64_t now) {
    const bool heartbeat = !st.attempted || now - st.attemptedAt >= kStatusHeartbeatMs;
    // A share that cannot be written is tried again at the heartbeat only.
    if (st.failing) return heartbeat;
    return heartbeat || st.pending || st.managerUp != st.reportedUp || st.managerPid != st.reportedPid;
}

// Writes beside the file and moves over it, so a reader never sees half a
// file. Returns 0, or the error of the step that failed.
std::uint32_t WriteReplacing(Ctx& c, const std::string& folder, const std::string& name, const std::string& text) {
    const std::string temp = folder + "\\" + name + ".tmp";
    if (c.p.WriteText(temp, text) && c.p.MoveReplace(temp, folder + "\\" + name + ".txt")) return 0;
    const std::uint32_t error = c.p.LastError();
    c.p.RemoveFile(temp);
    return error == 0 ? 1 : error;
}

// Writes the report unless the listing of its folder failed; false with
// the error of the failed step.
bool Deliver(Ctx& c, const std::string& folder, bool listFailed, std::uint32_t& error) {
    if (listFailed) {
        error = c.p.LastError();
        return false;
    }
    c.s.status.active = true;
    error = WriteReplacing(c, folder, c.s.THISMACHINENAME, StatusText(c));
    return error == 0;
}

// One record when an outage begins and one when it ends, none between.
void RecordOutcome(Ctx& c, const std::string& path, bool written, std::uint32_t error) {
    StatusState& st = c.s.status;
    if (written) {
        if (st.recorded) DebugRecord(c, "STATUS REPORT RESUMED: '" + path + "'");
        st.failing = st.recorded = false;
        return;
    }
    st.failing = true;
    // Until the folder has been seen, a share out of reach says nothing
    // about whether reports are wanted at all.
    if (!st.active || st.recorded) return;
    DebugRecord(c, "STATUS REPORT FAILED: '" + path + "' cannot be written, error " + std::to_string(error));
    st.recorded = true;
}

void Attempt(Ctx& c, const std::string& updateFolder) {
    StatusState& st = c.s.status;
    st.attempted = true;
    st.attemptedAt = c.p.MonotonicMs();
    st.pending = false;
    st.reportedUp = st.managerUp;
    st.reportedPid = st.managerPid;
    const std::string folder = updateFolder + "_Status";
    const ListResult found = c.p.ListFirst(folder);
    if (!found.error && found.first.empty()) {  // not wanted, or no longer
        st.active = st.failing = st.recorded = false;
        return;
    }
    std::uint32_t error = 0;
    const bool written = Deliver(c, folder, found.error, error);
    RecordOutcome(c, folder + "\\" + c.s.THISMACHINENAME + ".txt", written, error);
}

}  // namespace

void StatusMonitorStarted(Ctx& c) {
    c.s.status.started = NowIso(c);
    StatusEvent(c, "monitor started");
}

void StatusEvent(Ctx& c, const std::string& event) {
    c.s.status.lastEvent = event;
    c.s.status.lastEventTime = NowIso(c);
    c.s.status.pending = true;
}

void StatusCensus(Ctx& c) {
    StatusState& st = c.s.status;
    const bool up = c.s.KORUMGR_RUNNING == kYes;
    if (!up && (st.managerUp || !st.censusSeen)) StatusEvent(c, "manager found missing");
    st.censusSeen = true;
    st.managerUp = up;
    st.managerPid = up ? c.s.managerPid : 0;
}

void StatusManagerStarted(Ctx& c, std::uint32_t pid) {
    StatusState& st = c.s.status;
    st.managerUp = true;
    st.managerPid = pid;
    st.startTimes.push_back(c.p.MonotonicMs());
    if (st.startTimes.size() > kMaxStartTimes) st.startTimes.pop_front();
    StatusEvent(c, "manager started");
}

void StatusUpdate(Ctx& c, const std::string& result, const std::string& updatePath) {
    StatusEvent(c, "update " + result);
    c.s.status.lastUpdate = result;
    c.s.status.lastUpdateFile = BaseName(updatePath);
    c.s.status.lastUpdateTime = c.s.status.lastEventTime;
}

void StatusTick(Ctx& c, const std::string& updateFolder) {
    if (updateFolder.empty() || c.s.THISMACHINENAME.empty()) return;
    if (WriteDue(c.s.status, c.p.MonotonicMs())) Attempt(c, updateFolder);
}

void StatusFinal(Ctx& c, const std::string& updateFolder, const std::string& event) {
    StatusEvent(c, event);
    if (updateFolder.empty() || c.s.THISMACHINENAME.empty()) return;
    Attempt(c, updateFolder);
}

std::string StatusText(Ctx& c) {
    const StatusState& st = c.s.status;
    const std::string manager = AppPath(c, "KORUMGR.exe");
    FileStamp stamp;
    const bool present = c.p.StatFile(manager, stamp);
    std::string text;
    Line(text, "status_format", "1");
    Line(text, "machine", c.s.THISMACHINENAME);
    Line(text, "monitor_version", c.s.sVersion);
    Line(text, "written", NowIso(c));
    Line(text, "monitor_started", st.started);
    Line(text, "manager_running", st.managerUp ? "yes" : "no");
    Line(text, "manager_pid", st.managerUp ? std::to_string(st.managerPid) : "");
    Line(text, "manager_version", present ? c.p.FileVersion(manager) : "");
    Line(text, "manager_length", present ? std::to_string(stamp.length) : "");
    Line(text, "manager_written", present ? IsoTime(c.p.ToLocalTime(stamp.lastWrite)) : "");
    Line(text, "starts_24h", std::to_string(StartsInLastDay(c)));
    Line(text, "last_event", st.lastEvent);
    Line(text, "last_event_time", st.lastEventTime);
    Line(text, "last_update", st.lastUpdate);
    Line(text, "last_update_file", st.lastUpdateFile);
    Line(text, "last_update_time", st.lastUpdateTime);
    Line(text, "logging", LoggingOn(c) ? "on" : "off");
    Line(text, "end", "1");  // a reader tells a whole file from a cut one
    return text;
}

}  // namespace rz
