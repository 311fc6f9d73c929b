#include "update/update_state.h"

#include <cstdlib>
#include <map>

#include "core/app.h"
#include "diag/debug_log.h"

namespace rz {

namespace {

constexpr std::size_t kStateLimit = 16 * 1024;  // three paths and a few numbers
const char* const kKeys[] = {"update_state", "failed", "failures", "retry_at", "in_place", "rolled_back", "end"};

std::string StatePath(Ctx& c) { return AppPath(c, c.s.sAppTitle + ".upd"); }

// path|length|last write; empty for no update. Windows paths hold no '|'.
std::string KeyText(const UpdateKey& k) {
    if (k.path.empty()) return "";
    return k.path + "|" + std::to_string(k.stamp.length) + "|" + std::to_string(k.stamp.lastWrite);
}

bool ParseNumber(const std::string& text, std::uint64_t& out) {
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    char* end = nullptr;
    out = std::strtoull(text.c_str(), &end, 10);
    return *end == '\0';
}

bool ParseKey(const std::string& text, UpdateKey& k) {
    k = UpdateKey{};
    if (text.empty()) return true;
    const std::size_t a = text.find('|'), b = text.find('|', a + 1);
    if (a == 0 || a == std::string::npos || b == std::string::npos || text.find('|', b + 1) != std::string::npos)
        return false;
    k.path = text.substr(0, a);
    return ParseNumber(text.substr(a + 1, b - a - 1), k.stamp.length) &&
           ParseNumber(text.substr(b + 1), k.stamp.lastWrite);
}

// The lines in their fixed order, each key once: anything else is a file
// that was cut short or written by something else.
bool SplitState(const std::string& text, std::map<std::string, std::string>& values, std::string& why) {
    std::size_t start = 0;
    for (const char* key : kKeys) {
        const std::size_t end = text.find("\r\n", start);
        const std::string line = end == std::string::npos ? std::string() : text.substr(start, end - start);
        const std::string head = std::string(key) + "=";
        if (line.compare(0, head.size(), head) != 0) {
            why = std::string("no '") + key + "' line where it belongs";
            return false;
        }
        values[key] = line.substr(head.size());
        start = end + 2;
    }
    if (start != text.size()) {
        why = "text after its end";
        return false;
    }
    return true;
}

}  // namespace

std::string UpdateStateText(const UpdateMemory& u) {
    return "update_state=1\r\nfailed=" + KeyText(u.failed) + "\r\nfailures=" + std::to_string(u.failures) +
           "\r\nretry_at=" + std::to_string(u.retryAt) + "\r\nin_place=" + KeyText(u.inPlace) +
           "\r\nrolled_back=" + KeyText(u.rolledBack) + "\r\nend=1\r\n";
}

bool ParseUpdateState(const std::string& text, UpdateMemory& u, std::string& why) {
    std::map<std::string, std::string> v;
    if (!SplitState(text, v, why)) return false;
    UpdateMemory read = u;
    std::uint64_t failures = 0;
    if (v["update_state"] != "1" || v["end"] != "1") {
        why = "unknown format";
        return false;
    }
    if (!ParseKey(v["failed"], read.failed) || !ParseNumber(v["failures"], failures) || failures > 1000 ||
        !ParseNumber(v["retry_at"], read.retryAt) || !ParseKey(v["in_place"], read.inPlace) ||
        !ParseKey(v["rolled_back"], read.rolledBack)) {
        why = "a value out of form";
        return false;
    }
    read.failures = static_cast<int>(failures);
    u = read;
    return true;
}

void LoadUpdateState(Ctx& c) {
    UpdateMemory& u = c.s.update;
    if (u.loaded) return;
    u.loaded = true;
    const std::string path = StatePath(c);
    std::string text, why;
    switch (c.p.ReadSmallFile(path, kStateLimit, text)) {
    case ReadStatus::Ok:
        if (ParseUpdateState(text, u, why)) return;
        break;
    case ReadStatus::Missing:
        why = "none yet";
        break;
    case ReadStatus::TooLarge:
        why = "larger than " + std::to_string(kStateLimit) + " bytes";
        break;
    case ReadStatus::Error:
        why = "unreadable, error " + std::to_string(c.p.LastError());
        break;
    }
    DebugRecord(c, "UPDATE STATE NOT READ: '" + path + "' (" + why + "); nothing remembered from earlier runs");
}

// A temporary file, flushed, then one move: after a power cut the state is
// the old one or the new one, never half of either.
void SaveUpdateState(Ctx& c) {
    const std::string path = StatePath(c);
    const std::string temp = path + ".tmp";
    if (c.p.WriteText(temp, UpdateStateText(c.s.update)) && c.p.FlushFile(temp) && c.p.MoveReplace(temp, path)) return;
    const std::string error = std::to_string(c.p.LastError());
    RemoveIfPresent(c, temp);
    TracedRecord(c, "UPDATE STATE NOT SAVED: '" + path + "', error " + error);
}

}  // namespace rz
