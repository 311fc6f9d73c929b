// The status board: reads the monitors' reports in a status folder and
// shows them as text, as one self-contained web page, as one JSON document
// or as metrics for a node exporter's textfile collector.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace board {

// Ordered by the attention a machine needs, most first.
enum class State { Down, Hung, Silent, Stopped, Unreadable, Ok };

struct Machine {
    std::string file;     // the report's file name
    std::string problem;  // why it cannot be read; empty for a good report
    std::string name, version, lastEvent, lastEventTime, written, lastUpdate;
    std::string monitorVersion, monitorStarted, lastUpdateTime;
    bool managerUp = false;
    std::string pid, starts;
    std::string responding;  // "yes", "no", or empty: not said
    std::vector<std::pair<std::string, std::string>> fields;  // every line of a good report, in order
    std::int64_t ageSeconds = 0;  // since the report was last written
    bool ageKnown = false;        // false when the file's time could not be had
    std::int64_t writtenUnix = 0; // the file's time, seconds since 1970 UTC, when ageKnown
    State state = State::Unreadable;
};

constexpr std::size_t kMaxReportBytes = 16 * 1024;

// A report opened for reading. On Windows it is opened with read, write and
// delete sharing, so that the board never stands in the way of a monitor
// deleting or replacing its report.
class ReportFile {
public:
    explicit ReportFile(const std::filesystem::path& path);
    ~ReportFile();
    ReportFile(const ReportFile&) = delete;
    ReportFile& operator=(const ReportFile&) = delete;
    bool IsOpen() const { return handle_ != nullptr; }
    // At most `limit` bytes from the start; false on a read error.
    bool Read(std::size_t limit, std::string& text);

private:
    void* handle_ = nullptr;  // a HANDLE on Windows, a FILE* elsewhere
};

// Fills `m` from one report; on a malformed, truncated or foreign file it
// sets m.problem and leaves the state Unreadable.
void ParseReport(const std::string& fileName, const std::string& text, Machine& m);
// Sets the state from the report and its age.
void Classify(Machine& m, std::int64_t ageSeconds, std::int64_t silentAfter);
// Every "*.txt" in the folder, in the order that needs attention first.
// False with `error` set when the folder cannot be listed.
bool ReadFolder(const std::string& folder, std::int64_t silentAfter, std::vector<Machine>& out, std::string& error);
void SortForAttention(std::vector<Machine>& machines);

const char* StateName(State s);
std::string Age(std::int64_t seconds);  // "45s", "3m05s", "2h10m", "4d03h"
// 0 when every machine reports and runs its manager, 1 otherwise (also
// when there is no machine at all: nothing is known to be well).
int ExitCode(const std::vector<Machine>& machines);

// When and from where a board was made, for the JSON document and the metrics.
struct Made {
    std::string folder;
    std::string at;             // local time, "2024-03-07 18:05:09"
    std::int64_t unixTime = 0;  // the same moment, seconds since 1970 UTC
    std::int64_t silentAfter = 0;
    bool folderReadable = true;  // false: the folder could not be listed, no machine is known
};

std::string TextReport(const std::vector<Machine>& machines, const std::string& folder, const std::string& madeAt);
// `refreshSeconds` > 0 makes the page reload itself that often.
std::string HtmlPage(const std::vector<Machine>& machines, const std::string& folder, const std::string& madeAt,
                     int refreshSeconds);

// One JSON document: the board's time and folder and one object per
// machine with its state, age, problem and every field of its report.
std::string JsonDocument(const std::vector<Machine>& machines, const Made& made);
// The text exposition format of Prometheus, for a textfile collector: the
// board's own run and whether it could list the folder, then the machines.
std::string PrometheusText(const std::vector<Machine>& machines, const Made& made);

}  // namespace board
