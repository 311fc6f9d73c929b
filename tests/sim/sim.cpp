// A deterministic simulation of a centre's days. For each seed the real
// monitor (ProgramMain, its ticks, the share worker, the early tick) runs on
// the in-memory platform behind the fault wrapper for some simulated hours,
// while a seeded schedule of events happens to it: the manager is killed,
// closes, crashes, freezes or will not run; the share hangs, crawls, fails
// and goes; updates of every kind appear; the key file comes, changes and
// goes; files are held open, the disk fills, the power goes, the clock
// moves, a stop file appears. What must always hold is checked after every
// step; a breach prints the seed, the step, the last events and the command
// that replays it.
//
//   sim [--seeds A..B | --seeds today] [--hours H] [--trace] [--records N]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/app.h"
#include "fault_platform.h"
#include "diag/status_report.h"
#include "monitor/monitor.h"
#include "signing.h"
#include "startup/startup.h"
#include "update/update_state.h"

namespace rz {
namespace {

const std::string kApp = "C:\\APPS\\KORU", kExe = kApp + "\\KORUMGR.exe", kOld = kApp + "\\KORUMGR.old";
const std::string kNew = kApp + "\\KORUMGR.new", kState = kApp + "\\ROREROZARIRADI.upd";
const std::string kLog = kApp + "\\ROREROZARIRADI.deb", kKey = kApp + "\\UpdateKey.pem";
const std::string kHang = kApp + "\\ROREROZARIRADI.hng", kTool = "C:\\TOOLS\\KORUMGR.exe.cfgedit.exe";
const std::string kShare = "\\\\SERV01\\G\\_Updates", kUpdate = kShare + "\\KORUMGRPCWS07.exe";
const std::string kMon = kApp + "\\ROREROZARIRADI.exe", kPrev = kApp + "\\ROREROZARIRADI.prev";
const std::string kReady = kApp + "\\ROREROZARIRADI.rdy", kMonUpdate = kShare + "\\ROREROZARIRADIPCWS07.exe";
constexpr std::uint64_t kSecond = 1000, kMinute = 60 * kSecond;
constexpr std::uint64_t kLongestTick = 45 * kSecond;  // the update's stop: termination, 35 s of stop request, swap
constexpr std::uint64_t kTick = 6 * kSecond;          // the timer's 5 s and the tick's own time
std::size_t recordsShown = 12;                        // of the log, with a breach
constexpr int kDamagedKey = 4;                        // key bits: 1 key A, 2 key B, 4 a damaged file

// splitmix64: the same schedule from a seed on every platform and library.
struct Rng {
    std::uint64_t s;
    std::uint64_t Next() {
        std::uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint64_t Between(std::uint64_t a, std::uint64_t b) { return a + Next() % (b - a + 1); }
    bool Chance(int percent) { return Next() % 100 < static_cast<std::uint64_t>(percent); }
};

enum class Runs { Well, QuitsAtOnce, CrashesAtOnce, WillNotStart };
struct Build {
    int version = 0;  // 1.0.0.<version>
    Runs runs = Runs::Well;
};

std::string VersionText(int v) { return "1.0.0." + std::to_string(v); }

// What a monitor build does when it is started to take over; 50 and up.
enum class MonitorRuns { Well, CrashesAtStart, NeverReady, CrashesInWatch, Refused };

// A whole Win32 image whose one section ends where the file does, with its
// version where the in-memory platform reads it.
std::string Image(const Build& b, int serial) {
    std::string exe(1024, '\0');
    exe[0] = 'M', exe[1] = 'Z', exe[0x3C] = 0x40, exe[0x46] = 1;
    exe.replace(0x40, 4, std::string("PE\0\0", 4));
    exe[0x69] = 0x03, exe[0x6D] = 0x01;  // 0x300 bytes at 0x100
    const std::string payload = "VS_VERSION_INFO:" + VersionText(b.version) + ";runs " +
                                std::to_string(static_cast<int>(b.runs)) + ", serial " + std::to_string(serial);
    return exe.replace(0x100, payload.size(), payload);
}

// A monitor build: a 32-bit Windows program with a window.
std::string MonitorImage(int version, int serial, bool gui = true) {
    std::string exe = Image({version, Runs::Well}, serial + 1000);
    if (gui) exe[0x44] = 0x4C, exe[0x45] = 0x01, exe[0x58] = 0x0B, exe[0x59] = 0x01, exe[0x9C] = 2;
    return exe;
}

struct KeyPair {
    std::string priv, pub;
};
// Key A, key B, and key C, which no key file ever holds.
const KeyPair& Key(int i) {
    static KeyPair keys[3];
    if (keys[i].pub.empty()) MakeKeyPair(2048, keys[i].priv, keys[i].pub);
    return keys[i];
}
const std::string& Signature(int key, const std::string& data) {
    static std::map<std::pair<int, std::string>, std::string> made;  // each signature is dear
    std::string& s = made[{key, data}];
    if (s.empty()) SignBytes(Key(key).priv, data, s);
    return s;
}

bool Is(const std::string& a, const std::string& b) { return UCase(a) == UCase(b); }

struct Violation {};

class Sim {
public:
    Sim(std::uint64_t seed, std::uint64_t hours) : rng{seed * 0x2545F4914F6CDD1Dull + 1}, seed_(seed) {
        end_ = mem.now() + hours * 60 * kMinute;
    }
    ~Sim() { mem.DropWork(); }
    bool trace = false;
    std::string Run();

private:
    MemPlatform mem;
    FaultPlatform fp{mem};
    Rng rng;
    std::uint64_t seed_, end_ = 0;
    long step_ = 0;
    std::string violation_;
    std::deque<std::string> recent_;
    std::multimap<std::uint64_t, std::function<void()>> due_;
    bool inRun_ = false, cut_ = false, dark_ = false;  // dark: the power is off
    // The monitor.
    bool up_ = false;
    std::uint64_t bootedAt_ = 0, stopDeadline_ = 0;
    std::uint64_t elsewhereUntil_ = 0;  // a manager of another folder last ran then
    std::uint64_t ranAt_ = 0;  // the build in place first ran since its install or the monitor's start; 0: not yet
    std::vector<std::uint64_t> clockMoves_;
    // The manager's processes and what they run.
    struct ManagerRun {
        std::string content;
        std::uint64_t hungSince = 0;  // 0: taking its messages
    };
    std::map<std::uint32_t, ManagerRun> runs_;
    std::set<std::uint32_t> alive_;
    struct Death {
        std::uint64_t at, bound;
        bool held = false;  // its bound took the update's stop
    };
    std::vector<Death> deaths_;
    std::uint64_t lastStartCall_ = 0, lastStart_ = 0;  // a call to start the manager; a start that ran one
    int brokenStarts_ = 0;  // the monitor's starts of an installed build that will not run, this run
    int limitSeconds_ = 60;  // the frozen limit that the limit file asks for
    // Builds, by content, and what the update did with them.
    std::map<std::string, Build> builds_;
    std::map<std::string, int> signedBy_;  // key bits of the valid signatures placed beside it
    int newest_ = 10, newestInstalled_ = 0;  // newestInstalled_: from the share; the first build came by hand
    std::string exe_, shareContent_, replaced_;  // replaced_: what the last install took out
    std::string exeHash_, lastRolledBack_;  // the SHA-256 of the build in place, of the last rolled back
    bool fromShare_ = false;  // the build in place came from the share, not from a rollback
    // Due within one tick, or one update's stop when it holds the tick.
    std::uint64_t connectDue_ = 0;
    std::deque<std::uint64_t> starts_;  // the monitor's starts of a manager in the last 5 s
    std::set<std::uint32_t> byHand_;    // managers that a person started while the monitor ran
    std::uint64_t installedAt_ = 0;
    int badRuns_ = 0;
    bool startFailed_ = false;
    std::set<std::string> installedEver_, rolledBack_, junk_;
    std::deque<std::pair<bool, int>> unclaimed_;  // swaps not yet in the log: (rollback, version)
    // The key file over time: (since, key bits).
    std::vector<std::pair<std::uint64_t, int>> keys_{{0, 0}};
    // Faults for a while.
    struct Rule {
        std::string name, path;  // "" any; path: upper case, "*SHARE" for the update share, "*LOCAL" for C:
        std::uint32_t error;
        std::uint64_t until;
    };
    std::vector<Rule> rules_;
    std::uint64_t heldUntil_ = 0;  // KORUMGR.exe or KORUMGR.old held by another program
    std::uint64_t unsavedUntil_ = 0;  // the state file held, or the disk full: a rollback waits
    // Faults of one kind overlap as the platform sees them: a hold inside a
    // hold of the same file lasts until both are over; crawls go at the
    // slowest pace of those on.
    std::map<std::string, int> on_;
    std::multiset<std::uint64_t> crawls_;
    // Expectations.
    std::string expected_;  // an update that must go in by expectedBy_
    std::uint64_t expectedBy_ = 0;
    std::uint64_t junkUntil_ = 0, junkSince_ = 0;
    std::vector<std::uint64_t> junkCopies_;
    std::size_t logChecked_ = 0;
    // The back-off of the path is the update's own when an attempt failed or
    // was refused: the record told with the last change of its time says.
    int lastAttempt_ = 0;  // since that change: 1 not ready, 2 failed, refused or records lost
    std::uint64_t lastRetryAt_ = 0;
    bool retryNotReady_ = false;
    bool stateLoaded_ = false;  // the running program has read its state file
    // The monitor's builds; the new monitor, which the sim plays up to the go
    // (past it for a build that ends during the watch).
    std::map<std::string, MonitorRuns> monBuilds_;
    std::string monExe_;
    std::set<std::string> monRolledBack_;
    int monNewest_ = 50;
    std::uint32_t fake_ = 0, nextOwnPid_ = 7;
    bool fakeReady_ = false, fakeTicks_ = false;
    std::set<std::string> monUnsigned_;
    std::uint64_t prevHeldUntil_ = 0;

