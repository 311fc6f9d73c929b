// The monitors' status reports as their readers see them: one report read
// and judged, or a whole status folder. The status board and the rollout
// both read reports through this, beside the format's one definition.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace board {

// Ordered by the attention a machine needs, most first. NotUpdated: the
// manager runs, but the last update met, of the manager or of the monitor
// itself, was refused, rolled back or failed.
enum class State { Down, Hung, Silent, Stopped, Unreadable, NotUpdated, Ok };
constexpr State kStates[] = {State::Down,       State::Hung,       State::Silent, State::Stopped,
                             State::Unreadable, State::NotUpdated, State::Ok};

struct Machine {
    std::string file;     // the report's file name
    std::string problem;  // why it cannot be read; empty for a good report
    std::string name, version, lastEvent, lastEventTime, written, lastUpdate;
    std::string monitorVersion, monitorStarted, lastUpdateTime;
    std::string lastUpdateReason;  // the monitor's record of why the last update did not go in (yet)
    std::string monitorUpdate, monitorUpdateVersion, monitorUpdateTime;  // the monitor's own last update
    std::string monitorUpdateReason;  // its record, as lastUpdateReason is the manager's
    std::string updateKey;            // "yes": the monitor takes signed builds only; empty: not said
    bool managerUp = false;
    std::string pid, starts;
    std::string responding;  // "yes", "no", or empty: not said
    std::vector<std::pair<std::string, std::string>> fields;  // every line of a good report, in order
    std::int64_t ageSeconds = 0;  // since the report was last written
    bool ageKnown = false;        // false when the file's time could not be had
    std::int64_t writtenUnix = 0; // the file's time, seconds since 1970 UTC, when ageKnown
    State state = State::Unreadable;
    bool readError = false;       // the file could not be opened or read: its content is unknown
    // Kept by a reader that remembers earlier reads: when it first saw the
    // machine in this state (0: not known), and whether the row is what it
    // last knew rather than what it read now.
    std::int64_t stateSince = 0;
    bool lastKnown = false;
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
// The state of that name; false for a name that is none.
bool StateFromName(const std::string& name, State& s);
std::string Age(std::int64_t seconds);  // "45s", "3m05s", "2h10m", "4d03h"
// The time in this machine's zone, by strftime's `format`.
std::string LocalTime(std::int64_t unixTime, const char* format = "%Y-%m-%d %H:%M:%S");

}  // namespace board
