#include <gtest/gtest.h>

#include <functional>

#include "world.h"

namespace rz {
namespace {

// Each row switches the in-memory platform to answer as a real server,
// clock or session may, where Wine is kinder, in the scene it would spoil:
// an update to take, a busy or frozen manager, a second start.
TEST(RealWindows, EachDifferenceInTheSceneItWouldSpoil) {
    using Ids = MemPlatform::FileIds;
    const std::string kUpdate = "G:\\_Updates\\KORUMGRSERV01.exe", kDone = "UPDATE DONE: '" + kUpdate +
        "', 1024 bytes, version unknown, is the new 'KORUMGR.exe'|UPDATE FILE DELETED: '" + kUpdate + "', known by its ";
    const std::string kFrozen = "'KORUMGR.exe' PID 1000 NOT RESPONDING";
    const auto hung = [](MemPlatform::Proc& p) { return p.windows.push_back({0x700 + p.pid, true, true}), true; };
    struct Row {
        const char* what;
        char scene;  // u: an update, f: a frozen manager, s: a start
        std::function<void(World&)> set;
        std::string records;
    } rows[] = {
        {"file index new at every open", 'u', [](World& w) { w.p.fileIds = Ids::PerOpen; },
         kDone + "content, as its file index is not the one it had when it was checked"},
        {"file information refused", 'u', [](World& w) { w.p.fileIds = Ids::Refused; },
         kDone + "content, as the share refuses the file's information"},
        {"clock put forward an hour as the manager starts", 'f', [&](World& w) {
             w.p.onStart = hung;
             w.p.onTime = [on = true](MemPlatform& p) mutable { p.now() > 10000 && on ? p.ShiftClock(3600), on = false : 0; };
         }, kFrozen + "|" + kFrozen + " FOR 115 s: terminated|'KORUMGR.exe' PID 1004 NOT RESPONDING"},
        {"judged manager refusing, another ending", 'f', [&](World& w) {
             MemPlatform::Proc& judged = w.p.AddProcess(w.Path("KORUMGR.exe"));
             judged.olderByMs = 3600000, judged.ignoresTerminate = true, hung(judged);
             w.p.AddProcess("D:\\TRAINING\\KORUMGR.exe").olderByMs = 3600000;
         }, kFrozen + "|" + kFrozen + " FOR 60 s: NOT TERMINATED, error 5|" + kFrozen + " FOR 121 s: NOT TERMINATED, error 5"},
        {"four tools named after the manager ahead of it", 'u', [](World& w) {
             for (int i = 0; i < 4; ++i) w.p.AddProcess("C:\\TOOLS\\KORUMGR.exe.cfgedit.exe");
         }, kDone + "file index"},
        {"a monitor of another session", 's', [](World& w) { w.p.otherSession = true; },
         "PrevInstance IN ANOTHER SESSION: this one ends"},
        {"listings and folder entries 10 s old", 'u', [](World& w) { w.p.staleMs = 10000; },
         kDone + "file index"},
        // Seed 115: the stop ended a manager of another folder.
        {"a manager of another folder running", 'u', [](World& w) { w.p.AddProcess("C:\\OLD\\KORUMGR.exe"); },
         kDone + "file index"},
    };
    for (const Row& k : rows) {
        World w;
        w.LoggingOn();
        w.AsStarted();
        w.p.AddDir("G:\\_Updates");
        w.p.AddFile(w.Path("KORUMGR.exe"), SmallExecutable('1'));
        if (k.scene == 'f') w.p.AddFile(w.Path("ROREROZARIRADI.hng"), "60");
        k.set(w);
        if (k.scene == 's') {
            EXPECT_EQ(w.Start(), kExitNormal) << k.what;
        } else if (k.scene == 'u') {
            w.p.AddProcess(w.Path("KORUMGR.exe"));
            w.p.AddFile(kUpdate, SmallExecutable('2'));
        }
        if (k.scene != 's') w.Tick(), w.p.RunFor(k.scene == 'u' ? 10000 : 140000);
        std::string records;
        for (const std::string& m : w.Log())
            if (m.rfind("UPDATE", 0) == 0 || m.rfind("PrevInstance", 0) == 0 || m.find("RESPONDING") != std::string::npos)
                records += (records.empty() ? "" : "|") + m;
        EXPECT_EQ(records, k.records) << k.what;
        for (const MemPlatform::Proc& p : w.p.procs)
            EXPECT_TRUE(p.alive || (k.scene == 'u' ? UCase(p.path) == UCase(w.Path("KORUMGR.exe")) : EndsWithNoCase(p.path, "KORUMGR.exe")))
                << k.what << ": " << p.path;
    }
}

}  // namespace
}  // namespace rz
