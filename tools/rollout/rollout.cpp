// What the rollout decides at each look at the reports: place the wave's
// builds, see each machine take its build and stay well, move on, or halt.
#include "rollout.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "diag/status_format.h"
#include "update/update.h"

namespace rollout {

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

std::string Upper(std::string s) {
    for (char& ch : s) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return s;
}

const board::Machine* FindReport(const std::vector<board::Machine>& reports, const std::string& name) {
    for (const board::Machine& m : reports)
        if (SameName(m.file, name + ".txt")) return &m;
    return nullptr;
}

namespace {

// The result of the update of the kind rolled out, and when it was met.
std::string Baseline(const State& s, const board::Machine* r) {
    if (!r) return "@";
    return s.monitor ? r->monitorUpdate + "@" + r->monitorUpdateTime : r->lastUpdate + "@" + r->lastUpdateTime;
}

// An update result that says the build did not go in, or went out again,
// reported since the build was placed: "" when there is none. Once the
// machine took this build, a refusal or failure is of a later one.
std::string NewFailure(const State& s, const Entry& e, const board::Machine* r) {
    if (!r || !r->problem.empty() || Baseline(s, r) == e.baseline) return "";
    const std::string& result = s.monitor ? r->monitorUpdate : r->lastUpdate;
    if (result == "rolled back") return result;
    if (e.step != Step::Took && (result == "refused" || result == "failed")) return result;
    return "";
}

// The record of the kind rolled out that says why its update did not go in (yet).
const std::string& Reason(const State& s, const board::Machine& r) {
    return s.monitor ? r.monitorUpdateReason : r.lastUpdateReason;
}

// What the machine's monitor did with the build, and why, as its report
// says, or where to look (a monitor too old to report its reason).
std::string Failed(const State& s, const std::string& result, const board::Machine& r) {
    const std::string at = s.monitor ? r.monitorUpdateTime : r.lastUpdateTime;
    const std::string& reason = Reason(s, r);
    const std::string what = result == "rolled back" ? "rolled the build back at "
                             : result == "refused"   ? "refused the build at "
                                                     : "failed to install the build at ";
    if (!reason.empty()) return what + at + ": " + reason;
    if (result == "rolled back") return what + at + ": it would not run there";
    return what + at + ": see its log's " + (s.monitor ? "MONITOR " : "") +
           (result == "refused" ? "UPDATE REFUSED" : "UPDATE FAILED") + " record";
}

}  // namespace

std::string Waits(const State& s, const board::Machine* r) {
    if (!r || !r->problem.empty()) return "";
    const std::string& reason = Reason(s, *r);
    return reason.rfind(s.monitor ? rz::kMonitorUpdateWaitingRecord : rz::kUpdateWaitingRecord, 0) == 0 ? reason : "";
}

namespace {

// The version of the kind rolled out that the machine runs.
const std::string& Running(const State& s, const board::Machine& r) { return s.monitor ? r.monitorVersion : r.version; }

// Why a machine that took the build is not well now; "" when it is.
std::string Trouble(const State& s, const board::Machine* r) {
    const std::string& version = s.version;
    if (!r) return "without a report";
    if (!r->problem.empty()) return "with a report that cannot be read (" + r->problem + ")";
    switch (r->state) {
    case board::State::Down: return "DOWN (its manager is not running)";
    case board::State::Hung: return "HUNG (its manager is not responding)";
    case board::State::Silent: return "SILENT (no report for " + Span(r->ageSeconds) + ")";
    case board::State::Stopped: return "STOPPED (its monitor was stopped)";
    case board::State::Unreadable: return "with a report that cannot be read";
    // A later update refused or failed on a machine running this build: the
    // machine runs it still, which is what a soak asks.
    case board::State::NotUpdated:
    case board::State::Ok: break;
    }
    if (Running(s, *r) != version)
        return "running " + (Running(s, *r).empty() ? "no known version" : Running(s, *r)) + ", not " + version;
    return "";
}

constexpr const char* kNotNewer = " is not newer than ";
constexpr const char* kNewestInstalled = ", the newest this PC installed";

}  // namespace

std::string WillRefuse(const board::Machine& r, const std::string& version) {
    const std::string& reason = r.lastUpdateReason;
    const std::size_t from = reason.find(kNotNewer), to = reason.find(kNewestInstalled);
    if (r.lastUpdate != "refused" || from == std::string::npos || to == std::string::npos || to < from) return "";
    const std::size_t at = from + std::string(kNotNewer).size();
    if (rz::VersionNewer(version, reason.substr(at, to - at))) return "";
    return "its report says '" + reason + "'";
}

Rollout::Rollout(Folder& folder, State state, std::string build, std::string signature, std::string owner)
    : f_(folder),
      s_(std::move(state)),
      build_(std::move(build)),
      signature_(std::move(signature)),
      owner_(std::move(owner)) {}

std::string Rollout::Begin() {
    std::string there;
    Seconds age = 0;
    s_.file = StateName(s_);
    if (f_.Read(s_.file, there, age))
        return "'" + f_.Show(s_.file) + "', the record of a rollout started that same second, is there already";
    std::string why = f_.Put(KeptBuild(s_), build_);
    if (why.empty() && !signature_.empty()) why = f_.Put(KeptBuild(s_) + ".sig", signature_);
    std::vector<std::string> lines;
    if (why.empty() && !Save(lines)) why = lines.back();
    return why;
}

bool Rollout::Save(std::vector<std::string>& lines) {
    const std::string why = f_.Put(StateName(s_), FormatState(s_));
    if (why.empty()) return true;
    lines.push_back("the rollout's state '" + f_.Show(StateName(s_)) + "' cannot be written: " + why);
    return false;
}

bool Rollout::Step(Seconds now, std::vector<std::string>& lines) {
    if (s_.phase != Phase::Running) return Saved(FormatState(s_), lines);  // what its end may have left
    std::string why = RefreshLock(f_, owner_);
    std::vector<board::Machine> reports;
    if (!why.empty()) return lines.push_back(why), false;
    const std::string before = FormatState(s_);
    if (AbortRequested(lines)) return Saved(before, lines);  // also while the reports cannot be read
    if (!f_.Reports(reports, why)) {
        lines.push_back("the reports cannot be read (" + why + "); looking again in " + Span(kPollEvery));
        return true;
    }
    while (s_.phase == Phase::Running) {
        std::vector<std::string> progressOfWave;
        for (Entry& e : s_.machines) {
            if (e.wave != s_.wave || s_.phase != Phase::Running) continue;
            const board::Machine* report = FindReport(reports, e.name);
            if ((e.step == Step::Waiting || e.step == Step::Placing) && !Place(e, report, now, lines)) return false;
            std::string progress, mood;
            const std::string halt = s_.phase == Phase::Running ? Judge(e, report, now, progress, mood) : "";
            if (!halt.empty())
                Halt(e.name + " " + halt, lines);
            else if (!progress.empty())
                Tell(e, progress, mood, lines), progressOfWave.push_back(e.name + " " + progress);
        }
        if (s_.phase == Phase::Running) Summary(now, progressOfWave, lines);
        if (s_.phase != Phase::Running || !WaveThrough(now)) break;
        std::string names;
        for (const Entry& e : s_.machines)
            if (e.wave == s_.wave) names += (names.empty() ? "" : ", ") + e.name;
        lines.push_back("wave " + std::to_string(s_.wave + 1) + " of " + std::to_string(s_.waves) +
                        " is healthy: " + names + " ran " + s_.version + " for " + Span(s_.soak));
        if (++s_.wave == s_.waves) Finish(Phase::Done, lines);
    }
    return Saved(before, lines);
}

// A machine's line is told when its state changes, not at every look.
void Rollout::Tell(const Entry& e, const std::string& progress, const std::string& mood,
                   std::vector<std::string>& lines) {
    for (auto& [name, said] : said_)
        if (name == e.name) {
            if (said != mood) lines.push_back(e.name + ": " + progress);
            said = mood;
            return;
        }
    said_.emplace_back(e.name, mood);
    lines.push_back(e.name + ": " + progress);
}

// And the whole wave once a minute, so that a long soak shows it goes on.
void Rollout::Summary(Seconds now, const std::vector<std::string>& progress, std::vector<std::string>& lines) {
    if (summaryAt_ == 0) summaryAt_ = now;
    if (now - summaryAt_ < kReportInterval || progress.empty()) return;
    summaryAt_ = now;
    std::string line = "wave " + std::to_string(s_.wave + 1) + " of " + std::to_string(s_.waves) + ": ";
    for (std::size_t i = 0; i < progress.size(); ++i) line += (i ? "; " : "") + progress[i];
    lines.push_back(line);
}

// "rollout abort" from another PC leaves a request naming this rollout's state.
bool Rollout::AbortRequested(std::vector<std::string>& lines) {
    std::string text;
    Seconds age = 0;
    if (!f_.Read(kAbortName, text, age) || text.find("state=" + StateName(s_) + "\r\n") == std::string::npos)
        return false;
    const std::size_t by = text.find("by=");
    const std::string who = by == std::string::npos ? "?" : text.substr(by + 3, text.find('\r', by) - by - 3);
    Abort(lines, who);
    f_.Remove(kAbortName);
    return true;
}

// The kept build goes only once the state says the rollout has ended: a
// rollout stopped before that can still be resumed.
bool Rollout::Saved(const std::string& before, std::vector<std::string>& lines) {
    if (FormatState(s_) != before && !Save(lines)) return false;
    if (s_.phase != Phase::Running) {
        f_.Remove(KeptBuild(s_));
        f_.Remove(KeptBuild(s_) + ".sig");
    }
    return true;
}

// The intent is saved before anything goes out: a rollout stopped in
// between finds it, and places nothing that a monitor may already have taken.
bool Rollout::Place(Entry& e, const board::Machine* report, Seconds now, std::vector<std::string>& lines) {
    const std::string exe = BuildName(s_, e.name);
    std::string there;
    Seconds age = 0;
    // Stopped after the build went out: there it lies, or its monitor has answered.
    if (e.step == Step::Placing &&
        ((f_.Read(exe, there, age) && there == build_) || Baseline(s_, report) != e.baseline)) {
        e.step = Step::Placed;
        return true;
    }
    if (e.step == Step::Waiting) {
        e = Entry{e.name, e.wave, Step::Placing, now, 0, 0, 0, 0, "", Baseline(s_, report)};
        if (!Save(lines)) return false;
    }
    lines.push_back(e.name + ": copying...");
    std::string why = signature_.empty() ? "" : f_.Put(exe + ".sig", signature_);
    if (why.empty()) why = f_.Put(exe, build_);
    if (!why.empty()) return Halt("cannot be given the build: " + why, lines), true;
    e.step = Step::Placed;
    return true;
}

// "" while the machine is on its way, else why the rollout halts.
std::string Rollout::Judge(Entry& e, const board::Machine* r, Seconds now, std::string& progress,
                           std::string& mood) {
    const std::string failure = NewFailure(s_, e, r);
    if (!failure.empty()) return Failed(s_, failure, *r);
    const std::string what = s_.monitor ? "its monitor is " : "its manager runs ";
    if (e.step == Step::Placed) {
        // Taken, whatever its health: a manager that is down or hung from its
        // first report is judged as one that became so, not as one waiting.
        // A monitor has taken its build once it reports that version.
        if (r && r->problem.empty() && Running(s_, *r) == s_.version && (s_.monitor || r->lastUpdate == "applied")) {
            e.step = Step::Took;
            e.tookAt = now;
        } else if (now - e.placedAt > s_.takeLimit) {
            const std::string waits = Waits(s_, r);
            return "has not taken the build within " + Span(s_.takeLimit) +
                   (r ? " (" + what + (Running(s_, *r).empty() ? "no known version" : Running(s_, *r)) +
                            (waits.empty() ? "" : "; its monitor says " + waits) + ")"
                      : " (it has no report)");
        } else {
            const std::string waits = Waits(s_, r);
            progress = "placed " + Span(now - e.placedAt) + " ago, " +
                       (!waits.empty() ? "its monitor says " + waits : "waiting for its monitor to take it");
            mood = waits.empty() ? "placed" : "waits " + waits;
            return "";
        }
    }
    if (e.step != Step::Took) return "";
    RemoveTakenSignature(e);
    const std::string trouble = Trouble(s_, r);
    if (!trouble.empty()) {
        if (e.badSince == 0) e.badSince = now;
        e.healthySince = 0;
        if (now - e.badSince > kReportInterval)
            return "has been " + trouble + " for " + Span(now - e.badSince) + " since it took the build";
        progress = trouble + " for " + Span(now - e.badSince) + "; the rollout halts after " + Span(kReportInterval);
        mood = "trouble " + trouble.substr(0, trouble.find(' '));
        return "";
    }
    e.badSince = 0;
    if (e.healthySince == 0 || r->pid != e.pid) {  // a manager started again counts from its start
        if (!e.pid.empty() && r->pid != e.pid && ++e.restarts >= kMostRestarts)
            return "started its manager again " + std::to_string(e.restarts) + " times since it took the build";
        e.healthySince = now;
        e.pid = r->pid;
    }
    progress =
        s_.version + " running, " + Span(std::min(now - e.healthySince, s_.soak)) + " of " + Span(s_.soak) + " healthy";
    mood = "healthy " + e.pid;
    return "";
}

// The monitor deletes the build it took, never its .sig.
void Rollout::RemoveTakenSignature(const Entry& e) {
    std::string there;
    Seconds age = 0;
    const std::string exe = BuildName(s_, e.name);
    if (signature_.empty() || f_.Read(exe, there, age)) return;
    if (f_.Read(exe + ".sig", there, age) && there == signature_) f_.Remove(exe + ".sig");
}

bool Rollout::WaveThrough(Seconds now) const {
    for (const Entry& e : s_.machines)
        if (e.wave == s_.wave && (e.step != Step::Took || e.healthySince == 0 || now - e.healthySince < s_.soak))
            return false;
    return true;
}

void Rollout::Halt(const std::string& why, std::vector<std::string>& lines) {
    s_.outcome = why;
    lines.push_back("HALTED: " + why);
    RemoveUntaken(lines);
    Finish(Phase::Halted, lines);
}

bool Rollout::Abort(std::vector<std::string>& lines, const std::string& by) {
    const std::string before = FormatState(s_);
    s_.outcome = "aborted at wave " + std::to_string(s_.wave + 1) + " of " + std::to_string(s_.waves) +
                 (by.empty() ? "" : " by " + by);
    lines.push_back("ABORTED: " + s_.outcome);
    RemoveUntaken(lines);
    Finish(Phase::Aborted, lines);
    return Saved(before, lines);
}

void Rollout::RemoveUntaken(std::vector<std::string>& lines) {
    std::string never;
    for (Entry& e : s_.machines) {
        if (e.step == Step::Waiting) never += (never.empty() ? "" : ", ") + e.name;
        if (e.step != Step::Placing && e.step != Step::Placed) continue;
        // A build its monitor took away already was not removed: the row says placed.
        if (RemoveIfOurs(BuildName(s_, e.name), build_, lines)) e.step = Step::Removed;
        if (!signature_.empty()) RemoveIfOurs(BuildName(s_, e.name) + ".sig", signature_, lines);
    }
    if (!never.empty()) lines.push_back("never given the build: " + never);
}

bool Rollout::RemoveIfOurs(const std::string& name, const std::string& bytes, std::vector<std::string>& lines) {
    std::string there;
    Seconds age = 0;
    if (!f_.Read(name, there, age)) return false;
    if (there != bytes) {
        lines.push_back("left alone: '" + f_.Show(name) + "' is no longer this rollout's file");
        return true;
    }
    const std::string why = f_.Remove(name);
    lines.push_back(why.empty() ? "removed '" + f_.Show(name) + "'"
                                : "'" + f_.Show(name) + "' cannot be removed (" + why + "): remove it by hand");
    return true;
}

void Rollout::Finish(Phase phase, std::vector<std::string>& lines) {
    s_.phase = phase;
    if (phase == Phase::Done)
        lines.push_back("done: " + s_.version + " runs on all " + std::to_string(s_.machines.size()) + " machines");
}

}  // namespace rollout
