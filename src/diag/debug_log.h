// The optional plain-text debug log: switched on by the presence of
// <title>.deb beside the program, which is also the file it appends to.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace rz {

struct Ctx;

extern const char* const kMainBanner;
extern const char* const kStartBanner;
// A log that has passed this size is renamed to <log>.1 before the next
// record group, which then starts a new log.
constexpr std::uint64_t kLogLimitBytes = 10ull * 1024 * 1024;

// "#2024-03-07 18:05:09#", or "#2024-03-07#" at exactly midnight.
std::string DateLiteral(const LocalTime& t);
std::string IsoTime(const LocalTime& t);  // "2024-03-07T18:05:09", for the status report
std::string FormatRecord(const LocalTime& t, const std::string& message);

bool LoggingOn(const Ctx& c);
// Appends the records in one opening of the log; does nothing while logging
// is off. A log that cannot be written loses the records, nothing more: the
// monitor must keep the manager running whatever happens to its log. The
// loss is counted and told by the next record group that is written.
void DebugRecords(Ctx& c, const std::vector<std::string>& messages);
void DebugRecord(Ctx& c, const std::string& message);
// A record that also reaches OutputDebugString, so that it leaves a trace
// when logging is off.
void TracedRecord(Ctx& c, const std::string& message);
void ReportDllError(Ctx& c, long code, const std::string& message, const std::string& module,
                    const std::string& procedure);
// Sets sDebugFile from the switch file; returns whether logging is on.
bool DebugSwitchTest(Ctx& c);

}  // namespace rz
