// The centre's status board: one line per machine whose monitor reports to
// a status folder, one web page for all of them, one JSON document, or
// metrics for a node exporter's textfile collector.
//   statusboard FOLDER [--json] [--html FILE] [--prometheus FILE.prom] [--watch SECONDS]
//               [--silent-after SECONDS]
// Exit code: 0 when every machine reports and runs its manager, 1 when one
// needs attention, 2 for a usage error or a folder or page that fails.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

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

int Usage(const char* why) {
    std::fprintf(stderr, "statusboard: %s\nusage: statusboard FOLDER [--json] [--html FILE] [--prometheus FILE.prom] "
                         "[--watch SECONDS] [--silent-after SECONDS]\n", why);
    return 2;
}

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

// Returns an empty string, or why the command line is wrong.
std::string ParseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--html" && hasValue)
            o.html = argv[++i];
        else if (arg == "--prometheus" && hasValue)
            o.prometheus = argv[++i];
        else if (arg == "--json")
            o.json = true;
        else if (arg == "--watch" && hasValue) {
            if (!Seconds(argv[++i], o.watch)) return "--watch takes a number of seconds";
        } else if (arg == "--silent-after" && hasValue) {
            if (!Seconds(argv[++i], o.silentAfter)) return "--silent-after takes a number of seconds";
        } else if (arg.rfind("--", 0) == 0 || !o.folder.empty())
            return "unexpected '" + arg + "'";
        else
            o.folder = arg;
    }
    return CheckCombination(o);
}

std::string MadeAt() {
    const std::time_t now = std::time(nullptr);
    char buf[32] = "";
    if (const std::tm* t = std::localtime(&now)) std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", t);
    return buf;
}

// Writes beside the file and moves over it, so a browser or a collector
// never gets half.
bool WriteReplacing(const std::string& path, const std::string& page) {
    namespace fs = std::filesystem;
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << page;
        if (!out.flush()) return false;
    }
    std::error_code ec;
    fs::rename(temp, path, ec);
    if (ec) {  // a rename that will not replace: remove first
        fs::remove(path, ec);
        fs::rename(temp, path, ec);
    }
    if (ec) fs::remove(temp, ec);
    return !ec;
}

bool Write(const std::string& path, const std::string& content) {
    if (WriteReplacing(path, content)) return true;
    std::fprintf(stderr, "statusboard: cannot write '%s'\n", path.c_str());
    return false;
}

int Round(const Options& o) {
    std::vector<board::Machine> machines;
    std::string error;
    const board::Made made{o.folder, MadeAt(), static_cast<std::int64_t>(std::time(nullptr)), o.silentAfter};
    if (!board::ReadFolder(o.folder, o.silentAfter, machines, error)) {
        std::fprintf(stderr, "statusboard: %s\n", error.c_str());
        return 2;
    }
    if (o.json)
        std::fputs(board::JsonDocument(machines, made).c_str(), stdout);
    else if (o.watch == 0)
        std::fputs(board::TextReport(machines, o.folder, made.at).c_str(), stdout);
    const bool pageWritten =
        o.html.empty() || Write(o.html, board::HtmlPage(machines, o.folder, made.at, static_cast<int>(o.watch)));
    const bool metricsWritten = o.prometheus.empty() || Write(o.prometheus, board::PrometheusText(machines));
    return pageWritten && metricsWritten ? board::ExitCode(machines) : 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    const std::string why = ParseArgs(argc, argv, o);
    if (!why.empty()) return Usage(why.c_str());
    if (o.watch == 0) return Round(o);
    for (;;) {  // a failed round is reported and the next one tries again
        Round(o);
        std::fflush(stderr);
        std::this_thread::sleep_for(std::chrono::seconds(o.watch));
    }
}
