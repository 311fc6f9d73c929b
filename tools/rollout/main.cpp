// Takes a new manager build to every PC of the centre in waves, moving on
// only while the PCs that have it run it well, as their status reports say.
// Run "rollout --help" for its command line.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include "build_file.h"
#include "command_line.h"
#include "disk_folder.h"
#include "options.h"
#include "plan.h"
#include "rollout.h"
#include "show.h"

namespace {

using rollout::Options;
using rollout::Seconds;
using board::LocalTime;
using rollout::Say;
using rollout::Split;
using rollout::Upper;

constexpr int kExitHalted = 1;
constexpr int kExitRefused = 3;
constexpr int kExitLocked = 4;
constexpr int kExitStopped = 5;

std::atomic<bool> g_stop{false};
extern "C" void OnInterrupt(int) { g_stop = true; }

int Refused(const std::string& why) {
    std::fprintf(stderr, "rollout: %s\n", why.c_str());
    return kExitRefused;
}

Seconds Now() { return static_cast<Seconds>(std::time(nullptr)); }

// Who holds the lock and since when, as the lock file names it.
std::string Owner() {
    const std::string since = " since " + LocalTime(Now());
#ifdef _WIN32
    const char* host = std::getenv("COMPUTERNAME");
    return std::string(host ? host : "?") + " pid " + std::to_string(_getpid()) + since;
#else
    char host[256] = "?";
    gethostname(host, sizeof host - 1);
    return std::string(host) + " pid " + std::to_string(getpid()) + since;
#endif
}

// Waits `seconds`, or less when Ctrl-C comes; false then.
bool Wait(Seconds seconds) {
    for (Seconds tenths = 0; tenths < seconds * 10; ++tenths) {
        if (g_stop) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return !g_stop;
}

// A machine's line is printed when it says something new.
void Print(const std::vector<std::string>& lines, std::map<std::string, std::string>& shown) {
    for (const std::string& line : lines) {
        const std::size_t colon = line.find(": ");
        const std::string who = colon == std::string::npos ? "" : line.substr(0, colon);
        if (!who.empty() && rollout::NameProblem(who).empty()) {
            if (shown[who] == line) continue;
            shown[who] = line;
        }
        Say(line);
    }
}

int Run(rollout::Rollout& r, rollout::Folder& f, const std::string& owner, const std::string& folder) {
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    std::map<std::string, std::string> shown;
    const std::string resume = "'rollout resume --folder " + folder + "' carries on from here";
    for (;;) {
        std::vector<std::string> lines;
        const bool ok = r.Step(Now(), lines);
        Print(lines, shown);
        if (!ok) {
            rollout::ReleaseLock(f, owner);
            Say("stopped: " + resume);
            return kExitStopped;
        }
        if (r.state().phase != rollout::Phase::Running) {
            rollout::ReleaseLock(f, owner);
            return r.state().phase == rollout::Phase::Done ? 0 : kExitHalted;  // halted, or aborted from elsewhere
        }
        if (!Wait(rollout::kPollEvery)) {
            rollout::ReleaseLock(f, owner);
            Say("stopped by Ctrl-C at wave " + std::to_string(r.state().wave + 1) + " of " +
                std::to_string(r.state().waves) + "; " + resume);
            return kExitStopped;
        }
    }
}

// Takes the folder's lock; the exit code when it cannot, else -1.
int Lock(rollout::Folder& f, const std::string& owner, bool breakStale) {
    std::string message;
    switch (rollout::TakeLock(f, owner, breakStale, message)) {
    case rollout::Lock::Taken:
        if (!message.empty()) Say(message);
        return -1;
    case rollout::Lock::Held:
    case rollout::Lock::Stale: std::fprintf(stderr, "rollout: %s\n", message.c_str()); return kExitLocked;
    case rollout::Lock::Failed: break;
    }
    return Refused("the update folder cannot be written: " + message);
}

// The unfinished rollout that resume or abort works on; "" or why none.
std::string Unfinished(rollout::Folder& f, const std::string& version, rollout::State& out) {
    std::vector<std::string> damaged, running;
    for (const auto& [s, age] : rollout::States(f, damaged)) {
        if (!version.empty() && s.version != version) continue;
        if (s.phase != rollout::Phase::Running) {
            if (!version.empty()) return "the rollout of " + version + " has ended: " + rollout::PhaseName(s.phase);
            continue;
        }
        out = s;
        running.push_back(s.version);
    }
    for (const std::string& d : damaged) Say("note: " + d);
    if (running.size() > 1) return "several rollouts are unfinished here; name one: " + running[0] + ", " + running[1];
    if (running.empty())
        return "no rollout" + (version.empty() ? "" : " of " + version) + " is under way in '" +
               f.Show(rollout::kOwnFolder) + "'";
    return "";
}

// The build and signature kept with the rollout, checked against its state.
std::string Kept(rollout::Folder& f, const rollout::State& s, std::string& build, std::string& signature) {
    Seconds age = 0;
    const std::string name = rollout::KeptBuild(s);
    if (!f.Read(name, build, age) || build.size() != s.length)
        return "the build kept with the rollout, '" + f.Show(name) + "', is missing or not whole";
    if (rollout::FileVersionOf(f.Show(name)) != s.version)
        return "'" + f.Show(name) + "' is not the build of " + s.version;
    if (s.signature && !f.Read(name + ".sig", signature, age))
        return "its signature '" + f.Show(name + ".sig") + "' is missing";
    return "";
}

// An abort of a rollout that runs elsewhere: a request through the folder,
// which that rollout obeys at its next look.
int AbortRunning(rollout::Folder& f, const rollout::State& s, const std::string& holder, const Options& o) {
    const std::string me = Owner().substr(0, Owner().find(" since "));
    const std::string why =
        f.Put(rollout::kAbortName, "state=" + rollout::StateName(s) + "\r\nby=" + me + "\r\nend=1\r\n");
    if (!why.empty()) return Refused("the abort request cannot be written: " + why);
    Say("the rollout of " + s.version + " runs on " + holder + ": asked it to abort through '" +
        f.Show(rollout::kAbortName) + "'");
    for (int look = 0; look < 4 && Wait(rollout::kPollEvery); ++look) {
        std::string text;
        Seconds age = 0;
        rollout::State now;
        if (!f.Read(rollout::StateName(s), text, age) || !rollout::ParseState(text, now).empty() ||
            now.phase == rollout::Phase::Running)
            continue;
        Say("it has ended, " + std::string(rollout::PhaseName(now.phase)) + ": " + now.outcome);
        return 0;
    }
    std::fprintf(stderr,
                 "rollout: it has not answered in %s; the request stays, and it aborts at its next look. If it no "
                 "longer runs, its lock goes stale %s after its last look: then 'rollout abort --folder %s "
                 "--break-lock' ends it from here\n",
                 rollout::Span(4 * rollout::kPollEvery).c_str(), rollout::Span(rollout::kStaleLock).c_str(),
                 o.folder.c_str());
    return kExitLocked;
}

int ResumeOrAbort(const Options& o) {
    rollout::DiskFolder f(o.folder);
    rollout::State s;
    const std::string owner = Owner();
    std::string why = Unfinished(f, o.version, s), holder;
    if (!why.empty()) return Refused(why);
    if (o.verb == "resume" && !(why = rollout::CheckWaves(s)).empty())
        return Refused("the rollout's state '" + f.Show(rollout::StateName(s)) + "' does not hold together: " + why +
                       "; it is not resumed (was it edited?). 'rollout abort' ends it");
    Seconds age = 0;
    if (o.verb == "abort" && rollout::ReadLock(f, holder, age) && age <= rollout::kStaleLock)
        return AbortRunning(f, s, holder, o);
    if (const int locked = Lock(f, owner, o.breakLock); locked >= 0) return locked;
    f.Remove(rollout::kAbortName);  // asked of a rollout that is no longer there
    std::string build, signature;
    why = Kept(f, s, build, signature);
    if (!why.empty() && o.verb == "resume") {
        rollout::ReleaseLock(f, owner);
        return Refused(why + "; 'rollout abort' ends the rollout");
    }
    rollout::Rollout r(f, s, build, signature, owner);
    if (o.verb == "resume") {
        Say("resuming the rollout of " + s.version + " at wave " + std::to_string(s.wave + 1) + " of " +
            std::to_string(s.waves));
        return Run(r, f, owner, o.folder);
    }
    std::vector<std::string> lines;
    const bool saved = r.Abort(lines);
    std::map<std::string, std::string> shown;
    Print(lines, shown);
    rollout::ReleaseLock(f, owner);
    Say(saved ? "the rollout of " + s.version + " is aborted" : "the abort could not be recorded");
    return saved ? 0 : kExitStopped;
}

// Before anything else, also for a dry run: the lock, and a rollout that
// is not finished, which a start would meet.
int Precheck(rollout::Folder& f, const Options& o) {
    rollout::State other;
    other.phase = rollout::Phase::Done;  // stays so unless one or more rollouts are under way
    Unfinished(f, "", other);
    const std::string name = other.phase != rollout::Phase::Running
                                 ? std::string("another rollout")
                                 : "the rollout of " + std::string(other.monitor ? "monitor " : "") + other.version +
                                       " (started " + LocalTime(other.started, "%Y-%m-%d %H:%M") + ")";
    std::string holder;
    Seconds age = 0;
    if (rollout::ReadLock(f, holder, age) && (age <= rollout::kStaleLock || !o.breakLock)) {
        std::fprintf(stderr, "rollout: %s holds this folder's lock '%s': %s, last written %s ago; %s\n", name.c_str(),
                     f.Show(rollout::kLockName).c_str(), holder.c_str(), rollout::Span(age).c_str(),
                     age > rollout::kStaleLock ? "the lock is stale: if that rollout no longer runs, --break-lock "
                                                 "takes it over"
                                               : "'rollout status' follows it, 'rollout abort' stops it");
        return kExitLocked;
    }
    if (other.phase == rollout::Phase::Running)
        return Refused(name + " is stopped, not finished: 'rollout resume --folder " + o.folder +
                       "' carries it on, 'rollout abort --folder " + o.folder + "' ends it");
    return -1;
}

// Why `folder` cannot be the update folder; "" when it may be.
std::string FolderProblem(const std::string& folder) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const std::string wanted = ": --folder wants the update folder, the one that holds _Status (the monitors' "
                               "reports) and _Rollout";
    fs::path path = fs::path(folder).lexically_normal();
    if (!path.has_filename()) path = path.parent_path();
    if (!fs::is_directory(path, ec)) return "'" + folder + "' is no folder" + wanted;
    const std::string last = Upper(path.filename().string());
    if (last == "_STATUS" || last == "_ROLLOUT")
        return "'" + folder + "' is the update folder's " + path.filename().string() + wanted;
    return "";
}

// The lock, a look that the folder can be written and holds no other
// unfinished rollout, the build kept, then wave after wave.
int Launch(rollout::Folder& f, const rollout::State& s, const std::string& build, const std::string& signature,
           const Options& o) {
    const std::string owner = Owner();
    if (const int locked = Lock(f, owner, o.breakLock); locked >= 0) return locked;
    std::string why;
    rollout::State other;
    other.phase = rollout::Phase::Done;  // stays so unless one or more rollouts are under way
    Unfinished(f, "", other);
    if (why.empty() && other.phase == rollout::Phase::Running)
        why = "the rollout of " + other.version +
              " in this folder is not finished: 'rollout resume' carries it on, "
              "'rollout abort' ends it";
    rollout::Rollout r(f, s, build, signature, owner);
    if (why.empty()) why = r.Begin();
    if (!why.empty()) {
        rollout::ReleaseLock(f, owner);
        return Refused(why);
    }
    return Run(r, f, owner, o.folder);
}

// A share mounted read-only is told before the plan, not after it.
std::string Writable(rollout::Folder& f) {
    const std::string probe = ".rollout-probe.tmp";
    std::string why = f.Put(probe, "");
    if (why.empty()) why = f.Remove(probe);
    return why.empty() ? "" : "the update folder cannot be written: " + why;
}

// Nothing is written before every check has passed.
int Start(const Options& o) {
    std::vector<std::string> names;
    std::vector<board::Machine> reports;
    rollout::BuildFile build;
    rollout::DiskFolder f(o.folder);
    std::string why;
    if (const int held = Precheck(f, o); held >= 0) return held;
    for (const std::string& name : Split(o.machines))
        if (!o.machines.empty() && !(why = rollout::NameProblem(name)).empty()) return Refused("--machines: " + why);
    why = rollout::ReadBuild(o.build, o.monitor, build);
    if (!why.empty()) return Refused(why);
    if (!f.Reports(reports, why)) return Refused("the monitors' reports cannot be read: " + why);
    rollout::State s;
    s.version = build.version;
    s.monitor = o.monitor;
    std::string signature, signing;
    why = rollout::Signature(o, signature, signing);
    if (!why.empty()) return Refused(why);
    s.signature = !signature.empty();
    why = rollout::ChooseMachines(o, reports, names);
    if (why.empty()) why = rollout::CheckMachines(names, reports, s, f.Show("_Status"));
    if (!why.empty()) return Refused(why);
    std::vector<int> waveOf;
    why = rollout::MakeWaves(o.waves, names.size(), waveOf, s.waves);
    if (!why.empty()) return rz::BadUsage("rollout", why);
    std::error_code ec;
    s.build = std::filesystem::absolute(o.build, ec).lexically_normal().string();  // shown on other PCs too
    s.waveList = o.waves;
    s.length = build.bytes.size();
    s.soak = o.soak;
    s.takeLimit = o.takeLimit;
    s.started = Now();
    for (std::size_t i = 0; i < names.size(); ++i) {
        s.machines.emplace_back();
        s.machines.back().name = names[i];
        s.machines.back().wave = waveOf[i];
    }
    if (!o.dryRun && !(why = Writable(f)).empty()) return Refused(why);
    rollout::PrintPlan(s, reports, signing);
    if (o.dryRun) return Say("dry run: nothing was written"), 0;
    return Launch(f, s, build.bytes, signature, o);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    const int done = rollout::ParseArgs(argc, argv, o);
    if (done >= 0) return done;
    const std::string folderProblem = FolderProblem(o.folder);
    if (!folderProblem.empty()) return Refused(folderProblem);
    if (o.verb == "start") return Start(o);
    if (o.verb == "status" || o.verb == "list") {
        const std::string why = o.verb == "status" ? rollout::ShowStatus(o) : rollout::ShowList(o);
        return why.empty() ? 0 : Refused(why);
    }
    return ResumeOrAbort(o);
}
