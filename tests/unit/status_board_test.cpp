#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "diag/status_format.h"
#include "diag/status_report.h"
#include "status_board.h"
#include "world.h"

namespace board {
namespace {

const std::string kGood =
    "status_format=1\r\nmachine=PCWS07\r\nwritten=2024-03-07T18:05:09\r\nmanager_running=yes\r\n"
    "manager_pid=1000\r\nmanager_version=2.0.0.0\r\nstarts_24h=3\r\nlast_event=manager started\r\n"
    "last_event_time=2024-03-07T18:05:09\r\nend=1\r\n";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

TEST(Board, MalformedTruncatedAndForeignFilesAreUnreadable) {
    struct Case {
        const char* file;
        std::string text;
        const char* problem;
    } cases[] = {
        {"PCWS07.txt", kGood, ""},
        {"pcws07.TXT", Replace(kGood, "\r\n", "\n"), ""},
        {"PCWS07.txt", kGood.substr(0, kGood.size() - 7), "truncated"},   // the end line lost
        {"PCWS07.txt", kGood.substr(0, kGood.size() - 12), "truncated"},  // cut inside a line
        {"PCWS07.txt", "", "truncated"},
        {"PCWS07.txt", Replace(kGood, "started", "startedé"), "not ASCII text"},
        {"PCWS07.txt", Replace(kGood, "started", std::string("start\0d", 7)), "not ASCII text"},
        {"PCWS07.txt", kGood + std::string(kMaxReportBytes, '#'), "larger than 16384 bytes"},
        {"other.txt", "colour=blue\n", "not a status report"},
        {"notes.txt", "Remember to water the plants\n", "line 1 is not key=value"},
        {"PCWS07.txt", Replace(kGood, "machine=", "Machine="), "line 2 is not key=value"},
        {"PCWS07.txt", Replace(kGood, "end=1", "machine=PCWS07\r\nend=1"), "key machine given twice"},
        {"PCWS08.txt", kGood, "names machine 'PCWS07'"},
        {"PCWS07.txt", Replace(kGood, "running=yes", "running=maybe"), "manager_running is 'maybe'"},
        {"PCWS07.txt", Replace(kGood, "written=2024-03-07T18:05:09\r\n", ""), "no written"},
        {"PCWS07.txt", Replace(kGood, "starts_24h=3", "starts_24h=-1"), "starts_24h is '-1'"},
    };
    for (const Case& k : cases) {
        Machine m;
        ParseReport(k.file, k.text, m);
        EXPECT_EQ(m.problem, k.problem) << k.text;
        if (*k.problem) {
            EXPECT_EQ(m.state, State::Unreadable);
        }
    }
}

// What the monitor writes is what the board reads.
TEST(Board, ReadsTheMonitorsOwnReport) {
    rz::World w;
    w.AsStarted("PCWS07");
    w.p.AddFile(w.Path("KORUMGR.exe"), "x");
    w.p.versions[rz::UCase(w.Path("KORUMGR.exe"))] = "2.1.0.7";
    rz::StatusMonitorStarted(w.c);
    rz::StatusManagerStarted(w.c, 4242);
    Machine m;
    ParseReport("PCWS07.txt", rz::StatusText(w.c), m);
    EXPECT_EQ(m.problem, "");
    EXPECT_EQ(m.name + "|" + m.pid + "|" + m.version + "|" + m.starts + "|" + m.lastEvent,
              "PCWS07|4242|2.1.0.7|1|manager started");
    EXPECT_TRUE(m.managerUp);
}

TEST(Board, StatesAttentionOrderAndExitCode) {
    struct Case {
        const char* name;
        std::int64_t age;
        bool up;
        const char* event;
        State state;
        const char* responding = "";
        const char* lastUpdate = "";
        const char* monitorUpdate = "";
    } cases[] = {
        {"OK1", 180, true, "manager started", State::Ok},
        {"UPD1", 5, true, "update refused", State::NotUpdated, "", "refused"},
        {"UPD2", 5, true, "update rolled back", State::NotUpdated, "yes", "rolled back"},
        {"UPD3", 5, true, "update failed", State::NotUpdated, "", "failed"},
        {"OK3", 5, true, "update applied", State::Ok, "", "applied"},
        {"OK4", 5, true, "", State::Ok, "", "reverted"},  // a newer monitor's word: no reason known
        {"MON1", 5, true, "monitor rolled back", State::NotUpdated, "", "applied", "rolled back"},
        {"MON2", 5, true, "monitor update refused", State::NotUpdated, "", "", "refused"},
        {"MON3", 5, true, "monitor update failed", State::NotUpdated, "", "", "failed"},
        {"OK5", 5, true, "monitor updated", State::Ok, "", "", "applied"},
        {"DOWN2", 5, false, "update refused", State::Down, "", "refused"},
        {"SILENT1", 181, true, "manager started", State::Silent},
        {"DOWN1", 5, false, "manager found missing", State::Down},
        {"HUNG1", 5, true, "manager not responding", State::Hung, "no"},
        {"OK2", 5, true, "manager responding again", State::Ok, "yes"},
        {"STOPPED1", 5000, false, "monitor stopping", State::Stopped},
        {"OK0", -3, true, "", State::Ok},  // a clock a little ahead
    };
    std::vector<Machine> all;
    for (const Case& k : cases) {
        Machine m;
        m.name = k.name, m.managerUp = k.up, m.lastEvent = k.event, m.responding = k.responding;
        m.lastUpdate = k.lastUpdate, m.monitorUpdate = k.monitorUpdate;
        Classify(m, k.age, 180);
        EXPECT_EQ(m.state, k.state) << k.name;
        all.push_back(m);
    }
    Machine bad;
    ParseReport("junk.txt", "junk", bad);
    all.push_back(bad);
    SortForAttention(all);
    std::string order;
    for (const Machine& m : all) order += (m.name.empty() ? m.file : m.name) + " ";
    EXPECT_EQ(order, "DOWN1 DOWN2 HUNG1 SILENT1 STOPPED1 junk.txt MON1 MON2 MON3 UPD1 UPD2 UPD3 OK0 OK1 OK2 OK3 OK4 OK5 ");
    EXPECT_EQ(ExitCode(all), 1);
    EXPECT_EQ(ExitCode({all[6]}), 1);  // a monitor rolled back alone
    EXPECT_EQ(ExitCode({all.end() - 2, all.end()}), 0);
    EXPECT_EQ(ExitCode({}), 1);
}

TEST(Board, AgesAndAPageThatEscapesWhatTheFilesSay) {
    const std::pair<std::int64_t, const char*> ages[] = {{0, "0s"},       {59, "59s"},      {60, "1m00s"},
                                                         {3599, "59m59s"}, {3600, "1h00m"}, {86399, "23h59m"},
                                                         {90061, "1d01h"}};
    for (const auto& a : ages) EXPECT_EQ(Age(a.first), a.second);

    Machine m;
    ParseReport("PCWS07.txt", Replace(kGood, "manager started", "<script>alert(1)</script>"), m);
    Classify(m, 7, 180);
    Made made;
    made.folder = "G:\\_Updates\\_Status", made.at = "2024-03-07 18:05:09";
    const std::string page = HtmlPage({m}, made, 30);
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;, 2024-03-07 18:05:09"), std::string::npos);
    EXPECT_NE(page.find("<tr class=\"ok\"><td class=\"state\" data-label=\"State\">OK</td>"
                        "<td data-label=\"Machine\">PCWS07</td><td data-label=\"Last report\">7s ago</td>"),
              std::string::npos);
    EXPECT_NE(page.find("<meta http-equiv=\"refresh\" content=\"30\">"), std::string::npos);
    EXPECT_EQ(page.find("http:"), std::string::npos);  // nothing fetched from elsewhere
    EXPECT_EQ(page.find("src="), std::string::npos);

    // A monitor build refused before its version was read: its reason, and the columns kept.
    Machine mon;
    ParseReport("PCWS08.txt", Replace(Replace(kGood, "PCWS07", "PCWS08"), "end=1",
                                      "monitor_version=15.2.0.0\r\nmonitor_update=refused\r\n"
                                      "monitor_update_reason=MONITOR UPDATE REFUSED: unsigned\r\nend=1"), mon);
    Classify(mon, 7, 180);
    const std::string text = TextReport({mon, m}, made);
    const std::size_t header = text.find("STATE"), row = text.find("NOT_UPDATED"), ok = text.find("\nOK") + 1;
    EXPECT_NE(text.find("15.2.0.0 (build refused) 3"), std::string::npos) << text;
    EXPECT_NE(text.find("manager started, 2024-03-07 18:05:09; MONITOR UPDATE REFUSED: unsigned\n"), std::string::npos);
    EXPECT_EQ(text.find("LAST EVENT", header) - header, text.find("manager started", row) - row) << text;
    EXPECT_EQ(text.find("LAST EVENT", header) - header, text.find("<script", ok) - ok) << text;
}

}  // namespace
}  // namespace board

