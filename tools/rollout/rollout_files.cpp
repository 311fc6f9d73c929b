// The rollout's own files: its state, written whole at every change, and
// the folder's lock; with the names and the waves they are made of.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "rollout.h"

namespace rollout {

namespace {

constexpr const char* kStepNames[] = {"waiting", "placing", "placed", "took", "removed"};
constexpr const char* kPhaseNames[] = {"running", "done", "halted", "aborted"};
// Format 1 knew no wave list and no monitor builds: such a state is read,
// shown and aborted, never resumed.
constexpr const char* kFormat = "2";
constexpr const char* kFirstFormat = "1";
constexpr std::size_t kEntryFields = 10;
constexpr std::size_t kLongestName = 15;  // MAX_COMPUTERNAME_LENGTH
// What SetComputerName takes besides letters and digits.
constexpr const char* kNameSymbols = "!@#$%^&')(.-_{}~";

bool Number(const std::string& text, long long& out) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    out = std::atoll(text.c_str());
    return true;
}

template <std::size_t N>
bool Named(const std::string& text, const char* const (&names)[N], int& out) {
    for (std::size_t i = 0; i < N; ++i)
        if (text == names[i]) return out = static_cast<int>(i), true;
    return false;
}

std::string EntryLine(const Entry& e) {
    return e.name + "|" + std::to_string(e.wave) + "|" + kStepNames[static_cast<int>(e.step)] + "|" +
           std::to_string(e.placedAt) + "|" + std::to_string(e.tookAt) + "|" + std::to_string(e.healthySince) + "|" +
           std::to_string(e.badSince) + "|" + std::to_string(e.restarts) + "|" + e.pid + "|" + e.baseline;
}

bool ParseEntry(const std::string& line, Entry& e) {
    const std::vector<std::string> f = Split(line, '|', kEntryFields);
    long long wave = 0, times[4], restarts = 0;
    int step = 0;
    if (f.size() != kEntryFields || !NameProblem(f[0]).empty() || !Number(f[1], wave) || !Named(f[2], kStepNames, step))
        return false;
    for (int i = 0; i < 4; ++i)
        if (!Number(f[3 + i], times[i])) return false;
    if (!Number(f[7], restarts) || restarts > kMostRestarts) return false;
    e = Entry{f[0], static_cast<int>(wave), static_cast<Step>(step), times[0], times[1], times[2], times[3],
              static_cast<int>(restarts), f[8], f[9]};
    return true;
}

// The lines of a file of ours as keys and values, in order; false when it
// is cut short (no "end=1" last).
bool KeyValues(const std::string& text, std::vector<std::pair<std::string, std::string>>& out) {
    std::size_t at = 0;
    for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) return false;
        out.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
    return at == text.size() && !out.empty() && out.back() == std::make_pair(std::string("end"), std::string("1"));
}

}  // namespace

std::vector<std::string> Split(const std::string& text, char by, std::size_t most) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    for (std::size_t next; parts.size() + 1 < most && (next = text.find(by, at)) != std::string::npos; at = next + 1)
        parts.push_back(text.substr(at, next - at));
    parts.push_back(text.substr(at));
    return parts;
}

std::string StateName(const State& s) {
    if (!s.file.empty()) return s.file;
    return std::string(kOwnFolder) + "/" + (s.monitor ? "monitor-" : "") + s.version + "-" +
           board::LocalTime(s.started, "%Y%m%d-%H%M%S") + ".txt";
}

std::string KeptBuild(const State& s) {
    const std::string name = StateName(s);
    return name.substr(0, name.size() - 4) + ".exe";
}

std::string UpdateName(const std::string& machine) { return "KORUMGR" + machine + ".exe"; }

std::string BuildName(const State& s, const std::string& machine) {
    return s.monitor ? "ROREROZARIRADI" + machine + ".exe" : UpdateName(machine);
}

