// The simulation's world: one PC of a centre, the real monitor running on
// the in-memory platform behind the fault wrapper, and what the world knows
// of it to judge it by. See main.cpp for what the simulation does.
#pragma once
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
namespace sim {

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
inline std::size_t recordsShown = 12;                        // of the log, with a breach
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

inline std::string VersionText(int v) { return "1.0.0." + std::to_string(v); }

// What a monitor build does when it is started to take over; 50 and up.
enum class MonitorRuns { Well, CrashesAtStart, NeverReady, CrashesInWatch, Refused, FrozenAfterGo };

// A whole Win32 image whose one section ends where the file does, with its
// version where the in-memory platform reads it.
inline std::string Image(const Build& b, int serial) {
    std::string exe(1024, '\0');
    exe[0] = 'M', exe[1] = 'Z', exe[0x3C] = 0x40, exe[0x46] = 1;
    exe.replace(0x40, 4, std::string("PE\0\0", 4));
    exe[0x69] = 0x03, exe[0x6D] = 0x01;  // 0x300 bytes at 0x100
    const std::string payload = "VS_VERSION_INFO:" + VersionText(b.version) + ";runs " +
                                std::to_string(static_cast<int>(b.runs)) + ", serial " + std::to_string(serial);
    return exe.replace(0x100, payload.size(), payload);
}

// A monitor build: a 32-bit Windows program with a window.
inline std::string MonitorImage(int version, int serial, bool gui = true) {
    std::string exe = Image({version, Runs::Well}, serial + 1000);
    if (gui) exe[0x44] = 0x4C, exe[0x45] = 0x01, exe[0x58] = 0x0B, exe[0x59] = 0x01, exe[0x9C] = 2;
    return exe;
}

struct KeyPair {
    std::string priv, pub;
};
// Key A, key B, and key C, which no key file ever holds.
inline const KeyPair& Key(int i) {
    static KeyPair keys[3];
    if (keys[i].pub.empty()) MakeKeyPair(2048, keys[i].priv, keys[i].pub);
    return keys[i];
}
inline const std::string& Signature(int key, const std::string& data) {
    static std::map<std::pair<int, std::string>, std::string> made;  // each signature is dear
    std::string& s = made[{key, data}];
    if (s.empty()) SignBytes(Key(key).priv, data, s);
    return s;
}

inline bool Is(const std::string& a, const std::string& b) { return UCase(a) == UCase(b); }

struct Violation {};

class Sim {
public:
    Sim(std::uint64_t seed, std::uint64_t hours) : rng{seed * 0x2545F4914F6CDD1Dull + 1}, seed_(seed) {
        start_ = mem.now();
        end_ = start_ + hours * 60 * kMinute;
    }
    ~Sim() { mem.DropWork(); }
    bool trace = false;
    std::string Run();
    std::uint64_t events() const { return events_; }  // drawn from the schedule
    // The handover's own faults instead of the schedule: the at-th call of
    // the monitor's own update fails once ('o'), for good ('l'), or has the
    // power cut ('c').
    bool handover = false;
    struct Fault {
        int at;
        char mode;
        std::string lasting = "";  // the call that fails for good, once it has
    };
    std::vector<Fault> faults;
    int HandedAt() const { return handedAt_; }

private:
    MemPlatform mem;
    FaultPlatform fp{mem};
    Rng rng;
    std::uint64_t seed_, start_ = 0, end_ = 0;
    std::uint64_t events_ = 0;
    bool placed_ = false;  // the handover's good build is on the share
    int ownCalls_ = 0, handedAt_ = 0;
    std::string good_;
    std::uint64_t lastCensus_ = 0;
    std::map<std::uint64_t, int> eventsInHour_;
    long step_ = 0;
    std::string violation_;
    std::deque<std::string> recent_;
    std::multimap<std::uint64_t, std::function<void()>> due_;
    bool inRun_ = false, cut_ = false, dark_ = false;  // dark: the power is off
    // The monitor.
    bool up_ = false;
    std::uint64_t bootedAt_ = 0, stopDeadline_ = 0;
    std::uint64_t elsewhereUntil_ = 0;  // a manager of another folder last ran then
    std::string watched_;  // the build whose watch the running monitor keeps
    // A person, not the monitor, started the build in place first: no
    // monitor judged that run.
    bool personFirst_ = false;
    std::string unjudged_;  // a build whose watch passed with too few runs judged to roll it back
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
    // The last back-off that a record told, by the simulation's own clock:
    // the manager's update [0] and the monitor's own [1].
    struct BackOffTold {
        std::uint64_t at = 0, ms = 0, run = 0;
    } told_[2];
    void CheckAttempt(int which);
    // Records of an update's trouble that the status report must give.
    struct Unreported {
        std::string record;
        std::uint64_t by;
        bool monitor;
        std::uint64_t seen = 0;
        bool lossy = false;  // the log lost records since: a later result's may be among them
    };
    std::vector<Unreported> unreported_;
    std::uint64_t shareBackAt_ = 0;  // the share answers since; UINT64_MAX: it does not
    void CheckReport();
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
    std::string monExe_, monStarted_;  // monStarted_: the build last started to take over
    std::set<std::string> monRolledBack_;
    int monNewest_ = 50;
    std::uint32_t fake_ = 0, nextOwnPid_ = 7;
    bool fakeReady_ = false, fakeTicks_ = false;
    bool restarted_ = false;
    std::uint64_t deniedSince_ = 0;  // the monitor may not rename its image since
    std::map<std::string, MonitorRuns> monByHash_;  // the monitor builds by SHA-256  // the program ends to let the monitor it restored run
    std::set<std::string> monUnsigned_;
    std::uint64_t prevHeldUntil_ = 0;
    std::uint64_t restoreFreeSince_ = 0;  // a rollback waits for '.prev', which nothing holds since

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
    void Boot(const std::string& image = kMon);
    std::string LogonImage();
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
    void SameStampUpdate();
    std::uint32_t HandoverFault(const std::string& name, const std::string& path, const std::string& other);
    void HandoverScenario();
    void HandoverEnd();
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
    void SaveNewMonitorFact();
    void FakeTick(std::uint32_t pid, int n);
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

int RunHandoverFaults(bool pairs, bool trace);

}  // namespace sim
}  // namespace rz
