#include "startup/startup.h"

#include <memory>

#include "core/app.h"
#include "diag/debug_log.h"
#include "diag/share_work.h"
#include "diag/status_report.h"
#include "monitor/manager_watch.h"
#include "monitor/tick.h"
#include "startup/main_machine.h"
#include "ui/frm_main.h"
#include "update/self_swap.h"
#include "update/takeover.h"

namespace rz {

namespace {

const char* const kAppClassNames[] = {"ThunderRTMain", "ThunderRT5Main", "ThunderRT6Main"};
constexpr std::uint32_t kComputerNameChars = 255;
constexpr std::uint64_t kRefusalMs = 5000;
constexpr std::uint32_t kFirstIntervalMs = 100;

// Ends start-up without arming the timer, leaving a trace that needs nobody
// to click anything away.
[[noreturn]] void StartupFailed(Ctx& c, const std::string& what) {
    DebugRecord(c, "ERROR: " + what);
    c.p.DebugOutput("ROREROZARIRADI: start-up failed: " + what);
    EndProgram(c, kExitStartupFailed);
}

// Of the image this run was started from, which a start at logon after a
// power cut in a handover may find outside the monitor's name.
void ReadOwnVersion(Ctx& c) {
    const std::string exe = c.p.OwnImage();
    c.s.sVersion.clear();
    if (FileExists(c, exe)) c.s.sVersion = c.p.FileVersion(exe);
    if (c.s.sVersion.empty()) c.s.sVersion = "0.0.0.0";
}

void DebugSwitchAtStart(Ctx& c) {
    if (DebugSwitchTest(c)) {
        c.s.sBannerDone = kYes;
        DebugRecords(c, {kMainBanner, "VERSION: " + c.s.sVersion});
    }
}

void DeleteStopFiles(Ctx& c) {
    for (const std::string& path : {AppPath(c, c.s.sAppTitle + ".stp"), AppPath(c, "KORUMGRS.stp")}) {
        if (!FileExists(c, path)) continue;
        if (!c.p.RemoveFile(path))
            StartupFailed(c, "the stop file '" + path + "' cannot be deleted (error " +
                                 std::to_string(c.p.LastError()) + ")");
        DebugRecord(c, "REMOVIDO: " + path);
    }
}

// The main machine may be the one that does not answer: the worker probes
// its share, the manager's first start never waits for it, and the update
// checks and reports begin once it has answered.
void ProbeMainShare(Ctx& c) {
    c.s.sMainShareOK.clear();
    const std::string folder = "\\\\" + c.s.sMainMachine + "\\G\\Ostrum\\_Program\\_Updates\\";
    auto answered = std::make_shared<bool>(false);
    c.s.work.probing = StartShareJob(
        c, "the probe of '" + folder + "'",
        [folder, answered](Ctx& w) {
            *answered = !w.p.ListFirst(folder).error;
            return false;
        },
        [answered](Ctx& ui) {
            ui.s.work.probing = false;
            if (*answered) ui.s.sMainShareOK = kYes;
        });
}

void TakeComputerName(Ctx& c) {
    char buffer[kComputerNameChars + 1] = {};
    std::uint32_t size = kComputerNameChars;
    c.p.ComputerName(buffer, &size);
    c.s.THISMACHINENAME.assign(buffer, size < kComputerNameChars ? size : kComputerNameChars);
    DebugRecord(c, "THISMACHINENAME: " + c.s.THISMACHINENAME);
}

// The technician who finds the monitor gone reads why in the log.
[[noreturn]] void RefuseMachine(Ctx& c) {
    DebugRecord(c, "MACHINE REFUSED: '" + c.s.THISMACHINENAME +
                       "' begins with neither SERV nor PCWS and holds no K407; the monitor ends in " +
                       std::to_string(kRefusalMs / 1000) + " s with exit code " + std::to_string(kExitRefused));
    LBLMSG_SetCaption(c, ":(\r\rNOT for This Machine!!!");
    frmMAIN_Show(c);
    LBLMSG_Refresh(c);
    WaitPumping(c, kRefusalMs);
    EndProgram(c, kExitRefused);
}

// Without administrator rights the value cannot be written; the monitor
// still runs, but nothing starts it at the next logon, so say so once.
void RegisterAutoStart(Ctx& c) {
    const long error =
        RegSetStringValue(c, kHKeyLocalMachine, kRunKey, kRunValue, AppPath(c, std::string(kAppTitle) + ".exe"));
    if (error != 0)
        DebugRecord(c, "AUTOSTART NOT WRITTEN: 'HKLM\\" + std::string(kRunKey) + "\\ROREROZARIRADI', error " +
                           std::to_string(error) + " (start once as administrator)");
}

void CheckMachineRole(Ctx& c) {
    const std::string prefix = RolePrefix(c.s.THISMACHINENAME);
    if (prefix == "SERV" || prefix == "PCWS") {
        RegisterAutoStart(c);
        return;
    }
    if (UCase(c.s.THISMACHINENAME).find("K407") != std::string::npos) return;
    RefuseMachine(c);
}

// One monitor a machine: a second one ends at its start. The monitor
// that hands over to this start is no other instance; the mutexes are
// taken all the same, so that they outlive it. True for that start only:
// a start with the switch that the saved handover does not name is a
// second instance like any other, or, with no monitor running, an
// ordinary start.
bool GuardSingleInstance(Ctx& c, std::uint32_t from) {
    const bool session = c.p.PrevInstance(kSessionMutex);
    const bool global = c.p.PrevInstance(kGlobalMutex);
    if ((session || global) && HandoverExpected(c, from)) return true;
    if (session) {
        DebugRecord(c, "Activate PrevInstance");
        ActivatePrevInstance(c);
        EndProgram(c, kExitNormal);
    }
    if (!global) return false;
    DebugRecord(c, "PrevInstance IN ANOTHER SESSION: this one ends");
    EndProgram(c, kExitNormal);
}

void ArmMonitorTimer(Ctx& c) {
    TimerMONITORVESK_SetEnabled(c, true);
    TimerMONITORVESK_SetInterval(c, kFirstIntervalMs);
}

}  // namespace

void Main(Ctx& c) {
    c.s.sAppTitle = kAppTitle;
    c.p.SetAppTitle(c.s.sAppTitle);
    ReadMainMachine(c);
    ReadOwnVersion(c);
    DebugSwitchAtStart(c);
    // A monitor handing over to this start is no other instance.
    const std::uint32_t from = HandoverFrom(c);
    const bool handedOver = GuardSingleInstance(c, from);
    // A stop file placed during a handover is for whichever monitor ticks.
    if (!handedOver) DeleteStopFiles(c);
    UncoverRenames(c);
    ProbeMainShare(c);
    // A failure from here on runs the rest once more from the computer
    // name; a second one ends the program rather than looping.
    for (int attempt = 1;; ++attempt) {
        try {
            TakeComputerName(c);
            CheckMachineRole(c);
            if (handedOver) SignalReady(c, from);
            else ArmMonitorTimer(c);
            StatusMonitorStarted(c);
            return;
        } catch (const Failure& f) {
            if (attempt == 2) StartupFailed(c, f.what());
        }
    }
}

void ActivatePrevInstance(Ctx& c) {
    const std::string saved = c.s.sAppTitle;
    c.s.sAppTitle = "unwanted instance";
    c.p.SetAppTitle(c.s.sAppTitle);
    Handle found = 0;
    for (const char* cls : kAppClassNames) {
        found = c.p.FindAppWindow(cls, saved);
        if (found != 0) break;
    }
    if (found == 0) {
        c.s.sAppTitle = saved;
        c.p.SetAppTitle(saved);
        return;
    }
    // The running instance's own application window is the one brought
    // forward: the window highest in the Z order may belong to any program.
    c.p.RestoreAndActivate(found);
    EndProgram(c, kExitNormal);
}

namespace {
std::unique_ptr<Ctx> program;
}  // namespace

// Called once per process on Windows; a host that runs the program again on
// the same platform (the simulator, after a power cut) gets it afresh.
void ProgramMain(Platform& platform) {
    program.reset(new Ctx(platform));
    Ctx* ctx = program.get();
    platform.SetTimerHandler([ctx] { TimerMONITORVESK_Timer(*ctx); });
    platform.SetProcessEndHandler([ctx] {
        if (EarlyTickWanted(*ctx)) TimerMONITORVESK_Timer(*ctx);
    });
    platform.SetWorkDoneHandler([ctx] { ShareWorkArrived(*ctx); });
    Main(*ctx);
}

const Ctx* ProgramState() { return program.get(); }

}  // namespace rz