std::string CheckWaves(const State& s) {
    if (s.waveList.empty()) return "it was written by an earlier rollout, which kept no wave list";
    std::vector<int> waveOf;
    int waves = 0;
    const std::string why = MakeWaves(s.waveList, s.machines.size(), waveOf, waves);
    if (!why.empty()) return why;
    if (waves != s.waves) return "it counts " + std::to_string(s.waves) + " waves where its list makes " +
                                 std::to_string(waves);
    for (std::size_t i = 0; i < s.machines.size(); ++i) {
        const Entry& e = s.machines[i];
        if (e.wave != waveOf[i])
            return e.name + " stands in wave " + std::to_string(e.wave + 1) + ", not " + std::to_string(waveOf[i] + 1);
        if (e.wave < s.wave && e.step != Step::Took) return e.name + " of a wave through has not taken the build";
        if (e.wave > s.wave && e.step != Step::Waiting) return e.name + " of a wave to come is given the build";
    }
    return "";
}
const char* PhaseName(Phase p) { return kPhaseNames[static_cast<int>(p)]; }

std::string FormatState(const State& s) {
    std::string t = std::string("rollout_format=") + kFormat + "\r\nversion=" + s.version +
                    "\r\nkind=" + (s.monitor ? "monitor" : "manager") + "\r\nbuild=" + s.build +
                    "\r\nwave_list=" + s.waveList +
                    "\r\nlength=" + std::to_string(s.length) + "\r\nsignature=" + (s.signature ? "yes" : "no") +
                    "\r\nsoak=" + std::to_string(s.soak) + "\r\ntake_limit=" + std::to_string(s.takeLimit) +
                    "\r\nstarted=" + std::to_string(s.started) + "\r\nwave=" + std::to_string(s.wave) +
                    "\r\nwaves=" + std::to_string(s.waves) + "\r\nphase=" + PhaseName(s.phase) +
                    "\r\noutcome=" + s.outcome + "\r\n";
    for (const Entry& e : s.machines) t += "machine=" + EntryLine(e) + "\r\n";
    return t + "end=1\r\n";
}

std::string ParseState(const std::string& text, State& s) {
    std::vector<std::pair<std::string, std::string>> lines;
    if (!KeyValues(text, lines)) return "it is cut short or not a rollout's state";
    std::map<std::string, std::string> v;
    s = State{};
    for (const auto& [key, value] : lines) {
        Entry e;
        if (key != "machine")
            v[key] = value;
        else if (ParseEntry(value, e))
            s.machines.push_back(e);
        else
            return "its line 'machine=" + value + "' cannot be read";
    }
    long long length = 0, soak = 0, limit = 0, started = 0, wave = 0, waves = 0;
    int phase = 0;
    if (v["rollout_format"] != kFormat && v["rollout_format"] != kFirstFormat)
        return "it is not a rollout's state of a format this program reads";
    if (v["kind"] != "" && v["kind"] != "manager" && v["kind"] != "monitor") return "its kind is '" + v["kind"] + "'";
    if (!Number(v["length"], length) || !Number(v["soak"], soak) || !Number(v["take_limit"], limit) ||
        !Number(v["started"], started) || !Number(v["wave"], wave) || !Number(v["waves"], waves) ||
        !Named(v["phase"], kPhaseNames, phase) || v["version"].empty() || s.machines.empty() || wave > waves)
        return "a value of it is missing or out of form";
    s.version = v["version"];
    s.build = v["build"];
    s.monitor = v["kind"] == "monitor";
    s.waveList = v["wave_list"];
    s.length = static_cast<std::uint64_t>(length);
    s.signature = v["signature"] == "yes";
    s.soak = soak;
    s.takeLimit = limit;
    s.started = started;
    s.wave = static_cast<int>(wave);
    s.waves = static_cast<int>(waves);
    s.phase = static_cast<Phase>(phase);
    s.outcome = v["outcome"];
    return "";
}

std::string NameProblem(const std::string& name) {
    if (name.empty()) return "an empty computer name";
    if (name.size() > kLongestName)
        return "'" + name + "' is longer than the " + std::to_string(kLongestName) + " characters of a computer name";
    for (char ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch)) && !std::strchr(kNameSymbols, ch))
            return "'" + name + "' holds a character that cannot be in a computer name (letters, digits and " +
                   kNameSymbols + " can)";
    return "";
}

