#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "diag/share_work.h"
#include "fault_platform.h"
#include "world.h"

namespace rz {
namespace {

// A started monitor whose first tick, at 10100, has found the manager, on a
// platform whose calls can be hooked; every tick that begins is noted.
struct Rig {
    MemPlatform mem;
    FaultPlatform fp{mem};
    Ctx c{fp};
    MemPlatform::Proc& manager = mem.AddProcess(Path("KORUMGR.exe"));
    std::vector<std::uint64_t> ticks;
    int nested = 0;
    bool ticking = false;

    Rig() {
        mem.AddFile(Path("KORUMGR.exe"), SmallExecutable('1'));
        mem.unreachableHosts.insert("MAINPC");  // updates come from G:\_Updates
        mem.AddDir("G:\\_Updates");
        fp.SetTimerHandler([this] { Tick(); });
        fp.SetProcessEndHandler([this] {
            if (EarlyTickWanted(c)) Tick();
        });
        fp.SetWorkDoneHandler([this] {
            ShareJobDone(c);
            if (!c.frmMAIN.timerEnabled) return;
            if (ShareResultWantsTick(c)) return Tick();
            PickUpShareWork(c);
        });
        Main(c);
        mem.RunFor(100);
    }
    void Tick() {
        ticks.push_back(mem.now());
        nested += ticking;
        ticking = true;
        TimerMONITORVESK_Timer(c);
        ticking = false;
    }
    std::string Path(const std::string& name) const { return mem.appFolder + "\\" + name; }
    // Ms from `from` to each later start of the manager.
    std::vector<long> StartsAfter(std::uint64_t from) const {
        std::vector<long> starts;
        for (const auto& p : mem.procs)
            if (p.pid != manager.pid && p.path == Path("KORUMGR.exe") && p.startedAt >= from)
                starts.push_back(static_cast<long>(p.startedAt - from));
        return starts;
    }
};

enum Stop { None, Terminates, ObeysStopRequest };

// Regular ticks fall at 15100, 20100 ... until one comes early.
TEST(EarlyTick, FollowsTheManagersEndWhereverItFalls) {
    struct Case {
        const char* what;
        std::uint64_t diesAt;  // 0: it does not die by itself
        const char* diesAtCall;  // or it dies in the tick at 15100, before this call
        Stop update;             // an update comes and stops it so
        const char* other;       // another process that runs
        long startedLifeMs;      // what the monitor starts lives this long (-1: for good)
        bool stopFile;
        // From the manager's end: the first tick that begins then or later,
        // the ticks that begin at that instant, the next two starts.
        long firstTick;
        int ticksAtEnd;
        long restart, nextRestart;
        const char* vesk;
        std::size_t terminated;
    } cases[] = {
        {"1 ms after a tick", 10101, "", None, "", -1, false, 0, 1, 0, -1, "", 0},
        {"mid-interval", 12600, "", None, "", -1, false, 0, 1, 0, -1, "", 0},
        {"1 ms before a tick", 15099, "", None, "", -1, false, 0, 1, 0, -1, "", 0},
        {"as the timer falls due", 15100, "", None, "", -1, false, 0, 1, 0, -1, "", 0},
        {"in a tick, after its census", 0, "RegOpenOrCreate", None, "", -1, false, 0, 2, 0, -1, "", 0},
        {"crash loop", 12600, "", None, "", 1, false, 0, 1, 0, 5000, "", 0},
        {"stopped by the update", 0, "", Terminates, "", -1, false, 5000, 0, 0, -1, "", 1},
        {"obeying the update's stop request", 0, "", ObeysStopRequest, "", -1, false, 39000, 0, 34000, -1, "", 0},
        {"with a stop file present", 12600, "", None, "", -1, true, 0, 1, -1, -1, "", 0},
        {"companion path only containing VESK.exe", 12600, "", None, "C:\\OLD\\VESK.exe.old", -1, false, 0, 1, 0, -1, "",
         0},
        {"companion path ending with VESK.exe", 12600, "", None, "D:\\VESK\\vesk.EXE", -1, false, 0, 1, 0, -1, "YES", 0},
        {"update with a path containing KORUMGR.exe", 0, "", Terminates, "C:\\OLD\\KORUMGR.exe.bak", -1, false, 5000, 0,
         0, -1, "", 1},
    };
    for (const Case& k : cases) {
        Rig r;
        if (k.diesAt) r.manager.diesAt = k.diesAt;
        r.fp.onCall = [&](const std::string& call) {
            if (call == k.diesAtCall && r.mem.now() == 15100 && r.manager.alive)
                r.manager.alive = false, r.manager.endedAt = 15100;
        };
        if (k.update != None) r.mem.AddFile("G:\\_Updates\\KORUMGRSERV01.exe", SmallExecutable('2'));
        r.manager.ignoresTerminate = k.update == ObeysStopRequest;
        r.manager.obeysStopAfterMs = k.update == ObeysStopRequest ? 1000 : -1;
        if (*k.other) r.mem.AddProcess(k.other);
        r.mem.startedLifeMs = k.startedLifeMs;
        if (k.stopFile) r.mem.AddFile(r.Path("ROREROZARIRADI.stp"));
        r.mem.RunFor(60000);
        ASSERT_FALSE(r.manager.alive) << k.what;
        const std::uint64_t end = r.manager.endedAt;
        const auto first = std::lower_bound(r.ticks.begin(), r.ticks.end(), end);
        EXPECT_EQ(first == r.ticks.end() ? -1 : static_cast<long>(*first - end), k.firstTick) << k.what;
        EXPECT_EQ(std::count(r.ticks.begin(), r.ticks.end(), end), k.ticksAtEnd) << k.what;
        std::vector<long> starts = r.StartsAfter(end);
        starts.resize(std::max<std::size_t>(starts.size(), 2), -1);
        EXPECT_EQ(starts[0], k.restart) << k.what;
        EXPECT_EQ(starts[1], k.nextRestart) << k.what;
        // The timer counts its five seconds from the end of the tick that restarted the manager.
        if (starts[0] >= 0) {
            EXPECT_EQ(*std::upper_bound(r.ticks.begin(), r.ticks.end(), end + starts[0]) - (end + starts[0]), 5000u)
                << k.what;
        }
        EXPECT_EQ(r.nested + r.mem.nestedTicks, 0) << k.what;
        EXPECT_EQ(r.mem.exitCode, k.stopFile ? kExitNormal : -1) << k.what;
        EXPECT_EQ(r.c.s.VESK_RUNNING, k.vesk) << k.what;
        EXPECT_EQ(r.mem.terminated.size(), k.terminated) << k.what;
    }
}

// Each share call of an update and of a report in turn hangs for 60 s, the
// update having come at 20000: a manager killed 10 s into the hang is back
// within a second, a stop file is obeyed within a tick, the share sees one
// call at a time and the tick none, and an update changed 20 s into the
// hang goes in, never the stale one.
TEST(ShareHang, AtEachShareCallOfAnUpdateAndAReport) {
    // The updates installed, and the build that ends up so: the changed
    // update, installed alone unless the first was in before the hang; a
    // removal that reaches the server late finds another file and leaves it.
    const struct {
        const char* call;
        int installs;
        char installed;
    } calls[] = {
        {"ListFirst", 1, '3'},                                                // the monitor's own build
        {"ListFirst", 1, '3'}, {"StatFile", 1, '3'}, {"ReadHeadDenyWrite", 1, '3'}, {"ReadChunk", 1, '3'},  // the look
        {"CopyFileTo", 1, '3'}, {"StatFile", 1, '3'}, {"StatFile", 1, '3'},  // the copy and its checks
        {"RemoveIfUnchanged", 2, '3'},                                        // the removal after the swap
        {"ListFirst", 2, '3'}, {"WriteText", 2, '3'}, {"MoveReplace", 2, '3'},  // the report
    };
    const std::string update = "G:\\_Updates\\KORUMGRSERV01.exe";
    auto setUp = [&](Rig& r, int stalled) {
        r.mem.AddFile(r.Path("ROREROZARIRADI.deb"));
        r.mem.AddDir("G:\\_Updates\\_Status");
        r.mem.RunFor(9900);  // the report of the first minute is written
        r.mem.AddFile(update, SmallExecutable('2'));
        r.fp.shareCallNames.clear();
        r.fp.stallShareCall = stalled ? r.fp.shareCalls + stalled : 0;
        r.fp.stallMs = 60000;
        while (r.fp.stallShareCall && !r.fp.stallBegan && r.mem.now() < 40000) r.mem.RunFor(100);
    };
    Rig reference;
    setUp(reference, 0);
    reference.mem.RunFor(5000);
    std::vector<std::string> names;
    for (const auto& k : calls) names.push_back(k.call);
    EXPECT_EQ(reference.fp.shareCallNames, names);
    for (int k = 1; k <= static_cast<int>(std::size(calls)); ++k) {
        const std::string what = "share call " + std::to_string(k) + ", " + calls[k - 1].call;
        Rig r;
        setUp(r, k);
        ASSERT_GT(r.fp.stallBegan, 0u) << what;
        r.mem.RunFor(r.fp.stallBegan + 10000 - r.mem.now());
        MemPlatform::Proc* manager = nullptr;
        for (auto& p : r.mem.procs)
            if (p.alive && p.path == r.Path("KORUMGR.exe")) manager = &p;
        ASSERT_NE(manager, nullptr) << what;
        manager->diesAt = r.mem.now();
        r.mem.RunFor(10000);
        const std::vector<long> starts = r.StartsAfter(manager->diesAt);
        ASSERT_FALSE(starts.empty()) << what;
        EXPECT_LE(starts[0], 1000) << what;
        r.mem.AddFile(update, SmallExecutable('3'));
        r.mem.RunFor(120000);
        EXPECT_EQ(r.mem.Read(r.Path("KORUMGR.exe")), SmallExecutable(calls[k - 1].installed)) << what;
        EXPECT_EQ(r.fp.shareCallsOnUi + r.fp.shareCallsMeanwhile, 0) << what;
        EXPECT_EQ(r.nested + r.mem.nestedTicks, 0) << what;
        const auto log = r.mem.LogMessages(r.Path("ROREROZARIRADI.deb"));
        EXPECT_EQ(std::count_if(log.begin(), log.end(),
                                [](const std::string& m) { return m.rfind("UPDATE DONE: ", 0) == 0; }),
                  calls[k - 1].installs)
            << what;
        EXPECT_EQ(std::count_if(log.begin(), log.end(),
                                [](const std::string& m) { return m.rfind("SHARE NOT ANSWERING: ", 0) == 0; }),
                  1)
            << what;

        Rig stopped;
        setUp(stopped, k);
        const std::uint64_t stopAt = stopped.fp.stallBegan + 10000;
        stopped.mem.RunFor(stopAt - stopped.mem.now());
        stopped.mem.AddFile(stopped.Path("ROREROZARIRADI.stp"));
        stopped.mem.RunFor(30000);
        EXPECT_EQ(stopped.mem.exitCode, kExitNormal) << what;
        EXPECT_LE(stopped.mem.now() - stopAt, 5000u + 2000u) << what;
    }
}

}  // namespace
}  // namespace rz
