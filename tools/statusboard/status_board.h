// The status board: reads the monitors' reports in a status folder and
// shows them as text, as one self-contained web page, as one JSON document
// or as metrics for a node exporter's textfile collector.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "report_reader.h"

namespace board {

// 0 when every machine reports and runs its manager, 1 otherwise (also
// when there is no machine at all: nothing is known to be well).
int ExitCode(const std::vector<Machine>& machines);

// When and from where a board was made.
struct Made {
    std::string folder;
    std::string at;             // local time, "2024-03-07 18:05:09"
    std::int64_t unixTime = 0;  // the same moment, seconds since 1970 UTC
    std::int64_t silentAfter = 0;
    bool folderReadable = true;  // false: the folder could not be listed; the machines are the last known
    std::int64_t folderReadAt = 0;     // when the folder was last listed; 0: not known
    std::int64_t unreadableSince = 0;  // when it could no longer be listed; 0: it can be
    std::string folderProblem;         // why it cannot be listed
};


std::string TextReport(const std::vector<Machine>& machines, const Made& made);
// `refreshSeconds` > 0 makes the page reload itself that often.
std::string HtmlPage(const std::vector<Machine>& machines, const Made& made, int refreshSeconds);

// One JSON document: the board's time and folder and one object per
// machine with its state, age, problem and every field of its report.
std::string JsonDocument(const std::vector<Machine>& machines, const Made& made);
// The text exposition format of Prometheus, for a textfile collector: the
// board's own run and whether it could list the folder, then the machines.
std::string PrometheusText(const std::vector<Machine>& machines, const Made& made);

// `s` with each byte that belongs to no well-formed UTF-8 sequence replaced
// by U+FFFD, as both exports write it.
std::string ValidUtf8(const std::string& s);

// What a board last knew of its folder, kept beside its output from one run
// to the next, so that an outage of the folder shows the last known state
// rather than none.
struct Memory {
    std::string folder;
    std::int64_t readAt = 0;           // when the folder was last listed; 0: never
    std::int64_t unreadableSince = 0;  // when listing it began to fail; 0: it did not
    std::vector<Machine> machines;     // as last shown, file names in valid UTF-8
};

std::string MemoryText(const Memory& memory);
// "" when `text` is a memory, else why not (and `memory` is left empty).
std::string ParseMemory(const std::string& text, Memory& memory);
// The folder was listed at `now`: each machine gets the time since it has
// been in its state, and a report that could not be read, where a report of
// less than `silentAfter` seconds was read before, is shown as last known.
void Recall(const Memory& memory, std::int64_t now, std::int64_t silentAfter, std::vector<Machine>& machines);
// The folder could not be listed: the machines as last known, their ages
// counted on to `now`.
std::vector<Machine> LastKnown(const Memory& memory, std::int64_t now);

}  // namespace board