namespace board {
namespace {

Made MadeAt(const std::string& folder, const std::string& at, std::int64_t unixTime) {
    Made made;
    made.folder = folder, made.at = at, made.unixTime = unixTime, made.silentAfter = 180;
    return made;
}

Machine Read(const std::string& file, const std::string& text, std::int64_t age) {
    Machine m;
    ParseReport(file, text, m);
    Classify(m, age, 180);
    m.ageKnown = age >= 0;
    return m;
}

// Both exports over one table of machines; the JSON read back by a real parser.
TEST(BoardExport, JsonAndMetricsSayWhatTheBoardSays) {
    const std::vector<Machine> machines = {
        Read("PCWS07.txt", Replace(kGood, "manager_running=yes", "manager_running=no"), 12),
        Read("pcws07.TXT", kGood, 5),  // a second file for the same machine
        Read("X\"Y.txt", Replace(Replace(kGood, "PCWS07", "X\"Y"), "end=1", "last_update=rolled back\r\nend=1"), 200),
        Read("SERV01.txt", Replace(Replace(kGood, "PCWS07", "SERV01"), "end=1",
                                   "monitor_version=15.0.0.0\r\nmonitor_started=2024-03-07T18:05:09\r\n"
                                   "last_update=reverted\r\nlast_update_time=2024-03-07T18:06:10\r\nmanager_responding=no\r\nend=1"), 3),
        Read("caf\xE9\t.txt", "junk", -1),
    };
    const auto doc = nlohmann::json::parse(JsonDocument(machines, MadeAt("G:\\_Updates\\_Status", "2024-03-07 18:05:09",
                                                                          1709834709)));
    EXPECT_EQ(doc["time"], "2024-03-07T18:05:09");
    EXPECT_EQ(doc["unix_time"], 1709834709);
    EXPECT_EQ(doc["folder"], "G:\\_Updates\\_Status");
    ASSERT_EQ(doc["machines"].size(), 5u);
    const auto& down = doc["machines"][0];
    EXPECT_EQ(down["state"], "DOWN");
    EXPECT_EQ(down["age_seconds"], 12);
    EXPECT_TRUE(down["problem"].is_null());
    EXPECT_EQ(down["report"]["manager_running"], "no");
    EXPECT_EQ(down["report"].size(), 10u);
    EXPECT_EQ(doc["machines"][2]["machine"], "X\"Y");
    EXPECT_EQ(doc["machines"][2]["state"], "SILENT");
    const auto& junk = doc["machines"][4];
    EXPECT_EQ(junk["file"], "caf\xEF\xBF\xBD\t.txt");
    EXPECT_EQ(junk["state"], "UNREADABLE");
    EXPECT_EQ(junk["problem"], "truncated");
    EXPECT_TRUE(junk["machine"].is_null() && junk["report"].is_null() && junk["age_seconds"].is_null());

    setenv("TZ", "UTC", 1);  // the reports' local times, read as the board's
    tzset();
    Made made = MadeAt("", "", 1709834709);
    const std::string metrics = PrometheusText(machines, made);
    for (const char* line : {
             "# TYPE rorerozariradi_machine_state gauge\n",
             "rorerozariradi_machine_state{machine=\"PCWS07\",state=\"DOWN\"} 1\n",
             "rorerozariradi_machine_state{machine=\"PCWS07\",state=\"OK\"} 0\n",
             "rorerozariradi_manager_up{machine=\"PCWS07\"} 0\n",
             "rorerozariradi_report_age_seconds{machine=\"X\\\"Y\"} 200\n",
             "rorerozariradi_manager_starts_24h{machine=\"SERV01\"} 3\n",
             "rorerozariradi_last_update{machine=\"X\\\"Y\",result=\"rolled_back\"} 1\n",
             "rorerozariradi_last_update{machine=\"X\\\"Y\",result=\"other\"} 0\n",
             "rorerozariradi_machine_state{machine=\"SERV01\",state=\"HUNG\"} 1\n",
             "rorerozariradi_manager_responding{machine=\"SERV01\"} 0\n",
             "rorerozariradi_last_update{machine=\"X\\\"Y\",result=\"refused\"} 0\n",
             "rorerozariradi_last_update{machine=\"SERV01\",result=\"other\"} 1\n",
             "rorerozariradi_machine_state{machine=\"caf\xEF\xBF\xBD\t\",state=\"UNREADABLE\"} 1\n",
             "rorerozariradi_board_last_run_timestamp_seconds 1709834709\n",
             "rorerozariradi_board_folder_readable 1\n",
             "rorerozariradi_machine_info{machine=\"SERV01\",monitor_version=\"15.0.0.0\",manager_version=\"2.0.0.0\"} 1\n",
             "rorerozariradi_monitor_start_timestamp_seconds{machine=\"SERV01\"} 1709834709\n",
             "rorerozariradi_last_update_timestamp_seconds{machine=\"SERV01\"} 1709834770\n",
         })
        EXPECT_NE(metrics.find(line), std::string::npos) << line;
    EXPECT_EQ(metrics.find("rorerozariradi_manager_up{machine=\"PCWS07\"} 1"), std::string::npos);  // one per machine
    EXPECT_EQ(metrics.find("rorerozariradi_manager_up{machine=\"caf"), std::string::npos);
    EXPECT_EQ(metrics.find("reverted"), std::string::npos);
    EXPECT_EQ(metrics.find("rorerozariradi_monitor_start_timestamp_seconds{machine=\"PCWS07\"}"), std::string::npos);
    made.folderReadable = false;  // the last known machine series go on, with the time they are as of
    made.folderReadAt = 1709834649;
    const std::string outage = PrometheusText(machines, made);
    for (const char* line : {"rorerozariradi_board_folder_readable 0\n",
                             "rorerozariradi_board_folder_read_timestamp_seconds 1709834649\n",
                             "rorerozariradi_machine_state{machine=\"PCWS07\",state=\"DOWN\"} 1\n"})
        EXPECT_NE(outage.find(line), std::string::npos) << line;
}

// Every key of the shared format, as the monitor writes it, reaches the
// board's JSON in the same order with the same value.
TEST(BoardExport, EveryKeyTheMonitorWritesReachesTheJson) {
    rz::World w;
    w.AsStarted("PCWS07");
    rz::StatusMonitorStarted(w.c);
    const std::string text = rz::StatusText(w.c);
    const auto doc = nlohmann::json::parse(JsonDocument({Read("PCWS07.txt", text, 1)}, {}));
    const auto& report = doc["machines"][0]["report"];
    ASSERT_EQ(report.size(), rz::kReportKeyCount);
    std::size_t at = 0;
    for (const char* key : rz::kReportKeys) {
        const std::string line = std::string(key) + "=" + report[key].get<std::string>() + "\r\n";
        EXPECT_EQ(text.compare(at, line.size(), line), 0) << key;
        at += line.size();
    }
    EXPECT_EQ(at, text.size());
}

// What the board last knew, through its file: an outage of the folder shows
// the last known states, aged on; a report unreadable for a moment shows its
// last good read; a state keeps its "since" until it changes.
TEST(BoardMemory, LastKnownThroughAnOutageAndAMomentaryReadError) {
    Machine down = Read("SERV01.txt", Replace(kGood, "PCWS07", "SERV01"), 0);
    down.state = State::Down, down.writtenUnix = 1000, down.stateSince = 900;
    Machine junk = Read("caf\xE9.txt", "junk", 0);
    junk.writtenUnix = 800, junk.stateSince = 800;
    Memory before{"G:\\_Updates\\_Status", 1000, 0, {down, junk}};
    Memory memory;
    ASSERT_EQ(ParseMemory(MemoryText(before), memory), "");
    EXPECT_EQ(memory.folder + "|" + std::to_string(memory.readAt), "G:\\_Updates\\_Status|1000");

    const std::vector<Machine> outage = LastKnown(memory, 1400);  // past --silent-after, yet no guess of SILENT
    ASSERT_EQ(outage.size(), 2u);
    EXPECT_EQ(std::string(StateName(outage[0].state)) + "|" + std::to_string(outage[0].ageSeconds) + "|" +
                  std::to_string(outage[0].stateSince) + "|" + outage[0].pid + "|" + outage[1].file + "|" +
                  outage[1].problem,
              "DOWN|400|900|1000|caf\xEF\xBF\xBD.txt|truncated");
    EXPECT_TRUE(outage[0].lastKnown && outage[1].lastKnown);

    struct Case {
        std::int64_t now;
        const char* text;  // nullptr: the file could not be read
        const char* expected;  // state, since, shown as last known
    } cases[] = {
        {1100, nullptr, "DOWN 900 1"},          // unreadable for a moment: the last good read
        {1181, nullptr, "UNREADABLE 1181 0"},  // for longer than --silent-after: as it is
        {1100, "", "DOWN 900 0"},               // read again in the same state
        {1100, "up", "OK 1100 0"},              // in a new state from now
    };
    for (const Case& k : cases) {
        Machine m = Read("SERV01.txt", Replace(kGood, "PCWS07", "SERV01"), 3);
        if (!k.text) m = Machine(), m.file = "SERV01.txt", m.problem = "cannot be read", m.readError = true;
        if (k.text && !*k.text) m.state = State::Down;
        std::vector<Machine> now = {m};
        Recall(memory, k.now, 180, now);
        EXPECT_EQ(std::string(StateName(now[0].state)) + " " + std::to_string(now[0].stateSince) + " " +
                      std::to_string(now[0].lastKnown),
                  k.expected)
            << k.now;
    }

    for (const char* damaged : {"", "{\"board_memory\": 1, \"folder\"", "{\"board_memory\": 2}",
                                "{\"board_memory\": 1, \"folder\": \"x\", \"read_at\": \"soon\"}"}) {
        Memory none;
        EXPECT_NE(ParseMemory(damaged, none), "") << damaged;
        EXPECT_TRUE(none.machines.empty() && none.readAt == 0);
    }
    std::string cut = MemoryText(before);
    EXPECT_EQ(ParseMemory(Replace(cut, "\"DOWN\"", "\"GONE\""), memory), "a machine that is none");
}

// The page in an outage says so at its top, and marks its figures.
TEST(BoardMemory, ThePageSaysWhenTheFolderCouldNotBeRead) {
    setenv("TZ", "UTC", 1);
    tzset();
    Machine m = Read("PCWS07.txt", kGood, 75);
    m.lastKnown = true;
    Made made;
    made.folder = "G:\\_Updates\\_Status", made.at = "2024-03-07 18:05:09", made.folderReadable = false;
    made.folderReadAt = 1709834649, made.unreadableSince = 1709834679, made.folderProblem = "cannot list 'G:'";
    const std::string page = HtmlPage({m}, made, 30);
    EXPECT_NE(page.find("<p class=\"outage\">The status folder cannot be read since 2024-03-07 18:04:39: cannot "
                        "list &#39;G:&#39;. The figures below are the last known, as the board read them at "
                        "2024-03-07 18:04:09.</p>"),
              std::string::npos);
    EXPECT_NE(page.find("1m15s ago (last known)"), std::string::npos);
    EXPECT_NE(TextReport({m}, made).find("manager started, 2024-03-07 18:05:09 (last known)\n"), std::string::npos);
    EXPECT_NE(TextReport({}, made).find("the folder cannot be read since 2024-03-07 18:04:39 (cannot list 'G:'); "
                                        "nothing is known of its machines"),
              std::string::npos);
}

}  // namespace
}  // namespace board
