#include <gtest/gtest.h>

#include <algorithm>

#include "diag/process_list.h"
#include "world.h"

namespace rz {
namespace {

const char* const kConfigKey = "SOFTWARE\\KORU BOWLING\\System Configuration";

void AddProcesses(MemPlatform& p, int n) {
    for (int i = 0; i < n; ++i) p.AddProcess("C:\\WINDOWS\\P" + std::to_string(i) + ".exe");
}

TEST(ProcessList, BufferGrowsUntilACallReportsLessThanOffered) {
    struct Case {
        int processes;
        std::vector<std::uint32_t> sizes;
    } cases[] = {{3, {16}}, {4, {16, 32}}, {100, {16, 32, 64, 128, 256, 512}}, {0, {16}}};
    for (const Case& k : cases) {
        MemPlatform p;
        AddProcesses(p, k.processes);
        EXPECT_EQ(GetProcessIds(p).size(), static_cast<std::size_t>(k.processes));
        EXPECT_EQ(p.enumCallSizes, k.sizes) << k.processes;
    }
}

// An EnumProcesses that fails and reports nothing leaves the preset byte count.
class FailingEnum : public MemPlatform {
public:
    bool EnumProcessIds(std::uint32_t*, std::uint32_t bytes, std::uint32_t*) override {
        enumCallSizes.push_back(bytes);
        return false;
    }
};

TEST(ProcessList, FailingEnumerationYieldsTheZeroIdsOfThePreset) {
    FailingEnum p;
    EXPECT_EQ(GetProcessIds(p), std::vector<std::uint32_t>(24, 0));
    EXPECT_EQ(p.enumCallSizes, (std::vector<std::uint32_t>{16, 32, 64, 128}));
}

TEST(ProcessList, UnreadableProcessesLeaveNoHandleBehind) {
    MemPlatform p;
    auto& closed = p.AddProcess("C:\\X\\A.exe");
    closed.openable = false;
    auto& noModules = p.AddProcess("C:\\X\\B.exe");
    noModules.modulesReadable = false;
    auto& noName = p.AddProcess("C:\\X\\C.exe");
    noName.nameReadable = false;
    auto& ok = p.AddProcess(std::string(300, 'x'));
    ok.modules = 60;  // more than the buffer holds
    std::string path = "junk";
    EXPECT_FALSE(GetProcessPath(p, closed.pid, path));
    EXPECT_FALSE(GetProcessPath(p, noModules.pid, path));
    EXPECT_TRUE(GetProcessPath(p, noName.pid, path));
    EXPECT_EQ(path, "");
    EXPECT_TRUE(GetProcessPath(p, ok.pid, path));
    EXPECT_EQ(path, std::string(259, 'x'));  // the buffer's 260 with the NUL
    EXPECT_FALSE(GetProcessPath(p, 99999, path));
    EXPECT_EQ(p.openHandles(), 0);
}

struct CensusTest : ::testing::Test {
    World w;
    void SetUp() override {
        w.AsStarted();
        w.LoggingOn();
        w.c.s.sDebugFile = w.LogPath();
        w.p.AddFile(w.Path("KORUMGR.exe"));
    }
};

TEST_F(CensusTest, NamesMatchAtTheEndIgnoringCase) {
    struct Case {
        const char* path;
        const char* korumgr;
        const char* vesk;
    } cases[] = {{"C:\\APPS\\KORUMGR.EXE", "YES", ""}, {"D:\\OLD\\OLDKORUMGR.exe", "YES", ""},
                 {"C:\\APPS\\KORUMGR.exe.bak", "", ""}, {"C:\\x\\vesk.EXE", "", "YES"},
                 {"C:\\KORUMGR.exe\\VESK.exe", "", "YES"}};
    for (const Case& k : cases) {
        World w2;
        w2.AsStarted();
        w2.p.AddProcess(k.path);
        w2.p.AddFile(w2.Path("KORUMGR.exe"));
        w2.p.startFailures = 0;
        CheckProcesses(w2.c);
        EXPECT_EQ(w2.c.s.KORUMGR_RUNNING, k.korumgr) << k.path;
        EXPECT_EQ(w2.c.s.VESK_RUNNING, k.vesk) << k.path;
    }
}

// Counts the exact reads: opens with the query-and-read rights.
class CountingReads : public MemPlatform {
public:
    std::vector<std::uint32_t> readPids;
    Handle OpenProc(std::uint32_t access, bool inherit, std::uint32_t pid) override {
        if (access == 0x0410) readPids.push_back(pid);
        return MemPlatform::OpenProc(access, inherit, pid);
    }
};

// The snapshot may spare an exact read only when its name rules the process
// out; the flags always come from the exact path.
TEST(CensusSnapshot, FallsBackToTheExactReadWhenTheNameProvesNothing) {
    struct Case {
        const char* path;
        std::string snapshotName;  // "" = the path's file name
        bool snapshotFails, read;
        const char* korumgr;
        const char* vesk;
    } cases[] = {
        {"C:\\A\\NOTEPAD.exe", "", false, false, "", ""},
        {"C:\\A\\KORUMGR.exe", "", false, true, "YES", ""},
        {"C:\\A\\xkorumgr.EXE", "", false, true, "YES", ""},
        {"C:\\A\\Vesk.Exe", "", false, true, "", "YES"},
        {"C:\\A\\KORUMGR.exe.bak", "", false, false, "", ""},
        {"C:\\KORUMGR.exe\\A.exe", "", false, false, "", ""},
        {"C:\\PROGRA~1\\KORUMGR.exe", "KORUMG~1.EXE", false, true, "YES", ""},
        {"C:\\A\\VESK.exe", "VESK~1.EXE", false, true, "", "YES"},
        {"C:\\A\\NOTEPAD.exe", "NOTEPA~1.EXE", false, true, "", ""},
        {"C:\\A\\KORUMGR.exe.bak", "KORUMGR.exe", false, true, "", ""},  // the path decides
        {"C:\\A\\KORUMGR.exe", std::string(256, 'x'), false, true, "YES", ""},  // no file name
        {"C:\\A\\KORUMGR.exe", std::string(255, 'x'), false, false, "", ""},
        {"C:\\A\\", "", false, true, "", ""},  // no name at all
        {"C:\\A\\KORUMGR.exe", "", true, true, "YES", ""},
        {"C:\\A\\NOTEPAD.exe", "", true, true, "", ""},
        {"C:\\A\\VESK.exe", "", true, true, "", "YES"},
    };
    for (const Case& k : cases) {
        CountingReads p;
        Ctx c(p);
        p.AddFile(p.appFolder + "\\KORUMGR.exe");
        p.AddProcess("C:\\WINDOWS\\EXPLORER.EXE");
        auto& proc = p.AddProcess(k.path);
        proc.snapshotName = k.snapshotName;
        p.snapshotFails = k.snapshotFails;
        p.startFailures = 0;
        CheckProcesses(c);
        const std::string label = std::string(k.path) + " as " + k.snapshotName.substr(0, 20);
        EXPECT_EQ(c.s.KORUMGR_RUNNING, k.korumgr) << label;
        EXPECT_EQ(c.s.VESK_RUNNING, k.vesk) << label;
        const bool read = std::count(p.readPids.begin(), p.readPids.end(), proc.pid) == 1;
        EXPECT_EQ(read, k.read) << label;
        EXPECT_EQ(p.readPids.size(), (k.read ? 1u : 0u) + (k.snapshotFails ? 1u : 0u)) << label;
        EXPECT_EQ(p.snapshotCalls, 1) << label;
        EXPECT_EQ(p.enumCallSizes.empty(), !k.snapshotFails) << label;  // the list only when the snapshot fails
        // One handle is kept, on the manager found, for its end to be seen.
        EXPECT_EQ(p.openHandles(), k.korumgr[0] ? 1 : 0) << label;
    }
}

TEST(ProcessList, StartsFromTheBufferThePreviousListNeeded) {
    MemPlatform p;
    std::uint32_t last = 0;
    const auto listOf = [&](int processes) {
        while (static_cast<int>(p.procs.size()) < processes) p.AddProcess("C:\\P.exe");
        while (static_cast<int>(p.procs.size()) > processes) p.procs.pop_back();
        p.enumCallSizes.clear();
        return GetProcessIds(p, &last).size();
    };
    struct Step {
        int processes;
        std::vector<std::uint32_t> sizes;
        std::uint32_t last;
    } steps[] = {{100, {16, 32, 64, 128, 256, 512}, 512}, {100, {512}, 512},
                 {128, {512, 1024}, 1024},  // an exactly filled buffer may be cut short
                 {3, {1024}, 1024}, {0, {1024}, 1024}};
    for (const Step& k : steps) {
        EXPECT_EQ(listOf(k.processes), static_cast<std::size_t>(k.processes));
        EXPECT_EQ(p.enumCallSizes, k.sizes) << k.processes;
        EXPECT_EQ(last, k.last) << k.processes;
    }
    FailingEnum failing;
    EXPECT_EQ(GetProcessIds(failing, &last), std::vector<std::uint32_t>(24, 0));
    EXPECT_EQ(failing.enumCallSizes, std::vector<std::uint32_t>{1024});
}

TEST_F(CensusTest, ManagerRunningElsewhereAndVeskRunning) {
    w.p.AddProcess("E:\\ELSEWHERE\\KORUMGR.exe");
    w.p.AddProcess("C:\\VESK\\VESK.exe");
    w.p.AddProcess("").nameReadable = false;
    CheckProcesses(w.c);
    EXPECT_TRUE(w.p.started.empty());
    EXPECT_TRUE(w.p.registry.empty());
    EXPECT_EQ(w.Log(), (std::vector<std::string>{"ELKORUMGR_RUNNING: YES", "VESK_RUNNING: YES", "ALLOW: :|",
                                                 "ELKORUMGR RUNNING OK!!!   -   :)"}));
}

TEST_F(CensusTest, StartsTheManagerAndResetsConnectStrings) {
    w.p.registry[UCase(kConfigKey) + "\\Connect String"] = "something else";
    CheckProcesses(w.c);
    const std::string expected = "ODBC;Driver=SQL Server;SERVER=SERV01;DATABASE=KORU;UID=KORU;PWD=KPLMX";
    for (const char* name : {"Connect String", "Connect String Primary", "Connect String Secondary"})
        EXPECT_EQ(w.p.RegValue(kConfigKey, name), expected);
    ASSERT_EQ(w.p.started, std::vector<std::string>{"C:\\APPS\\KORU\\KORUMGR.exe"});
    const std::uint32_t pid = w.p.procs.back().pid;
    EXPECT_EQ(w.Log(), (std::vector<std::string>{"ELKORUMGR_RUNNING: ", "VESK_RUNNING: ", "ALLOW: :(",
                                                 "'KORUMGR.exe' Arranco OK - RetVal: " + std::to_string(pid)}));
    w.ClearLog();
    w.p.registry.clear();
    CheckProcesses(w.c);  // every census writes again while VESK is down
    EXPECT_EQ(w.p.registry.size(), 3u);
    EXPECT_EQ(w.Log()[0], "ELKORUMGR_RUNNING: YES");
}

TEST_F(CensusTest, MissingExecutableAndHold) {
    w.p.RemoveFile(w.Path("KORUMGR.exe"));
    CheckProcesses(w.c);
    EXPECT_EQ(w.Log().back(), "'KORUMGR.exe' NO Esta en el Folder 'C:\\APPS\\KORU'");
    w.p.AddFile(w.Path("KORUMGR.exe"));
    w.c.s.sUpdateHold = "YES";
    CheckProcesses(w.c);
    EXPECT_EQ(w.Log().back(), "El Arranque del 'KORUMGR.exe' esta on HOLD");
    EXPECT_TRUE(w.p.started.empty());
}

// A failed start ends the census at once; the next one tries again. A stop
// request left lying would make the manager quit: it goes first.
TEST_F(CensusTest, FailedStartIsRetriedByTheNextCensusAndStaleStopRequestGoes) {
    w.p.startFailures = 1;
    const std::uint64_t t0 = w.p.now();
    CheckProcesses(w.c);
    EXPECT_EQ(w.p.now(), t0);
    EXPECT_EQ(w.Log(), (std::vector<std::string>{"ELKORUMGR_RUNNING: ", "VESK_RUNNING: ", "ALLOW: :(",
                                                 "NO Arranco el 'KORUMGR.exe'"}));
    w.p.AddFile(w.Path("KORUMGR.stp"), "#2024-03-07#\r\n", true);
    w.ClearLog();
    CheckProcesses(w.c);
    EXPECT_FALSE(w.p.Has(w.Path("KORUMGR.stp")));
    ASSERT_EQ(w.Log().size(), 5u);
    EXPECT_EQ(w.Log()[3], "REMOVIDO: C:\\APPS\\KORU\\KORUMGR.stp");
    EXPECT_EQ(w.Log()[4].rfind("'KORUMGR.exe' Arranco OK - RetVal: ", 0), 0u);
    EXPECT_EQ(w.p.started.size(), 2u);
    // One that cannot be removed keeps the manager from being started.
    w.p.procs.back().alive = false;
    w.p.AddDir(w.Path("KORUMGR.stp"));
    w.ClearLog();
    CheckProcesses(w.c);
    EXPECT_EQ(w.p.started.size(), 2u);
    EXPECT_EQ(w.Log().back(), "'KORUMGR.stp' CANNOT BE REMOVED, error 5: 'KORUMGR.exe' not started");
}

TEST_F(CensusTest, LoggingOffStillStartsAndWrites) {
    w.c.s.sDebugFile.clear();
    w.p.RemoveFile(w.LogPath());
    CheckProcesses(w.c);
    EXPECT_EQ(w.p.started.size(), 1u);
    EXPECT_EQ(w.p.registry.size(), 3u);
    EXPECT_FALSE(w.p.Has(w.LogPath()));
}

struct KillTest : CensusTest {};

TEST_F(KillTest, TerminatesMatchesWithTheSharedExitCode) {
    w.p.AddProcess("C:\\WINDOWS\\EXPLORER.EXE");
    auto& mgr = w.p.AddProcess("C:\\APPS\\korumgr.EXE");
    w.p.AddProcess("C:\\APPS\\ROREROZARIRADI.exe");
    w.p.AddProcess("").nameReadable = false;
    w.p.AddProcess("C:\\SYS\\SECRET.exe").openable = false;
    EXPECT_EQ(Kill_Process(w.c, "KORUMGR.exe"), std::vector<std::uint32_t>{mgr.pid});
    w.p.RunFor(100);  // torn down
    EXPECT_FALSE(w.p.FindProcess(mgr.pid)->alive);
    EXPECT_EQ(w.p.FindProcess(mgr.pid)->exitCode, 259u);
    EXPECT_EQ(w.p.CountAlive(".exe"), 3);
    const std::string pid = std::to_string(mgr.pid);
    EXPECT_EQ(w.Log(), (std::vector<std::string>{
                           "ELProcessTOKILL: KORUMGR.exe", "NumElements: 5", "sModName: C:\\WINDOWS\\EXPLORER.EXE",
                           "sModName: C:\\APPS\\korumgr.EXE", "P_ID: " + pid, "ELProcessTOKILL: KORUMGR.exe",
                           // the first attempt already ended it: the second is refused
                           "DLL ERROR: 5 at mdlMisc\\Kill_Process >>> TerminateProcess failed",
                           "sModName: C:\\APPS\\ROREROZARIRADI.exe", "sModName: "}));
    EXPECT_EQ(w.p.openHandles(), 0);
}

TEST_F(KillTest, StopsAfterTheFourthMatch) {
    for (int i = 0; i < 5; ++i) w.p.AddProcess("C:\\V" + std::to_string(i) + "\\KORUMGR.exe");
    w.p.AddProcess("C:\\OTHER.exe");
    Kill_Process(w.c, "korumgr.exe");
    w.p.RunFor(100);
    EXPECT_EQ(w.p.terminated.size(), 4u);
    EXPECT_EQ(w.p.CountAlive("KORUMGR.exe"), 1);
    int names = 0;
    for (const std::string& m : w.Log()) names += m.rfind("sModName: ", 0) == 0;
    EXPECT_EQ(names, 4);
    EXPECT_EQ(w.p.openHandles(), 0);
}

// The second open fails: three calls on no handle, three records.
class SecondOpenFails : public MemPlatform {
public:
    int opens = 0;
    Handle OpenProc(std::uint32_t access, bool inherit, std::uint32_t pid) override {
        if (access == 0x0401 && ++opens == 2) return 0;
        return MemPlatform::OpenProc(access, inherit, pid);
    }
};

TEST(Kill, SecondOpenFailureGivesThreeDllErrors) {
    SecondOpenFails p;
    Ctx c(p);
    c.s.sAppTitle = kAppTitle;
    c.s.sDebugFile = p.appFolder + "\\ROREROZARIRADI.deb";
    auto& mgr = p.AddProcess("C:\\APPS\\KORUMGR.exe");
    mgr.ignoresTerminate = true;
    Kill_Process(c, "KORUMGR.exe");
    const std::vector<std::string> log = p.LogMessages(c.s.sDebugFile);
    ASSERT_EQ(log.size(), 8u);
    EXPECT_EQ(log[5], "DLL ERROR: 6 at mdlMisc\\Kill_Process >>> GetExitCodeProcess failed");
    EXPECT_EQ(log[6], "DLL ERROR: 6 at mdlMisc\\Kill_Process >>> TerminateProcess failed");
    EXPECT_EQ(log[7], "DLL ERROR: 6 at mdlMisc\\Kill_Process >>> CloseHandle failed");
    EXPECT_EQ(p.openHandles(), 0);
}

TEST_F(KillTest, EmptyTextTerminatesNothing) {
    w.p.AddProcess("C:\\APPS\\KORUMGR.exe");
    Kill_Process(w.c, "");
    EXPECT_TRUE(w.p.terminated.empty());
}

}  // namespace
}  // namespace rz
