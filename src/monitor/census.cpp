#include <vector>

#include "core/app.h"
#include "diag/debug_log.h"
#include "diag/process_list.h"
#include "diag/status_report.h"
#include "monitor/monitor.h"

namespace rz {

namespace {

const char* const kConfigKey = "SOFTWARE\\KORU BOWLING\\System Configuration";
const char* const kConnectValues[] = {"Connect String", "Connect String Primary", "Connect String Secondary"};
constexpr std::uint64_t kRetryMs = 5000;

void TakeCensus(Ctx& c) {
    c.s.KORUMGR_RUNNING.clear();
    c.s.VESK_RUNNING.clear();
    c.s.managerPid = 0;
    for (std::uint32_t pid : GetProcessIds(c.p)) {
        std::string path;
        if (!GetProcessPath(c.p, pid, path)) continue;
        if (EndsWithNoCase(path, "KORUMGR.exe")) {
            if (c.s.KORUMGR_RUNNING != kYes) c.s.managerPid = pid;  // the first one found
            c.s.KORUMGR_RUNNING = kYes;
        }
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
        if (taskId != 0) {
            StatusManagerStarted(c, taskId);
            return "'KORUMGR.exe' Arranco OK - RetVal: " + std::to_string(taskId);
        }
        DebugRecord(c, "NO Arranco el 'KORUMGR.exe'");
        StatusEvent(c, "manager failed to start");
        WaitPumping(c, kRetryMs);
    }
}

}  // namespace

std::string DefaultConnectString() {
    return std::string("ODBC;Driver=SQL Server;SERVER=") + kServerMachineName + ";DATABASE=KORU;UID=KORU;PWD=KPLMX";
}

void CheckProcesses(Ctx& c) {
    TakeCensus(c);
    StatusCensus(c);
    DebugRecords(c, {"ELKORUMGR_RUNNING: " + c.s.KORUMGR_RUNNING, "VESK_RUNNING: " + c.s.VESK_RUNNING});
    DebugRecord(c, "ALLOW: " + ResetConnectStrings(c));
    DebugRecord(c, LaunchManager(c));
}

}  // namespace rz
