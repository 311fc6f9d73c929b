#include <vector>

#include "core/app.h"
#include "diag/debug_log.h"
#include "diag/process_list.h"
#include "monitor/monitor.h"

namespace rz {

namespace {

const char* const kConfigKey = "SOFTWARE\\KORU BOWLING\\System Configuration";
const char* const kConnectValues[] = {"Connect String", "Connect String Primary", "Connect String Secondary"};
constexpr std::uint64_t kRetryMs = 5000;

const char* const kWatchedNames[] = {"KORUMGR.exe", "VESK.exe"};
constexpr std::size_t kLongestFileName = 255;

// Whether a snapshot's file name proves that the exact path cannot end with
// a watched name. The names hold no backslash, so a path ends with one only
// when its file name does. A short 8.3 form ('~'), an empty (unknown) name
// and one longer than any file name prove nothing.
bool NameRulesOut(const std::string& exeFile) {
    if (exeFile.empty() || exeFile.size() > kLongestFileName || exeFile.find('~') != std::string::npos)
        return false;
    for (const char* name : kWatchedNames)
        if (EndsWithNoCase(exeFile, name)) return false;
    return true;
}

// The ids of the processes that need the exact read, in process-table
// order: from the snapshot, less those that its names rule out; when the
// snapshot fails, the whole process list.
std::vector<std::uint32_t> IdsToRead(Ctx& c) {
    std::vector<ProcessEntry> snapshot;
    if (!c.p.ProcessSnapshot(snapshot)) return GetProcessIds(c.p, &c.s.processListBytes);
    std::vector<std::uint32_t> ids;
    for (const ProcessEntry& e : snapshot)
        if (!NameRulesOut(e.exeFile)) ids.push_back(e.pid);
    return ids;
}

// The snapshot only spares exact reads: a process counts only by the path
// that its exact read gives, as with a full walk.
void TakeCensus(Ctx& c) {
    c.s.KORUMGR_RUNNING.clear();
    c.s.VESK_RUNNING.clear();
    for (std::uint32_t pid : IdsToRead(c)) {
        std::string path;
        if (!GetProcessPath(c.p, pid, path)) continue;
        if (EndsWithNoCase(path, "KORUMGR.exe")) c.s.KORUMGR_RUNNING = kYes;
        if (EndsWithNoCase(path, "VESK.exe")) c.s.VESK_RUNNING = kYes;
    }
}

std::string ResetConnectStrings(Ctx& c) {
    if (c.s.VESK_RUNNING == kYes) return ":|";
    for (const char* name : kConnectValues)
        RegSetStringValue(c, kHKeyLocalMachine, kConfigKey, name, DefaultConnectString());
    return ":(";
}

// Starts the manager when it is missing from the process table; a start
// that fails is retried every five seconds for as long as it fails.
std::string LaunchManager(Ctx& c) {
    for (;;) {
        if (c.s.KORUMGR_RUNNING == kYes) return "ELKORUMGR RUNNING OK!!!   -   :)";
        if (!FileExists(c, AppPath(c, "KORUMGR.exe")))
            return "'KORUMGR.exe' NO Esta en el Folder '" + c.p.AppFolder() + "'";
        if (c.s.sUpdateHold == kYes) return "El Arranque del 'KORUMGR.exe' esta on HOLD";
        const std::uint32_t taskId = c.p.StartProgram(AppPath(c, "KORUMGR.exe"));
        if (taskId != 0) return "'KORUMGR.exe' Arranco OK - RetVal: " + std::to_string(taskId);
        DebugRecord(c, "NO Arranco el 'KORUMGR.exe'");
        WaitPumping(c, kRetryMs);
    }
}

}  // namespace

std::string DefaultConnectString() {
    return std::string("ODBC;Driver=SQL Server;SERVER=") + kServerMachineName + ";DATABASE=KORU;UID=KORU;PWD=KPLMX";
}

void CheckProcesses(Ctx& c) {
    TakeCensus(c);
    DebugRecords(c, {"ELKORUMGR_RUNNING: " + c.s.KORUMGR_RUNNING, "VESK_RUNNING: " + c.s.VESK_RUNNING});
    DebugRecord(c, "ALLOW: " + ResetConnectStrings(c));
    DebugRecord(c, LaunchManager(c));
}

}  // namespace rz
