#include <gtest/gtest.h>

#include "update/update.h"
#include "world.h"

namespace rz {
namespace {

// A minimal Win32 executable image: headers, one section of `sectionBytes`
// at 0x400, and `build` as its payload.
std::string Executable(const std::string& build, std::uint32_t sectionBytes = 0x200) {
    std::string exe(0x400 + sectionBytes, '\0');
    exe[0] = 'M';
    exe[1] = 'Z';
    exe[0x3C] = 0x40;
    exe.replace(0x40, 4, std::string("PE\0\0", 4));
    exe[0x46] = 1;     // one section
    exe[0x54] = 0xE0;  // optional header size
    const std::size_t section = 0x40 + 24 + 0xE0;
    exe[section + 16] = static_cast<char>(sectionBytes & 0xFF);
    exe[section + 17] = static_cast<char>(sectionBytes >> 8);
    exe[section + 21] = 0x04;  // raw data at 0x400
    exe.replace(0x400, build.size(), build);
    return exe;
}

const char* const kUpdate = "G:\\_Updates\\KORUMGRSERV01.exe";

struct UpdateTest : ::testing::Test {
    World w;
    void SetUp() override {
        w.LoggingOn();
        w.AsStarted("SERV01");
        w.p.AddDir("G:\\_Updates");
        w.p.AddFile(w.Path("KORUMGR.exe"), Executable("old build"));
        w.p.AddFile(kUpdate, Executable("new build"));
    }
    MemPlatform::Proc& RunningManager() { return w.p.AddProcess(w.Path("KORUMGR.exe")); }
    bool Replaced() { return w.p.Read(w.Path("KORUMGR.exe")) == Executable("new build"); }
};

TEST(UpdateFolder, ChosenByShareAndRole) {
    World w;
    w.c.s.sMainMachine = "MAIN2";
    struct Case {
        const char* machine;
        const char* shareOK;
        const char* folder;
    } cases[] = {{"PCWS07", "", "\\\\SERV01\\G\\_Updates\\"},
                 {"serv01", "", "G:\\_Updates\\"},
                 {"OFFICE1", "", ""},
                 {"OFFICE1", "YES", "\\\\MAIN2\\G\\OSTRUM\\_Program\\_Updates\\"},
                 {"PCWS07", "yes", "\\\\SERV01\\G\\_Updates\\"}};
    for (const Case& k : cases) {
        w.c.s.THISMACHINENAME = k.machine;
        w.c.s.sMainShareOK = k.shareOK;
        EXPECT_EQ(UpdateFolder(w.c), k.folder) << k.machine;
    }
}

TEST(Update, NoUpdateWritesOneRecordInTheMachinesOwnCase) {
    World w;
    w.LoggingOn();
    w.AsStarted("PCWS07");
    UpdateKORUMGR(w.c);
    EXPECT_EQ(w.Log(), std::vector<std::string>{"NO Esta el Archivo '\\\\SERV01\\G\\_Updates\\KORUMGRPCWS07.exe'"});
    World lower;
    lower.LoggingOn();
    lower.AsStarted("serv01");
    UpdateKORUMGR(lower.c);
    EXPECT_EQ(lower.Log(), std::vector<std::string>{"NO Esta el Archivo 'G:\\_Updates\\KORUMGRserv01.exe'"});
    World office;
    office.LoggingOn();
    office.AsStarted("OFFICE1");
    UpdateKORUMGR(office.c);
    EXPECT_TRUE(office.Log().empty());
    World cutOff;  // a share out of reach ends the check quietly
    cutOff.LoggingOn();
    cutOff.AsStarted("PCWS07");
    cutOff.p.unreachableHosts.insert("SERV01");
    UpdateKORUMGR(cutOff.c);
    EXPECT_TRUE(cutOff.Log().empty());
}

TEST_F(UpdateTest, ManagerNotRunningIsReplacedAtOnceAndStartedNextTick) {
    w.p.AddFile(w.Path("KORUMGR.stp"), "#2024-01-01#\r\n");  // left by an earlier attempt
    const std::uint64_t t0 = w.p.now();
    UpdateKORUMGR(w.c);
    EXPECT_EQ(w.p.now(), t0);
    EXPECT_TRUE(Replaced());
    EXPECT_FALSE(w.p.Has(kUpdate));
    EXPECT_FALSE(w.p.Has(w.Path("KORUMGR.stp")));
    EXPECT_FALSE(w.p.Has(w.Path("KORUMGR.new")));
    EXPECT_EQ(w.c.s.sUpdateHold, "");
    EXPECT_TRUE(w.p.started.empty());  // the hold kept the census from starting it
    w.Tick();
    EXPECT_EQ(w.p.started.size(), 1u);
}

TEST_F(UpdateTest, ManagerEndedByTerminationNeedsNoWait) {
    auto& mgr = RunningManager();
    const std::uint64_t t0 = w.p.now();
    UpdateKORUMGR(w.c);
    EXPECT_FALSE(w.p.FindProcess(mgr.pid)->alive);
    EXPECT_EQ(w.p.now(), t0);
    EXPECT_TRUE(Replaced());
    EXPECT_TRUE(w.p.started.empty());
}

TEST_F(UpdateTest, ManagerObeyingTheStopRequestIsReplacedAfterTheWait) {
    auto& mgr = RunningManager();
    mgr.ignoresTerminate = true;
    mgr.obeysStopAfterMs = 10000;
    const std::uint64_t t0 = w.p.now();
    UpdateKORUMGR(w.c);
    EXPECT_EQ(w.p.now() - t0, 35000u);
    EXPECT_TRUE(Replaced());
    EXPECT_FALSE(w.p.Has(w.Path("KORUMGR.stp")));
    EXPECT_EQ(w.c.s.sUpdateHold, "");
}

TEST_F(UpdateTest, ManagerSurvivingBothKeepsTheHoldAcrossMidnight) {
    auto& mgr = RunningManager();
    mgr.ignoresTerminate = true;
    w.p.SetLocalTime(2024, 3, 7, 23, 59, 50);
    const std::uint64_t t0 = w.p.now();
    UpdateKORUMGR(w.c);
    EXPECT_EQ(w.p.now() - t0, 35000u);
    EXPECT_EQ(w.p.Read(w.Path("KORUMGR.stp")), "#2024-03-07 23:59:50#\r\n");
    EXPECT_EQ(w.c.s.sUpdateHold, "YES");
    EXPECT_TRUE(w.p.Has(kUpdate));
    EXPECT_FALSE(Replaced());
    EXPECT_EQ(w.p.Now().hour, 0);
    // The next check tries again and rewrites the request with a new time.
    w.p.SetLocalTime(2024, 3, 8, 0, 0, 30);
    UpdateKORUMGR(w.c);
    EXPECT_EQ(w.p.Read(w.Path("KORUMGR.stp")), "#2024-03-08 00:00:30#\r\n");
    mgr.obeysStopAfterMs = 0;
    UpdateKORUMGR(w.c);
    EXPECT_TRUE(Replaced());
}

TEST_F(UpdateTest, FailedCopyOrMoveKeepsTheOldManagerAndTheUpdate) {
    for (int fault = 0; fault < 3; ++fault) {
        World& v = w;
        v.p.failCopy = fault == 0;
        v.p.copyTruncates = fault == 1;
        v.p.failMove = fault == 2;
        v.ClearLog();
        UpdateKORUMGR(v.c);
        EXPECT_EQ(v.p.Read(v.Path("KORUMGR.exe")), Executable("old build")) << fault;
        EXPECT_TRUE(v.p.Has(kUpdate));
        EXPECT_FALSE(v.p.Has(v.Path("KORUMGR.new")));
        EXPECT_EQ(v.c.s.sUpdateHold, "YES");
        EXPECT_EQ(v.Log().back().rfind("UPDATE FAILED: ", 0), 0u) << v.Log().back();
    }
    w.p.failCopy = w.p.copyTruncates = w.p.failMove = false;
    w.p.AddFile(w.Path("KORUMGR.new"), "left by a crash");
    UpdateKORUMGR(w.c);
    EXPECT_TRUE(Replaced());
    EXPECT_FALSE(w.p.Has(w.Path("KORUMGR.new")));
    EXPECT_EQ(w.c.s.sUpdateHold, "");
}

TEST_F(UpdateTest, IncompleteUpdateLeavesTheManagerRunning) {
    auto& mgr = RunningManager();
    const std::string whole = Executable("new build", 0x4000);
    struct Case {
        const char* what;
        std::string data;
        bool locked;
    } cases[] = {{"truncated", whole.substr(0, whole.size() - 1), false},
                 {"headers only", whole.substr(0, 0x300), false},
                 {"no PE", std::string(5000, 'M'), false},
                 {"being written", whole, true}};
    for (const Case& k : cases) {
        w.p.AddFile(kUpdate, k.data);
        if (k.locked) w.p.writerLocked.insert(UCase(kUpdate));
        w.ClearLog();
        UpdateKORUMGR(w.c);
        EXPECT_TRUE(w.p.FindProcess(mgr.pid)->alive) << k.what;
        EXPECT_TRUE(w.p.Has(kUpdate));
        EXPECT_EQ(w.c.s.sUpdateHold, "");
        ASSERT_EQ(w.Log().size(), 1u) << k.what;
        EXPECT_EQ(w.Log()[0].rfind("UPDATE NOT READY: 'G:\\_Updates\\KORUMGRSERV01.exe'", 0), 0u);
    }
    w.p.writerLocked.clear();
    w.p.AddFile(kUpdate, whole);
    UpdateKORUMGR(w.c);
    EXPECT_FALSE(w.p.FindProcess(mgr.pid)->alive);
}

TEST_F(UpdateTest, UndeletableUpdateAlreadyInPlaceLeavesTheManagerAlone) {
    w.p.AddFile(kUpdate, Executable("new build"), true);  // a share that only lets us read
    UpdateKORUMGR(w.c);
    EXPECT_TRUE(Replaced());
    EXPECT_EQ(w.Log().back().rfind("UPDATE FAILED: 'G:\\_Updates\\KORUMGRSERV01.exe' cannot be deleted", 0), 0u);
    auto& mgr = RunningManager();
    w.ClearLog();
    UpdateKORUMGR(w.c);
    EXPECT_TRUE(w.p.FindProcess(mgr.pid)->alive);
    EXPECT_EQ(w.c.s.sUpdateHold, "");
    EXPECT_EQ(w.Log()[0], "UPDATE ALREADY IN PLACE: 'G:\\_Updates\\KORUMGRSERV01.exe'");
}

TEST_F(UpdateTest, HoldEndsWhenTheUpdateFileIsGone) {
    w.p.failCopy = true;  // the manager is stopped, the copy fails
    UpdateKORUMGR(w.c);
    EXPECT_EQ(w.c.s.sUpdateHold, "YES");
    w.p.RemoveFile(kUpdate);  // taken away by somebody else
    w.Tick();
    EXPECT_EQ(w.c.s.sUpdateHold, "");
    w.Tick();
    EXPECT_EQ(w.p.started.size(), 1u);
    EXPECT_EQ(w.p.Read(w.Path("KORUMGR.exe")), Executable("old build"));
}

TEST(UpdateCheck, CompleteExecutableHeaders) {
    const std::string exe = Executable("x", 0x1000);
    EXPECT_TRUE(IsCompleteExecutable(exe, exe.size()));
    EXPECT_FALSE(IsCompleteExecutable(exe, exe.size() - 1));
    EXPECT_FALSE(IsCompleteExecutable("", 0));
    std::string farPe = exe;
    farPe[0x3C] = '\xFF', farPe[0x3D] = '\xFF', farPe[0x3E] = '\xFF', farPe[0x3F] = '\x7F';
    EXPECT_FALSE(IsCompleteExecutable(farPe, farPe.size()));
    std::string manySections = exe;
    manySections[0x46] = '\xFF', manySections[0x47] = '\xFF';
    EXPECT_FALSE(IsCompleteExecutable(manySections, manySections.size()));
}

}  // namespace
}  // namespace rz
