// The centre's status board: one line per machine whose monitor reports to
// a status folder, one web page for all of them, one JSON document, or
// metrics for a node exporter's textfile collector.
// Run "statusboard --help" for its command line.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "command_line.h"
#include "config.h"
#include "replace_file.h"
#include "status_board.h"

namespace {

constexpr long long kDefaultSilentAfter = 180;
constexpr long long kMaxSeconds = 366LL * 24 * 3600;

struct Options {
    std::string folder, html, prometheus;
    bool json = false;
    long long watch = 0;
    long long silentAfter = kDefaultSilentAfter;
};

const char* const kUsage =
    "statusboard " RZ_VERSION " - shows the status reports that the monitors of the centre write\n"
    "to a status folder: one line per machine, attention first.\n"
    "\n"
    "usage: statusboard FOLDER [--json] [--html FILE] [--prometheus FILE.prom] [--watch SECONDS]\n"
    "                   [--silent-after SECONDS]\n"
    "       statusboard --help | -h | --version\n"
    "\n"
    "  -j, --json                 prints one JSON document instead of the lines\n"
    "      --html FILE            writes one self-contained web page\n"
    "      --prometheus FILE.prom writes metrics for a node exporter's textfile collector\n"
    "  -w, --watch SECONDS        rewrites the page and the metrics every SECONDS until stopped\n"
    "  -s, --silent-after SECONDS a machine without a report for longer is SILENT (default 180)\n"
    "Exit codes: 0 every machine is OK, 1 one needs attention or none reports, 2 bad command\n"
    "line, a folder that cannot be listed, or a page or metrics file that cannot be written.\n";

bool EndsWithProm(const std::string& path) {
    return path.size() > 5 && path.compare(path.size() - 5, 5, ".prom") == 0;
}

// Returns an empty string, or why the options do not go together.
std::string CheckCombination(const Options& o) {
    if (o.folder.empty()) return "no status folder given";
    if (!o.prometheus.empty() && !EndsWithProm(o.prometheus))
        return "--prometheus FILE must end in .prom, the only files a textfile collector reads";
    if (o.watch > 0 && o.json) return "--json prints once; leave out --watch";
    if (o.watch > 0 && o.html.empty() && o.prometheus.empty()) return "--watch needs --html FILE or --prometheus FILE";
    return "";
}

bool Seconds(const char* text, long long& out) {
    char* end = nullptr;
    const long long v = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || v < 1 || v > kMaxSeconds) return false;
    out = v;
    return true;
}

// -1 when the board is to run, else its exit code once the usage or the
// version is printed or a bad command line reported.
int ParseArgs(int argc, char** argv, Options& o) {
    rz::Option json{"--json", "-j", true}, html{"--html", ""}, prometheus{"--prometheus", ""},
        watch{"--watch", "-w"}, silentAfter{"--silent-after", "-s"};
    std::vector<std::string> words;
    const int done =
        rz::ParseCommandLine(argc, argv, "statusboard", kUsage, {&json, &html, &prometheus, &watch, &silentAfter}, words);
    if (done >= 0) return done;
    if (words.size() > 1) return rz::BadUsage("statusboard", "unexpected '" + words[1] + "'");
    if (watch.given && !Seconds(watch.value.c_str(), o.watch))
        return rz::BadUsage("statusboard", "--watch takes a number of seconds");
    if (silentAfter.given && !Seconds(silentAfter.value.c_str(), o.silentAfter))
        return rz::BadUsage("statusboard", "--silent-after takes a number of seconds");
    o.folder = words.empty() ? "" : words[0];
    o.json = json.given;
    o.html = html.value;
    o.prometheus = prometheus.value;
    const std::string why = CheckCombination(o);
    return why.empty() ? -1 : rz::BadUsage("statusboard", why);
}

// A browser or a collector never gets half a file.
bool Write(const std::string& path, const std::string& content) {
    const std::string why = board::WriteReplacing(path, content);
    if (why.empty()) return true;
    std::fprintf(stderr, "statusboard: '%s' %s\n", path.c_str(), why.c_str());
    return false;
}

// Beside the metrics, or else beside the page: what the board last knew,
// for the next run, in this process or a fresh one. None without either.
std::string MemoryPath(const Options& o) {
    const std::string& output = o.prometheus.empty() ? o.html : o.prometheus;
    return output.empty() ? "" : output + ".last-known.json";
}

board::Memory Load(const std::string& path, const std::string& folder) {
    board::Memory memory;
    std::ifstream in(path, std::ios::binary);
    if (path.empty() || !in) return memory;  // none yet
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string why = board::ParseMemory(text, memory);
    if (!why.empty())
        std::fprintf(stderr, "statusboard: '%s' is damaged (%s); what the board last knew is passed over\n",
                     path.c_str(), why.c_str());
    else if (memory.folder != folder)
        memory = board::Memory();  // kept for another folder: nothing known of this one
    return memory;
}

// Reads the folder; when it cannot be listed, the machines are the last
// known ones and `made` says since when and why.
std::vector<board::Machine> ReadOrRecall(const Options& o, board::Memory& memory, board::Made& made,
                                         bool remembering) {
    std::vector<board::Machine> machines;
    made.folderReadable = board::ReadFolder(o.folder, o.silentAfter, machines, made.folderProblem);
    if (made.folderReadable) {
        if (remembering) board::Recall(memory, made.unixTime, o.silentAfter, machines);
        memory.machines = machines;
        memory.readAt = made.unixTime;
        memory.unreadableSince = 0;
    } else {
        machines = board::LastKnown(memory, made.unixTime);
        // One run with nothing kept cannot know when the outage began.
        if (remembering && memory.unreadableSince == 0) memory.unreadableSince = made.unixTime;
    }
    memory.folder = o.folder;
    made.folderReadAt = memory.readAt;
    made.unreadableSince = made.folderReadable ? 0 : memory.unreadableSince;
    return machines;
}

int Round(const Options& o) {
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    board::Made made;
    made.folder = o.folder;
    made.at = board::LocalTime(now);
    made.unixTime = now;
    made.silentAfter = o.silentAfter;
    const std::string memoryPath = MemoryPath(o);
    board::Memory memory = Load(memoryPath, o.folder);
    const std::vector<board::Machine> machines = ReadOrRecall(o, memory, made, !memoryPath.empty());
    bool written = memoryPath.empty() || Write(memoryPath, board::MemoryText(memory));
    // The metrics are written either way: an unreadable folder shows in
    // them, beside the last known machine series.
    written = (o.prometheus.empty() || Write(o.prometheus, board::PrometheusText(machines, made))) && written;
    written = (o.html.empty() || Write(o.html, board::HtmlPage(machines, made, static_cast<int>(o.watch)))) && written;
    if (o.json)
        std::fputs(board::JsonDocument(machines, made).c_str(), stdout);
    else if (o.watch == 0)
        std::fputs(board::TextReport(machines, made).c_str(), stdout);
    if (!made.folderReadable) {
        std::fprintf(stderr, "statusboard: %s\n", made.folderProblem.c_str());
        return 2;
    }
    return written ? board::ExitCode(machines) : 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    const int done = ParseArgs(argc, argv, o);
    if (done >= 0) return done;
    if (o.watch == 0) return Round(o);
    for (;;) {  // a failed round is reported and the next one tries again
        Round(o);
        std::fflush(stderr);
        std::this_thread::sleep_for(std::chrono::seconds(o.watch));
    }
}
