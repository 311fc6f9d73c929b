#include "diag/debug_log.h"

#include "core/app.h"

namespace rz {

const char* const kMainBanner = "i==============================   MAIN   ==============================";
const char* const kStartBanner = "i==============================   START   ==============================";

namespace {

// `value` in decimal with leading zeros up to `width` digits, after `sep`.
void AppendField(std::string& out, char sep, int value, int width) {
    if (sep) out += sep;
    if (value < 0) {  // as printf pads: the sign counts towards the width
        out += '-';
        value = -value;
        --width;
    }
    const std::string digits = std::to_string(value);
    if (static_cast<int>(digits.size()) < width) out.append(width - digits.size(), '0');
    out += digits;
}

}  // namespace

std::string DateLiteral(const LocalTime& t) {
    std::string out;
    AppendField(out, '#', t.year, 4);
    AppendField(out, '-', t.month, 2);
    AppendField(out, '-', t.day, 2);
    if (t.hour != 0 || t.minute != 0 || t.second != 0) {
        AppendField(out, ' ', t.hour, 2);
        AppendField(out, ':', t.minute, 2);
        AppendField(out, ':', t.second, 2);
    }
    return out + '#';
}

std::string IsoTime(const LocalTime& t) {
    std::string out;
    AppendField(out, 0, t.year, 4);
    AppendField(out, '-', t.month, 2);
    AppendField(out, '-', t.day, 2);
    AppendField(out, 'T', t.hour, 2);
    AppendField(out, ':', t.minute, 2);
    AppendField(out, ':', t.second, 2);
    return out;
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

void TracedRecord(Ctx& c, const std::string& message) {
    DebugRecord(c, message);
    c.p.DebugOutput("ROREROZARIRADI: " + message);
}

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
