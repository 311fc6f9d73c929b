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