std::string MakeWaves(const std::string& waveList, std::size_t count, std::vector<int>& waveOf, int& waves) {
    waveOf.assign(count, 0);
    waves = 0;
    std::size_t reached = 0;
    for (const std::string& item : Split(waveList)) {
        const bool share = !item.empty() && item.back() == '%';
        long long n = 0;
        if (!Number(share ? item.substr(0, item.size() - 1) : item, n) || n < 1 || (share && n > 100))
            return "'" + item + "' in --waves is neither a number of machines nor a share from 1% to 100%";
        std::size_t upTo = share ? static_cast<std::size_t>((n * count + 99) / 100) : static_cast<std::size_t>(n);
        if (upTo > count) upTo = count;
        if (upTo <= reached) continue;  // a share that adds nobody
        for (; reached < upTo; ++reached) waveOf[reached] = waves;
        ++waves;
    }
    if (reached < count)
        return "the waves reach " + std::to_string(reached) + " of the " + std::to_string(count) +
               " machines: end them with 100%";
    return "";
}

std::string Span(Seconds s) {
    char buf[32];
    if (s < 120)
        std::snprintf(buf, sizeof buf, "%lld s", static_cast<long long>(s));
    else if (s < 7200)
        std::snprintf(buf, sizeof buf, "%lld min", static_cast<long long>(s / 60));
    else
        std::snprintf(buf, sizeof buf, "%lld h %02lld min", static_cast<long long>(s / 3600),
                      static_cast<long long>(s / 60 % 60));
    return buf;
}

namespace {

std::string LockText(const std::string& owner) { return "owner=" + owner + "\r\nend=1\r\n"; }

}  // namespace

std::string LockOwner(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> lines;
    if (!KeyValues(text, lines) || lines.front().first != "owner") return "";
    return lines.front().second;
}

Lock TakeLock(Folder& f, const std::string& owner, bool breakStale, std::string& message) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int made = f.CreateNew(kLockName, LockText(owner), message);
        if (made > 0) return Lock::Taken;
        if (made < 0) return Lock::Failed;
        std::string text;
        Seconds age = 0;
        if (!f.Read(kLockName, text, age)) continue;  // gone meanwhile: try once more
        const std::string holder = LockOwner(text).empty() ? "nobody it names" : LockOwner(text);
        const std::string where =
            "'" + f.Show(kLockName) + "', held by " + holder + ", last written " + Span(age) + " ago";
        if (age <= kStaleLock) {
            message = "another rollout works on this folder: the lock " + where + "; a lock not rewritten for " +
                      Span(kStaleLock) + " is stale";
            return Lock::Held;
        }
        if (!breakStale) {
            message = "a stale lock lies in this folder: " + where +
                      "; if that rollout no longer runs, --break-lock takes the lock over";
            return Lock::Stale;
        }
        message = f.Put(kLockName, LockText(owner));
        if (!message.empty()) return Lock::Failed;
        message = "took over the stale lock " + where;
        return Lock::Taken;
    }
    message = "the lock '" + f.Show(kLockName) + "' cannot be read";
    return Lock::Failed;
}

std::string RefreshLock(Folder& f, const std::string& owner) {
    std::string text;
    Seconds age = 0;
    if (!f.Read(kLockName, text, age)) return "the lock '" + f.Show(kLockName) + "' has gone";
    if (LockOwner(text) != owner) return "the lock '" + f.Show(kLockName) + "' was taken over by " + LockOwner(text);
    const std::string why = f.Put(kLockName, LockText(owner));
    return why.empty() ? "" : "the lock cannot be rewritten: " + why;
}

void ReleaseLock(Folder& f, const std::string& owner) {
    std::string text;
    Seconds age = 0;
    if (f.Read(kLockName, text, age) && LockOwner(text) == owner) f.Remove(kLockName);
}

}  // namespace rollout
