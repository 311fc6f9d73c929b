// What 'rollout status' and 'rollout list' print: the rollouts recorded in
// the folder, each machine's row agreeing with the outcome, and the lock.
#include "show.h"

#include <algorithm>
#include <cstdio>

#include "disk_folder.h"

namespace rollout {

using board::LocalTime;

// The rollouts whose state lies in the folder, newest first.
std::vector<std::pair<State, Seconds>> States(Folder& f, std::vector<std::string>& damaged) {
    std::vector<std::pair<State, Seconds>> found;
    for (const std::string& name : f.List(kOwnFolder)) {
        if (name.size() < 5 || name.compare(name.size() - 4, 4, ".txt") != 0) continue;
        std::string text, why;
        Seconds age = 0;
        State s;
        if (f.Read(std::string(kOwnFolder) + "/" + name, text, age) &&
            (why = ParseState(text, s)).empty()) {
            s.file = std::string(kOwnFolder) + "/" + name;
            found.emplace_back(s, age);
        }
        else
            damaged.push_back("'" + name + "' cannot be read" + (why.empty() ? "" : ": " + why));
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    return found;
}

namespace {

std::string Where(const State& s, const Entry& e) {
    const bool ended = s.phase != Phase::Running;
    switch (e.step) {
    case Step::Waiting: return ended ? "never given the build" : "not given the build yet";
    case Step::Placing: return "being given the build";
    case Step::Placed: return "build placed " + LocalTime(e.placedAt, "%H:%M") + ", not taken";
    case Step::Took:
        return "took it " + LocalTime(e.tookAt, "%H:%M") +
               (e.healthySince ? ", healthy from " + LocalTime(e.healthySince, "%H:%M") + (ended ? " to the end" : "")
                               : ", not well since " + LocalTime(e.badSince, "%H:%M"));
    case Step::Removed: return "its build was removed before it took it";
    }
    return "";
}

// A machine's row agrees with the outcome, and says one thing: the one that
// halted the rollout says that, after the build it was given (a build it
// took and rolled back may lie in the folder still, and be removed at the
// halt); one whose monitor holds the build back says why.
std::string Describe(const State& s, const Entry& e, const std::vector<board::Machine>& reports) {
    if (s.phase == Phase::Halted && s.outcome.rfind(e.name + " ", 0) == 0) {
        const std::string given = e.step == Step::Took ? Where(s, e) : "build placed " + LocalTime(e.placedAt, "%H:%M");
        return given + "; then it halted the rollout: " + s.outcome.substr(e.name.size() + 1);
    }
    const std::string waits = e.step == Step::Placed && s.phase == Phase::Running
                                  ? Waits(s, FindReport(reports, e.name)) : "";
    return waits.empty() ? Where(s, e) : Where(s, e) + "; its monitor says " + waits;
}

// A rollout whose state says it runs, but whose lock nobody keeps fresh,
// was stopped.
std::string PhaseText(const State& s, bool lockFresh, const std::string& folder) {
    const std::string at = " at wave " + std::to_string(std::min(s.wave + 1, s.waves)) + " of " +
                           std::to_string(s.waves);
    if (s.phase != Phase::Running) return PhaseName(s.phase) + at;
    if (lockFresh) return "running" + at;
    return "stopped" + at + ": 'rollout resume --folder " + folder + "' carries it on";
}

void ShowState(Folder& f, const State& s, bool lockFresh, const std::string& folder) {
    std::printf("rollout of %s%s in '%s': %s\n", s.monitor ? "monitor " : "", s.version.c_str(), f.Show("").c_str(),
                PhaseText(s, lockFresh, folder).c_str());
    std::printf("  build '%s', %llu bytes, %s; soak %s, take limit %s; started %s\n", s.build.c_str(),
                static_cast<unsigned long long>(s.length), s.signature ? "with a signature" : "without a signature",
                Span(s.soak).c_str(), Span(s.takeLimit).c_str(),
                LocalTime(s.started, "%Y-%m-%d %H:%M").c_str());
    if (!s.outcome.empty()) std::printf("  outcome: %s\n", s.outcome.c_str());
    std::vector<board::Machine> reports;
    std::string why;
    if (s.phase == Phase::Running && !f.Reports(reports, why)) std::printf("  (the reports cannot be read: %s)\n", why.c_str());
    for (const Entry& e : s.machines)
        std::printf("  wave %d  %-15s %s\n", e.wave + 1, e.name.c_str(), Describe(s, e, reports).c_str());
    std::printf("  record '%s'\n", f.Show(StateName(s)).c_str());
}

}  // namespace

// The lock's holder and age; false when there is no lock.
bool ReadLock(Folder& f, std::string& holder, Seconds& age) {
    std::string text;
    if (!f.Read(kLockName, text, age)) return false;
    holder = LockOwner(text).empty() ? "nobody it names" : LockOwner(text);
    return true;
}

std::string ShowStatus(const Options& o) {
    DiskFolder f(o.folder);
    std::vector<std::string> damaged;
    const auto states = States(f, damaged);
    for (const std::string& d : damaged) std::printf("note: %s\n", d.c_str());
    std::string holder;
    Seconds age = 0;
    const bool locked = ReadLock(f, holder, age), fresh = locked && age <= kStaleLock;
    bool shown = false;
    for (const auto& [s, age] : states) {
        const bool wanted = o.version.empty() ? s.phase == Phase::Running : s.version == o.version;
        if (wanted) ShowState(f, s, fresh, o.folder), shown = true;
    }
    if (!shown && o.version.empty() && !states.empty())
        ShowState(f, states.front().first, fresh, o.folder), shown = true;
    if (locked)
        std::printf("lock: '%s', held by %s, written %s ago%s\n", f.Show(kLockName).c_str(), holder.c_str(),
                    Span(age).c_str(), fresh ? "" : " (stale)");
    if (shown) return "";
    return "no rollout" + (o.version.empty() ? "" : " of " + o.version) + " in '" + f.Show(kOwnFolder) + "'";
}

std::string ShowList(const Options& o) {
    DiskFolder f(o.folder);
    std::vector<std::string> damaged;
    const auto states = States(f, damaged);
    std::string holder;
    Seconds age = 0;
    const bool fresh = ReadLock(f, holder, age) && age <= kStaleLock;
    for (const std::string& d : damaged) std::printf("note: %s\n", d.c_str());
    for (const auto& [s, age] : states)
        std::printf("%s: %s%s, started %s, %s%s\n", f.Show(StateName(s)).c_str(), s.monitor ? "monitor " : "",
                    s.version.c_str(), LocalTime(s.started, "%Y-%m-%d %H:%M").c_str(),
                    PhaseText(s, fresh, o.folder).c_str(), s.outcome.empty() ? "" : (": " + s.outcome).c_str());
    return states.empty() ? "no rollout in '" + f.Show(kOwnFolder) + "'" : "";
}

}  // namespace rollout
