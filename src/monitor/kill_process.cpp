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
// 0 when one of them started the termination, else the second's error.
std::uint32_t TerminatePid(Ctx& c, std::uint32_t pid, std::uint32_t& exitCode) {
    const Handle a = c.p.OpenProc(kTerminateAndQuery, false, pid);
    c.p.ExitCodeOf(a, &exitCode);
    bool terminated = c.p.TerminateProc(a, exitCode);

    const Handle b = c.p.OpenProc(kTerminateAndQuery, false, pid);
    const std::uint32_t opened = b == 0 ? c.p.LastError() : 0;
    if (!c.p.ExitCodeOf(b, &exitCode)) DllError(c, c.p.LastError(), "GetExitCodeProcess failed");
    std::uint32_t error = 0;
    if (c.p.TerminateProc(b, exitCode)) {
        terminated = true;
    } else {
        error = opened != 0 ? opened : c.p.LastError();  // a handle refused says why, not its use
        DllError(c, c.p.LastError(), "TerminateProcess failed");
    }
    if (!c.p.CloseHandle(b)) DllError(c, c.p.LastError(), "CloseHandle failed");
    if (a != 0) c.p.CloseHandle(a);
    return terminated ? 0 : error == 0 ? 1 : error;
}

// A process whose path cannot be read (one started with more rights) is
// known by the name that the process table gives it.
std::string NameFromTable(const std::vector<ProcessEntry>& table, std::uint32_t pid) {
    for (const ProcessEntry& e : table)
        if (e.pid == pid) return e.exeFile;
    return "";
}

}  // namespace

std::vector<std::uint32_t> Kill_Process(Ctx& c, const std::string& ProcessTOKILL) {
    std::vector<std::uint32_t> terminated;
    DebugRecord(c, "ELProcessTOKILL: " + ProcessTOKILL);
    if (ProcessTOKILL.empty()) return terminated;  // it would be found in every path
    const std::vector<std::uint32_t> ids = GetProcessIds(c.p, &c.s.processListBytes);
    DebugRecord(c, "NumElements: " + std::to_string(ids.size()));
    std::vector<ProcessEntry> table;
    bool tableRead = false;
    std::uint32_t exitCode = 0;
    int handled = 0;
    for (std::uint32_t pid : ids) {
        std::string path;
        std::uint32_t error = 0;
        if (!GetProcessPath(c.p, pid, path, &error)) {
            if (error != kProcessAccessDenied) continue;
            if (!tableRead) {
                if (!c.p.ProcessSnapshot(table)) table.clear();
                tableRead = true;
            }
            path = NameFromTable(table, pid);
            if (!ContainsNoCase(path, ProcessTOKILL)) continue;  // unread and unnamed, as ever
        }
        DebugRecord(c, "sModName: " + path);
        if (!ContainsNoCase(path, ProcessTOKILL)) continue;
        DebugRecords(c, {"P_ID: " + std::to_string(pid), "ELProcessTOKILL: " + ProcessTOKILL});
        if (TerminatePid(c, pid, exitCode) == 0) terminated.push_back(pid);
        if (++handled >= kMaxKills) break;
    }
    return terminated;
}

std::vector<std::uint32_t> TerminateProcesses(Ctx& c, const std::vector<std::uint32_t>& pids, std::uint32_t& error) {
    std::vector<std::uint32_t> terminated;
    std::uint32_t exitCode = 0;
    for (std::uint32_t pid : pids) {
        DebugRecord(c, "P_ID: " + std::to_string(pid));
        const std::uint32_t refused = TerminatePid(c, pid, exitCode);
        if (refused == 0) terminated.push_back(pid), c.s.endingManagers.insert(pid);
        else error = refused;
    }
    return terminated;
}

}  // namespace rz
