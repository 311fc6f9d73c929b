#include <gtest/gtest.h>

#include <algorithm>

#include "diag/debug_log.h"
#include "update/update_state.h"
#include "world.h"

namespace rz {
namespace {

const char* const kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

TEST(Startup, ServerRegistersAndArmsTheTimerAt100ms) {
    World w;
    w.p.versions[UCase(w.Path("ROREROZARIRADI.exe"))] = "15.0.0.0";
    w.p.AddFile(w.Path("ROREROZARIRADI.exe"));
    w.p.registry["HKCU\\" + UCase(kRunKey) + "\\ROREROZARIRADI"] = w.Path("ROREROZARIRADI.run.exe");
    w.p.AddFile(w.Path("ROREROZARIRADI.run.exe"));
    EXPECT_EQ(w.Start(), -1);
    EXPECT_EQ(w.p.RegValue(kRunKey, "ROREROZARIRADI"), "C:\\APPS\\KORU\\ROREROZARIRADI.exe");
    EXPECT_EQ(w.p.registry.size(), 1u);
    EXPECT_FALSE(w.p.Has(w.Path("ROREROZARIRADI.run.exe")));
    EXPECT_EQ(w.p.regSetBytes.back(), std::string("C:\\APPS\\KORU\\ROREROZARIRADI.exe").size() + 1);
    EXPECT_EQ(w.c.s.sVersion, "15.0.0.0");
    EXPECT_EQ(w.c.s.sMainMachine, "MAINPC");
    EXPECT_TRUE(w.c.frmMAIN.timerEnabled);
    EXPECT_EQ(w.p.timerInterval, 100u);
    EXPECT_FALSE(w.p.windowShown);
    EXPECT_TRUE(w.c.s.KORUMGR_RUNNING.empty() && w.c.s.sUpdateHold.empty());
}

TEST(Startup, MachineRoleByName) {
    struct Case {
        const char* name;
        bool registers;
        bool runs;
    } cases[] = {{"SERV01", true, true},   {"serv01", true, true},    {"PCWS-07", true, true},
                 {"SER", false, false},    {"XSERV01", false, false}, {"BAR-K407", false, true},
                 {"k407", false, true},    {"xK407y", false, true},   {"OFFICE1", false, false}};
    for (const Case& k : cases) {
        World w;
        w.p.computerName = k.name;
        const int code = w.Start();
        EXPECT_EQ(code, k.runs ? -1 : kExitRefused) << k.name;
        EXPECT_EQ(w.p.registry.size(), k.registers ? 1u : 0u) << k.name;
        EXPECT_EQ(w.c.s.THISMACHINENAME, k.name);
    }
}

TEST(Startup, RunValueNotWrittenLeavesOneRecordAndTheMonitorRuns) {
    World w;
    w.LoggingOn();
    w.p.registryFails = true;  // a start without administrator rights
    EXPECT_EQ(w.Start(), -1);
    EXPECT_EQ(w.Log().back(),
              "AUTOSTART NOT WRITTEN: 'HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run\\ROREROZARIRADI', "
              "error 5 (start once as administrator)");
    EXPECT_EQ(w.Log().size(), 4u);
    EXPECT_EQ(w.p.timerInterval, 100u);
}

TEST(Startup, RefusedMachineShowsMessageForFiveSecondsAfterCleaningUp) {
    World w;
    w.p.computerName = "OFFICE1";
    w.p.SetLocalTime(2024, 3, 7, 23, 59, 58);  // the wait spans midnight
    w.LoggingOn();
    w.p.AddFile(w.Path("ROREROZARIRADI.stp"));
    const std::uint64_t t0 = w.p.now();
    EXPECT_EQ(w.Start(), kExitRefused);
    EXPECT_EQ(w.p.now() - t0, 5000u);
    EXPECT_EQ(w.p.labelText, ":(\r\rNOT for This Machine!!!");
    EXPECT_EQ(w.p.windowEvents, (std::vector<std::string>{"caption", "show", "repaint", "wait"}));
    EXPECT_FALSE(w.p.Has(w.Path("ROREROZARIRADI.stp")));
    EXPECT_EQ(w.Log().back(), "MACHINE REFUSED: 'OFFICE1' begins with neither SERV nor PCWS and holds no K407; the "
                              "monitor ends in 5 s with exit code 1");
    EXPECT_TRUE(w.p.tickTimes.empty());
    EXPECT_EQ(w.p.timerInterval, 0u);
    // Red bold 24-point Tahoma on the balloon's light yellow.
    const FormDesign& d = w.p.design;
    EXPECT_EQ(d.title + "|" + d.labelFont, "KORU MGRM|Tahoma");
    EXPECT_EQ(std::vector<std::uint32_t>({d.labelTextColor, d.labelBackColor, d.backColor}),
              std::vector<std::uint32_t>({0x0000FF, 0x80FFFF, 0xFFFFFF}));
    const Rect& box = d.labelBox;
    EXPECT_EQ(std::vector<int>({d.labelPoints, d.labelBold, box.left, box.top, box.width, box.height}),
              std::vector<int>({24, true, 104, 66, 307, 203}));
}

TEST(Startup, SecondInstanceLogsAndActivatesTheFirst) {
    World w;
    w.LoggingOn();
    w.p.prevInstance = true;
    w.p.appWindows["ThunderRT5Main|ROREROZARIRADI"] = 0x77;
    w.p.AddFile(w.Path("KORUMGRS.stp"));
    EXPECT_EQ(w.Start(), kExitNormal);
    EXPECT_EQ(w.Log(), (std::vector<std::string>{kMainBanner, "VERSION: 0.0.0.0", "Activate PrevInstance"}));
    EXPECT_EQ(w.p.activated, std::vector<Handle>{0x77});
    EXPECT_TRUE(w.p.Has(w.Path("KORUMGRS.stp")));
    EXPECT_TRUE(w.p.registry.empty());
    EXPECT_EQ(w.p.appTitles.back(), "unwanted instance");
}

TEST(Startup, FirstInstanceWindowIsFoundUnderItsClassNamesInOrder) {
    struct Case {
        std::vector<const char*> classes;  // windows of the first instance, handles 1, 2, ...
        Handle activated;                  // 0: none
    } cases[] = {{{"ThunderRTMain"}, 1}, {{"ThunderRT5Main"}, 1}, {{"ThunderRT6Main"}, 1},
                 {{"ThunderRT5Main", "ThunderRTMain"}, 2}, {{"ThunderRT6Main", "ThunderRT5Main"}, 2},
                 {{"ThunderRT7Main"}, 0}, {{}, 0}};
    for (const Case& k : cases) {
        World w;
        w.p.prevInstance = true;
        for (std::size_t i = 0; i < k.classes.size(); ++i)
            w.p.appWindows[std::string(k.classes[i]) + "|ROREROZARIRADI"] = i + 1;
        EXPECT_EQ(w.Start(), kExitNormal);
        EXPECT_EQ(w.p.activated, k.activated ? std::vector<Handle>{k.activated} : std::vector<Handle>{});
        // A title left at "unwanted instance" would hide a later search.
        if (!k.activated) {
            EXPECT_EQ(w.p.appTitles.back(), "ROREROZARIRADI");
        }
    }
}

// A first instance started elevated owns a mutex this one may not open.
// A copy started by hand with the handover switch and the running monitor's
// pid is a second instance, whether no handover is saved or another new
// monitor is the one it names: it signals nothing.
TEST(Startup, HandoverStartTheStateDoesNotNameIsASecondInstance) {
    for (const std::uint32_t to : {0u, 77u}) {
        World w;
        w.LoggingOn();
        w.p.prevInstance = true;
        w.p.commandArgs = "/handover 42";
        UpdateMemory u;
        u.monitor.step = to ? "started" : "";
        u.monitor.from = 42, u.monitor.to = to;
        w.p.AddFile(w.Path("ROREROZARIRADI.upd"), UpdateStateText(u));
        EXPECT_EQ(w.Start(), kExitNormal) << to;
        EXPECT_EQ(w.Log().back(), "Activate PrevInstance") << to;
        EXPECT_FALSE(w.p.Has(w.Path("ROREROZARIRADI.rdy"))) << to;
    }
}

TEST(Startup, MutexOfAMorePrivilegedInstanceMeansASecondInstance) {
    World w;
    w.p.mutexAccessDenied = true;
    w.p.AddFile(w.Path("KORUMGRS.stp"));
    EXPECT_EQ(w.Start(), kExitNormal);
    EXPECT_TRUE(w.p.Has(w.Path("KORUMGRS.stp")));
    EXPECT_EQ(w.p.timerInterval, 0u);
}

TEST(Startup, StaleStopFilesAreDeletedWithRecords) {
    World w;
    w.LoggingOn();
    w.p.AddFile(w.Path("ROREROZARIRADI.stp"));
    w.p.AddFile(w.Path("KORUMGRS.stp"));
    EXPECT_EQ(w.Start(), -1);
    const std::vector<std::string> log = w.Log();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[2], "REMOVIDO: C:\\APPS\\KORU\\ROREROZARIRADI.stp");
    EXPECT_EQ(log[3], "REMOVIDO: C:\\APPS\\KORU\\KORUMGRS.stp");
    EXPECT_EQ(log[4], "THISMACHINENAME: SERV01");
    EXPECT_FALSE(w.p.Has(w.Path("KORUMGRS.stp")));
}

TEST(Startup, UndeletableStopFileEndsBeforeTheTimerWithAReport) {
    for (bool asFolder : {false, true}) {
        World w;
        w.LoggingOn();
        if (asFolder)
            w.p.AddDir(w.Path("KORUMGRS.stp"));
        else
            w.p.AddFile(w.Path("KORUMGRS.stp"), "", true);
        EXPECT_EQ(w.Start(), kExitStartupFailed);
        EXPECT_EQ(w.p.timerInterval, 0u);
        EXPECT_TRUE(w.p.registry.empty());
        ASSERT_FALSE(w.p.debugOutput.empty());
        EXPECT_NE(w.Log().back().find("ERROR: the stop file 'C:\\APPS\\KORU\\KORUMGRS.stp' cannot be deleted"),
                  std::string::npos);
    }
}

TEST(Startup, VersionFallsBackToZeros) {
    World missing;  // no ROREROZARIRADI.exe beside the program
    missing.p.versions[UCase(missing.Path("ROREROZARIRADI.exe"))] = "15.0.0.0";
    missing.Start();
    EXPECT_EQ(missing.c.s.sVersion, "0.0.0.0");
    World noInfo;
    noInfo.p.AddFile(noInfo.Path("ROREROZARIRADI.exe"));
    noInfo.Start();
    EXPECT_EQ(noInfo.c.s.sVersion, "0.0.0.0");
}

TEST(Startup, ShareProbe) {
    World answers;  // a host that answers without the folder still counts
    answers.Start();
    EXPECT_EQ(answers.c.s.sMainShareOK, "");  // start-up does not wait for the answer
    answers.p.RunFor(0);
    EXPECT_EQ(answers.c.s.sMainShareOK, "YES");
    const std::string probe = "\\\\MAINPC\\G\\Ostrum\\_Program\\_Updates\\";
    EXPECT_EQ(std::count(answers.p.listed.begin(), answers.p.listed.end(), probe), 1);
    World unreachable;
    unreachable.p.unreachableHosts.insert("MAINPC");
    unreachable.Start();
    unreachable.p.RunFor(0);
    EXPECT_EQ(unreachable.c.s.sMainShareOK, "");
}

TEST(Startup, LoggingOffWritesNothing) {
    World w;
    w.p.AddFile(w.Path("KORUMGRS.stp"));
    w.Start();
    EXPECT_FALSE(w.p.Has(w.LogPath()));
    EXPECT_EQ(w.c.s.sBannerDone, "");
}

TEST(Startup, UnwritableLogIsNoReasonToStop) {
    World folder;
    folder.p.AddDir(folder.LogPath());
    EXPECT_EQ(folder.Start(), -1);
    World readOnly;
    readOnly.p.AddFile(readOnly.LogPath(), "old\r\n", true);
    EXPECT_EQ(readOnly.Start(), -1);
    EXPECT_EQ(readOnly.p.Read(readOnly.LogPath()), "old\r\n");
    EXPECT_FALSE(readOnly.p.debugOutput.empty());
}

TEST(Startup, WindowFailureRetriesOnceFromTheComputerName) {
    World once;
    once.LoggingOn();
    once.p.windowFailures = 1;
    EXPECT_EQ(once.Start(), -1);
    int nameRecords = 0;
    for (const std::string& m : once.Log()) nameRecords += m == "THISMACHINENAME: SERV01";
    EXPECT_EQ(nameRecords, 2);

    World always;
    always.p.failWindow = true;
    EXPECT_EQ(always.Start(), kExitStartupFailed);
}

}  // namespace
}  // namespace rz