    std::uint64_t Now() const { return mem.now(); }
    const std::string& Data(const std::string& path) const {
        static const std::string none;
        const MemPlatform::Node* n = mem.Find(path);
        return n ? n->data : none;
    }
    int Keys() const { return keys_.back().second; }
    void Note(const std::string& what);
    void Fail(const std::string& what);
    void At(std::uint64_t t, const std::string& what, std::function<void()> act);
    void ApplyDue();
    void Boot();
    void Down();
    void SetUp();
    bool Shape(MemPlatform::Proc& p);
    MemPlatform::Proc* Manager();
    MemPlatform::Node* Mutable(const std::string& path);
    void ByHand(const std::string& path);
    void SetAttribute();
    void MonitorStarts(const std::string& content, Runs runs);
    std::uint32_t FailWhen(const std::string& name, const std::string& path, const std::string& other);
    void Moved(const std::string& from, const std::string& to, bool moved);
    void Terminated(const MemPlatform::Proc& p);
    std::string Illegit(const std::string& content, bool keyNow = false);
    bool Quiet();
    // Events.
    void NextEvent();
    void ManagerEnds(int how);
    void Freeze();
    void NewUpdate();
    MemPlatform::Node& PlaceUpdate(const std::string& content, int sigKey, const std::string& signedContent);
    void Expect(const std::string& content);
    void ChangeKeys(int bits);
    void ShareFault();
    void LocalFault();
    void PowerCut();
    void StopFile();
    void Junk();
    void ShiftClock();
    void During(const std::string& kind, std::uint64_t span, const std::string& end, std::function<void(bool)> set);
    void Hold(const std::string& path, std::uint64_t span, std::uint32_t readError = 0);
    void Crawl(std::uint64_t each, std::uint64_t span);
    void ToggleLimit();
    void DrawWindows();
    void NewMonitorBuild();
    bool MonitorStarted(MemPlatform::Proc& p);
    void MonitorMoved(const std::string& from, const std::string& to);
    void WatchHandover();
    void CheckMonitor();
    void StepSaved(const std::string& step);
    // Checks.
    void Check(bool full);
    void CheckManagers();
    void NoteDeaths();
    void CheckFiles();
    void CheckLog();
    void CheckState();
    void CheckOthers();
    void ChangeConnect();
};

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

// --- the machine --------------------------------------------------------

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
    p.windows.push_back({0x7000 + p.pid, true, false});
    if (rng.Chance(15)) p.snapshotName = "KORUMG~1.EXE";
    p.obeysStopAfterMs = static_cast<long>(rng.Between(500, 20000));
    if (runs != Runs::Well) p.diesAt = Now() + rng.Between(0, 3000);
    if (runs == Runs::CrashesAtOnce) p.crashCode = 0xC0000005;
    runs_[p.pid] = {content, 0};
    alive_.insert(p.pid);
    return true;
}

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
    if (++brokenStarts_ > 2 && watched)
        Fail("a build that will not run started a third time");
}

MemPlatform::Proc* Sim::Manager() {
    for (std::uint32_t pid : alive_) {
        MemPlatform::Proc* p = mem.FindProcess(pid);
        if (p->alive && !p->terminating) return p;
    }
    return nullptr;
}

void Sim::Boot() {
    mem.ended = false;
    mem.exitCode = -1;
    up_ = true;
    bootedAt_ = Now();
    ranAt_ = Manager() && Is(Manager()->path, kExe) ? Now() : 0;
    stopDeadline_ = 0;
    brokenStarts_ = 0;
    connectDue_ = Now() + kTick;
    lastAttempt_ = 2;  // what the last run told is in the log no more, perhaps
    stateLoaded_ = false;
    if (!Manager()) deaths_.push_back({Now(), kSecond});
    if (!monBuilds_.count(Data(kMon))) Fail("no whole monitor build to start at logon");
    if (mem.commandArgs.empty()) mem.ownPid = ++nextOwnPid_;
    try {
        ProgramMain(fp);
    } catch (const ProgramEnded& e) {
        Fail("the monitor ended at its start, code " + std::to_string(e.code));
    }
}

// The monitor's process has gone: nothing of it runs any more.
void Sim::Down() {
    up_ = false;
    deaths_.clear();
    mem.SetTimer(0);
    mem.WatchProcess(0);
    fp.SetTimerHandler(nullptr);
    fp.SetProcessEndHandler(nullptr);
    fp.SetWorkDoneHandler(nullptr);
    mem.DropWork();
}

std::uint32_t Sim::FailWhen(const std::string& name, const std::string& path, const std::string& other) {
    const Ctx* c = ProgramState();
    if (name == "WriteText" && Is(path, kReady) && !(c && c->s.update.loaded)) Fail("ready signalled before the state was read");
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

// Every change of KORUMGR.exe is a move: an update's, or a rollback's.
void Sim::Moved(const std::string& from, const std::string& to, bool moved) {
    if (moved && (Is(to, kMon) || Is(to, kPrev))) MonitorMoved(from, to);
    // The power goes at each step of a handover: after each save of the
    // state and after the build has its name.
    const Ctx* c = ProgramState();
    const bool handing = c && (!c->s.update.monitor.step.empty() || c->s.handover.phase != Handover::None);
    if (moved && handing && !Is(to, kPrev) && rng.Chance(8)) return PowerCut();
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
    } else {
        Fail("'KORUMGR.exe' replaced from '" + from + "'");
    }
    installedAt_ = Now();
    ranAt_ = 0;
    badRuns_ = 0;
    brokenStarts_ = 0;
    startFailed_ = false;
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

// --- events -------------------------------------------------------------

void Sim::NextEvent() {
    At(Now() + rng.Between(10, 110) * kSecond, "", [this] {
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
        NextEvent();
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
    const int what = static_cast<int>(rng.Between(0, 6));
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
        if (!up_) Boot();
    });
    if (!up_) return;
    up_ = false;
    // The monitor's stack goes with its process; what it ran is dropped
    // once it has unwound.
    if (inRun_) {
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
    return up_ && c && !c->s.update.watching && !c->s.work.busy && Now() - installedAt_ > 3 * kMinute &&
           Now() - bootedAt_ > 10 * kSecond &&
           !backingOff && Now() >= junkUntil_ && rules_.empty() && mem.heldOpen.empty() &&
           mem.unreachableHosts.size() == 1 && fp.shareCallMs == 0 && fp.shareHangsUntil <= Now() &&
           mem.writerLocked.empty() && stopDeadline_ == 0 && !stubborn && mem.computerName == "PCWS07" &&
           !mem.snapshotFails && fake_ == 0 && c->s.handover.phase == Handover::None;
}

// --- where Windows differs from Wine ---------------------------------------

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
            mem.otherSession = true;
            try {
                Main(other);
                Fail("a monitor of another session runs beside this one");
            } catch (const ProgramEnded& e) {
                if (e.code != kExitNormal) Fail("a monitor of another session ended with " + std::to_string(e.code));
            }
            mem.otherSession = false;
            std::tie(mem.ended, mem.exitCode) = was;
        });
}

