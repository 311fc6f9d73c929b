#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "fault_platform.h"
#include "signing.h"
#include "update/update.h"
#include "update/update_state.h"
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
    exe[section + 17] = static_cast<char>(sectionBytes >> 8 & 0xFF);
    exe[section + 18] = static_cast<char>(sectionBytes >> 16);
    exe[section + 21] = 0x04;  // raw data at 0x400
    exe.replace(0x400, build.size(), build);
    return exe;
}

const char* const kUpdate = "G:\\_Updates\\KORUMGRSERV01.exe";

// The update as the tick calls it, handed the monitor's process work.
void UpdateKORUMGR(Ctx& c) { rz::UpdateKORUMGR(c, {CheckProcesses, TerminateManagers}); }

// The update's last record: a manager stopped by a failed attempt is
// started again in the same tick, with the census's records after it.
std::string LastUpdateRecord(const std::vector<std::string>& log) {
    for (auto it = log.rbegin(); it != log.rend(); ++it)
        if (it->rfind("UPDATE ", 0) == 0) return *it;
    return "";
}

// One key pair for the whole binary: RSA key generation takes a while.
const std::string& PublicKey(std::string* privateKey = nullptr) {
    static std::string mine, minePublic;
    if (mine.empty()) MakeKeyPair(2048, mine, minePublic);
    if (privateKey) *privateKey = mine;
    return minePublic;
}

// Where the update's cases start: a server that logs, its manager's build
// beside the monitor, and the share's update folder.
void ServerWithBuild(World& w) {
    w.LoggingOn();
    w.AsStarted("SERV01");
    w.p.AddDir("G:\\_Updates");
    w.p.AddFile(w.Path("KORUMGR.exe"), Executable("old build"));
}

// The same with a new build in the update folder; `readOnly`: one that
// cannot be deleted.
void ServerWithUpdate(World& w, bool readOnly = false) {
    ServerWithBuild(w);
    w.p.AddFile(kUpdate, Executable("new build"), readOnly);
}

