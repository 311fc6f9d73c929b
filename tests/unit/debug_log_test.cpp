#include <gtest/gtest.h>

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
    EXPECT_EQ(DateLiteral({987, 10, 11, 12, 13, 14}), "#0987-10-11 12:13:14#");
    EXPECT_EQ(DateLiteral({12345, 1, 2, 23, 0, 0}), "#12345-01-02 23:00:00#");
    EXPECT_EQ(std::string(kMainBanner).size(), 71u);
    EXPECT_EQ(std::string(kStartBanner).size(), 72u);
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
