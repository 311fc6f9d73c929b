// The status board: reads the monitors' reports in a status folder and
// shows them as text or as one self-contained web page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace board {

// Ordered by the attention a machine needs, most first.
enum class State { Down, Silent, Stopped, Unreadable, Ok };

struct Machine {
    std::string file;     // the report's file name
    std::string problem;  // why it cannot be read; empty for a good report
    std::string name, version, lastEvent, lastEventTime, written;
    bool managerUp = false;
    std::string pid, starts;
    std::int64_t ageSeconds = 0;  // since the report was last written
    State state = State::Unreadable;
};

constexpr std::size_t kMaxReportBytes = 16 * 1024;

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

std::string TextReport(const std::vector<Machine>& machines, const std::string& folder, const std::string& madeAt);
// `refreshSeconds` > 0 makes the page reload itself that often.
std::string HtmlPage(const std::vector<Machine>& machines, const std::string& folder, const std::string& madeAt,
                     int refreshSeconds);

}  // namespace board
