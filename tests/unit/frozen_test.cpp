#include <gtest/gtest.h>

#include "diag/status_report.h"
#include "world.h"

namespace rz {
namespace {

// The manager's windows, one letter each: H hangs, R keeps responding, G
// hangs and is hidden behind its ghost, h is a hidden helper that hangs.
// The first tick, at 10000, sees them all; they hang as the tick of 15000
// falls due, and a limit of 60 s ends the manager at the tick of 75000.
TEST(Frozen, NoticedReportedAndEndedWhereTheLimitFileAsks) {
    const char* const kOld = "KORUMGR-20231231-235959.dmp";
    const std::string kFound = "'KORUMGR.exe' PID 1000 NOT RESPONDING", kApp = "'C:\\APPS\\KORU\\";
    const std::string kEnded = "|DUMP: " + kApp + "KORUMGR-20240307-180614.dmp'|" + kFound + " FOR 60 s: terminated";
    const std::string kLimit = "|HANG LIMIT: " + kApp + "ROREROZARIRADI.hng' ";
    const std::string kBelow = "not a number of seconds of 60 or more; 60 s taken";
    struct Case {
        const char* what;
        const char* limit;  // content of ROREROZARIRADI.hng; nullptr: none, "<dir>": a folder
        const char* windows;
        std::uint64_t thawAt;  // 0: never
        bool hold, startedByMonitor;
        std::uint64_t dumpTakesMs;
        long endedAfter;  // from the freeze to the manager's end: 60 s, a dump, 30 ms of teardown; -1: it runs on
        std::size_t starts;
        const char* responding;  // the report's manager_responding at the end
        std::string records;
        std::uint64_t createdBeforeMs = 3600000;  // of a manager found running: its age at the first tick
        bool refuses = false;                     // TerminateProcess refuses it
    } cases[] = {
        {"hung for less than the limit", "300", "H", 0, false, false, 800, -1, 0, "no", kFound},
        {"hung past the limit", "60\r\n", "H", 0, false, false, 800, 60830, 1, "yes", kFound + kEnded},
        {"hung during the update's hold", "60", "H", 0, true, false, 800, -1, 0, "no", kFound},
        {"hung within the start grace", "60", "H", 0, false, true, 800, 115830, 2, "yes",
         kFound + "|DUMP: " + kApp + "KORUMGR-20240307-180709.dmp'|" + kFound + " FOR 115 s: terminated"},
        {"no visible window", "60", "h", 0, false, false, 800, -1, 0, "yes", ""},
        {"one of two windows hung", "60", "HR", 0, false, false, 800, -1, 0, "yes", ""},
        {"hung window hidden behind its ghost", "60", "G", 0, false, false, 800, 60830, 1, "yes", kFound + kEnded},
        {"responding again", "60", "H", 41000, false, false, 800, -1, 0, "yes",
         kFound + "|'KORUMGR.exe' PID 1000 RESPONDING AGAIN after 30 s"},
        {"responding again during its dump", "60", "H", 75400, false, false, 800, -1, 0, "yes",
         kFound + "|DUMP: " + kApp + "KORUMGR-20240307-180614.dmp'|'KORUMGR.exe' PID 1000 RESPONDING AGAIN after 65 s"},
        {"no limit file", nullptr, "H", 0, false, false, 800, -1, 0, "no", kFound},
        {"limit file holding 0", "0", "H", 0, false, false, 800, 60830, 1, "yes",
         kFound + kLimit + "holds '0', " + kBelow + kEnded},
        {"limit file holding junk", "1e3", "H", 0, false, false, 800, 60830, 1, "yes",
         kFound + kLimit + "holds '1e3', " + kBelow + kEnded},
        {"limit file that is a folder", "<dir>", "H", 0, false, false, 800, 60830, 1, "yes",
         kFound + kLimit + "is a folder; 60 s taken" + kEnded},
        {"a dump that does not end", "60", "H", 0, false, false, 60000, 65030, 1, "yes",
         kFound + "|DUMP FAILED: " + kApp + "KORUMGR-20240307-180614.dmp', error 258|" + kFound +
             " FOR 65 s: terminated"},
        // Its grace counts from its creation, whoever started it.
        {"found running 10 s old", "60", "H", 0, false, false, 800, 105830, 1, "yes",
         kFound + "|DUMP: " + kApp + "KORUMGR-20240307-180659.dmp'|" + kFound + " FOR 105 s: terminated", 10000},
        {"refusing its termination", "60", "H", 0, false, false, 800, -1, 0, "no",
         kFound + "|DUMP: " + kApp + "KORUMGR-20240307-180614.dmp'|" + kFound + " FOR 60 s: NOT TERMINATED, error 5|" +
             "DUMP: " + kApp + "KORUMGR-20240307-180714.dmp'|" + kFound + " FOR 121 s: NOT TERMINATED, error 5",
         3600000, true},
    };
    for (const Case& k : cases) {
        World w;
        w.LoggingOn();
        w.AsStarted();
        w.p.AddFile(w.Path("KORUMGR.exe"));
        for (const char* name : {kOld, "KORUMGR-20240101-000000.dmp", "KORUMGR-20240102-000000.dmp", "KORUMGR-x.dmp"})
            w.p.AddFile(w.Path(name), "MDMP");
        if (k.limit && std::string(k.limit) == "<dir>")
            w.p.AddDir(w.Path("ROREROZARIRADI.hng"));
        else if (k.limit)
            w.p.AddFile(w.Path("ROREROZARIRADI.hng"), k.limit);
        w.p.dumpTakesMs = k.dumpTakesMs;
        if (!k.startedByMonitor) {
            MemPlatform::Proc& found = w.p.AddProcess(w.Path("KORUMGR.exe"));
            found.olderByMs = k.createdBeforeMs;
            found.ignoresTerminate = k.refuses;
        }
        bool frozen = false;
        w.p.onTime = [&](MemPlatform& p) {
            if (p.procs.empty()) return;
            MemPlatform::Proc& m = p.procs.front();
            if (m.windows.empty())
                for (const char* ch = k.windows; *ch; ++ch) m.windows.push_back({0x700 + Handle(ch - k.windows), *ch != 'h'});
            if (!frozen && p.now() > 10000) {
                frozen = true;
                for (std::size_t i = 0; i < m.windows.size(); ++i) {
                    m.windows[i].hung = k.windows[i] != 'R';
                    if (k.windows[i] == 'G') m.windows[i].visible = false;
                }
            }
            if (k.thawAt && p.now() >= k.thawAt)
                for (auto& win : m.windows) win.hung = false, win.visible = true;
            if (k.hold) w.c.s.sUpdateHold = kYes;
        };
        w.p.onTime(w.p);
        ASSERT_EQ(w.Tick(), -1) << k.what;
        // A tool named after the manager is no manager, whatever happens to it.
        const MemPlatform::Proc& tool = w.p.AddProcess("C:\\TOOLS\\KORUMGR.exe.cfgedit.exe");
        w.p.RunFor(140000);
        EXPECT_TRUE(tool.alive) << k.what;
        const MemPlatform::Proc& manager = w.p.procs.front();
        EXPECT_EQ(manager.alive ? -1L : static_cast<long>(manager.endedAt) - 15000, k.endedAfter) << k.what;
        EXPECT_EQ(w.p.started.size(), k.starts) << k.what;
        std::string records;
        for (const std::string& m : w.Log())
            if (m.find("RESPONDING") != std::string::npos || m.rfind("HANG LIMIT", 0) == 0 || m.rfind("DUMP", 0) == 0)
                records += (records.empty() ? "" : "|") + m;
        EXPECT_EQ(records, k.records) << k.what;
        const std::string report = StatusText(w.c);
        EXPECT_NE(report.find(std::string("\r\nmanager_responding=") + k.responding + "\r\n"), std::string::npos)
            << k.what << report;
        const std::string since = std::string(k.responding) == "no" ? "2024-03-07T18:05:14" : "";
        EXPECT_NE(report.find("\r\nnot_responding_since=" + since + "\r\n"), std::string::npos) << k.what;
        // The report says what was done: the last termination, or its failure.
        const std::size_t end = records.rfind("terminated");
        if (end != std::string::npos) {
            const char* event = records[end - 4] == 'N' ? "manager not terminated, not responding"
                                                         : "manager terminated, not responding";
            EXPECT_NE(report.find(std::string("\r\nlast_event=") + event + "\r\n"), std::string::npos) << k.what;
        }
        const bool dumped = records.find("DUMP: ") != std::string::npos;
        EXPECT_EQ(w.p.Has(w.Path(kOld)), !dumped) << k.what;  // three newest kept
        EXPECT_TRUE(w.p.Has(w.Path("KORUMGR-x.dmp"))) << k.what;
    }
}

}  // namespace
}  // namespace rz
