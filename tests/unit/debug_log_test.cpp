#include <gtest/gtest.h>

#include <algorithm>

#include "diag/debug_log.h"
#include "ui/frm_main.h"
#include "ui/pictures.h"
#include "world.h"

namespace rz {
namespace {

TEST(DebugLog, RecordFormat) {
    EXPECT_EQ(FormatRecord({2024, 3, 7, 18, 5, 9}, "say \"hi\", ok"), "#2024-03-07 18:05:09#,\"say \"hi\", ok\"\r\n");
    EXPECT_EQ(FormatRecord({2024, 3, 8, 0, 0, 0}, "x"), "#2024-03-08#,\"x\"\r\n");
    EXPECT_EQ(DateLiteral({2024, 12, 31, 0, 0, 1}), "#2024-12-31 00:00:01#");
    EXPECT_EQ(std::string(kMainBanner), "i==============================   MAIN   ==============================");
    EXPECT_EQ(std::string(kStartBanner), "i==============================   START   ==============================");
    EXPECT_EQ(DateLiteral({987, 10, 11, 12, 13, 14}), "#0987-10-11 12:13:14#");
    EXPECT_EQ(DateLiteral({12345, 1, 2, 23, 0, 0}), "#12345-01-02 23:00:00#");
}

TEST(DebugLog, GroupIsOneAppendAndDllErrorText) {
    World w;
    w.AsStarted();
    w.c.s.sDebugFile = w.LogPath();
    ReportDllError(w.c, 5, "TerminateProcess failed", "mdlMisc", "Kill_Process");
    ReportDllError(w.c, -1, "x", "m", "p");
    EXPECT_EQ(w.Log(), (std::vector<std::string>{"DLL ERROR: 5 at mdlMisc\\Kill_Process >>> TerminateProcess failed",
                                                 "DLL ERROR: -1 at m\\p >>> x"}));
}

// Each step writes one group; a step whose group cannot be written loses
// it, and the next group that is written starts with the count.
TEST(DebugLog, LostRecordsAreCountedAndMarkedOnce) {
    struct Step {
        enum { Writable, ReadOnly, Folder, DiskFull } log;
        std::vector<std::string> messages;
    };
    const std::vector<Step> steps = {
        {Step::ReadOnly, {"a", "b"}}, {Step::Folder, {"c"}},   {Step::DiskFull, {"d"}},
        {Step::Writable, {"e"}},      {Step::Writable, {"f"}}, {Step::DiskFull, {"g"}},
        {Step::Writable, {"h", "i"}},
    };
    World w;
    w.AsStarted();
    w.c.s.sDebugFile = w.LogPath();
    std::string written;
    for (const Step& step : steps) {
        if (step.log == Step::Folder)
            w.p.AddDir(w.LogPath());
        else
            w.p.AddFile(w.LogPath(), written, step.log == Step::ReadOnly);
        w.p.appendFailures = step.log == Step::DiskFull;
        DebugRecords(w.c, step.messages);
        if (step.log != Step::Folder) written = w.p.Read(w.LogPath());
    }
    EXPECT_EQ(w.Log(), (std::vector<std::string>{"LOST RECORDS: 4", "e", "f", "LOST RECORDS: 1", "h", "i"}));
    EXPECT_EQ(w.c.s.lostRecords, 0u);
}

// A log that has passed 10 MB becomes <log>.1 and the same group starts a
// new log; when that cannot happen, no record is lost and logging stays on.
TEST(DebugLog, FullLogIsRotatedInTheSameStep) {
    const std::string full(10485761, 'x');
    const std::string rotated = "LOG CONTINUED, OLDER RECORDS IN: C:\\APPS\\KORU\\ROREROZARIRADI.deb.1";
    struct Case {
        const char* name;
        std::string log;
        bool oldReadOnly;   // an older <log>.1 that cannot be replaced
        int appendFailures;
        std::uint64_t lost;
        std::vector<std::string> newLog;
        std::string dot1;   // content of <log>.1 afterwards
    } cases[] = {
        {"at the limit", full.substr(1), false, 0, 0, {}, "older"},
        {"past the limit", full, false, 0, 0, {rotated, "m"}, full},
        {"with lost records", full, false, 0, 2, {rotated, "LOST RECORDS: 2", "m"}, full},
        {"old log read-only", full, true, 0, 0, {}, "older"},
        {"new log not written", full, false, 1, 0, {}, ""},  // the old log moved back
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        World w;
        w.AsStarted();
        w.c.s.sDebugFile = w.LogPath();
        w.c.s.lostRecords = k.lost;
        w.p.AddFile(w.LogPath(), k.log);
        w.p.AddFile(w.LogPath() + ".1", "older", k.oldReadOnly);
        w.p.appendFailures = k.appendFailures;
        DebugRecord(w.c, "m");
        EXPECT_EQ(w.p.Read(w.LogPath() + ".1"), k.dot1);
        if (k.newLog.empty()) {
            const bool lost = k.appendFailures > 0;
            EXPECT_EQ(w.p.Read(w.LogPath()).size(), k.log.size() + (lost ? 0 : 27));
            EXPECT_EQ(w.p.Read(w.LogPath()).compare(0, k.log.size(), k.log), 0);
            EXPECT_EQ(w.c.s.lostRecords, lost ? 1u : 0u);
        } else {
            EXPECT_EQ(w.Log(), k.newLog);
        }
    }
}

TEST(DebugLog, LoggingGoesOnAfterRotation) {
    World w;
    w.p.AddFile(w.LogPath(), std::string(kLogLimitBytes + 100, 'x'));
    w.p.AddFile(w.Path("KORUMGR.exe"));
    w.p.AddProcess(w.Path("KORUMGR.exe"));
    w.AsStarted();
    w.Tick();
    w.Tick();
    EXPECT_EQ(w.c.s.sDebugFile, w.LogPath());
    const std::vector<std::string> log = w.Log();
    ASSERT_GT(log.size(), 4u);
    EXPECT_EQ(log[0], "LOG CONTINUED, OLDER RECORDS IN: C:\\APPS\\KORU\\ROREROZARIRADI.deb.1");
    EXPECT_EQ(log[1], "ELKORUMGR_RUNNING: YES");
    EXPECT_EQ(std::count(log.begin(), log.end(), log[0]), 1);
}

TEST(DebugLog, SwitchFileComesAndGoesWithStartBanners) {
    World w;
    w.AsStarted();
    w.p.AddFile(w.Path("KORUMGR.exe"));
    w.p.AddProcess(w.Path("KORUMGR.exe"));
    w.Tick();
    EXPECT_FALSE(w.p.Has(w.LogPath()));
    w.LoggingOn();
    w.Tick();
    w.Tick();
    std::vector<std::string> log = w.Log();
    EXPECT_EQ(log[0], kStartBanner);
    EXPECT_EQ(log[1], "VERSION: 15.0.0.0");
    EXPECT_EQ(log[2], "ELKORUMGR_RUNNING: YES");
    int banners = 0;
    for (const std::string& m : log) banners += m == kStartBanner;
    EXPECT_EQ(banners, 1);
    w.p.RemoveFile(w.LogPath());
    w.Tick();
    EXPECT_EQ(w.c.s.sBannerDone, "");
    EXPECT_FALSE(w.p.Has(w.LogPath()));
    w.LoggingOn();
    w.Tick();
    EXPECT_EQ(w.Log()[0], kStartBanner);
}

TEST(DebugLog, MainBannerAtStartMeansNoStartBannerAtFirstTick) {
    World w;
    w.LoggingOn();
    w.Start();
    w.p.RunFor(100);
    for (const std::string& m : w.Log()) EXPECT_NE(m, kStartBanner);
    EXPECT_EQ(w.Log()[0], kMainBanner);
}

TEST(MainWindow, TimerFollowsEnabledAndInterval) {
    World w;
    TimerMONITORVESK_SetEnabled(w.c, true);
    EXPECT_EQ(w.p.timerInterval, 0u);  // interval 0 raises nothing
    TimerMONITORVESK_SetInterval(w.c, 5000);
    EXPECT_EQ(w.p.timerInterval, 5000u);
    w.p.RunFor(3000);
    TimerMONITORVESK_SetInterval(w.c, 5000);  // restarts the count
    w.p.RunFor(4999);
    EXPECT_TRUE(w.p.tickTimes.empty());
    TimerMONITORVESK_SetEnabled(w.c, false);
    EXPECT_EQ(w.p.timerInterval, 0u);
}

std::uint32_t Le32(const Picture& p, std::size_t at) {
    return p.data[at] | p.data[at + 1] << 8 | p.data[at + 2] << 16 | std::uint32_t(p.data[at + 3]) << 24;
}

// Palette bitmaps with exactly the colours drawn, run-length encoded; the
// build reads each one back and compares it pixel by pixel with the drawing.
TEST(MainWindow, PicturesAreBottomUpRle8BitmapsOfTheirSizes) {
    const Picture pictures[] = {LampPicture(0), LampPicture(1), LampPicture(2), BalloonPicture()};
    for (const Picture& p : pictures) {
        ASSERT_GT(p.size, 54u);
        EXPECT_EQ(p.data[0], 'B');
        EXPECT_EQ(Le32(p, 2), p.size);
        EXPECT_EQ(Le32(p, 10), 54u + 4 * 3);  // three colours each
        EXPECT_EQ(Le32(p, 14), 40u);
        EXPECT_EQ(p.data[28], 8);
        EXPECT_EQ(Le32(p, 30), 1u);  // BI_RLE8
        EXPECT_EQ(Le32(p, 34), p.size - 66);
        EXPECT_EQ(Le32(p, 46), 3u);
    }
    EXPECT_EQ(LampPicture(0).size, 410u);
    EXPECT_EQ(Le32(LampPicture(0), 54 + 4 * 2), 0x00E60000u);  // red 230 after white and black
    EXPECT_EQ(BalloonPicture().size, 4522u);
    EXPECT_EQ(Le32(BalloonPicture(), 54 + 4 * 2), 0x00FFFF80u);  // the light-yellow fill
    EXPECT_EQ(Le32(BalloonPicture(), 18), 356u);
    EXPECT_EQ(Le32(BalloonPicture(), 22), 332u);  // positive height: bottom-up
    const FormDesign d = frmMAIN_Design();
    EXPECT_EQ(d.clientWidth, 632);
    EXPECT_EQ(d.clientHeight, 453);
    EXPECT_EQ(d.images[3].box.top, -18);
}

}  // namespace
}  // namespace rz
