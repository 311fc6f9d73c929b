// What a centre is promised, checked after every step of the world.
#include "sim.h"

namespace rz {
namespace sim {

// The monitor starts a manager only when none runs, and a build that will
// not run twice at most while it is watched: the third start is the
// rollback's, unless the files or the state that it needs are held.
void Sim::MonitorStarts(const std::string& content, Runs runs) {
    // One that refuses to be opened is known by its snapshot name alone:
    // with no snapshot, or a short name that a tool may have too, no
    // monitor can see it.
    const MemPlatform::Proc* m = Manager();
    if (m && (m->openable || (!mem.snapshotFails && m->snapshotName.find('~') == std::string::npos)))
        Fail("a manager started while one runs");
    const Ctx* c = ProgramState();
    // The swap, or the rollback, starts its build at once, in the tick
    // whose census may have started the build before.
    const bool updating = (c && c->s.sUpdateHold == kYes) || installedAt_ == Now();
    // The timer's tick, or the early one, and the tick that picks up the
    // share worker's result: two starts in 5 s at most.
    while (!starts_.empty() && starts_.front() + 5 * kSecond <= Now()) starts_.pop_front();
    // A monitor started afresh knows the update's back-off by the wall clock
    // alone: a time synchronisation since the starts before it may end the
    // back-off, and the update stops the manager once more.
    if (!starts_.empty() && bootedAt_ > starts_.front() &&
        std::any_of(clockMoves_.begin(), clockMoves_.end(), [&](std::uint64_t t) { return t > starts_.front(); }))
        starts_.clear();
    if (!updating && runs != Runs::WillNotStart) starts_.push_back(Now());
    if (starts_.size() > 2) Fail("the manager started three times within 5 s");
    if (content == exe_ && ranAt_ == 0) ranAt_ = Now();
    if (content != exe_ || runs == Runs::Well) return;
    if (trace) Note("a build that will not run started");
    const bool watched = Now() < std::max(installedAt_, bootedAt_) + 2 * kMinute;
    // Starts while the state or the files are held are not judged: the
    // count begins again once they are free.
    if (Now() <= std::max(heldUntil_, unsavedUntil_)) {
        brokenStarts_ = 0;
        return;
    }
    if (++brokenStarts_ > 2 && watched && unjudged_ != exe_)
        Fail("a build that will not run started a third time");
}

// Terminations outside an update's stop are of a frozen manager only.
// The update's stop ends the manager beside the monitor, by the ids its
// census found: never a tool named after it, nor a manager elsewhere. A
// frozen one is ended wherever it runs: the census counts it as the manager.
void Sim::Terminated(const MemPlatform::Proc& p) {
    if (p.pid == fake_) return;  // a new monitor that was not ready in time
    const Ctx* c = ProgramState();
    const auto r = runs_.find(p.pid);
    if (c && c->s.sUpdateHold == kYes) {
        if (!Is(p.path, kExe)) Fail("the update's stop ended '" + p.path + "'");
        return;
    }
    if (!EndsWithNoCase(p.path, "\\KORUMGR.exe") || r == runs_.end())
        return Fail("terminated '" + p.path + "' for a frozen manager");
    if (r->second.hungSince == 0) return Fail("terminated a manager that responds");
    if (Now() - r->second.hungSince < static_cast<std::uint64_t>(limitSeconds_) * kSecond)
        return Fail("terminated a manager frozen for less than " + std::to_string(limitSeconds_) + " s");
    // A clock moved between a manager's start and the monitor's first sight
    // of it leaves its creation time telling another age, as Windows keeps it.
    const bool unknowable = p.startedAt < bootedAt_ && std::any_of(clockMoves_.begin(), clockMoves_.end(), [&](std::uint64_t t) {
        return t >= p.startedAt && t <= bootedAt_ + kSecond;
    });
    if (Now() - p.startedAt < 2 * kMinute && !unknowable) return Fail("terminated a manager within 120 s of its start");
    if (!mem.Has(kHang)) return Fail("terminated a frozen manager with no limit file");
}

// The manager's runs that have ended since the last look.
void Sim::NoteDeaths() {
    for (auto it = alive_.begin(); it != alive_.end();) {
        MemPlatform::Proc* p = mem.FindProcess(*it);
        if (p->alive) {
            ++it;
            continue;
        }
        const std::uint64_t lived = p->endedAt - p->startedAt;
        if (runs_[p->pid].content == exe_ && (lived < 10 * kSecond || p->exitCode >= 0xC0000000u)) ++badRuns_;
        // A run that ends within 5 s of its start is back at the next tick,
        // as is one that ends in the midst of a tick, or one that refused
        // to be opened for its end to be watched.
        const bool atTick = lived < 10 * kSecond || mem.HandlersRunning() > 0 || !p->openable;
        if (up_) deaths_.push_back({p->endedAt, atTick ? 7 * kSecond : kSecond});
        it = alive_.erase(it);
    }
}

void Sim::CheckManagers() {
    NoteDeaths();
    int running = 0;
    for (std::uint32_t pid : alive_) running += !mem.FindProcess(pid)->terminating && !byHand_.count(pid);
    if (running > 1) Fail(std::to_string(running) + " managers running");
    const Ctx* c = ProgramState();
    const bool held = c && c->s.sUpdateHold == kYes;
    for (auto it = deaths_.begin(); it != deaths_.end();) {
        // A monitor told to stop starts no manager on its way out.
        if (lastStart_ >= it->at || Manager() || stopDeadline_ != 0) {
            it = deaths_.erase(it);
            continue;
        }
        // A start that fails waits for the files or the state that its
        // rollback needs.
        if (lastStartCall_ >= it->at && Now() < std::max(heldUntil_, unsavedUntil_) + 7 * kSecond) {
            ++it;
            continue;
        }
        if (held && !it->held) it->bound += kLongestTick, it->held = true;
        // The new monitor that the simulation plays ticks without a census:
        // until it crashes and the guardian takes over, no real monitor
        // watches the manager.
        // Between the go and the step at which the simulation makes the new
        // monitor the program, neither monitor ticks: the old one guards.
        const bool goGiven = fake_ != 0 && fakeReady_ && !mem.Has(kReady);
        if (fakeTicks_ || goGiven) it->bound = std::max(it->bound, Now() - it->at + kLongestTick);
        if (Now() > it->at + it->bound) Fail("the manager has been down " + std::to_string((Now() - it->at) / 1000) + " s");
        ++it;
    }
}

void Sim::CheckFiles() {
    if (Data(kExe) != exe_ || !builds_.count(exe_)) Fail("'KORUMGR.exe' is not the whole build installed");
    if (!shareContent_.empty() && !mem.Has(kUpdate)) {
        if (!installedEver_.count(shareContent_) && shareContent_ != exe_)
            Fail("an update that was never installed was deleted");
        shareContent_.clear();
    }
    // The last moment a manager of another folder ran.
    for (const MemPlatform::Proc& p : mem.procs)
        if (p.alive && !p.terminating && EndsWithNoCase(p.path, "\\KORUMGR.exe") && !Is(p.path, kExe))
            elsewhereUntil_ = Now();
    const auto b = builds_.find(exe_);
    if (b != builds_.end() && b->second.runs != Runs::Well) {
        // Its watch from its first run (a manager of another folder, which
        // the census counts, keeps it from running), and the files let go,
        // the state savable: the next starts of a build that will not run
        // come within seconds.
        // A manager of another folder counts as the manager: while it runs
        // there is no start, and a rollback due waits for the next one.
        const std::uint64_t since = std::max({ranAt_ + 2 * kMinute, heldUntil_, unsavedUntil_, elsewhereUntil_});
        if (up_ && ranAt_ != 0 && unjudged_ != exe_ && Now() > since + 30 * kSecond)
            Fail("a build that will not run is still installed");
    }
    // A fresh build's watch lasts 2 minutes from its first run, in this
    // run of the monitor: one kept from running is not found good unseen.
    const Ctx* w = ProgramState();
    // (A swap saved ahead watches the build it will bring in; one that fails forgets it.)
    const bool watching = up_ && w && w->s.update.watching && w->s.update.replacedContent == exeHash_;
    if (!watching && !watched_.empty() && watched_ == exe_ && up_ && (ranAt_ == 0 || Now() < ranAt_ + 2 * kMinute))
        Fail("the watch over a fresh build ended " +
             (ranAt_ == 0 ? std::string("before it ran") : std::to_string((Now() - ranAt_) / 1000) + " s after its first run"));
    // A watch that ends while a manager of another folder has kept the
    // build from starting again since its first run, or whose first run was
    // a person's, has judged fewer runs than a rollback needs: a build that
    // quit at once stays (left to the monitor's watch).
    if (!watching && watched_ == exe_ && (personFirst_ || (ranAt_ != 0 && elsewhereUntil_ >= ranAt_))) unjudged_ = exe_;
    watched_ = watching ? exe_ : "";
    if (!expected_.empty() && Now() >= expectedBy_) {
        if (!installedEver_.count(expected_)) Fail("a ready update was not installed within 15 s");
        expected_.clear();
    }
    if (junkUntil_ != 0 && Now() >= junkUntil_) {
        const double hours = static_cast<double>(junkUntil_ - junkSince_) / (60 * kMinute);
        if (junkCopies_.size() > 9 + 5 * hours) Fail(std::to_string(junkCopies_.size()) + " copies of junk");
        junkUntil_ = 0;
    }
    const Ctx* c = ProgramState();
    if (c && c->s.sUpdateHold == kYes) {  // a tick that holds the update's stop
        connectDue_ = std::max(connectDue_, Now() + kTick);
        if (stopDeadline_ != 0) stopDeadline_ = std::max(stopDeadline_, Now() + kTick + kFinalReportWaitMs);
    }
    if (up_ && stopDeadline_ != 0 && Now() > stopDeadline_) Fail("the stop file was not obeyed");
    CheckState();
    CheckOthers();
}

// What the state file must remember, saved before the move that it
// records: the newest version installed, the watch over a fresh build, the
// build rolled back last.
void Sim::CheckState() {
    UpdateMemory u;
    std::string why;
    if (!mem.Has(kState)) {
        if (newestInstalled_ > 0) Fail("no state file after an install");
        return;
    }
    if (!ParseUpdateState(Data(kState), u, why)) return Fail("the state file does not parse: " + why);
    const std::string prefix = "1.0.0.";
    if (newestInstalled_ > 0 && (u.newestVersion.compare(0, prefix.size(), prefix) != 0 ||
                                  std::atoi(u.newestVersion.c_str() + prefix.size()) < newestInstalled_))
        Fail("the state file forgets the newest version installed, " + VersionText(newestInstalled_));
    if (fromShare_ && Now() < installedAt_ + 2 * kMinute && u.replacedContent != exeHash_)
        Fail("the state file does not watch the build just installed");
    // A rollback saved ahead names the build in place until its move.
    if (!lastRolledBack_.empty() && u.rolledBack != lastRolledBack_ && u.rolledBack != exeHash_)
        Fail("the state file forgets the build rolled back");
}

// The connect strings reset at every tick, at most three dumps kept, and
// the monitor's starts at its timer's pace.
void Sim::CheckOthers() {
    // The new monitor that the simulation plays has no census of its own.
    if (fakeTicks_) connectDue_ = std::max(connectDue_, Now() + kTick);
    if (up_ && connectDue_ != 0 && Now() > connectDue_) {
        for (const char* name : {"Connect String", "Connect String Primary", "Connect String Secondary"}) {
            const auto v = mem.registry.find("SOFTWARE\\KORU BOWLING\\SYSTEM CONFIGURATION\\" + std::string(name));
            if (v == mem.registry.end() || v->second != DefaultConnectString())
                Fail(std::string("'") + name + "' not reset");
        }
    }
    if (mem.ListNames(kApp + "\\KORUMGR-*.dmp").size() > 3) Fail("more than three dumps kept");
}

// Records are whole, and none claims what was not done.
void Sim::CheckLog() {
    const std::string& log = Data(kLog);
    if (log.size() < logChecked_) logChecked_ = 0;
    for (std::size_t end; (end = log.find("\r\n", logChecked_)) != std::string::npos; logChecked_ = end + 2) {
        const std::string line = log.substr(logChecked_, end - logChecked_);
        const std::size_t open = line.find("#,\"");
        if (line.empty() || line[0] != '#' || open == std::string::npos || line.back() != '"')
            return Fail("torn log record: " + line.substr(0, 80));
        const std::string m = line.substr(open + 3, line.size() - open - 4);
        // A monitor started since: the reports owed are those of one that has gone.
        if (m.find("=   MAIN   =") != std::string::npos) unreported_.clear();
        const bool done = m.rfind("UPDATE DONE: ", 0) == 0, back = m.rfind("ROLLBACK: ", 0) == 0;
        if (done || back) {
            const int version = done ? std::atoi(m.c_str() + m.find(", version 1.0.0.") + 16) : -1;
            auto claim = std::find_if(unclaimed_.begin(), unclaimed_.end(), [&](const std::pair<bool, int>& s) {
                return s.first == back && (back || s.second == version);
            });
            if (claim == unclaimed_.end()) return Fail("the log claims what was not done: " + m);
            unclaimed_.erase(unclaimed_.begin(), claim + 1);
        }
        // A later result of the same program's update, in the same tick,
        // stands in the report for it.
        for (const char* event : {"ROLLBACK: ", "UPDATE FAILED: ", "UPDATE REFUSED: ", "UPDATE WAITING: ",
                                  "UPDATE DONE: ", "MONITOR UPDATE ROLLED BACK: ", "MONITOR UPDATE FAILED: ",
                                  "MONITOR UPDATE REFUSED: ", "MONITOR UPDATE WAITING: ", "MONITOR UPDATE DONE: "}) {
            // (A build applied whose file stays on the share is no failed
            // update: the report says applied.)
            if (m.rfind(event, 0) != 0 || m.find("' cannot be deleted, ") != std::string::npos) continue;
            const bool monitor = m.rfind("MONITOR ", 0) == 0;
            unreported_.erase(std::remove_if(unreported_.begin(), unreported_.end(),
                                             [&](const Unreported& u) { return u.monitor == monitor; }),
                              unreported_.end());
            if (m.find(" DONE: ") == std::string::npos) unreported_.push_back({m, Now() + kTick, monitor, Now()});
        }
        // A swap that waits for its state to be saved backs off as a failure.
        // A back-off lasts 1, 2, 4, 8 or at most 15 minutes.
        const std::size_t next = m.find("; next attempt in ");
        if (next != std::string::npos) {
            const int seconds = std::atoi(m.c_str() + next + 18);
            if (seconds != 60 && seconds != 120 && seconds != 240 && seconds != 480 && seconds != 900)
                return Fail("a back-off of " + std::to_string(seconds) + " s: " + m);
            // Seen at most a step after it was written.
            told_[m.rfind("MONITOR ", 0) == 0] = {Now() - 2 * kSecond, seconds * kSecond, bootedAt_};
        }
        for (const char* cause : {"UPDATE FAILED", "UPDATE REFUSED", "UPDATE LEFT ALONE", "LOST RECORDS",
                                  "UPDATE WAITING: the swap"})
            if (m.rfind(cause, 0) == 0) lastAttempt_ = 2;
        if (m.rfind("UPDATE NOT READY", 0) == 0) lastAttempt_ = 1;
        const std::size_t pid = m.find("' PID ");
        if (m.find(" NOT RESPONDING FOR ") != std::string::npos && m.size() > 12 &&
            m.compare(m.size() - 12, 12, ": terminated") == 0) {
            const std::uint32_t id = static_cast<std::uint32_t>(std::atol(m.c_str() + pid + 6));
            if (std::find(mem.terminated.begin(), mem.terminated.end(), id) == mem.terminated.end())
                return Fail("the log claims a termination that did not happen: " + m);
        }
    }
    const Ctx* c = ProgramState();
    // A back-off read from the state file is one that an attempt set, even
    // when the tick that read it then found an update not ready.
    const bool justLoaded = c && c->s.update.loaded && !stateLoaded_;
    stateLoaded_ = c && c->s.update.loaded;
    if (!c || c->s.update.retryAt == lastRetryAt_) return;
    // While records are lost, the one that set the back-off may be among them.
    if (c->s.lostRecords > 0 || justLoaded) lastAttempt_ = 2;
    retryNotReady_ = lastAttempt_ == 1;
    lastRetryAt_ = c->s.update.retryAt;
    lastAttempt_ = 0;
}

// No attempt on a path before the back-off that its run told has passed.
void Sim::CheckAttempt(int which) {
    const BackOffTold& t = told_[which];
    if (t.run == bootedAt_ && Now() < t.at + t.ms)
        Fail("an update copied " + std::to_string((Now() - t.at) / 1000) + " s into a back-off of " +
             std::to_string(t.ms / 1000) + " s");
}

// Every rollback, refusal, failure and wait is in the status report, in the
// words of its record, within a tick and one write of the share's.
void Sim::CheckReport() {
    const Ctx* c = ProgramState();
    const bool healthy = up_ && c && mem.unreachableHosts.size() == 1 && fp.shareCallMs == 0 &&
                         fp.shareHangsUntil <= Now() &&
                         std::none_of(rules_.begin(), rules_.end(), [this](const Rule& r) { return r.path == "*SHARE" && r.until > Now(); });
    if (!healthy) shareBackAt_ = UINT64_MAX;
    else if (shareBackAt_ == UINT64_MAX) shareBackAt_ = Now();
    // During a handover the monitor that reports changes: the new one has
    // its own.
    if (!healthy || unreported_.empty() || c->s.handover.phase != Handover::None || fakeTicks_)
        return unreported_.clear();
    std::map<std::string, std::string> report;
    const std::string name = kShare + "\\_Status\\" + mem.computerName + ".txt";
    const std::string& text = Data(name);
    const MemPlatform::Node* file = mem.Find(name);
    const bool logBlocked = std::any_of(rules_.begin(), rules_.end(), [this](const Rule& r) {
        return r.name == "AppendText" && (r.path == "*LOCAL" || r.path == UCase(kLog)) && r.until > Now();
    });
    for (std::size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
        const std::string line = text.substr(at, end - at);
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos) report[line.substr(0, eq)] = line.substr(eq + 1);
    }
    for (auto it = unreported_.begin(); it != unreported_.end();) {
        const std::string& reason = report[it->monitor ? "monitor_update_reason" : "last_update_reason"];
        it->lossy = it->lossy || logBlocked;
        // (A wait is no result: it shows in the reason alone.)
        const bool standIn = (!reason.empty() || !report[it->monitor ? "monitor_update" : "last_update"].empty()) &&
                             it->lossy && file->writtenAt > it->seen;
        if (standIn || (!reason.empty() && it->record.compare(0, reason.size(), reason) == 0)) {
            it = unreported_.erase(it);
            continue;
        }
        // The worker may be busy with a copy: the report is the next job.
        if (c->s.work.busy) it->by = std::max(it->by, Now() + kTick);
        // A share out of reach is looked at again by the heartbeat only.
        it->by = std::max(it->by, shareBackAt_ + kStatusHeartbeatMs + kTick);
        if (Now() > it->by) return Fail("not in the status report within a tick: " + it->record);
        ++it;
    }
}

void Sim::Check(bool full) {
    if (mem.nestedTicks != 0) Fail("a tick ran inside another");
    if (fp.shareCallsOnUi != 0) Fail("the tick called the share");
    CheckManagers();
    CheckFiles();
    CheckMonitor();
    if (full) CheckLog(), CheckReport();
    if (!violation_.empty() && inRun_) throw Violation{};
}

void Sim::CheckMonitor() {
    const Ctx* c = ProgramState();
    // A '.prev' that could not be put back is put back at the first tick
    // that can.
    bool free = up_ && c && c->s.handover.restoring && !mem.heldOpen.count(UCase(kPrev)) && !mem.heldOpen.count(UCase(kMon));
    for (const MemPlatform::Proc& p : mem.procs) free = free && !(p.alive && Is(p.path, kMon));
    for (const Fault& f : faults) free = free && f.lasting != "MoveReplace|" + UCase(kMon);
    if (!free) restoreFreeSince_ = 0;
    else if (restoreFreeSince_ == 0) restoreFreeSince_ = Now();
    else if (Now() > restoreFreeSince_ + kTick + 2 * kSecond) Fail("'.prev' free and not put back");
    // A monitor that ticks holds both instance mutexes, so that a second
    // start, in this session or another, ends at once.
    if (up_ && c && c->s.handover.phase == Handover::None && !fakeTicks_ &&
        !(mem.Holds(mem.ownPid, kSessionMutex) && mem.Holds(mem.ownPid, kGlobalMutex)))
        Fail("the monitor that ticks does not hold both instance mutexes");
    if (fakeTicks_ && up_ && c && c->s.handover.phase != Handover::Guarding) Fail("two monitors ticking");
    // The power gone between the renames: the copy starts at logon, its first tick puts '.prev' back.
    const bool copyStarts = !LogonImage().empty() && (!up_ || (!Is(mem.ownImage, kMon) && Now() < bootedAt_ + kTick));
    if (!monBuilds_.count(Data(kMon)) && !(c && c->s.handover.restoring) && !copyStarts)
        Fail("'ROREROZARIRADI.exe' is not a whole monitor build");
    if (Data(kMon) != monExe_) Fail("'ROREROZARIRADI.exe' changed outside a move");
    // Whichever monitor ticks takes its census; an update's stop may hold one tick.
    if (up_ && Now() > lastCensus_ + 3 * kTick + kLongestTick) Fail("no census for three ticks");
    // Only a build that would not run, freezes or crashes is rolled back for good.
    if (c)
        for (std::size_t at = 0; at + 64 <= c->s.update.monitor.rolledBack.size(); at += 65) {
            const auto b = monByHash_.find(c->s.update.monitor.rolledBack.substr(at, 64));
            if (b != monByHash_.end() && b->second == MonitorRuns::Well) Fail("a good monitor build rolled back");
        }
    if (monRolledBack_.count(Data(kMon)) && up_ && Now() > prevHeldUntil_ + 10 * kSecond && c &&
        c->s.handover.phase == Handover::None)
        Fail("a rolled-back monitor build is still in place");
    WatchHandover();
}

}  // namespace sim
}  // namespace rz
