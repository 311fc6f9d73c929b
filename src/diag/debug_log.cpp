#include "diag/debug_log.h"

#include <cstdio>

#include "core/app.h"

namespace rz {

const char* const kMainBanner = "i==============================   MAIN   ==============================";
const char* const kStartBanner = "i==============================   START   ==============================";

std::string DateLiteral(const LocalTime& t) {
    char buf[64];
    if (t.hour == 0 && t.minute == 0 && t.second == 0)
        std::snprintf(buf, sizeof buf, "#%04d-%02d-%02d#", t.year, t.month, t.day);
    else
        std::snprintf(buf, sizeof buf, "#%04d-%02d-%02d %02d:%02d:%02d#", t.year, t.month, t.day, t.hour,
                      t.minute, t.second);
    return buf;
}

std::string FormatRecord(const LocalTime& t, const std::string& message) {
    return DateLiteral(t) + ",\"" + message + "\"\r\n";
}

bool LoggingOn(const Ctx& c) { return !c.s.sDebugFile.empty(); }

namespace {

// Renames a log that has passed its limit to <log>.1, replacing an older
// one; the group about to be written then creates the new log.
bool RotateIfFull(Ctx& c, const std::string& old) {
    FileStamp stamp;
    if (!c.p.StatFile(c.s.sDebugFile, stamp) || stamp.length <= kLogLimitBytes) return false;
    return c.p.MoveReplace(c.s.sDebugFile, old);
}

}  // namespace

void DebugRecords(Ctx& c, const std::vector<std::string>& messages) {
    if (!LoggingOn(c)) return;
    const LocalTime now = c.p.Now();
    const std::string old = c.s.sDebugFile + ".1";
    const bool rotated = RotateIfFull(c, old);
    std::string text;
    if (rotated) text += FormatRecord(now, "LOG CONTINUED, OLDER RECORDS IN: " + old);
    if (c.s.lostRecords > 0) text += FormatRecord(now, "LOST RECORDS: " + std::to_string(c.s.lostRecords));
    for (const std::string& m : messages) text += FormatRecord(now, m);
    if (c.p.AppendText(c.s.sDebugFile, text)) {
        c.s.lostRecords = 0;
        return;
    }
    // The log is also the switch: without the old log back in its place,
    // logging would end at the next tick.
    if (rotated) c.p.MoveReplace(old, c.s.sDebugFile);
    c.s.lostRecords += messages.size();
    c.p.DebugOutput("ROREROZARIRADI: debug record dropped: " + text);
}

void DebugRecord(Ctx& c, const std::string& message) { DebugRecords(c, {message}); }

void ReportDllError(Ctx& c, long code, const std::string& message, const std::string& module,
                    const std::string& procedure) {
    DebugRecord(c, "DLL ERROR: " + std::to_string(code) + " at " + module + "\\" + procedure + " >>> " + message);
}

bool DebugSwitchTest(Ctx& c) {
    const std::string path = AppPath(c, c.s.sAppTitle + ".deb");
    if (FileExists(c, path)) {
        c.s.sDebugFile = path;
        return true;
    }
    c.s.sDebugFile.clear();
    c.s.sBannerDone.clear();
    return false;
}

}  // namespace rz
