// The optional status report. When the update folder holds a folder
// "_Status", the monitor keeps one file there, <COMPUTERNAME>.txt, of plain
// key=value lines that the status board reads. Without that folder nothing
// is written and nothing is logged.
//
// The calls below only remember what happened; StatusTick, at the end of
// every tick, has the share worker write at most once: when something happened, when the
// manager's state changed, when the last write failed in a folder that
// could be reached, or when the heartbeat is due. An update event that a
// look brings between ticks is written as the look answers. Keys and their order are
// in diag/status_format.h.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace rz {

struct Ctx;

constexpr std::uint64_t kStatusHeartbeatMs = 55000;  // with 5 s ticks, no gap reaches a minute
constexpr std::uint64_t kFinalReportWaitMs = 2000;

// How much an event matters. Of the events between two written reports the
// report keeps the last of the weightiest, so that a rollback is not hidden
// by the start that follows it in the same tick.
enum class EventWeight { Routine, Trouble, Update, Stopping };

void StatusMonitorStarted(Ctx& c);
void StatusEvent(Ctx& c, const std::string& event, EventWeight weight = EventWeight::Routine);
// After every census: the manager's state and process id as it found them.
void StatusCensus(Ctx& c);
void StatusManagerStarted(Ctx& c, std::uint32_t pid);
// `result` is one of kUpdateResults; the file name is taken from the path.
void StatusUpdate(Ctx& c, const std::string& result, const std::string& updatePath);
// The monitor's own update: `result` as for the manager's, of the build of
// `version` ("" when unknown), and `reason`, its record ("" once applied).
void StatusMonitorUpdate(Ctx& c, const std::string& result, const std::string& version, const std::string& reason);
// An update fit to go in that waits, with the record that says why: the
// report goes as soon as the share worker is free when the reason is new,
// as for every update event.
void StatusUpdateWaiting(Ctx& c, const std::string& reason);
void StatusMonitorUpdateWaiting(Ctx& c, const std::string& reason);

// `updateFolder` ends with a backslash; "" when this machine has none.
// Whether a report is to be written now.
bool StatusDue(Ctx& c, const std::string& updateFolder);
// Hands the worker the report when one is due and the worker is free.
void StatusTick(Ctx& c, const std::string& updateFolder);
// One last report before the program ends, outage or not, unless the
// share does not answer within kFinalReportWaitMs.
void StatusFinal(Ctx& c, const std::string& updateFolder, const std::string& event);

// The file's content as it would be written now.
std::string StatusText(Ctx& c);

}  // namespace rz
