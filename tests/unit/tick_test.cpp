#include <gtest/gtest.h>

#include "diag/debug_log.h"
#include "world.h"

namespace rz {
namespace {

TEST(Tick, FirstTickAfter100msThenFiveSecondsAfterEachEnd) {
    World w;
    w.p.AddFile(w.Path("KORUMGR.exe"));
    w.p.startFailures = 1;  // retried by the next tick, not within this one
    ASSERT_EQ(w.Start(), -1);
    const std::uint64_t t0 = w.p.now();
    w.p.RunFor(20000);
    ASSERT_GE(w.p.tickTimes.size(), 3u);
    EXPECT_EQ(w.p.tickTimes[0] - t0, 100u);
    EXPECT_EQ(w.p.tickTimes[1] - w.p.tickTimes[0], 5000u);
    EXPECT_EQ(w.p.tickTimes[2] - w.p.tickTimes[1], 5000u);
    EXPECT_EQ(w.p.started.size(), 2u);
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

// A manager that cannot be started (random bytes) no longer holds the tick:
// the stop file is obeyed at the next tick.
TEST(Tick, UnstartableManagerLeavesStopFilesObeyed) {
    World w;
    w.p.AddFile(w.Path("KORUMGR.exe"), "random bytes");
    w.p.startFailures = 1000;
    ASSERT_EQ(w.Start(), -1);
    w.p.RunFor(12000);
    w.p.AddFile(w.Path("ROREROZARIRADI.stp"));
    EXPECT_FALSE(w.p.RunFor(5000));
    EXPECT_EQ(w.p.started.size(), 3u);
}

}  // namespace
}  // namespace rz
