// The status report's file format, the one definition that the monitor
// writing it and the status board reading it share: the keys in the order
// they are written, and the words that mean something to the reader.
#pragma once

#include <cstddef>

namespace rz {

enum class ReportKey {
    StatusFormat,
    Machine,
    MonitorVersion,
    Written,
    MonitorStarted,
    ManagerRunning,
    ManagerPid,
    ManagerResponding,
    NotRespondingSince,
    ManagerVersion,
    ManagerLength,
    ManagerWritten,
    Starts24h,
    LastEvent,
    LastEventTime,
    LastUpdate,
    LastUpdateFile,
    LastUpdateTime,
    LastUpdateReason,
    MonitorUpdate,
    MonitorUpdateVersion,
    MonitorUpdateTime,
    MonitorUpdateReason,
    UpdateKey,
    Logging,
    End,  // always the last line, so that a cut file shows as one
};

constexpr const char* const kReportKeys[] = {
    "status_format",   "machine",          "monitor_version", "written",          "monitor_started",
    "manager_running", "manager_pid",      "manager_responding", "not_responding_since",
    "manager_version", "manager_length",   "manager_written",
    "starts_24h",      "last_event",       "last_event_time", "last_update",      "last_update_file",
    "last_update_time", "last_update_reason", "monitor_update", "monitor_update_version",
    "monitor_update_time", "monitor_update_reason", "update_key", "logging", "end",
};
constexpr std::size_t kReportKeyCount = sizeof kReportKeys / sizeof kReportKeys[0];
static_assert(kReportKeyCount == static_cast<std::size_t>(ReportKey::End) + 1, "a name for every key");

constexpr const char* KeyName(ReportKey key) { return kReportKeys[static_cast<std::size_t>(key)]; }

constexpr const char* kReportFormat = "1";
// The key file beside the monitor: while it is there, update_key says "yes"
// and the monitor takes signed builds only, of the manager and of itself.
constexpr const char* kUpdateKeyName = "UpdateKey.pem";
// The event of the last report a monitor writes before it ends.
constexpr const char* kStoppingEvent = "monitor stopping";
// What last_update can say, besides empty (no update met yet). The first,
// alone, means the build went in: readers take the others for trouble.
constexpr const char* const kUpdateResults[] = {"applied", "failed", "rolled back", "refused"};
// The monitor's own update: monitor_update is one of kUpdateResults, and
// these are the events that say it happened, one for each result in the
// same order.
constexpr const char* kMonitorUpdatedEvent = "monitor updated";
constexpr const char* kMonitorRolledBackEvent = "monitor rolled back";
constexpr const char* const kMonitorUpdateEvents[] = {kMonitorUpdatedEvent, "monitor update failed",
                                                      kMonitorRolledBackEvent, "monitor update refused"};
static_assert(sizeof kMonitorUpdateEvents == sizeof kUpdateResults, "an event for every result");
// An update fit to go in that waits: no result, but an event and a reason
// (last_update_reason or monitor_update_reason) that begins with the
// record's name, until the update's next result.
constexpr const char* kUpdateWaitingEvent = "update waiting";
constexpr const char* kMonitorUpdateWaitingEvent = "monitor update waiting";
constexpr const char* kUpdateWaitingRecord = "UPDATE WAITING";
constexpr const char* kMonitorUpdateWaitingRecord = "MONITOR UPDATE WAITING";

}  // namespace rz