// --- checks -------------------------------------------------------------

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
        if (lastStart_ >= it->at || Manager()) {
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
    const auto b = builds_.find(exe_);
    if (b != builds_.end() && b->second.runs != Runs::Well) {
        // Its watch from its first run (a manager of another folder, which
        // the census counts, keeps it from running), and the files let go,
        // the state savable: the next starts of a build that will not run
        // come within seconds.
        // A manager of another folder counts as the manager: while it runs
        // there is no start, and a rollback due waits for the next one.
        for (const MemPlatform::Proc& p : mem.procs)
            if (p.alive && !p.terminating && EndsWithNoCase(p.path, "\\KORUMGR.exe") && !Is(p.path, kExe))
                elsewhereUntil_ = Now();
        const std::uint64_t since = std::max({ranAt_ + 2 * kMinute, heldUntil_, unsavedUntil_, elsewhereUntil_});
        if (up_ && ranAt_ != 0 && Now() > since + 30 * kSecond) Fail("a build that will not run is still installed");
    }
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
        const bool done = m.rfind("UPDATE DONE: ", 0) == 0, back = m.rfind("ROLLBACK: ", 0) == 0;
        if (done || back) {
            const int version = done ? std::atoi(m.c_str() + m.find(", version 1.0.0.") + 16) : -1;
            auto claim = std::find_if(unclaimed_.begin(), unclaimed_.end(), [&](const std::pair<bool, int>& s) {
                return s.first == back && (back || s.second == version);
            });
            if (claim == unclaimed_.end()) return Fail("the log claims what was not done: " + m);
            unclaimed_.erase(unclaimed_.begin(), claim + 1);
        }
        for (const char* cause : {"UPDATE FAILED", "UPDATE REFUSED", "UPDATE LEFT ALONE", "LOST RECORDS"})
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

void Sim::Check(bool full) {
    if (mem.nestedTicks != 0) Fail("a tick ran inside another");
    if (fp.shareCallsOnUi != 0) Fail("the tick called the share");
    CheckManagers();
    CheckFiles();
    CheckMonitor();
    if (full) CheckLog();
    if (!violation_.empty() && inRun_) throw Violation{};
}

// --- the monitor's own update ------------------------------------------------

void Sim::NewMonitorBuild() {
    static const char* const kinds[] = {"good", "crashes at start", "never ready", "crashes during the watch",
                                        "older", "unsigned", "truncated", "without a window", "rolled back before"};
    int kind = static_cast<int>(rng.Between(0, 8));
    if ((kind == 5 && Keys() == 0) || (kind == 8 && monRolledBack_.empty())) kind = 4;
    std::string content = kind == 8 ? *std::next(monRolledBack_.begin(), static_cast<long>(rng.Between(0, monRolledBack_.size() - 1)))
                                    : MonitorImage(kind == 4 ? static_cast<int>(rng.Between(40, 50)) : ++monNewest_,
                                                   static_cast<int>(rng.Between(0, 1000)), kind != 7);
    if (kind != 8) monBuilds_[content] = kind < 4 ? static_cast<MonitorRuns>(kind) : MonitorRuns::Refused;
    if (kind == 5) monUnsigned_.insert(content);
    Note(std::string("monitor build: ") + kinds[kind]);
    mem.RemoveTree(kMonUpdate + ".sig");
    if (Keys() != 0 && kind != 5) mem.AddFile(kMonUpdate + ".sig", Signature((Keys() & 1) ? 0 : 1, content));
    mem.AddFile(kMonUpdate, kind == 6 ? content.substr(0, 600) : content);
}

// The sim plays the new monitor up to the go; one that runs well is then
// the real program, started as the new build with the old one gone.
bool Sim::MonitorStarted(MemPlatform::Proc& p) {
    const MonitorRuns runs = monBuilds_.count(Data(p.path)) ? monBuilds_[Data(p.path)] : MonitorRuns::Refused;
    if (runs == MonitorRuns::Refused) return Fail("started a refused monitor build"), false;
    StepSaved("started");
    fake_ = p.pid, fakeReady_ = fakeTicks_ = false;
    Note("new monitor PID " + std::to_string(p.pid) + " started");
    if (runs == MonitorRuns::CrashesAtStart) p.diesAt = Now() + rng.Between(100, 5000), p.crashCode = 0xC0000005;
    const std::uint32_t pid = p.pid;
    if (runs == MonitorRuns::Well || runs == MonitorRuns::CrashesInWatch)
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
    if (Is(from, kPrev) && !before.empty()) monRolledBack_.insert(before), Note("monitor rolled back");
    if (Is(from, kPrev)) return;
    if (monRolledBack_.count(monExe_)) Fail("a monitor build rolled back was installed again");
    if (!monBuilds_.count(monExe_) || monBuilds_[monExe_] == MonitorRuns::Refused) Fail("a refused monitor build was installed");
}

// The go: the ready signal taken away while the new monitor runs.
void Sim::WatchHandover() {
    MemPlatform::Proc* p = fake_ ? mem.FindProcess(fake_) : nullptr;
    if (!p || !p->alive) fake_ = 0, fakeTicks_ = fakeReady_ = false;
    if (!p || !p->alive || !fakeReady_ || fakeTicks_ || mem.Has(kReady)) return;
    if (monBuilds_[Data(kMon)] == MonitorRuns::CrashesInWatch) {
        Note("new monitor took over; it will crash");
        p->diesAt = Now() + rng.Between(1, 100) * kSecond, p->crashCode = 0xC0000005, fakeTicks_ = true;
        if (!rng.Chance(40)) return;
        // A scanner holds the backup as the build crashes: the rollback waits.
        prevHeldUntil_ = p->diesAt + rng.Between(5, 60) * kSecond;
        mem.heldOpen.insert(UCase(kPrev));
        return At(prevHeldUntil_, "'ROREROZARIRADI.prev' let go", [this] { mem.heldOpen.erase(UCase(kPrev)); });
    }
    // The switch is made between the run's steps, with the state readable:
    // the sim plays no guardian that would roll back a build left waiting.
    if (inRun_ || mem.readErrors.count(UCase(kState))) return;
    Note("new monitor took over; it is the program from now on");
    const std::uint32_t old = mem.ownPid;
    Down();
    if (MemPlatform::Proc* o = mem.FindProcess(old)) o->alive = false, o->exitCode = 0, o->endedAt = Now();
    mem.ownPid = fake_, mem.commandArgs = "/handover " + std::to_string(old);
    fake_ = 0, fakeTicks_ = fakeReady_ = false;
    Boot();
    mem.commandArgs.clear();
}

void Sim::CheckMonitor() {
    const Ctx* c = ProgramState();
    if (fakeTicks_ && up_ && c && c->s.handover.phase != Handover::Guarding) Fail("two monitors ticking");
    if (!monBuilds_.count(Data(kMon)) && !(c && c->s.handover.restoring))
        Fail("'ROREROZARIRADI.exe' is not a whole monitor build");
    if (Data(kMon) != monExe_) Fail("'ROREROZARIRADI.exe' changed outside a move");
    if (monRolledBack_.count(Data(kMon)) && up_ && Now() > prevHeldUntil_ + 10 * kSecond && c &&
        c->s.handover.phase == Handover::None)
        Fail("a rolled-back monitor build is still in place");
    WatchHandover();
}

std::string Sim::Run() {
    SetUp();
    Boot();
    NextEvent();
    try {
        while (violation_.empty() && Now() < end_) {
            ++step_;
            const std::uint64_t next = std::min({end_, due_.empty() ? end_ : due_.begin()->first, Now() + 2 * kSecond});
            inRun_ = true;
            if (next > Now()) mem.RunFor(next - Now());
            inRun_ = false;
            if (cut_) cut_ = false, Down();
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
    if (violation_.empty()) return "";
    std::string report = "seed " + std::to_string(seed_) + ", step " + std::to_string(step_) + ", at " +
                         std::to_string(Now() / 1000) + " s: " + violation_ + "\nlast events:\n";
    for (const std::string& e : recent_) report += "  " + e + "\n";
    const auto log = mem.LogMessages(kLog);
    report += "last records:\n";
    for (std::size_t i = log.size() > recordsShown ? log.size() - recordsShown : 0; i < log.size(); ++i) report += "  " + log[i] + "\n";
    return report;
}

}  // namespace
}  // namespace rz

int main(int argc, char** argv) {
    std::uint64_t first = 1, last = 200, hours = 5;
    bool trace = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seeds" && i + 1 < argc && std::string(argv[i + 1]) == "today") {
            // A new range each day, beyond the fixed ones, so that CI's seeds
            // grow with the days; printed, so that a breach replays.
            ++i;
            const std::time_t now = std::time(nullptr);
            const std::uint64_t day = static_cast<std::uint64_t>(now / 86400);
            first = 1001 + (day % 100000) * 100;
            last = first + 99;
            char date[16];
            std::strftime(date, sizeof date, "%Y-%m-%d", std::gmtime(&now));
            std::printf("seeds %llu..%llu, drawn from the date %s\n", static_cast<unsigned long long>(first),
                        static_cast<unsigned long long>(last), date);
        } else if (arg == "--seeds" && i + 1 < argc) {
            const std::string range = argv[++i];
            const std::size_t dots = range.find("..");
            first = std::strtoull(range.c_str(), nullptr, 10);
            last = dots == std::string::npos ? first : std::strtoull(range.c_str() + dots + 2, nullptr, 10);
        } else if (arg == "--hours" && i + 1 < argc) {
            hours = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--trace") {
            trace = true;
        } else if (arg == "--records" && i + 1 < argc) {
            rz::recordsShown = std::strtoull(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: %s [--seeds A..B | --seeds today] [--hours H] [--trace] [--records N]\n",
                         argv[0]);
            return 2;
        }
    }
    int failed = 0;
    for (std::uint64_t seed = first; seed <= last; ++seed) {
        rz::Sim sim(seed, hours);
        sim.trace = trace;
        const std::string report = sim.Run();
        if (report.empty()) continue;
        ++failed;
        std::printf("%sreplay: %s --seeds %llu --hours %llu --trace\n\n", report.c_str(), argv[0],
                    static_cast<unsigned long long>(seed), static_cast<unsigned long long>(hours));
    }
    std::printf("%d of %llu seeds failed, %llu simulated hours\n", failed,
                static_cast<unsigned long long>(last - first + 1),
                static_cast<unsigned long long>((last - first + 1) * hours));
    return failed == 0 ? 0 : 1;
}
