#include "core/app.h"
#include "diag/debug_log.h"
#include "diag/process_list.h"
#include "monitor/monitor.h"

namespace rz {

namespace {

constexpr std::uint32_t kTerminateAndQuery = 0x0401;  // PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION
constexpr int kMaxKills = 4;

void DllError(Ctx& c, std::uint32_t lastError, const char* message) {
    ReportDllError(c, static_cast<std::int32_t>(lastError), message, "mdlMisc", "Kill_Process");
}

// Two attempts: the first quietly, the second with its failures on record.
// One exit-code value serves the whole call, as the caller's records show.
void TerminatePid(Ctx& c, std::uint32_t pid, std::uint32_t& exitCode) {
    const Handle a = c.p.OpenProc(kTerminateAndQuery, false, pid);
    c.p.ExitCodeOf(a, &exitCode);
    c.p.TerminateProc(a, exitCode);

    const Handle b = c.p.OpenProc(kTerminateAndQuery, false, pid);
    if (!c.p.ExitCodeOf(b, &exitCode)) DllError(c, c.p.LastError(), "GetExitCodeProcess failed");
    if (!c.p.TerminateProc(b, exitCode)) DllError(c, c.p.LastError(), "TerminateProcess failed");
    if (!c.p.CloseHandle(b)) DllError(c, c.p.LastError(), "CloseHandle failed");
    if (a != 0) c.p.CloseHandle(a);
}

}  // namespace

void Kill_Process(Ctx& c, const std::string& ProcessTOKILL) {
    DebugRecord(c, "ELProcessTOKILL: " + ProcessTOKILL);
    if (ProcessTOKILL.empty()) return;  // it would be found in every path
    const std::vector<std::uint32_t> ids = GetProcessIds(c.p, &c.s.processListBytes);
    DebugRecord(c, "NumElements: " + std::to_string(ids.size()));
    std::uint32_t exitCode = 0;
    int handled = 0;
    for (std::uint32_t pid : ids) {
        std::string path;
        if (!GetProcessPath(c.p, pid, path)) continue;
        DebugRecord(c, "sModName: " + path);
        if (!ContainsNoCase(path, ProcessTOKILL)) continue;
        DebugRecords(c, {"P_ID: " + std::to_string(pid), "ELProcessTOKILL: " + ProcessTOKILL});
        TerminatePid(c, pid, exitCode);
        if (++handled >= kMaxKills) return;
    }
}

}  // namespace rz
