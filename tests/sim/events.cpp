// What happens to a centre's PC: the schedule of events and each event.
#include "sim.h"

namespace rz {
namespace sim {

// One event a minute on average, whatever the last one did: the next is
// drawn before this one runs, since a power cut ends the run inside it.
void Sim::NextEvent() {
    At(Now() + rng.Between(10, 110) * kSecond, "", [this] {
        NextEvent();
        ++events_, ++eventsInHour_[(Now() - start_) / (60 * kMinute)];
        const int kind = static_cast<int>(rng.Between(0, 99));
        if (kind < 18) ManagerEnds(kind % 3);
        else if (kind < 24) Freeze();
        else if (kind < 40) NewUpdate();
        else if (kind < 43) Note("update file deleted"), mem.RemoveTree(kUpdate), shareContent_.clear();
        else if (kind < 48) ChangeKeys(static_cast<int>(rng.Between(0, 4)));
        else if (kind < 60) ShareFault();
        else if (kind < 74) LocalFault();
        else if (kind < 77) PowerCut();
        else if (kind < 81) ShiftClock();
        else if (kind < 84) StopFile();
        else if (kind < 87) ToggleLimit();
        else if (kind < 88) Junk();
        else if (kind < 91) Note("tool started"), mem.AddProcess(kTool);
        else if (kind < 93) ChangeConnect();
        else if (kind < 94) ByHand(rng.Chance(50) ? kExe : "C:\\OLD\\KORUMGR.exe");
        else if (kind < 98) NewMonitorBuild();
    });
}

void Sim::ManagerEnds(int how) {
    MemPlatform::Proc* p = Manager();
    if (!p) return;
    static const char* const ways[] = {"killed", "closed", "crashed"};
    Note(std::string("manager ") + ways[how]);
    if (how == 0) p->alive = false, p->exitCode = 1, p->endedAt = Now();
    else p->diesAt = Now(), p->crashCode = how == 2 ? 0xC0000005 : 0;
}

void Sim::Freeze() {
    MemPlatform::Proc* p = Manager();
    if (!p || p->windows.empty() || p->windows[0].hung) return;
    const std::uint32_t pid = p->pid;
    const bool stubborn = rng.Chance(30);
    Note(std::string("manager frozen") + (stubborn ? ", refusing termination" : ""));
    p->windows[0].hung = true;
    p->windows[0].hungSince = Now();
    p->ignoresTerminate = p->ignoresTerminate || stubborn;
    runs_[pid].hungSince = Now();
    At(Now() + rng.Between(20, 480) * kSecond, "manager thawed", [this, pid] {
        mem.FindProcess(pid)->windows[0].hung = false;
        runs_[pid].hungSince = 0;
    });
}

MemPlatform::Node& Sim::PlaceUpdate(const std::string& content, int sigKey, const std::string& signedContent) {
    shareContent_ = content;
    mem.RemoveTree(kUpdate + ".sig");
    if (sigKey >= 0) mem.AddFile(kUpdate + ".sig", sigKey < 3 ? Signature(sigKey, signedContent) : std::string(256, 's'));
    if (sigKey >= 0 && sigKey < 2 && content == signedContent) signedBy_[content] |= 1 << sigKey;
    return mem.AddFile(kUpdate, content);
}

void Sim::NewUpdate() {
    static const char* const kinds[] = {"signed newer", "signed older", "signed equal", "unsigned", "tampered",
                                        "quits at once", "crashes at once", "will not start", "truncated", "huge"};
    int kind = static_cast<int>(rng.Between(0, 11));
    if (kind > 9) kind = 8;  // the copy onto the share that ends later: twice as often
    Build b{++newest_ + static_cast<int>(rng.Between(0, 2)), Runs::Well};
    newest_ = b.version;
    const int installed = builds_[exe_].version;
    if (kind == 1) b.version = std::max(1, installed - static_cast<int>(rng.Between(1, 5)));
    // Newer than the build in place, not than the newest installed ever.
    if (kind == 1 && newestInstalled_ > installed + 1 && rng.Chance(50))
        b.version = static_cast<int>(rng.Between(installed + 1, newestInstalled_));
    if (kind == 2) b.version = builds_[exe_].version;
    if (kind >= 5 && kind <= 7) b.runs = static_cast<Runs>(kind - 4);
    const std::string content = Image(b, static_cast<int>(rng.Between(0, 3)));
    builds_[content] = b;
    const int key = rng.Chance(80) && (Keys() & 3) ? ((Keys() & 1) ? 0 : 1) : static_cast<int>(rng.Between(0, 1));
    Note(std::string("update: ") + kinds[kind] + ", version " + VersionText(b.version) + ", key " + std::to_string(key));
    if (kind == 9) return void(PlaceUpdate(content, key, content).shownLength = 600u << 20);
    const std::string other = Image(b, 9);
    PlaceUpdate(kind == 8 ? content.substr(0, 600) : content, kind == 3 ? -1 : key, kind == 4 ? other : content);
    if (kind == 8) {
        const bool inUse = rng.Chance(50);
        const std::uint64_t writing = rng.Between(5, 150) * kSecond;
        if (inUse) During("writer", writing, "", [this](bool on) {
            on ? void(mem.writerLocked.insert(UCase(kUpdate))) : void(mem.writerLocked.erase(UCase(kUpdate)));
        });
        At(Now() + writing, "update completed", [this, content, key] {
            PlaceUpdate(content, key, content);
            Expect(content);
        });
    }
    // Faults that meet the update: the key moves while the share crawls
    // through the look; the power goes, or the clock moves, while a build
    // that will not run is watched.
    if (rng.Chance(30)) {
        const std::uint64_t each = rng.Between(3, 15) * kSecond;
        Note("share crawls, " + std::to_string(each) + " ms a call, for 4 min");
        Crawl(each, 4 * kMinute);
        // A key that comes, or the other key in place of the one: the look's
        // result would let in what the key now refuses.
        At(Now() + rng.Between(5, 60) * kSecond, "", [this] {
            ChangeKeys((Keys() & 3) == 0 ? static_cast<int>(rng.Between(1, 3)) : (Keys() & 1) ? 2 : 1);
        });
    }
    if (b.runs != Runs::Well && rng.Chance(20)) {
        const bool cut = rng.Chance(50);
        At(Now() + rng.Between(3, 15) * kSecond, "", [this, cut] { cut ? PowerCut() : ShiftClock(); });
    }
    if (kind != 8) Expect(content);
}

void Sim::ChangeKeys(int bits) {
    if (bits == Keys()) return;
    Note("key file: " + std::string(bits == 0 ? "gone" : bits == kDamagedKey ? "damaged" : "keys " + std::to_string(bits)));
    keys_.push_back({Now(), bits});
    // Without a key an unsigned monitor build is a good one.
    if (bits == 0)
        for (const std::string& content : monUnsigned_) monBuilds_[content] = MonitorRuns::Well;
    if (bits == 0) return mem.RemoveTree(kKey);
    mem.AddFile(kKey, bits == kDamagedKey ? std::string("-----BEGIN PUBLIC KEY-----\r\nAAAA\r\n")
                                          : ((bits & 1) ? Key(0).pub : "") + ((bits & 2) ? Key(1).pub : ""));
}

void Sim::ShareFault() {
    const std::uint64_t span = rng.Between(10, 600) * kSecond;
    switch (rng.Between(0, 3)) {
    case 0:
        Note("share hangs for " + std::to_string(span / 1000) + " s");
        fp.shareHangsUntil = std::max(fp.shareHangsUntil, Now() + span);
        break;
    case 1: {
        const std::uint64_t each = rng.Between(500, 20000);
        Note("share crawls, " + std::to_string(each) + " ms a call, for " + std::to_string(span / 1000) + " s");
        Crawl(each, span);
        break;
    }
    case 2:
        Note("share fails for " + std::to_string(span / 1000) + " s");
        rules_.push_back({"", "*SHARE", 64, Now() + span});
        break;
    default:
        Note("share gone for " + std::to_string(span / 1000) + " s");
        During("gone", span, "share back", [this](bool on) {
            on ? void(mem.unreachableHosts.insert("SERV01")) : void(mem.unreachableHosts.erase("SERV01"));
        });
    }
}

// Another program holds one of the monitor's files, or the disk is full.
void Sim::LocalFault() {
    const std::uint64_t span = rng.Between(5, 300) * kSecond;
    const int what = static_cast<int>(rng.Between(0, 7));
    const Ctx* c = ProgramState();
    if (what == 7 && !(c && (!c->s.update.monitor.step.empty() || c->s.handover.phase != Handover::None))) {
        // Set up as a centre may: the monitor may not rename its own image.
        Note("'ROREROZARIRADI.exe' may not be renamed for " + std::to_string(span / 1000) + " s");
        return During("rights", span, "", [this](bool on) {
            if (on) mem.renameDenied.insert(UCase(kMon)), deniedSince_ = Now();
            else mem.renameDenied.clear();
        });
    }
    if (what == 7) return;
    if (what == 5) {
        Note("process snapshot fails for " + std::to_string(span / 1000) + " s");
        return During("snapshot", rng.Chance(30) ? 1 : span, "", [this](bool on) { mem.snapshotFails = on; });
    }
    if (what == 6) return SetAttribute();
    const std::string path = what == 0 ? kExe : what == 1 ? kOld : what == 2 ? kState : kLog;
    Note(what == 4 ? "disk full for " + std::to_string(span / 1000) + " s"
                   : "'" + path + "' held for " + std::to_string(span / 1000) + " s");
    if (what == 2 || what == 4) unsavedUntil_ = std::max(unsavedUntil_, Now() + span);
    if (what == 4) {
        for (const char* call : {"WriteText", "AppendText", "CopyFileTo", "FlushFile"})
            rules_.push_back({call, "*LOCAL", 112, Now() + span});
    } else if (what == 3) {
        rules_.push_back({"AppendText", UCase(kLog), 32, Now() + span});
    } else {
        if (what < 2) heldUntil_ = std::max(heldUntil_, Now() + span);
        Hold(path, span, what == 2 ? 32 : 0);
    }
}

void Sim::SetAttribute() {
    const std::string paths[] = {kState, kState + ".bak", kExe, kHang};
    const std::string& path = paths[rng.Between(0, 3)];
    MemPlatform::Node* n = Mutable(path);
    if (!n) return;
    const bool readOnly = rng.Chance(50);
    Note("'" + path + "' made " + (readOnly ? "read-only" : "hidden"));
    (readOnly ? n->readOnly : n->hidden) = true;
}

// A person starts a manager while the monitor runs: a second one, or one
// of another folder, perhaps as administrator.
void Sim::ByHand(const std::string& path) {
    if (!mem.Has(path)) mem.AddFile(path, exe_);
    Note("manager started by hand from '" + path + "'");
    MemPlatform::Proc& p = mem.AddProcess(path);
    p.openable = rng.Chance(70);
    byHand_.insert(p.pid);
    if (!Shape(p)) p.alive = false;
}

void Sim::PowerCut() {
    Note("power cut");
    // A new name takes effect with the restart.
    if (rng.Chance(5)) {
        mem.computerName = mem.computerName == "PCWS07" ? "PCWS08" : "PCWS07";
        Note("machine renamed " + mem.computerName);
    }
    mem.PowerCut();
    mem.heldOpen.clear();
    mem.readErrors.clear();
    rules_.erase(std::remove_if(rules_.begin(), rules_.end(), [](const Rule& r) { return r.path != "*SHARE"; }),
                 rules_.end());
    alive_.clear();
    fake_ = 0, fakeTicks_ = fakeReady_ = false;
    mem.commandArgs.clear();
    logChecked_ = Data(kLog).size();  // what was not yet on the disk is zeros now
    dark_ = true;
    At(Now() + rng.Between(20, 180) * kSecond, "power back, monitor started", [this] {
        dark_ = false;
        if (!up_) Boot(LogonImage());
    });
    if (!up_) return;
    up_ = false;
    // The monitor's stack goes with its process; what it ran is dropped
    // once it has unwound.
    if (inRun_ || mem.HandlersRunning() > 0) {
        cut_ = true;
        throw ProgramEnded{-9};
    }
    Down();
}

void Sim::StopFile() {
    if (!up_) return;
    Note("stop file");
    mem.AddFile(kApp + (rng.Chance(50) ? "\\ROREROZARIRADI.stp" : "\\KORUMGRS.stp"));
    stopDeadline_ = Now() + kTick + kFinalReportWaitMs;  // its last report may wait for the share
    // The new monitor that the simulation plays obeys it too.
    if (fake_ != 0)
        At(Now() + kSecond, "", [this] {
            if (MemPlatform::Proc* f = fake_ ? mem.FindProcess(fake_) : nullptr)
                f->alive = false, f->exitCode = 0, f->endedAt = Now();
            fake_ = 0, fakeTicks_ = fakeReady_ = false;
        });
    const std::uint64_t back = rng.Between(10, 120) * kSecond;
    // The manager restarted by a technician meanwhile, freezing soon after:
    // it is no younger for not being the monitor's.
    if (rng.Chance(40))
        At(Now() + back - 5 * kSecond, "manager restarted by hand", [this] {
            if (dark_ || up_) return;
            if (MemPlatform::Proc* old = Manager()) old->alive = false, old->exitCode = 1, old->endedAt = Now();
            mem.AddFile(kHang, "60");
            limitSeconds_ = 60;
            MemPlatform::Proc& p = mem.AddProcess(kExe);
            byHand_.insert(p.pid);
            if (!Shape(p)) p.alive = false;
            else At(Now() + rng.Between(6, 40) * kSecond, "", [this] { Freeze(); });
        });
    At(Now() + back, "monitor started again", [this] {
        if (!up_ && !dark_) Boot();
    });
}

void Sim::During(const std::string& kind, std::uint64_t span, const std::string& end, std::function<void(bool)> set) {
    ++on_[kind];
    set(true);
    At(Now() + span, end, [this, kind, set] {
        if (--on_[kind] == 0) set(false);
    });
}

// A power cut lets go of every local hold; one that comes after it holds
// again whatever is still pending from before.
void Sim::Hold(const std::string& path, std::uint64_t span, std::uint32_t readError) {
    During(UCase(path), span, "'" + path + "' let go", [this, path, readError](bool on) {
        if (!on) return void(mem.heldOpen.erase(UCase(path))), void(mem.readErrors.erase(UCase(path)));
        mem.heldOpen.insert(UCase(path));
        if (readError != 0) mem.readErrors[UCase(path)] = readError;
    });
}

void Sim::Crawl(std::uint64_t each, std::uint64_t span) {
    crawls_.insert(each);
    fp.shareCallMs = *crawls_.rbegin();
    At(Now() + span, "share crawls no more", [this, each] {
        crawls_.erase(crawls_.find(each));
        fp.shareCallMs = crawls_.empty() ? 0 : *crawls_.rbegin();
    });
}

void Sim::ShiftClock() {
    const bool back = rng.Chance(50);
    const std::int64_t by = static_cast<std::int64_t>(rng.Between(60, rng.Chance(10) ? 3 * 86400 : 7200));
    Note("clock put " + std::string(back ? "back" : "forward") + " by " + std::to_string(by) + " s");
    mem.ShiftClock(back ? -by : by);
    clockMoves_.push_back(Now());
}

// A limit below 60 s, or no number, is taken for 60 s.
void Sim::ChangeConnect() {
    Note("connect string changed by hand");
    mem.registry["SOFTWARE\\KORU BOWLING\\SYSTEM CONFIGURATION\\Connect String"] = "ODBC;SERVER=ELSEWHERE";
    connectDue_ = Now() + kTick;
}

void Sim::ToggleLimit() {
    static const char* const limits[] = {"60", "90", "300", "30", "ten"};
    const char* limit = limits[rng.Between(0, 4)];
    Note(mem.Has(kHang) ? "limit file removed" : "limit file of '" + std::string(limit) + "'");
    if (mem.Has(kHang)) return mem.RemoveTree(kHang);
    mem.AddFile(kHang, limit);
    limitSeconds_ = std::max(60, std::atoi(limit));
}

// A share writer that puts fresh junk under the update's name every 30 s.
void Sim::Junk() {
    if (Now() < junkUntil_) return;
    junkSince_ = Now();
    junkUntil_ = Now() + rng.Between(20, 60) * kMinute;
    junkCopies_.clear();
    Note("junk writer for " + std::to_string((junkUntil_ - Now()) / kMinute) + " min");
    for (std::uint64_t t = Now(); t < junkUntil_; t += 30 * kSecond)
        At(t, "", [this, t] {
            const std::string junk = Image({99, Runs::Well}, static_cast<int>(t / 1000));
            builds_[junk] = {99, Runs::Well};  // without a key it is as good as any build
            junk_.insert(junk);
            PlaceUpdate(junk, 3, "");
        });
}

}  // namespace sim
}  // namespace rz
