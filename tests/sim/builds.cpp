// The manager's builds as the world knows them: each move of KORUMGR.exe,
// whether a build may go in, and when one must.
#include "sim.h"

namespace rz {
namespace sim {

// Every change of KORUMGR.exe is a move: an update's, or a rollback's.
void Sim::Moved(const std::string& from, const std::string& to, bool moved) {
    if (moved && (Is(to, kMon) || Is(to, kPrev) || Is(from, kMon))) MonitorMoved(from, to);
    // The power goes at each step of a handover: after each save of the
    // state and after the build has its name.
    const Ctx* c = ProgramState();
    const bool handing = c && (!c->s.update.monitor.step.empty() || c->s.handover.phase != Handover::None);
    if (!handover && moved && handing && !Is(to, kPrev) && !Is(to, kApp + "\\ROREROZARIRADI.bad") && rng.Chance(8))
        return PowerCut();
    // A scanner on what the next step needs, or a stop file, at each step.
    if (!handover && moved && handing && rng.Chance(15)) {
        const std::string held[] = {kApp + "\\ROREROZARIRADI.new", kPrev, kState};
        const int which = static_cast<int>(rng.Between(0, 2));
        const std::uint64_t span = rng.Between(1, 40) * kSecond;
        Note("a scanner holds '" + held[which] + "' for " + std::to_string(span / 1000) + " s");
        if (which == 1) prevHeldUntil_ = std::max(prevHeldUntil_, Now() + span);
        if (which == 2) unsavedUntil_ = std::max(unsavedUntil_, Now() + span);
        Hold(held[which], span, which == 2 ? 32 : 0);
    }
    if (!handover && moved && handing && rng.Chance(3)) StopFile();
    if (!moved || !Is(to, kExe)) return;
    NoteDeaths();  // the run that makes a rollback due may have ended this instant
    const std::string content = Data(kExe), before = exe_, beforeHash = exeHash_;
    mem.Sha256File(kExe, exeHash_);
    const std::string illegit = Illegit(content);
    exe_ = content;
    if (Is(from, kOld)) {
        rolledBack_.insert(before);
        const auto b = builds_.find(before);
        if (b != builds_.end() && b->second.runs == Runs::Well && badRuns_ < 2 && !startFailed_)
            Fail("rolled back from a build that runs");
        if (content != replaced_) Fail("a rollback brought back another build than the one replaced");
        lastRolledBack_ = beforeHash;
        fromShare_ = false;
        Note("rollback to version " + VersionText(builds_[content].version));
        unclaimed_.push_back({true, builds_[content].version});
    } else if (Is(from, kNew)) {
        if (!illegit.empty()) Fail("installed " + illegit);
        if (mem.computerName != "PCWS07") Fail("installed the update of another machine's name");
        replaced_ = before;
        fromShare_ = true;
        // An update applied starts the back-off of its path afresh.
        if (Now() < junkUntil_) junkSince_ = Now(), junkCopies_.clear();
        const Build& b = builds_[content];
        Note("installed version " + VersionText(b.version));
        newestInstalled_ = std::max(newestInstalled_, b.version);
        installedEver_.insert(content);
        unclaimed_.push_back({false, b.version});
        // A scanner takes the files up as the build that will not run comes
        // in: its rollback falls due while they are held.
        if (b.runs != Runs::Well && rng.Chance(50)) {
            const std::string target = rng.Chance(50) ? kOld : kExe;
            const std::uint64_t hold = rng.Between(5, 60) * kSecond;
            Note("'" + target + "' held for " + std::to_string(hold / 1000) + " s");
            heldUntil_ = std::max(heldUntil_, Now() + hold);
            Hold(target, hold);
        }
        // The removal of the update file crawls, and a newer one comes
        // between its look and its deletion.
        if (rng.Chance(15)) {
            const std::uint64_t each = rng.Between(3, 10) * kSecond;
            Note("share crawls, " + std::to_string(each) + " ms a call, for 1 min");
            Crawl(each, kMinute);
            At(Now() + each + kSecond, "", [this] { NewUpdate(); });
        }
        // A newer build written over the one applied, of the same length and
        // time to the millisecond: only its bytes tell it from that one.
        if (rng.Chance(10)) rng.Chance(50) ? SameStampUpdate() : At(Now() + rng.Between(1, 3000), "", [this] { SameStampUpdate(); });
    } else {
        Fail("'KORUMGR.exe' replaced from '" + from + "'");
    }
    installedAt_ = Now();
    watched_.clear();  // a move ends the watch of the build before
    ranAt_ = 0;
    personFirst_ = false;
    badRuns_ = 0;
    brokenStarts_ = 0;
    startFailed_ = false;
}

void Sim::SameStampUpdate() {
    const MemPlatform::Node* was = mem.Find(kUpdate);
    if (!was || was->shownLength != 0 || was->data.size() != Image({}, 0).size()) return;
    const std::uint64_t writtenAt = was->writtenAt;
    const Build b{++newest_, Runs::Well};
    const std::string content = Image(b, 5);
    builds_[content] = b;
    const int key = (Keys() & 1) ? 0 : 1;
    Note("update: signed newer, version " + VersionText(b.version) + ", key " + std::to_string(key) +
         ", of the same length and time as the one before");
    PlaceUpdate(content, key, content).writtenAt = writtenAt;
}

// A build goes in only whole, and with a key only signed and newer than any
// this PC installed, the key as it was at some instant of the tick that
// decided it.
std::string Sim::Illegit(const std::string& content, bool keyNow) {
    const auto b = builds_.find(content);
    if (b == builds_.end()) return "a file that is not a whole build";
    const int newest = std::max(newestInstalled_, builds_[exe_].version);
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        const bool current = i + 1 == keys_.size() || (!keyNow && keys_[i + 1].first + kLongestTick >= Now());
        const int bits = keys_[i].second;
        if (!current) continue;
        if (bits == 0 || ((bits & signedBy_[content]) != 0 && b->second.version > newest)) return "";
    }
    return "version " + VersionText(b->second.version) + " against the key (signed by " +
           std::to_string(signedBy_[content]) + ", keys " + std::to_string(Keys()) + ", newest " +
           VersionText(newest) + ")";
}

// An update that may go in under the key as it is now, on a quiet machine,
// goes in at the next tick.
void Sim::Expect(const std::string& content) {
    if (!Quiet() || !Illegit(content, true).empty() || content == exe_ || rolledBack_.count(content)) return;
    expected_ = content;
    expectedBy_ = Now() + 15 * kSecond + mem.staleMs;
    if (trace) Note("expected to go in within 15 s");
}

// Nothing else happens, nothing is wrong.
bool Sim::Quiet() {
    CheckLog();
    const Ctx* c = ProgramState();
    // The run that set a back-off times it on its own clock; another has
    // only the wall clock.
    const auto backOffOn = [this](const UpdateMemory& u) {
        if (u.retryRun.untilMs != 0 && u.retryRun.retryAt == u.retryAt) return u.retryRun.untilMs + 10 * kSecond > Now();
        return u.retryAt + 10 * kSecond * 10000 > mem.SystemTime();
    };
    const bool backingOff = c && Is(c->s.update.failedPath, kUpdate) && backOffOn(c->s.update) && !retryNotReady_;
    bool stubborn = false;  // a manager that the update cannot stop
    for (std::uint32_t pid : alive_) {
        const MemPlatform::Proc* p = mem.FindProcess(pid);
        stubborn = stubborn || (p->alive && (p->ignoresTerminate || !p->openable));
    }
    rules_.erase(std::remove_if(rules_.begin(), rules_.end(), [this](const Rule& r) { return r.until <= Now(); }),
                 rules_.end());
    // A look out when the update came is of the file before: it may end in
    // a failure that backs the path off.
    // Until the program has read its state file it attempts no update, and
    // a back-off that file holds is not yet in its memory to be judged by.
    return up_ && c && c->s.update.loaded && !c->s.update.watching && !c->s.work.busy && Now() - installedAt_ > 3 * kMinute &&
           Now() - bootedAt_ > 10 * kSecond &&
           !backingOff && Now() >= junkUntil_ && rules_.empty() && mem.heldOpen.empty() &&
           mem.unreachableHosts.size() == 1 && fp.shareCallMs == 0 && fp.shareHangsUntil <= Now() &&
           mem.writerLocked.empty() && stopDeadline_ == 0 && !stubborn && mem.computerName == "PCWS07" &&
           !mem.snapshotFails && fake_ == 0 && c->s.handover.phase == Handover::None &&
           c->s.handover.guardedUntilMs <= mem.MonotonicMs();
}

}  // namespace sim
}  // namespace rz
