// The simulated PC: its set-up, the monitor's boot and end, the faults its
// platform calls meet, where Windows differs from Wine, and the run's loop.
#include "sim.h"

namespace rz {
namespace sim {

void Sim::Note(const std::string& what) {
    char at[32];
    std::snprintf(at, sizeof at, "%8.1f s: ", static_cast<double>(Now()) / 1000);
    recent_.push_back(at + what);
    if (recent_.size() > 25) recent_.pop_front();
    if (trace) std::printf("%s\n", recent_.back().c_str());
}

void Sim::Fail(const std::string& what) {
    if (violation_.empty()) violation_ = what;
    if (inRun_) throw Violation{};
}

// Whatever happens ends an expectation: it holds on a quiet machine only.
void Sim::At(std::uint64_t t, const std::string& what, std::function<void()> act) {
    due_.emplace(t, [this, what, act] {
        if (!what.empty()) Note(what);
        expected_.clear();
        act();
    });
    mem.hostWakesAt = due_.begin()->first;
}

void Sim::ApplyDue() {
    while (!due_.empty() && due_.begin()->first <= Now()) {
        std::function<void()> act = std::move(due_.begin()->second);
        due_.erase(due_.begin());
        act();
    }
    mem.hostWakesAt = due_.empty() ? UINT64_MAX : due_.begin()->first;
}

void Sim::SetUp() {
    mem.computerName = "PCWS07";
    mem.unreachableHosts.insert("MAINPC");
    for (const char* dir : {"\\\\SERV01\\G", "\\\\SERV01\\G\\_Updates", "\\\\SERV01\\G\\_Updates\\_Status", "C:\\TOOLS"})
        mem.AddDir(dir);
    const Build first{10, Runs::Well};
    exe_ = Image(first, 0);
    builds_[exe_] = first;
    installedEver_.insert(exe_);
    mem.AddFile(kExe, exe_);
    mem.Sha256File(kExe, exeHash_);
    mem.AddProcess("C:\\WINDOWS\\EXPLORER.EXE");  // first in the table, never the monitor's to end
    monExe_ = MonitorImage(monNewest_, 0);
    monBuilds_[monExe_] = MonitorRuns::Well;
    mem.AddFile(kMon, monExe_);
    mem.AddFile(kLog);
    if (rng.Chance(70)) mem.AddFile(kHang, "60");
    mem.onStart = [this](MemPlatform::Proc& p) { return Shape(p); };
    mem.onTerminate = [this](const MemPlatform::Proc& p) { Terminated(p); };
    mem.onTime = [this](MemPlatform&) {
        ApplyDue();
        Check(false);
    };
    fp.onCall = [this](const std::string& name) {
        if (name == "StartProgram") lastStartCall_ = Now();
        if (name == "ProcessSnapshot") lastCensus_ = Now();
    };
    fp.failWhen = [this](const std::string& name, const std::string& path, const std::string& other) {
        return FailWhen(name, path, other);
    };
    fp.onMove = [this](const std::string& from, const std::string& to, bool moved) { Moved(from, to, moved); };
    DrawWindows();
}

// A started manager runs as its build does, with one window.
bool Sim::Shape(MemPlatform::Proc& p) {
    if (Is(p.path, kMon)) return MonitorStarted(p);
    const std::string& content = Data(p.path);
    const auto b = builds_.find(content);
    const Runs runs = b == builds_.end() ? Runs::WillNotStart : b->second.runs;
    if (Is(p.path, kExe) && content == exe_ && runs == Runs::WillNotStart) startFailed_ = true;
    if (up_ && lastStartCall_ == Now()) MonitorStarts(content, runs);
    if (runs == Runs::WillNotStart) return false;
    lastStart_ = Now();
    if (Is(p.path, kExe) && content == exe_ && ranAt_ == 0) ranAt_ = Now(), personFirst_ = true;
    p.windows.push_back({0x7000 + p.pid, true, false});
    if (rng.Chance(15)) p.snapshotName = "KORUMG~1.EXE";
    p.obeysStopAfterMs = static_cast<long>(rng.Between(500, 20000));
    if (runs != Runs::Well) p.diesAt = Now() + rng.Between(0, 3000);
    if (runs == Runs::CrashesAtOnce) p.crashCode = 0xC0000005;
    runs_[p.pid] = {content, 0};
    alive_.insert(p.pid);
    return true;
}

MemPlatform::Proc* Sim::Manager() {
    for (std::uint32_t pid : alive_) {
        MemPlatform::Proc* p = mem.FindProcess(pid);
        if (p->alive && !p->terminating) return p;
    }
    return nullptr;
}

// Windows starts at logon what each Run value names, if it is whole; the
// machine's first here: a second start meets the instance mutex and ends.
std::string Sim::LogonImage() {
    const std::string user = "HKCU\\" + std::string(kRunKey);
    for (const std::string& path : {mem.RegValue(kRunKey, kRunValue), mem.RegValue(user, kRunValue)})
        if (mem.Has(path) && monBuilds_.count(Data(path))) return path;
    return "";
}

void Sim::Boot(const std::string& image) {
    CheckLog();  // what the run before told is that run's
    mem.ended = false;
    mem.exitCode = -1;
    up_ = true;
    bootedAt_ = lastCensus_ = Now();
    // The build in place runs when any manager beside the monitor runs it.
    ranAt_ = 0;
    for (std::uint32_t pid : alive_)
        if (const MemPlatform::Proc* p = mem.FindProcess(pid))
            if (p->alive && !p->terminating && Is(p->path, kExe)) ranAt_ = Now();
    personFirst_ = false;
    watched_.clear();
    stopDeadline_ = 0;
    brokenStarts_ = 0;
    connectDue_ = Now() + kTick;
    lastAttempt_ = 2;  // what the last run told is in the log no more, perhaps
    stateLoaded_ = false;
    if (!Manager()) deaths_.push_back({Now(), kSecond});
    if (!monBuilds_.count(Data(image))) Fail("no whole monitor build to start at logon");
    mem.ownImage = image;
    if (mem.commandArgs.empty()) mem.ownPid = ++nextOwnPid_;
    try {
        ProgramMain(fp);
    } catch (const ProgramEnded& e) {
        if (cut_) return void(cut_ = false), Down();
        Fail("the monitor ended at its start, code " + std::to_string(e.code));
    }
}

// The monitor's process has gone: nothing of it runs any more.
void Sim::Down() {
    up_ = false;
    deaths_.clear();
    unreported_.clear();  // a report of a process that has gone
    mem.LetGoNamed(mem.ownPid);
    mem.SetTimer(0);
    mem.WatchProcess(0);
    fp.SetTimerHandler(nullptr);
    fp.SetProcessEndHandler(nullptr);
    fp.SetWorkDoneHandler(nullptr);
    mem.DropWork();
}

std::uint32_t Sim::FailWhen(const std::string& name, const std::string& path, const std::string& other) {
    if (const std::uint32_t error = HandoverFault(name, path, other)) return error;
    const Ctx* c = ProgramState();
    if (name == "WriteText" && Is(path, kReady) && !(c && c->s.update.loaded)) Fail("ready signalled before the state was read");
    // A look that began before the right went may copy still, and so may a
    // copy made before it went that the share kept waiting past that.
    if (name == "CopyFileTo" && Is(path, kApp + "\\ROREROZARIRADI.new") && mem.renameDenied.count(UCase(kMon)) &&
        fp.callMadeAt > deniedSince_ + kMinute && fp.shareCallMs == 0 && fp.shareHangsUntil <= Now())
        Fail("a monitor build copied although the monitor may not rename its image");
    // A build is moved in only once the manager beside the monitor has ended,
    // a terminated one included: until it is gone its image is locked. (Of
    // one that refuses to be opened no monitor can tell the folder.)
    if (name == "MoveReplace" && Is(path, kExe))
        for (const MemPlatform::Proc& p : mem.procs)
            if (p.alive && p.openable && Is(p.path, kExe)) Fail("a build moved in while the manager beside the monitor runs");
    if (name == "CopyFileTo" && (Is(other, kUpdate) || Is(other, kMonUpdate))) CheckLog(), CheckAttempt(Is(other, kMonUpdate));
    if (name == "CopyFileTo" && Is(other, kUpdate) && Keys() != 0 && junk_.count(Data(kUpdate)))
        junkCopies_.push_back(Now());
    const std::string p = UCase(path);
    for (const Rule& r : rules_) {
        if (Now() >= r.until || (!r.name.empty() && r.name != name)) continue;
        const bool share = p.compare(0, 9, "\\\\SERV01\\") == 0;
        if (!(r.path == "*SHARE" ? share : r.path == "*LOCAL" ? p.compare(0, 2, "C:") == 0 : r.path == p)) continue;
        // A whole-file write creates afresh, and so empties the file, before
        // its data finds the disk full.
        MemPlatform::Node* n = Mutable(path);
        const bool truncates = n && !n->dir && !n->readOnly && !n->hidden && !mem.heldOpen.count(p);
        if (name == "WriteText" && r.error == 112 && truncates) n->data.clear(), n->flushed = false;
        return r.error;
    }
    return 0;
}

// Attributes a person or a tool sets on a file; the platform keeps the
// file itself, and its index, as they were.
MemPlatform::Node* Sim::Mutable(const std::string& path) { return const_cast<MemPlatform::Node*>(mem.Find(path)); }

// Drawn per seed from a generator of its own, so that the rest of the
// schedule stays what it was: the share's server gives a lasting file index,
// 0, a new one at every open, or no handle information; its client answers
// listings and folder entries up to 10 s old; the clock is synchronised
// just after a manager starts; monitors start in another session.
void Sim::DrawWindows() {
    auto win = std::make_shared<Rng>(Rng{seed_ * 0x9E3779B97F4A7C15ull + 7});
    mem.fileIds = static_cast<MemPlatform::FileIds>(win->Between(0, 3));
    mem.staleMs = win->Chance(50) ? win->Between(1, 10) * kSecond : 0;
    const int syncs = static_cast<int>(win->Between(0, 30));
    mem.onStart = [this, win, syncs](MemPlatform::Proc& p) {
        const std::int64_t by = static_cast<std::int64_t>(win->Between(1, 7200)) - 3600;
        const bool started = Shape(p);
        if (started && win->Chance(syncs))
            At(Now() + win->Between(1, 4000), "clock synchronised by " + std::to_string(by) + " s", [this, by] { mem.ShiftClock(by), clockMoves_.push_back(Now()); });
        return started;
    };
    for (std::uint64_t t = Now(); win->Chance(60) && (t += win->Between(1, 120) * kMinute) < end_;)
        At(t, "", [this] {
            if (!up_) return;
            Note("a monitor starts in another session");
            Ctx other(fp);
            const std::pair<bool, int> was{mem.ended, mem.exitCode};
            const std::uint32_t own = mem.ownPid;
            mem.session = 2, mem.ownPid = ++nextOwnPid_;
            try {
                Main(other);
                Fail("a monitor of another session runs beside this one");
            } catch (const ProgramEnded& e) {
                if (e.code != kExitNormal) Fail("a monitor of another session ended with " + std::to_string(e.code));
            }
            mem.LetGoNamed(mem.ownPid);
            mem.session = 1, mem.ownPid = own;
            std::tie(mem.ended, mem.exitCode) = was;
        });
}

std::string Sim::Run() {
    SetUp();
    Boot();
    handover ? HandoverScenario() : NextEvent();
    try {
        while (violation_.empty() && Now() < end_) {
            ++step_;
            const std::uint64_t next = std::min({end_, due_.empty() ? end_ : due_.begin()->first, Now() + 2 * kSecond});
            inRun_ = true;
            if (next > Now()) mem.RunFor(next - Now());
            inRun_ = false;
            if (cut_) cut_ = false, Down();
            if (up_ && mem.ended && restarted_ && mem.exitCode == kExitNormal) {
                restarted_ = false;
                Down();
                Boot();
            }
            if (up_ && mem.ended) {
                if (mem.exitCode != kExitNormal || stopDeadline_ == 0)
                    Fail("the monitor ended with code " + std::to_string(mem.exitCode));
                Note("monitor ended");
                Down();
            }
            ApplyDue();
            Check(true);
        }
    } catch (const Violation&) {
    } catch (const std::exception& e) {
        violation_ = std::string("the monitor failed: ") + e.what();
    }
    inRun_ = false;
    // A world that goes quiet proves nothing in the hours it sleeps: every
    // hour draws its minute's events, 60 on average, never below 40.
    if (handover && violation_.empty()) HandoverEnd();
    for (std::uint64_t hour = 0; !handover && violation_.empty() && start_ + (hour + 1) * 60 * kMinute <= end_; ++hour)
        if (eventsInHour_[hour] < 40)
            violation_ = "the world went quiet: " + std::to_string(eventsInHour_[hour]) + " events in hour " +
                         std::to_string(hour + 1);
    if (violation_.empty()) return "";
    std::string report = "seed " + std::to_string(seed_) + ", step " + std::to_string(step_) + ", at " +
                         std::to_string(Now() / 1000) + " s: " + violation_ + "\nlast events:\n";
    for (const std::string& e : recent_) report += "  " + e + "\n";
    const auto log = mem.LogMessages(kLog);
    report += "last records:\n";
    for (std::size_t i = log.size() > recordsShown ? log.size() - recordsShown : 0; i < log.size(); ++i) report += "  " + log[i] + "\n";
    return report;
}

}  // namespace sim
}  // namespace rz
