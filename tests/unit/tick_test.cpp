#include <gtest/gtest.h>

#include "diag/debug_log.h"
#include "world.h"

namespace rz {
namespace {

TEST(Tick, FirstTickAfter100msThenFiveSecondsAfterEachEnd) {
    World w;
    w.p.AddFile(w.Path("KORUMGR.exe"));
    w.p.startFailures = 1;  // the first tick lasts five seconds longer
    ASSERT_EQ(w.Start(), -1);
    const std::uint64_t t0 = w.p.now();
    w.p.RunFor(20000);
    ASSERT_GE(w.p.tickTimes.size(), 3u);
    EXPECT_EQ(w.p.tickTimes[0] - t0, 100u);
    EXPECT_EQ(w.p.tickTimes[1] - w.p.tickTimes[0], 10000u);
    EXPECT_EQ(w.p.tickTimes[2] - w.p.tickTimes[1], 5000u);
    EXPECT_EQ(w.p.CountAlive("KORUMGR.exe"), 1);
}

TEST(Tick, StopFilesInOrderEndTheProgramBeforeTheCensus) {
    World w;
    w.LoggingOn();
    w.AsStarted();
    w.p.AddFile(w.Path("KORUMGR.exe"));
    w.p.AddFile(w.Path("ROREROZARIRADI.stp"));
    w.p.AddFile(w.Path("KORUMGRS.stp"));
    EXPECT_EQ(w.Tick(), kExitNormal);
    EXPECT_EQ(w.Log(), std::vector<std::string>{"STOPPING WITH C:\\APPS\\KORU\\ROREROZARIRADI.stp"});
    EXPECT_TRUE(w.p.started.empty());
    EXPECT_EQ(w.p.timerInterval, 0u);
}

TEST(Tick, AFolderStopsLikeAFileAndLoggingOffWritesNothing) {
    World w;
    w.AsStarted();
    w.p.AddDir(w.Path("KORUMGRS.stp"));
    EXPECT_EQ(w.Tick(), kExitNormal);
    EXPECT_FALSE(w.p.Has(w.LogPath()));
}

TEST(Tick, KORUMGRstpIsNoStopFileForTheMonitor) {
    World w;
    w.AsStarted();
    w.p.AddFile(w.Path("KORUMGR.stp"));
    EXPECT_EQ(w.Tick(), -1);
    EXPECT_EQ(w.p.timerInterval, 5000u);
}

// A tick that meets a failure goes no further, but the timer comes back.
TEST(Tick, FailureAbandonsTheTickAndRearmsTheTimer) {
    World w;
    w.AsStarted("SERV01");
    w.LoggingOn();
    w.c.s.sMainShareOK.clear();
    w.p.AddDir("G:\\_Updates");
    w.p.AddFile("G:\\_Updates\\KORUMGRSERV01.exe", "not an exe");
    w.p.AddFile(w.Path("KORUMGR.exe"));
    auto& mgr = w.p.AddProcess(w.Path("KORUMGR.exe"));
    mgr.ignoresTerminate = true;
    w.p.AddDir(w.Path("KORUMGR.stp"));  // the stop request cannot be written
    // Make the update look complete so the check reaches the stop request.
    std::string exe(1024, '\0');
    exe[0] = 'M', exe[1] = 'Z', exe[0x3C] = 0x40;
    exe.replace(0x40, 4, std::string("PE\0\0", 4));
    exe[0x46] = 1;
    w.p.AddFile("G:\\_Updates\\KORUMGRSERV01.exe", exe);
    EXPECT_EQ(w.Tick(), -1);
    EXPECT_TRUE(w.c.frmMAIN.timerEnabled);
    EXPECT_EQ(w.p.timerInterval, 5000u);
    EXPECT_EQ(w.Log().back(), "ERROR: the stop request 'C:\\APPS\\KORU\\KORUMGR.stp' cannot be written");
    EXPECT_TRUE(w.p.Has("G:\\_Updates\\KORUMGRSERV01.exe"));
}

}  // namespace
}  // namespace rz
