#include <gtest/gtest.h>

#include <algorithm>

#include "diag/status_report.h"
#include "world.h"

namespace rz {
namespace {

const char* const kShare = "\\\\SERV01\\G\\_Updates";
const char* const kStatus = "\\\\SERV01\\G\\_Updates\\_Status";
const char* const kReport = "\\\\SERV01\\G\\_Updates\\_Status\\PCWS07.txt";
const char* const kTemp = "\\\\SERV01\\G\\_Updates\\_Status\\PCWS07.tmp";

// A workstation, started, whose update share holds a status folder.
struct Station {
    World w;
    explicit Station(bool statusFolder = true) {
        w.LoggingOn();
        w.p.computerName = "PCWS07";
        w.p.unreachableHosts.insert("MAINPC");
        w.p.AddFile(w.Path("ROREROZARIRADI.exe"));
        w.p.versions[UCase(w.Path("ROREROZARIRADI.exe"))] = "15.0.0.0";
        w.p.AddDir(kShare);
        if (statusFolder) w.p.AddDir(kStatus);
        w.p.AddFile(w.Path("KORUMGR.exe"), SmallExecutable('1'));
        w.p.versions[UCase(w.Path("KORUMGR.exe"))] = "2.0.0.0";
        EXPECT_EQ(w.Start(), -1);
    }
    std::string Value(const std::string& key) const {
        const std::string text = "\n" + w.p.Read(kReport);
        const std::size_t at = text.find("\n" + key + "=");
        if (at == std::string::npos) return "<missing>";
        const std::size_t from = at + key.size() + 2;
        return text.substr(from, text.find('\r', from) - from);
    }
    int StatusListings() const {
        return static_cast<int>(std::count(w.p.listed.begin(), w.p.listed.end(), std::string(kStatus)));
    }
    int LogCount(const std::string& prefix) const {
        int n = 0;
        for (const std::string& m : w.Log()) n += m.rfind(prefix, 0) == 0;
        return n;
    }
};

TEST(Status, FileHoldsOneFactPerLineAfterStartUpdateAndStop) {
    Station st;
    World& w = st.w;
    w.p.AddFile(std::string(kShare) + "\\KORUMGRPCWS07.exe", SmallExecutable('2'));
    w.p.RunFor(1000);  // 18:05:09: starts the manager, replaces it, starts the new build
    EXPECT_EQ(w.p.Read(kReport),
              "status_format=1\r\n"
              "machine=PCWS07\r\n"
              "monitor_version=15.0.0.0\r\n"
              "written=2024-03-07T18:05:09\r\n"
              "monitor_started=2024-03-07T18:05:09\r\n"
              "manager_running=yes\r\n"
              "manager_pid=1004\r\n"
              "manager_responding=yes\r\n"
              "not_responding_since=\r\n"
              "manager_version=2.0.0.0\r\n"
              "manager_length=1024\r\n"
              "manager_written=2024-03-07T18:05:09\r\n"
              "starts_24h=2\r\n"
              "last_event=update applied\r\n"  // outweighs the start of the same tick
              "last_event_time=2024-03-07T18:05:09\r\n"
              "last_update=applied\r\n"
              "last_update_file=KORUMGRPCWS07.exe\r\n"
              "last_update_time=2024-03-07T18:05:09\r\n"
              "last_update_reason=\r\n"
              "monitor_update=\r\n"
              "monitor_update_version=\r\n"
              "monitor_update_time=\r\n"
              "monitor_update_reason=\r\n"
              "update_key=no\r\n"
              "logging=on\r\n"
              "end=1\r\n");
    EXPECT_FALSE(w.p.Has(kTemp));

    w.p.RunFor(6000);  // the next tick has nothing new to tell
    EXPECT_EQ(st.Value("manager_running"), "yes");
    EXPECT_EQ(st.Value("manager_pid"), "1004");
    EXPECT_EQ(st.Value("starts_24h"), "2");
    EXPECT_EQ(st.Value("last_event"), "update applied");
    EXPECT_EQ(st.Value("written"), "2024-03-07T18:05:09");

    w.p.RemoveFile(w.LogPath());
    w.p.AddFile(w.Path("ROREROZARIRADI.stp"));
    w.p.RunFor(6000);
    EXPECT_TRUE(w.p.ended);
    EXPECT_EQ(st.Value("last_event"), "monitor stopping");
    EXPECT_EQ(st.Value("logging"), "off");
}

TEST(Status, FailedStartsAndCrashesAreWrittenInTheirOwnTick) {
    Station st;
    World& w = st.w;
    w.p.AddProcess(w.Path("KORUMGR.exe"));  // pid 1000, running from before
    w.p.RunFor(1000);
    EXPECT_EQ(st.Value("manager_pid"), "1000");
    EXPECT_EQ(st.Value("last_event"), "monitor started");
    EXPECT_EQ(st.Value("starts_24h"), "0");

    w.p.procs[0].alive = false;
    w.p.startFailures = 1;
    w.p.RunFor(5000 + 5000);  // a tick at the crash: one failed start, then a start five seconds on
    EXPECT_EQ(st.Value("last_event"), "manager started");
    EXPECT_EQ(st.Value("last_event_time"), "2024-03-07T18:05:15");
    EXPECT_EQ(st.Value("manager_pid"), "1004");
    EXPECT_EQ(st.Value("starts_24h"), "1");
    w.c.s.status = StatusState{};  // a monitor started afresh reads the start back
    StatusMonitorStarted(w.c);
    w.p.RunFor(5000);
    EXPECT_EQ(st.Value("starts_24h"), "1");

    w.p.RunFor(25ull * 60 * 60 * 1000);  // the start leaves the 24-hour window
    EXPECT_EQ(st.Value("starts_24h"), "0");

    w.p.procs[1].alive = false;
    w.p.RemoveFile(w.Path("KORUMGR.exe"));
    w.p.RunFor(5000);
    EXPECT_EQ(st.Value("last_event"), "manager found missing");
    EXPECT_EQ(st.Value("manager_running") + st.Value("manager_pid") + st.Value("manager_version"), "no");
}

// The report says why an update did not go in, in the log's words, until
// a later one does.
TEST(Status, RefusalReasonUntilTheNextApplied) {
    Station st;
    World& w = st.w;
    const std::string update = std::string(kShare) + "\\KORUMGRPCWS07.exe";
    w.p.AddDir(w.Path("UpdateKey.pem"));
    w.p.AddFile(update, SmallExecutable('3'));
    w.p.RunFor(1000);
    EXPECT_EQ(st.Value("last_update") + "|" + st.Value("last_update_reason") + "|" + st.Value("update_key"),
              "refused|UPDATE REFUSED: the key 'C:\\APPS\\KORU\\UpdateKey.pem' cannot be read, error 5|yes");
    w.p.AddFile(w.Path("UpdateKey.pem"));  // a file in the folder's place, then none
    w.p.RemoveFile(w.Path("UpdateKey.pem"));
    w.p.AddFile(update, SmallExecutable('4'));
    w.p.RunFor(61000);
    EXPECT_EQ(st.Value("last_update") + "|" + st.Value("last_update_reason") + "|" + st.Value("update_key"), "applied||no");
}

// Each update event of either program reaches the report at the next tick,
// not the heartbeat, with its reason; a wait told again is no new event.
TEST(Status, EveryUpdateEventWithItsReasonAtTheNextTick) {
    struct Row {
        const char* result;  // of the monitor's update; "" for its wait, "manager" for the manager's wait
        const char* version;
        const char* reason;
        const char* expected;  // last_event|monitor_update|monitor_update_version
    } rows[] = {
        {"refused", "", "MONITOR UPDATE REFUSED: the signature 'G:\\x.sig' is missing", "monitor update refused|refused|"},
        {"failed", "15.2.0.0", "MONITOR UPDATE FAILED: 'C:\\x' cannot be renamed", "monitor update failed|failed|15.2.0.0"},
        {"rolled back", "15.2.0.0", "MONITOR UPDATE ROLLED BACK: version 15.2.0.0 (PID 9) ended before it was ready, exit "
         "code 3", "monitor rolled back|rolled back|15.2.0.0"},
        {"applied", "15.2.0.0", "", "monitor updated|applied|15.2.0.0"},
        {"", "", "MONITOR UPDATE WAITING: 'G:\\x' waits until the manager's fresh build has run 2 minutes",
         "monitor update waiting||"},
        {"manager", "", "UPDATE WAITING: 'G:\\y' waits", "update waiting||"},
    };
    for (const Row& row : rows) {
        Station st;
        st.w.p.AddProcess(st.w.Path("KORUMGR.exe"));
        st.w.p.RunFor(6000);
        const std::string result = row.result;
        for (int again = 0; again < 2; ++again) {
            if (result == "manager")
                StatusUpdateWaiting(st.w.c, row.reason);
            else if (result.empty())
                StatusMonitorUpdateWaiting(st.w.c, row.reason);
            else if (again == 0)
                StatusMonitorUpdate(st.w.c, result, row.version, row.reason);
            const std::string written = st.Value("written");
            st.w.p.RunFor(5000);
            EXPECT_EQ(st.Value("written") != written, again == 0) << row.expected;
        }
        EXPECT_EQ(st.Value("last_event") + "|" + st.Value("monitor_update") + "|" + st.Value("monitor_update_version"),
                  row.expected);
        EXPECT_EQ(st.Value(result == "manager" ? "last_update_reason" : "monitor_update_reason"), row.reason);
    }
}

// A rollback and the start of the previous build come in one tick: the
// report carries the rollback, and once written the next event follows.
TEST(Status, RollbackIsNotHiddenByTheStartInTheSameTick) {
    Station st;
    World& w = st.w;
    w.p.AddFile(std::string(kShare) + "\\KORUMGRPCWS07.exe", SmallExecutable('2'));
    w.p.RunFor(1000);  // replaces the manager
    for (int tick = 0; tick < 5 && st.LogCount("ROLLBACK:") == 0; ++tick) {
        for (MemPlatform::Proc& proc : w.p.procs) proc.alive = false;  // the new build quits at once
        w.p.RunFor(5000);
    }
    ASSERT_EQ(st.LogCount("ROLLBACK:"), 1);
    EXPECT_EQ(st.Value("last_event") + "|" + st.Value("last_update") + "|" + st.Value("last_update_file") + "|" +
                  st.Value("manager_running") + "|" + st.Value("last_update_reason"),
              "update rolled back|rolled back|KORUMGRPCWS07.exe|yes|ROLLBACK: the build of "
              "'\\\\SERV01\\G\\_Updates\\KORUMGRPCWS07.exe' will not run; the previous 'KORUMGR.exe' is back");
    for (MemPlatform::Proc& proc : w.p.procs) proc.alive = false;
    w.p.RunFor(5000);
    EXPECT_EQ(st.Value("last_event"), "manager started");
}

// Every later write falls due by the heartbeat alone: a steady machine
// reports at least once a minute and not much more often.
TEST(Status, HeartbeatKeepsGapsBetween55And60Seconds) {
    Station st;
    World& w = st.w;
    w.p.AddProcess(w.Path("KORUMGR.exe"));
    std::vector<std::uint64_t> writes;
    w.p.onTime = [&](MemPlatform& p) {
        const MemPlatform::Node* n = p.Find(kReport);
        if (n && (writes.empty() || writes.back() != n->writtenAt)) writes.push_back(n->writtenAt);
    };
    w.p.RunFor(10 * 60 * 1000);
    ASSERT_GE(writes.size(), 10u);
    EXPECT_LE(writes.size(), 11u);
    for (std::size_t i = 1; i < writes.size(); ++i) {
        EXPECT_GE(writes[i] - writes[i - 1], 55000u) << i;
        EXPECT_LE(writes[i] - writes[i - 1], 60000u) << i;
    }
}

// A report that cannot be written, whichever step fails: one record when the
// outage begins, one when it ends. A folder out of reach (a host, or a
// drive or share whose folder is gone) is looked at by the heartbeat only;
// a write that failed in a folder that answered (a reader holding the file
// makes the move fail) is tried at every tick and lands at the first tick
// after the fault.
TEST(Status, OutageCostsOneRecordEachWay) {
    struct Fault {
        const char* name;
        void (*begin)(MemPlatform&);
        void (*end)(MemPlatform&);
        const char* error;
        bool everyTick;
    } faults[] = {
        {"unreachable", [](MemPlatform& p) { p.unreachableHosts.insert("SERV01"); },
         [](MemPlatform& p) { p.unreachableHosts.clear(); }, "53", false},
        {"update folder gone", [](MemPlatform& p) { p.RemoveTree(kShare); },
         [](MemPlatform& p) { p.AddDir(kShare), p.AddDir(kStatus); }, "3", false},
        {"write", [](MemPlatform& p) { p.AddFile(kTemp, "", true); }, [](MemPlatform& p) { p.AddFile(kTemp); }, "5",
         true},
        {"move", [](MemPlatform& p) { p.failMove = true; }, [](MemPlatform& p) { p.failMove = false; }, "5", true},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.name);
        Station t;
        t.w.p.AddProcess(t.w.Path("KORUMGR.exe"));
        t.w.p.RunFor(1000);
        const std::string before = t.w.p.Read(kReport);
        ASSERT_NE(before, "");
        f.begin(t.w.p);
        // A manager that dies at every tick: an event every tick.
        t.w.p.onTime = [](MemPlatform& p) {
            for (MemPlatform::Proc& proc : p.procs) proc.alive = false;
        };
        const int listingsBefore = t.StatusListings();
        t.w.p.RunFor(3 * 60 * 1000);
        EXPECT_EQ(t.LogCount("STATUS REPORT"), 1);
        EXPECT_EQ(t.LogCount(std::string("STATUS REPORT FAILED: '") + kReport + "' cannot be written, error " + f.error),
                  1);
        const int tries = t.StatusListings() - listingsBefore;
        if (f.everyTick) {
            EXPECT_GE(tries, 35);  // 36 ticks
            EXPECT_EQ(t.w.p.Read(kReport), before);
        } else {
            EXPECT_LE(tries, 4);  // one try a minute
        }
        f.end(t.w.p);
        t.w.p.onTime = nullptr;
        t.w.p.RunFor(f.everyTick ? 5000 : 60 * 1000);
        EXPECT_EQ(t.LogCount(std::string("STATUS REPORT RESUMED: '") + kReport + "'"), 1);
        EXPECT_EQ(t.LogCount("STATUS REPORT"), 2);
        EXPECT_EQ(t.Value("last_event"), "manager started");
        EXPECT_FALSE(t.w.p.Has(kTemp));
    }
}

// Reports are opt-in: without the folder, or before it has ever been seen,
// nothing is written and nothing is logged, and a steady tick lists nothing;
// a folder made later is found by the heartbeat.
TEST(Status, WithoutTheFolderNothingIsWrittenOrLogged) {
    struct Case {
        const char* name;
        bool folder;
        bool unreachable;
        bool updateFolder;
    } cases[] = {{"no folder", false, false, true},
                 {"share never reached", true, true, true},
                 {"update folder never there", false, false, false}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Station t(k.folder);
        if (k.unreachable) t.w.p.unreachableHosts.insert("SERV01");
        if (!k.updateFolder) t.w.p.RemoveTree(kShare);
        t.w.p.AddProcess(t.w.Path("KORUMGR.exe"));
        t.w.p.RunFor(5 * 60 * 1000);
        EXPECT_EQ(t.LogCount("STATUS"), 0);
        EXPECT_FALSE(t.w.p.Has(kReport));
        EXPECT_FALSE(t.w.p.Has(kTemp));
        EXPECT_LE(t.StatusListings(), 6);  // the heartbeat's look, not one per tick
        t.w.p.AddDir(kShare);
        t.w.p.AddDir(kStatus);
        t.w.p.unreachableHosts.clear();
        t.w.p.RunFor(60 * 1000);
        EXPECT_EQ(t.Value("machine"), "PCWS07");
        EXPECT_EQ(t.LogCount("STATUS"), 0);
    }
}

}  // namespace
}  // namespace rz
