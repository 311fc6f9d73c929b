#include <gtest/gtest.h>

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
    } cases[] = {
        {"OK1", 180, true, "manager started", State::Ok},
        {"SILENT1", 181, true, "manager started", State::Silent},
        {"DOWN1", 5, false, "manager found missing", State::Down},
        {"STOPPED1", 5000, false, "monitor stopping", State::Stopped},
        {"OK0", -3, true, "", State::Ok},  // a clock a little ahead
    };
    std::vector<Machine> all;
    for (const Case& k : cases) {
        Machine m;
        m.name = k.name, m.managerUp = k.up, m.lastEvent = k.event;
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
    EXPECT_EQ(order, "DOWN1 SILENT1 STOPPED1 junk.txt OK0 OK1 ");
    EXPECT_EQ(ExitCode(all), 1);
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
    const std::string page = HtmlPage({m}, "G:\\_Updates\\_Status", "2024-03-07 18:05:09", 30);
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;, 2024-03-07 18:05:09"), std::string::npos);
    EXPECT_NE(page.find("<tr class=\"ok\"><td class=\"state\" data-label=\"State\">OK</td>"
                        "<td data-label=\"Machine\">PCWS07</td><td data-label=\"Last report\">7s ago</td>"),
              std::string::npos);
    EXPECT_NE(page.find("<meta http-equiv=\"refresh\" content=\"30\">"), std::string::npos);
    EXPECT_EQ(page.find("http:"), std::string::npos);  // nothing fetched from elsewhere
    EXPECT_EQ(page.find("src="), std::string::npos);
}

}  // namespace
}  // namespace board