struct UpdateTest : ::testing::Test {
    World w;
    void SetUp() override { ServerWithUpdate(w); }
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

TEST_F(UpdateTest, ManagerNotRunningIsReplacedAndStartedAtOnce) {
    w.p.AddFile(w.Path("KORUMGR.stp"), "#2024-01-01#\r\n");  // left by an earlier attempt
    w.p.AddFile(w.Path("KORUMGR.new"), "left by a crash", true);
    const std::uint64_t t0 = w.p.now();
    UpdateKORUMGR(w.c);
    EXPECT_EQ(w.p.now(), t0);
    EXPECT_TRUE(Replaced());
    EXPECT_FALSE(w.p.Has(kUpdate));
    EXPECT_FALSE(w.p.Has(w.Path("KORUMGR.stp")));
    EXPECT_FALSE(w.p.Has(w.Path("KORUMGR.new")));
    EXPECT_EQ(w.c.s.sUpdateHold, "");
    EXPECT_EQ(w.p.CountAlive("KORUMGR.exe"), 1);  // the new build, once the hold is released
    w.Tick();
    EXPECT_EQ(w.p.started.size(), 1u);
}

TEST_F(UpdateTest, ManagerEndedByTerminationNeedsNoWait) {
    auto& mgr = RunningManager();
    const std::uint64_t t0 = w.p.now();
    UpdateKORUMGR(w.c);
    EXPECT_FALSE(w.p.FindProcess(mgr.pid)->alive);
    EXPECT_LT(w.p.now() - t0, 1000u);  // its teardown only
    EXPECT_TRUE(Replaced());
    EXPECT_EQ(w.p.started.size(), 1u);
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

// A manager that survives both its termination and the stop request is
// still running: the attempt fails like any other, so the monitor is blind
// for one 35-second wait per back-off, not per tick.
TEST_F(UpdateTest, ManagerSurvivingBothFailsTheAttemptAcrossMidnight) {
    auto& mgr = RunningManager();
    mgr.ignoresTerminate = true;
    w.p.SetLocalTime(2024, 3, 7, 23, 59, 50);
    std::string request;
    w.p.onTime = [&](MemPlatform& p) {
        if (p.Has(w.Path("KORUMGR.stp"))) request = p.Read(w.Path("KORUMGR.stp"));
    };
    const std::uint64_t t0 = w.p.now();
    UpdateKORUMGR(w.c);
    EXPECT_EQ(w.p.now() - t0, 35000u);
    EXPECT_EQ(request, "#2024-03-07 23:59:50#\r\n");
    EXPECT_EQ(w.p.Now().hour, 0);
    EXPECT_EQ(w.c.s.sUpdateHold, "");
    EXPECT_FALSE(w.p.Has(w.Path("KORUMGR.stp")));
    EXPECT_TRUE(w.p.Has(kUpdate));
    EXPECT_FALSE(Replaced());
    EXPECT_EQ(LastUpdateRecord(w.Log()),
              "UPDATE FAILED: 'KORUMGR.exe' survived its termination and 35 s of stop request; the old "
              "'KORUMGR.exe' stays; next attempt in 60 s");
    for (int tick = 0; tick < 10; ++tick) {
        const std::uint64_t before = w.p.now();
        w.Tick();
        EXPECT_LT(w.p.now() - before, 1000u) << tick;
        w.p.RunFor(5000);
    }
    EXPECT_TRUE(w.p.FindProcess(mgr.pid)->alive);
    EXPECT_EQ(w.p.CountAlive("KORUMGR.exe"), 1);
    mgr.obeysStopAfterMs = 0;
    w.p.RunFor(10000);  // the back-off has passed
    UpdateKORUMGR(w.c);
    EXPECT_TRUE(Replaced());
}

// Every way a replacement can fail: the old build stays whole, the hold is
// released at once and a manager that was stopped starts again in the same
// tick. What the swap needs is made before the manager is stopped, so that
// only a failure of the stop or the move itself can cost it a stop.
TEST(UpdateFaults, FailedReplacementReleasesTheHoldAndTheManagerComesBack) {
    struct Case {
        const char* what;
        void (*arrange)(World&);
        const char* record;
        bool stopped;
    } cases[] = {
        {"copy fails", [](World& w) { w.p.failCopy = true; },
         "UPDATE FAILED: copy to 'C:\\APPS\\KORU\\KORUMGR.new' failed, error 5; the old 'KORUMGR.exe' stays; "
         "next attempt in 60 s",
         false},
        {"copy cut short", [](World& w) { w.p.copyTruncates = true; }, nullptr, false},
        {"swap fails", [](World& w) { w.p.failMovesTo.insert(UCase(w.Path("KORUMGR.exe"))); },
         "UPDATE FAILED: move to 'C:\\APPS\\KORU\\KORUMGR.exe' failed, error 5; the old 'KORUMGR.exe' "
         "stays; next attempt in 60 s",
         true},
        {"KORUMGR.new a folder", [](World& w) { w.p.AddDir(w.Path("KORUMGR.new")); },
         "UPDATE FAILED: the leftover 'C:\\APPS\\KORU\\KORUMGR.new' cannot be removed, error 5; the old "
         "'KORUMGR.exe' stays; next attempt in 60 s",
         false},
        {"stop request unwritable",
         [](World& w) {
             w.p.procs.back().ignoresTerminate = true;
             w.p.failWritesTo.insert(UCase(w.Path("KORUMGR.stp")));
         },
         "UPDATE FAILED: the stop request 'C:\\APPS\\KORU\\KORUMGR.stp' cannot be written, error 5; the old "
         "'KORUMGR.exe' stays; next attempt in 60 s",
         true},
        {"KORUMGR.old held open by another program",
         [](World& w) {
             w.p.AddFile(w.Path("KORUMGR.old"), Executable("older build"));
             w.p.heldOpen.insert(UCase(w.Path("KORUMGR.old")));
         },
         "UPDATE FAILED: the old 'C:\\APPS\\KORU\\KORUMGR.old' cannot be removed, error 32; the old "
         "'KORUMGR.exe' stays; next attempt in 60 s",
         false},
        {"no room for the backup", [](World& w) { w.p.failCopiesTo.insert(UCase(w.Path("KORUMGR.old"))); },
         "UPDATE FAILED: backup to 'C:\\APPS\\KORU\\KORUMGR.old' failed, error 112; the old 'KORUMGR.exe' "
         "stays; next attempt in 60 s",
         false},
        // Refused before anything is copied.
        {"over 512 MiB", [](World& w) { w.p.AddFile(kUpdate, Executable("new build")).shownLength = 536870913; },
         "UPDATE REFUSED: 'G:\\_Updates\\KORUMGRSERV01.exe' is 536870913 bytes, more than the 536870912 an update "
         "may have; the old 'KORUMGR.exe' stays; next attempt in 60 s",
         false},
        // KORUMGR.old is what the watched build's rollback brings back.
        {"the build before still watched",
         [](World& w) {
             w.c.s.update.watching = true;
             w.c.s.update.watchFromMs = w.p.now() - 60000;
         },
         "UPDATE WAITING: 'G:\\_Updates\\KORUMGRSERV01.exe' waits until the build installed before it has run 2 "
         "minutes or been rolled back",
         false},
        // Seed 3075: a build installed unsaved was followed, after its
        // rollback and a power cut, by an older signed one.
        {"the state file held: the swap waits, the manager untouched",
         [](World& w) { w.p.heldOpen.insert(UCase(w.p.AddFile(w.Path("ROREROZARIRADI.upd")).path)); },
         "UPDATE WAITING: the swap to 'G:\\_Updates\\KORUMGRSERV01.exe' waits: the state cannot be saved, error 32",
         false},
        {"signature not of the key's length",
         [](World& w) {
             w.p.AddFile(w.Path("UpdateKey.pem"), PublicKey());
             w.p.AddFile(std::string(kUpdate) + ".sig", std::string(100, 's'));
         },
         "UPDATE REFUSED: the signature 'G:\\_Updates\\KORUMGRSERV01.exe.sig' is 100 bytes, where the key's are 256; "
         "the old 'KORUMGR.exe' stays; next attempt in 60 s",
         false},
    };
    for (const Case& k : cases) {
        World w;
        ServerWithUpdate(w);
        w.p.AddProcess(w.Path("KORUMGR.exe"));
        k.arrange(w);
        EXPECT_EQ(w.Tick(), -1);
        EXPECT_EQ(w.p.CountAlive("KORUMGR.exe"), 1) << k.what;
        EXPECT_EQ(w.p.Read(w.Path("KORUMGR.exe")), Executable("old build")) << k.what;
        EXPECT_TRUE(w.p.Has(kUpdate)) << k.what;
        EXPECT_EQ(w.c.s.sUpdateHold, "") << k.what;
        EXPECT_FALSE(w.p.Has(w.Path("KORUMGR.new")) && !w.p.Find(w.Path("KORUMGR.new"))->dir) << k.what;
        if (k.record) {
            EXPECT_EQ(LastUpdateRecord(w.Log()), k.record) << k.what;
        }
        const auto log = w.Log();
        EXPECT_EQ(std::count(log.begin(), log.end(), "ELProcessTOKILL: KORUMGR.exe") != 0, k.stopped) << k.what;
        if (k.record && std::string(k.record).rfind("UPDATE REFUSED", 0) == 0) {
            EXPECT_EQ(w.p.hashes, 0) << k.what;
        }
        w.p.procs.back().alive = false;  // whatever survived, the manager has gone now
        w.ClearLog();
        EXPECT_EQ(w.Tick(), -1);
        EXPECT_EQ(w.p.CountAlive("KORUMGR.exe"), 1) << k.what;
        // The update waits out its back-off without a word.
        EXPECT_EQ(w.Log().back().rfind("'KORUMGR.exe' Arranco OK - RetVal: ", 0), 0u) << k.what;
    }
}

// The same failing update waits 1, 2, 4 ... minutes, at most a quarter of an
// hour, and is not attempted (nor logged) in between, however often it is
// touched; once the wait is over, new content goes in. After a refusal the
// waits double whatever the content: a writer of fresh junk at every touch
// costs a copy a quarter of an hour at most.
TEST_F(UpdateTest, BackOffDoublesUpToAQuarterHourWhateverTheFileTimeSays) {
    auto attempts = [this](bool refused) {
        const char* const waits[] = {"60", "120", "240", "480", "900", "900"};
        for (const char* wait : waits) {
            auto& mgr = RunningManager();
            w.ClearLog();
            UpdateKORUMGR(w.c);
            EXPECT_EQ(w.p.FindProcess(mgr.pid)->alive, refused);
            ASSERT_FALSE(w.Log().empty());
            const std::string tail = std::string("; next attempt in ") + wait + " s";
            const std::string record = LastUpdateRecord(w.Log());
            EXPECT_EQ(record.substr(record.size() - tail.size()), tail) << refused;
            auto& again = refused ? mgr : RunningManager();
            w.p.ShiftClock(refused ? -7200 : 7200);  // a time synchronisation moves no back-off (seed 10855)
            w.p.RunFor(std::stoul(wait) * 1000 - 1);
            w.p.AddFile(kUpdate, Executable(refused ? std::string("junk ") + wait : "new build"));  // touched
            w.ClearLog();
            UpdateKORUMGR(w.c);
            EXPECT_TRUE(w.p.FindProcess(again.pid)->alive) << wait;
            EXPECT_TRUE(w.Log().empty()) << wait;
            again.alive = false;
            w.p.RunFor(1);
        }
    };
    w.p.failMovesTo.insert(UCase(w.Path("KORUMGR.exe")));
    attempts(false);
    w.p.failMovesTo.clear();
    w.p.AddFile(kUpdate, Executable("newer build"));
    UpdateKORUMGR(w.c);
    EXPECT_EQ(w.p.Read(w.Path("KORUMGR.exe")), Executable("newer build"));
    w.p.AddFile(w.Path("UpdateKey.pem"), PublicKey());
    w.p.AddFile(std::string(kUpdate) + ".sig", std::string(256, 's'));
    w.p.AddFile(kUpdate, Executable("junk"));
    w.p.RunFor(kStopWaitMs * 4);  // the newer build has been watched long enough
    const int hashed = w.p.hashes;
    attempts(true);
    EXPECT_EQ(w.p.hashes - hashed, 6);  // one copy of junk at each back-off's end
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
        UpdateKORUMGR(w.c);  // told once per stamp
        w.p.RunFor(5000);    // a tick: no back-off holds the next stamp back
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
    // A read-only update larger than one comparison chunk, on a share that
    // only lets us read: CopyFileA hands its read-only bit to the copy.
    const std::string big = Executable("new build", 0x50000);
    w.p.AddFile(kUpdate, big, true);
    UpdateKORUMGR(w.c);
    EXPECT_EQ(w.p.Read(w.Path("KORUMGR.exe")), big);
    EXPECT_FALSE(w.p.Find(w.Path("KORUMGR.exe"))->readOnly);
    const auto first = w.Log();
    EXPECT_EQ(std::count_if(first.begin(), first.end(),
                            [](const std::string& m) {
                                return m.rfind("UPDATE FAILED: 'G:\\_Updates\\KORUMGRSERV01.exe' cannot be deleted", 0) == 0;
                            }),
              1);
    auto& mgr = RunningManager();
    // Restarts of the monitor: with its state file or without, the bytes are
    // compared once, with one record per run.
    for (bool stateKept : {true, false}) {
        w.c.s.update = UpdateMemory{};
        if (!stateKept) w.p.RemoveFile(w.Path("ROREROZARIRADI.upd"));
        for (int tick = 0; tick < 3; ++tick) {
            w.ClearLog();
            UpdateKORUMGR(w.c);
            EXPECT_TRUE(w.p.FindProcess(mgr.pid)->alive);
            EXPECT_EQ(w.c.s.sUpdateHold, "");
            std::vector<std::string> expected;
            if (tick == 0 && !stateKept)
                expected = {"UPDATE STATE NOT READ: 'C:\\APPS\\KORU\\ROREROZARIRADI.upd' (none yet); nothing "
                            "remembered from earlier runs"};
            if (tick == 0) expected.push_back("UPDATE ALREADY IN PLACE: 'G:\\_Updates\\KORUMGRSERV01.exe'");
            EXPECT_EQ(w.Log(), expected) << stateKept;
        }
    }
    // Bytes, not lengths, decide: one changed byte past the first chunk.
    std::string other = big;
    other.back() ^= 1;
    w.p.AddFile(w.Path("KORUMGR.exe"), other);
    w.c.s.update = UpdateMemory{};
    w.p.RemoveFile(w.Path("ROREROZARIRADI.upd"));
    UpdateKORUMGR(w.c);
    w.p.RunFor(100);
    EXPECT_FALSE(w.p.FindProcess(mgr.pid)->alive);
}

// The manager sees a stop request whatever its attributes, so the launcher
// must too: a hidden or system KORUMGR.stp goes before the start, and one
// that cannot go blocks it.
TEST(StaleStopRequest, FoundWhateverItsAttributesAndRemovedBeforeTheStart) {
    struct Case {
        const char* what;
        void (*arrange)(MemPlatform::Node&);
        const char* record;
    } cases[] = {
        {"hidden", [](MemPlatform::Node& n) { n.hidden = true; }, "REMOVIDO: C:\\APPS\\KORU\\KORUMGR.stp"},
        {"system, read-only", [](MemPlatform::Node& n) { n.system = n.readOnly = true; },
         "REMOVIDO: C:\\APPS\\KORU\\KORUMGR.stp"},
        {"a folder", [](MemPlatform::Node& n) { n.dir = true; },
         "'KORUMGR.stp' CANNOT BE REMOVED, error 5: 'KORUMGR.exe' not started"},
    };
    for (const Case& k : cases) {
        World w;
        w.LoggingOn();
        w.AsStarted("OFFICE-K407");
        w.p.AddFile(w.Path("KORUMGR.exe"), Executable("old build"));
        k.arrange(w.p.AddFile(w.Path("KORUMGR.stp"), "#2024-01-01#\r\n"));
        w.Tick();
        const auto log = w.Log();
        EXPECT_NE(std::find(log.begin(), log.end(), k.record), log.end()) << k.what;
        EXPECT_EQ(w.p.CountAlive("KORUMGR.exe"), k.record[0] == 'R' ? 1 : 0) << k.what;
    }
}

// Within two minutes of a replacement, a new build that cannot be started,
// or whose runs end twice within 10 s or abnormally, makes way for the
// previous one, also across a restart of the monitor, which gives it its
// two minutes again. A rollback that fails stays due, with one record. The
// same build is not installed again, whatever its file time; it is told
// once per run. The replacement starts the new build once itself.
TEST(UpdateRollback, BuildThatWillNotRunMakesWayForThePreviousOne) {
    struct Case {
        const char* what;
        int startFailures, crashes;
        std::uint64_t pauseMs, runMs;
        std::uint32_t exitCode;
        bool restart, rolledBack;
        std::size_t starts;
        int restartBefore = 1;  // the monitor restarts before this crash's tick
        int oldHeldUntil = -1;  // KORUMGR.old is held by another program until after this crash's tick
        int stateHeldFor = 0;   // ticks from the restart with the state file held
        long stopMs = -1;       // a manager runs, and obeys the stop request after this long
        bool stateReadOnly = false;
        bool elsewhere = false;  // a manager of another folder runs from before the swap
    } cases[] = {{"cannot start", 1, 0, 0, 0, 0, false, true, 3},
                 {"quits at once", 0, 2, 0, 0, 0, false, true, 4},
                 {"quits at once, the monitor restarted", 0, 3, 0, 0, 0, true, true, 5},
                 {"crashes after 20 s", 0, 2, 0, 20000, 0xC0000005, false, true, 4},
                 {"closed by a person after 15 s, twice", 0, 2, 0, 15000, 0, false, false, 4},
                 {"quits after two minutes", 0, 2, 120001, 0, 0, false, false, 4},
                 {"quits at once, its rollback refused twice", 0, 4, 0, 0, 0, false, true, 6, 1, 2},
                 {"quits at once after 3 minutes without power", 0, 2, 180000, 0, 0, true, true, 4, 0},
                 // Seeds 813, 1047, 2284: the watch was lost to a held state file.
                 {"quits at once, the state file held at the restart", 0, 4, 0, 0, 0, true, true, 6, 1, -1, 2},
                 // Seed 14: the watch counted from before the stop.
                 {"quits at once 100 s after a swap that waited 30 s for its stop", 0, 2, 100000, 0, 0, false, true, 4,
                  1, -1, 0, 30000},
                 // Seed 15: a read-only state file refused every save.
                 {"quits at once, the state file read-only", 0, 2, 0, 0, 0, false, true, 4, 1, -1, 0, -1, true},
                 // Seed 1106: the watch ended before the build had ever run.
                 {"quits at once after 3 minutes in which a manager of another folder ran", 0, 2, 180000, 0, 0, false,
                  true, 3, 1, -1, 0, -1, false, true}};
    for (const Case& k : cases) {
        World w;
        ServerWithUpdate(w, true);
        if (k.stateReadOnly) w.p.AddFile(w.Path("ROREROZARIRADI.upd"), "", true);
        if (k.elsewhere) w.p.AddProcess("C:\\OLD\\KORUMGR.exe");
        if (k.stopMs >= 0) {
            MemPlatform::Proc& running = w.p.AddProcess(w.Path("KORUMGR.exe"));
            running.ignoresTerminate = true;
            running.obeysStopAfterMs = k.stopMs;
        }
        UpdateKORUMGR(w.c);
        EXPECT_EQ(w.p.Read(w.Path("KORUMGR.old")), Executable("old build"));
        w.p.startFailures = k.startFailures;
        w.p.RunFor(k.pauseMs);
        if (k.oldHeldUntil >= 0) w.p.heldOpen.insert(UCase(w.Path("KORUMGR.old")));
        for (int i = 0; i <= k.crashes; ++i) {
            w.p.RunFor(k.runMs);
            for (auto& proc : w.p.procs) proc.alive = false, proc.exitCode = k.exitCode;
            const std::string state = UCase(w.Path("ROREROZARIRADI.upd"));
            if (k.restart && i == k.restartBefore) w.c.s.update = UpdateMemory{};
            if (k.stateHeldFor > 0 && i == k.restartBefore) w.p.heldOpen.insert(state), w.p.readErrors[state] = 32;
            w.Tick();
            if (i == k.oldHeldUntil || (k.stateHeldFor > 0 && i + 1 == k.restartBefore + k.stateHeldFor))
                w.p.heldOpen.clear(), w.p.readErrors.clear();
        }
        const std::string expected = Executable(k.rolledBack ? "old build" : "new build");
        EXPECT_EQ(w.p.Read(w.Path("KORUMGR.exe")), expected) << k.what;
        EXPECT_EQ(w.p.CountAlive("KORUMGR.exe"), 1) << k.what;
        EXPECT_EQ(w.p.started.size(), k.starts) << k.what;
        const auto log = w.Log();
        EXPECT_EQ(std::count(log.begin(), log.end(),
                             "ROLLBACK: the build of 'G:\\_Updates\\KORUMGRSERV01.exe' will not run; the previous "
                             "'KORUMGR.exe' is back"),
                  k.rolledBack ? 1 : 0)
            << k.what;
        EXPECT_EQ(std::count(log.begin(), log.end(),
                             "ROLLBACK FAILED: 'C:\\APPS\\KORU\\KORUMGR.old' cannot take the place of 'KORUMGR.exe', "
                             "error 32; it is tried again at the next start"),
                  k.oldHeldUntil >= 0 ? 1 : 0)
            << k.what;
        // Nor after a restart of the monitor: the state file remembers.
        for (bool restart : {false, true}) {
            if (restart) w.c.s.update = UpdateMemory{};
            const std::size_t terminated = w.p.terminated.size();
            w.Tick();
            EXPECT_EQ(w.p.Read(w.Path("KORUMGR.exe")), expected) << k.what << restart;
            EXPECT_EQ(w.p.CountAlive("KORUMGR.exe"), 1) << k.what << restart;
            EXPECT_EQ(w.p.terminated.size(), terminated) << k.what << restart;
        }
        if (!k.rolledBack) continue;
        // Copied back by hand, in a later run: one record; another build of the
        // same length and time goes in once the path's back-off has passed.
        const std::uint64_t time = w.p.Find(kUpdate)->writtenAt;
        w.p.RunFor(900000);
        w.c.s.update = UpdateMemory{};
        w.p.AddFile(kUpdate, Executable("new build"));
        w.ClearLog();
        for (int tick = 0; tick < 2; ++tick) UpdateKORUMGR(w.c);
        // The look's result brings a tick forward: its census has records too.
        const auto told = w.Log();
        EXPECT_EQ(std::count_if(told.begin(), told.end(), [](const std::string& r) { return r.rfind("UPDATE", 0) == 0; }),
                  1)
            << k.what;
        EXPECT_EQ(told.back().substr(told.back().size() - 60),
                  ") is the build that was rolled back because it would not run")
            << k.what;
        w.p.RunFor(900000);
        w.p.AddFile(kUpdate, Executable("new bui1d")).writtenAt = time;
        UpdateKORUMGR(w.c);
        EXPECT_EQ(w.p.Read(w.Path("KORUMGR.exe")), Executable("new bui1d")) << k.what;
    }
}

// A manager started with more rights than the monitor cannot be read: it
// counts as running by its name in the process table, with one record, and
// an update stops it like any other.
TEST(UnreadableManager, CountsAsRunningAndIsStoppedLikeAnyOther) {
    World w;
    ServerWithBuild(w);
    auto& admin = w.p.AddProcess(w.Path("KORUMGR.exe"));
    admin.openable = false;
    admin.obeysStopAfterMs = 1000;
    w.p.AddProcess("C:\\OTHER\\KORUMGR.exe.bak").openable = false;
    for (int tick = 0; tick < 3; ++tick) {
        w.Tick();
        w.p.RunFor(5000);
    }
    EXPECT_TRUE(w.p.started.empty());
    const std::string pid = std::to_string(admin.pid);
    auto log = w.Log();
    EXPECT_EQ(std::count(log.begin(), log.end(),
                         "'KORUMGR.exe' PID " + pid + " CANNOT BE READ, error 5: counted as running"),
              1);
    w.p.AddFile(kUpdate, Executable("new build"));
    w.ClearLog();
    w.Tick();
    log = w.Log();
    EXPECT_NE(std::find(log.begin(), log.end(), "P_ID: " + pid), log.end());
    EXPECT_FALSE(w.p.FindProcess(admin.pid)->alive);
    EXPECT_EQ(w.p.Read(w.Path("KORUMGR.exe")), Executable("new build"));
}

// A state file that cannot be used is passed over with one record; the
// update goes on as on a first start. One that cannot be read for a passing
// reason is tried again at the next tick, with nothing attempted and nothing
// written over it before; a failure count past its most is written as one
// its reader takes.
TEST(UpdateState, DamagedStateFileIsPassedOverWithOneRecord) {
    UpdateMemory kept;
    kept.failedPath = kUpdate;
    kept.failures = 3;
    kept.retryAt = 133000000600000000ull;
    kept.newestVersion = "7.2.0.0";
    kept.monitor.step = "started";
    kept.monitor.from = 4242;
    const std::string whole = UpdateStateText(kept);
    const std::string manager = "failed=G:\\_Updates\\KORUMGRSERV01.exe\r\nfailed_content=\r\nfailures=3\r\n"
                                "retry_at=133000000600000000\r\nin_place=\r\nrolled_back=\r\nnewest_version=7.2.0.0\r\n"
                                "newest_content=\r\nwatch_path=\r\nwatch_content=\r\nwatch_since=0\r\nbad_runs=0\r\n";
    const std::string monitor = "monitor_failed_content=\r\nmonitor_failures=0\r\nmonitor_retry_at=0\r\n"
                                "monitor_rolled_back=\r\nmonitor_step=started\r\nmonitor_content=\r\nmonitor_version=\r\n"
                                "monitor_from=4242\r\n";
    EXPECT_EQ(whole, "update_state=4\r\n" + manager + monitor + "monitor_to=0\r\nmonitor_floor=\r\nend=1\r\n");
    // The build before the monitor's own update wrote format 2: its successor reads it.
    UpdateMemory older;
    std::string olderWhy;
    EXPECT_TRUE(ParseUpdateState("update_state=2\r\n" + manager + "end=1\r\n", older, olderWhy)) << olderWhy;
    EXPECT_EQ(older.failures, 3);
    EXPECT_TRUE(ParseUpdateState("update_state=3\r\n" + manager + monitor + "end=1\r\n", older, olderWhy)) << olderWhy;
    EXPECT_EQ(older.monitor.from, 4242u);
    struct Case {
        const char* what;
        std::string text;  // "<dir>": a folder of that name
        const char* why;
    } cases[] = {
        {"cut short", whole.substr(0, whole.size() - 7), "no 'end' line where it belongs"},
        {"empty", "", "no 'update_state' line where it belongs"},
        {"foreign", "update_state=5\r\n" + whole.substr(16), "unknown format"},
        {"bad number", std::string(whole).replace(whole.find("failures=3") + 8, 2, "=x"), "a value out of form"},
        {"a folder: unread, not empty", "<dir>", "error 5"},
        {"in use for two ticks, remembering the update as rolled back", "<in use>", nullptr},
    };
    UpdateMemory many, back, rolledBack;
    many.failures = 1001;
    std::string why;
    EXPECT_TRUE(ParseUpdateState(UpdateStateText(many), back, why)) << why;
    EXPECT_EQ(back.failures, 1000);
    for (const Case& k : cases) {
        World w;
        ServerWithUpdate(w);
        w.c.s.update.loaded = false;
        const std::string state = w.Path("ROREROZARIRADI.upd");
        if (k.text == "<dir>")
            w.p.AddDir(state);
        else
            w.p.AddFile(state, k.text);
        if (!k.why) {
            ASSERT_EQ(w.p.Sha256File(kUpdate, rolledBack.rolledBack), FileHash::Done);
            w.p.AddFile(state, UpdateStateText(rolledBack));
            w.p.readErrors[UCase(state)] = 32;
            for (int tick = 0; tick < 2; ++tick) w.Tick();
            EXPECT_EQ(w.p.Read(state), UpdateStateText(rolledBack));
            w.p.readErrors.clear();
            w.Tick();
            EXPECT_EQ(w.p.Read(w.Path("KORUMGR.exe")), Executable("old build"));
            EXPECT_EQ(w.Log().back().rfind("UPDATE LEFT ALONE: ", 0), 0u);
            continue;
        }
        const bool unread = k.text == "<dir>";
        // Its second copy gives back the newest version, and the build rolled back.
        UpdateMemory copy = kept;
        ASSERT_EQ(w.p.Sha256File(kUpdate, copy.rolledBack), FileHash::Done);
        w.p.AddFile(state + ".bak", UpdateStateText(copy));
        EXPECT_EQ(w.Tick(), -1) << k.what;
        EXPECT_EQ(w.c.s.update.newestVersion, unread ? "" : "7.2.0.0") << k.what;
        if (unread) w.Tick();
        const auto log = w.Log();
        const std::string head = "UPDATE STATE NOT READ" + std::string(unread ? " YET" : "") +
                                 ": 'C:\\APPS\\KORU\\ROREROZARIRADI.upd'" + (unread ? ", " : " (") + k.why;
        EXPECT_EQ(std::count(log.begin(), log.end(),
                             head + (unread ? "; no update is attempted until it has been read"
                                            : "); nothing remembered from earlier runs")),
                  1)
            << k.what;
        EXPECT_EQ(w.p.Read(w.Path("KORUMGR.exe")), Executable("old build")) << k.what;
    }
    // Both copies damaged: one record, and the report says why the memory is gone.
    World w;
    ServerWithBuild(w);
    w.c.s.update.loaded = false;
    w.p.AddFile(w.Path("ROREROZARIRADI.upd"), "update_state=4\r\n");
    w.p.AddFile(w.Path("ROREROZARIRADI.upd.bak"), "");
    w.Tick();
    const auto log = w.Log();
    const auto lost = std::find_if(log.begin(), log.end(), [](const std::string& r) { return r.rfind("UPDATE STATE LOST: ", 0) == 0; });
    ASSERT_NE(lost, log.end());
    EXPECT_EQ(std::count(log.begin(), log.end(), *lost), 1);
    EXPECT_EQ(w.c.s.status.lastUpdateReason, *lost);
}

// How the running manager takes being stopped.
enum class Manager { Terminates, ObeysStopRequest, NeverStops };

// A monitor on a platform that fails or ends at one chosen call, over the
// update of a running manager.
struct FaultRig {
    MemPlatform mem;
    FaultPlatform fp{mem};
    std::unique_ptr<Ctx> c;
    bool startedWithStopRequest = false;
    bool stoppedInTick = false;  // the manager's termination was tried
    bool ended = false;          // the monitor ended while time passed
    std::string failedCall;      // the name of the call made to fail

    explicit FaultRig(Manager kind = Manager::ObeysStopRequest) {
        mem.AddFile(mem.appFolder + "\\ROREROZARIRADI.deb");
        mem.AddDir("G:\\_Updates");
        mem.AddFile(Path("KORUMGR.exe"), Executable("old build"));
        mem.AddFile(Path("KORUMGR.old"), Executable("older build"));
        mem.AddFile(kUpdate, Executable("new build"));
        MemPlatform::Proc& manager = mem.AddProcess(Path("KORUMGR.exe"));
        manager.ignoresTerminate = kind != Manager::Terminates;
        if (kind == Manager::ObeysStopRequest) manager.obeysStopAfterMs = 1000;
        fp.onCall = [this](const std::string& call) {
            if (fp.calls == fp.failAt) failedCall = call;
            if (call == "StartProgram" && mem.Has(Path("KORUMGR.stp"))) startedWithStopRequest = true;
            if (call == "TerminateProc") stoppedInTick = true;
        };
        fp.SetTimerHandler([this] {
            try {
                TimerMONITORVESK_Timer(*c);
            } catch (const ProgramEnded&) {
                ended = true;
                mem.SetTimer(0);  // a process that has ended runs no more ticks
            }
        });
        fp.SetWorkDoneHandler([this] { ShareWorkArrived(*c); });
        Restart();
    }
    std::string Path(const std::string& name) const { return mem.appFolder + "\\" + name; }
    // Which build a file holds, by name.
    std::string Build(const std::string& name) const {
        const std::string data = mem.Read(Path(name));
        for (const char* build : {"old build", "new build", "older build"})
            if (data == Executable(build)) return build;
        return mem.Has(Path(name)) ? "damaged" : "none";
    }
    std::string Exe() const { return Build("KORUMGR.exe"); }
    void Restart() {
        mem.DropWork();  // a new process has no worker yet
        c.reset(new Ctx(fp));
        c->s.sAppTitle = kAppTitle;
        c->s.THISMACHINENAME = "SERV01";
        c->s.sDebugFile = Path("ROREROZARIRADI.deb");
        c->s.sBannerDone = kYes;
        c->frmMAIN.created = true;  // as start-up leaves it
    }
    // One tick; a monitor ended in its midst is started afresh.
    void Tick() {
        try {
            TimerMONITORVESK_Timer(*c);
        } catch (const ProgramEnded&) {
            Restart();
        }
    }
    // Time passes with the monitor's own ticks.
    void RunFor(std::uint64_t ms) {
        mem.RunFor(ms);
        if (ended) Restart();
        ended = false;
    }
};

// Wherever a call of an update fails (once, or for good), and wherever the
// monitor is killed or the power cut: KORUMGR.exe is always one whole
// build, KORUMGR.old is the build a new one replaced, no manager is
// started beside a stop request, a failing update stops the manager once
// per back-off even across restarts, the state file is always whole, and
// the update is applied once the fault has passed.
TEST(UpdateFaultInjection, EveryCallFailingForGoodOrCutOff) {
    enum Mode { Once, Lasting, End, PowerCut };
    for (Manager kind : {Manager::Terminates, Manager::ObeysStopRequest, Manager::NeverStops}) {
        FaultRig clean(kind);
        clean.Tick();
        const int calls = clean.fp.calls;
        ASSERT_GT(calls, 30);
        const bool applies = kind != Manager::NeverStops;
        ASSERT_EQ(clean.Exe(), applies ? "new build" : "old build");
        for (Mode mode : {Once, Lasting, End, PowerCut}) {
            for (int k = 1; k <= calls; ++k) {
                const std::string what = "manager " + std::to_string(int(kind)) + ", mode " + std::to_string(mode) +
                                         ", call " + std::to_string(k);
                FaultRig r(kind);
                (mode == Once || mode == Lasting ? r.fp.failAt : r.fp.endAt) = k;
                r.fp.lasting = mode == Lasting;
                r.fp.powerCut = mode == PowerCut;
                int stoppingTicks = 0;
                std::string lasting;
                for (int tick = 0; tick < 8; ++tick) {
                    if (tick == 2 && mode == Lasting) r.Restart();  // the back-off outlives it
                    if (tick == 3) r.RunFor(61000);                 // past the first back-off
                    if (tick == 5) {                                // the fault has passed
                        lasting = r.fp.LastingCall();
                        r.fp.failAt = 0;
                        r.fp.ClearLastingFault();
                        r.mem.SetTimer(0);  // past the longest back-off, quickly
                        r.mem.RunFor(3601000);
                    }
                    r.stoppedInTick = false;
                    r.Tick();
                    const std::string exe = r.Exe();
                    ASSERT_TRUE(exe == "old build" || exe == "new build") << what << ": " << exe;
                    if (exe == "new build") {
                        EXPECT_EQ(r.Build("KORUMGR.old"), "old build") << what;
                    }
                    EXPECT_EQ(r.c->s.sUpdateHold, "") << what;
                    UpdateMemory state;
                    std::string why;
                    if (r.mem.Has(r.Path("ROREROZARIRADI.upd"))) {
                        EXPECT_TRUE(ParseUpdateState(r.mem.Read(r.Path("ROREROZARIRADI.upd")), state, why))
                            << what << ": " << why;
                    }
                    if (tick < 3 && r.stoppedInTick) ++stoppingTicks;
                }
                EXPECT_EQ(r.mem.nestedTicks, 0) << what;
                EXPECT_FALSE(r.startedWithStopRequest) << what;
                // Killed in the midst of an attempt, the monitor has not yet
                // noted its failure: the next one tries again, once.
                const bool stateLost =
                    mode == End || mode == PowerCut || lasting.find("ROREROZARIRADI.UPD") != std::string::npos;
                EXPECT_LE(stoppingTicks, stateLost ? 2 : 1) << what;
                // A census that can read no process at all is beyond the
                // update's reach.
                if (lasting.rfind("EnumModules", 0) == 0 || lasting.rfind("ModuleFileName", 0) == 0) continue;
                // A new build whose first start fails is one that will not run.
                const bool rolledBack = r.failedCall == "StartProgram";
                EXPECT_EQ(r.Exe(), (applies && !rolledBack) || mode == PowerCut ? "new build" : "old build") << what;
                EXPECT_FALSE(r.mem.Has(r.Path("KORUMGR.new"))) << what;
                EXPECT_EQ(r.mem.CountAlive("KORUMGR.exe"), 1) << what;
            }
        }
    }
}

// An update file that changes between the readiness check and the end of
// the copy is not installed, and the manager is not stopped for it; nor is
// one whose key file came meanwhile: it is looked at afresh.
TEST(UpdateFaultInjection, UpdateChangedDuringTheCopyIsNotInstalled) {
    const std::string whole = Executable("new build");
    struct Case {
        std::string data;
        const char* record;
        std::string changed = kUpdate;
    } cases[] = {{whole + "appended", "UPDATE FAILED: the copy 'C:\\APPS\\KORU\\KORUMGR.new' is not the update that was checked"},
                 {Executable("new build!"), "UPDATE FAILED: 'G:\\_Updates\\KORUMGRSERV01.exe' changed while it was copied"},
                 {PublicKey(), "UPDATE KEY CHANGED: 'C:\\APPS\\KORU\\UpdateKey.pem' changed while "
                               "'G:\\_Updates\\KORUMGRSERV01.exe' was checked; it is looked at afresh",
                  "C:\\APPS\\KORU\\UpdateKey.pem"}};
    for (const Case& k : cases) {
        FaultRig r;
        r.fp.onCall = [&](const std::string& call) {
            if (call != "CopyFileTo") return;
            r.mem.RunFor(1);
            r.mem.AddFile(k.changed, k.data);
        };
        r.Tick();
        EXPECT_EQ(r.mem.Read(r.Path("KORUMGR.exe")), Executable("old build"));
        EXPECT_FALSE(r.mem.Has(r.Path("KORUMGR.new")));
        EXPECT_TRUE(r.mem.terminated.empty());
        const auto log = r.mem.LogMessages(r.Path("ROREROZARIRADI.deb"));
        EXPECT_EQ(log.back().rfind(k.record, 0), 0u) << log.back();
    }
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

// With a key beside the monitor, only a signed build newer than the
// installed one and than any this PC ever installed goes in; the manager
// runs on until then. An old signed build stays signed for ever.
TEST(SignedUpdate, OnlyANewerSignedBuildGoesIn) {
    std::string mine;
    const std::string minePublic = PublicKey(&mine);
    const std::string refused = "UPDATE REFUSED: ", stays = "; the old 'KORUMGR.exe' stays; next attempt in 60 s";
    struct Case {
        const char* what;
        const char *build, *newest;
        bool signed_;
        std::string record;  // "" when it goes in
    } cases[] = {
        {"unsigned", "7.3.0.0", "", false,
         refused + "the signature 'G:\\_Updates\\KORUMGRSERV01.exe.sig' is missing" + stays},
        {"older", "7.1.0.0", "", true,
         refused + "version 7.1.0.0 is not newer than 7.2.0.0, the installed 'KORUMGR.exe'" + stays},
        {"the same version", "7.2.0.0", "", true,
         refused + "version 7.2.0.0 is not newer than 7.2.0.0, the installed 'KORUMGR.exe'" + stays},
        {"older than one installed before", "7.2.1.0", "7.10.0.0", true,
         refused + "version 7.2.1.0 is not newer than 7.10.0.0, the newest this PC installed" + stays},
        {"no version", nullptr, "", true,
         refused + "the build has no file version; with signing on only a newer version goes in" + stays},
        {"newer than both", "7.10.0.1", "7.10.0.0", true, ""},
    };
    for (const Case& k : cases) {
        World w;
        w.LoggingOn();
        w.AsStarted("SERV01");
        w.p.AddDir("G:\\_Updates");
        w.p.AddFile(w.Path("UpdateKey.pem"), minePublic);
        w.p.AddFile(w.Path("KORUMGR.exe"), Executable("VS_VERSION_INFO:7.2.0.0;"));
        w.c.s.update.newestVersion = k.newest;
        const std::string build = Executable(k.build ? std::string("new VS_VERSION_INFO:") + k.build + ";" : "new");
        w.p.AddFile(kUpdate, build);
        std::string signature;
        ASSERT_EQ(SignBytes(mine, build, signature), "");
        if (k.signed_) w.p.AddFile(std::string(kUpdate) + ".sig", signature);
        const MemPlatform::Proc& manager = w.p.AddProcess(w.Path("KORUMGR.exe"));
        UpdateKORUMGR(w.c);
        EXPECT_EQ(w.p.Read(w.Path("KORUMGR.exe")) == build, k.record.empty()) << k.what;
        EXPECT_EQ(manager.alive, !k.record.empty()) << k.what;
        if (!k.record.empty()) {
            EXPECT_EQ(w.Log().back(), k.record) << k.what;
        }
        EXPECT_FALSE(w.p.Has(w.Path("KORUMGR.new"))) << k.what;
    }
}

}  // namespace
}  // namespace rz
