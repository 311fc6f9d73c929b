// The monitor's own update: the builds the share offers, and the new monitor
// that the simulation plays up to the go.
#include "sim.h"

namespace rz {
namespace sim {

void Sim::NewMonitorBuild() {
    static const char* const kinds[] = {"good", "crashes at start", "never ready", "crashes during the watch", "older",
                                        "unsigned", "truncated", "without a window", "rolled back before", "frozen after the go"};
    int kind = static_cast<int>(rng.Between(0, 9));
    if ((kind == 5 && Keys() == 0) || (kind == 8 && monRolledBack_.empty())) kind = 4;
    std::string content = kind == 8 ? *std::next(monRolledBack_.begin(), static_cast<long>(rng.Between(0, monRolledBack_.size() - 1)))
                                    : MonitorImage(kind == 4 ? static_cast<int>(rng.Between(40, 50)) : ++monNewest_,
                                                   static_cast<int>(rng.Between(0, 1000)), kind != 7);
    const MonitorRuns runs = kind == 9 ? MonitorRuns::FrozenAfterGo : static_cast<MonitorRuns>(std::min(kind, 4));
    if (kind != 8) monBuilds_[content] = runs;
    if (kind == 5) monUnsigned_.insert(content);
    Note(std::string("monitor build: ") + kinds[kind]);
    mem.RemoveTree(kMonUpdate + ".sig");
    if (Keys() != 0 && kind != 5) mem.AddFile(kMonUpdate + ".sig", Signature((Keys() & 1) ? 0 : 1, content));
    mem.AddFile(kMonUpdate, kind == 6 ? content.substr(0, 600) : content);
    std::string hash;
    if (kind != 8 && kind != 6 && mem.Sha256File(kMonUpdate, hash) == FileHash::Done) monByHash_[hash] = monBuilds_[content];
}

// The sim plays the new monitor up to the go; one that runs well is then
// the real program, started as the new build with the old one gone.
bool Sim::MonitorStarted(MemPlatform::Proc& p) {
    UpdateMemory u;
    std::string why;
    // The build being rolled back when the power went put the one before back
    // and starts it: that one is the program once this one ends.
    if (ParseUpdateState(Data(kState), u, why) && u.monitor.step == "restoring")
        return restarted_ = true, p.diesAt = Now() + 1, Note("restored monitor started"), true;
    const MonitorRuns runs = monBuilds_.count(Data(p.path)) ? monBuilds_[Data(p.path)] : MonitorRuns::Refused;
    if (runs == MonitorRuns::Refused) return Fail("started a refused monitor build"), false;
    StepSaved("started");
    fake_ = p.pid, fakeReady_ = fakeTicks_ = false;
    monStarted_ = Data(p.path);
    Note("new monitor PID " + std::to_string(p.pid) + " started");
    // As a real one, it takes the instance mutexes before anything else.
    mem.TakeNamed(p.pid, kSessionMutex), mem.TakeNamed(p.pid, kGlobalMutex);
    if (runs == MonitorRuns::CrashesAtStart) p.diesAt = Now() + rng.Between(100, 5000), p.crashCode = 0xC0000005;
    // A stop file placed during the handover is obeyed by the new monitor too.
    if (mem.Has(kApp + "\\ROREROZARIRADI.stp") || mem.Has(kApp + "\\KORUMGRS.stp"))
        p.diesAt = Now() + kSecond, p.crashCode = 0;
    const std::uint32_t pid = p.pid;
    if (runs == MonitorRuns::Well || runs == MonitorRuns::CrashesInWatch || runs == MonitorRuns::FrozenAfterGo)
        At(Now() + rng.Between(300, 4000), "", [this, pid] {
            if (fake_ == pid && mem.FindProcess(pid)->alive) mem.AddFile(kReady, std::to_string(pid)), fakeReady_ = true;
        });
    return true;
}

// Each step of a handover is in the state file before it is taken.
void Sim::StepSaved(const std::string& step) {
    UpdateMemory u;
    std::string why;
    if (!ParseUpdateState(Data(kState), u, why) || u.monitor.step != step || u.monitor.from != mem.ownPid)
        Fail("a handover's step '" + step + "' taken before it was saved");
}

void Sim::MonitorMoved(const std::string& from, const std::string& to) {
    const std::string before = monExe_;
    monExe_ = Data(kMon);  // "" while it is renamed away
    if (Is(to, kPrev)) return StepSaved("moving");
    // The restore: '.prev', or a copy of it, moved in; or, at a start after a
    // power cut, the build being rolled back moved out of the way. A build
    // that never ran is not rolled back: the handover was undone.
    const bool back = Is(from, kPrev) || Is(from, kApp + "\\ROREROZARIRADI.ins") || Is(from, kMon);
    const Ctx* c = ProgramState();
    const bool ran = before == monStarted_ || (c && (c->s.handover.unsaved || c->s.update.monitor.step == "restoring"));
    if (back && !before.empty() && before != monExe_)
        ran ? (monRolledBack_.insert(before), Note("monitor rolled back"))
            : Note("monitor handover undone before its build ran");
    if (back) return;
    monStarted_.clear();
    if (monRolledBack_.count(monExe_)) Fail("a monitor build rolled back was installed again");
    if (!monBuilds_.count(monExe_) || monBuilds_[monExe_] == MonitorRuns::Refused) Fail("a refused monitor build was installed");
}

// The go: the ready signal taken away while the new monitor runs.
void Sim::WatchHandover() {
    MemPlatform::Proc* p = fake_ ? mem.FindProcess(fake_) : nullptr;
    if (!p || !p->alive) fake_ = 0, fakeTicks_ = fakeReady_ = false;
    if (!p || !p->alive || !fakeReady_ || fakeTicks_ || mem.Has(kReady)) return;
    if (monBuilds_[Data(kMon)] == MonitorRuns::FrozenAfterGo) {
        // Its first tick never ends: no census, no proof of life.
        Note("new monitor took over; it never ticks");
        fakeTicks_ = true;
        return;
    }
    if (monBuilds_[Data(kMon)] == MonitorRuns::CrashesInWatch) {
        Note("new monitor took over; it will crash");
        p->diesAt = Now() + rng.Between(1, 100) * kSecond, p->crashCode = 0xC0000005, fakeTicks_ = true;
        FakeTick(p->pid, 1);
        SaveNewMonitorFact();
        if (!rng.Chance(40)) return;
        // A scanner holds the backup as the build crashes: the rollback waits.
        prevHeldUntil_ = p->diesAt + rng.Between(5, 60) * kSecond;
        mem.heldOpen.insert(UCase(kPrev));
        return At(prevHeldUntil_, "'ROREROZARIRADI.prev' let go", [this] { mem.heldOpen.erase(UCase(kPrev)); });
    }
    // The switch is made between the run's steps. A state that cannot be
    // read then is waited for by the start, as a real new monitor, which
    // read it before its ready signal, does not need to.
    if (inRun_) return;
    Note("new monitor took over; it is the program from now on");
    const std::uint32_t old = mem.ownPid;
    Down();
    if (MemPlatform::Proc* o = mem.FindProcess(old)) o->alive = false, o->exitCode = 0, o->endedAt = Now();
    mem.ownPid = fake_, mem.commandArgs = "/handover " + std::to_string(old);
    fake_ = 0, fakeTicks_ = fakeReady_ = false;
    Boot();
    mem.commandArgs.clear();
}

// Before it crashes, the new monitor saves a fact of its own, as a real one
// that installs a manager build does: a newer version installed. The state
// checks hold the guardian's rollback to it.
void Sim::SaveNewMonitorFact() {
    UpdateMemory u;
    std::string why;
    if (mem.heldOpen.count(UCase(kState)) || !ParseUpdateState(Data(kState), u, why)) return;
    newestInstalled_ = ++newest_;
    u.newestVersion = VersionText(newestInstalled_), u.newestContent.clear();
    mem.AddFile(kState, UpdateStateText(u));
    mem.AddFile(kState + ".bak", UpdateStateText(u));
    Note("new monitor saved version " + u.newestVersion + " as the newest installed");
}

// A new monitor that the sim plays ticks as the real one proves it.
void Sim::FakeTick(std::uint32_t pid, int n) {
    const MemPlatform::Proc* p = mem.FindProcess(pid);
    if (fake_ != pid || !p || !p->alive) return;
    mem.AddFile(kApp + "\\ROREROZARIRADI.tck", std::to_string(pid) + " " + std::to_string(n));
    lastCensus_ = Now();
    At(Now() + 5 * kSecond, "", [this, pid, n] { FakeTick(pid, n + 1); });
}

}  // namespace sim
}  // namespace rz
