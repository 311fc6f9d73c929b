// The module-level state that the procedures share, and the few helpers that
// every module uses. Everything above the platform may include this; it
// includes nothing of the program's own but the platform.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace rz {

// Installation constants, chosen at build time (see README).
extern const char* const kServerMachineName;
extern const char* const kDefaultMainMachine;
extern const char* const kAppTitle;
// The single-instance mutexes. The session's name is the one every version
// has held, so that an older monitor of this session is found; the global
// one finds a monitor of another session (a technician's remote desktop on
// the server, which the Run key starts one in too).
extern const char* const kSessionMutex;
extern const char* const kGlobalMutex;

constexpr std::uint32_t kHKeyLocalMachine = 0x80000002u;
constexpr std::uint32_t kHKeyCurrentUser = 0x80000001u;
// Where Windows finds what it starts at logon, and the monitor's value there.
constexpr const char* kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const char* kRunValue = "ROREROZARIRADI";
constexpr const char* kYes = "YES";

// One update file as the update folder showed it.
// This run only: where a back-off ends on the monotonic clock, for the
// wall-clock end it was set with. A clock put forward or back moves
// neither; another run knows only the wall-clock end.
struct RunBackOff {
    std::uint64_t retryAt = 0;
    std::uint64_t untilMs = 0;
};

struct UpdateKey {
    std::string path;
    FileStamp stamp;
    bool operator==(const UpdateKey& o) const {
        return path == o.path && stamp.length == o.stamp.length && stamp.lastWrite == o.stamp.lastWrite;
    }
};

// The monitor's own update, as the state file keeps it beside the
// manager's: the back-off of its update file, the builds that were handed
// over and rolled back, and the step of a handover under way, each saved
// before it is taken.
struct MonitorMemory {
    std::string failedContent;  // of the last attempt that failed; kAnyContent after a refusal
    int failures = 0;
    std::uint64_t retryAt = 0;   // wall-clock FILETIME (UTC)
    RunBackOff retryRun;
    std::string rolledBack;      // contents, space-separated, the latest last
    std::string step;            // "" none, "moving" (the renames), "started" (the new build runs)
    std::string content, version;  // the build handed over
    std::uint32_t from = 0;        // the monitor that hands it over
    std::uint32_t to = 0;          // ... and the one it started, once known
    std::string floor;             // the newest version rolled back: only a newer build is taken
    // This run only, as for the manager's update file; `waits` is fit to go
    // in once the watch over the manager's fresh build, or over this
    // monitor by the one before, is over.
    UpdateKey unchanged, toldKey, waits;
    std::string noted, told;
};

// What the update check remembers from one tick to the next. Builds are
// known by their content, the SHA-256 of their bytes. All but the notes of
// this run is also kept in the state file beside the monitor, so that a
// restart does not apply a rolled-back or older build again, cut a
// back-off short or end the watch over a fresh build.
struct UpdateMemory {
    bool loaded = false;          // the state file has been read in this run, or found missing or damaged
    std::uint32_t unreadError = 0;  // the last error that kept it unread, told once
    bool unsaved = false;           // the last save failed: the next tick saves before anything else
    std::uint32_t unsavedError = 0;  // the last error of a save, told once
    std::string waitingTold;         // the last action told to wait for a save
    std::string failedPath;       // the update path whose last attempt failed or was refused
    std::string failedContent;    // what that attempt copied; "" when it copied nothing
    int failures = 0;             // failed attempts in a row of that path and content
    std::uint64_t retryAt = 0;    // the path is not attempted again before this wall-clock FILETIME (UTC)
    RunBackOff retryRun;
    std::string inPlace;          // installed, but its update file could not be deleted
    std::string rolledBack;       // installed, would not run, taken out again
    std::string newestVersion;    // newest file version this PC ever installed from the share
    std::string newestContent;    // ... and the build that had it
    // Watch over a fresh replacement: a build that will not run goes back.
    bool watching = false;
    std::string replacedPath, replacedContent;
    std::uint64_t replacedAt = 0;  // wall-clock FILETIME of the replacement
    std::uint64_t watchFromMs = 0;  // this run only: MonotonicMs of its first run since the swap or this run's start
    bool watchRan = false;          // this run only: the fresh build has run since then
    int badRuns = 0;               // its runs that ended within 10 s, or abnormally
    Handle lastRun = 0;            // this run only: its last start, opened to query
    std::int64_t lastRunClock = 0;  // this run only: the wall clock less the monotonic one at that start, in ms
    std::uint64_t lastRunStartMs = 0;  // this run only: MonotonicMs of that start
    std::string rollbackFailure;   // this run only: the record of the last rollback that failed
    // This run only: the update file as the last tick that left it alone
    // saw it (nothing new since), and the contents left alone with a
    // record, one after the other.
    UpdateKey unchanged;
    std::string noted;
    // This run only: the update file and the record last told of it, so
    // that a state that lasts is told once per stamp.
    UpdateKey toldKey;
    std::string told;
    UpdateKey waitsForWatch;  // this run only: checked, it waits for the watch over the build before it
    MonitorMemory monitor;
};

// A handover between two monitors as this run takes part in it. The old
// monitor starts the new one and waits for its ready signal, then guards
// it; the new one waits for the go before its first tick.
struct Handover {
    enum Phase { None, AwaitReady, Guarding, AwaitGo };
    Phase phase = None;
    std::uint32_t pid = 0;      // the other monitor
    Handle process = 0;         // the new monitor, opened to wait and query (the old one's)
    std::uint64_t sinceMs = 0;  // MonotonicMs of the start, the go, or the ready signal
    bool restoring = false;     // '.prev' waits to be put back as the monitor
    bool runsAsPrev = false;    // this run's image is '.prev': a copy of it was put back in its name
    bool readySent = false;     // the new one's: its ready signal is written
    bool unsaved = false;       // the old one's: its rollback has not reached the state file yet
    std::string content, version;  // the build handed over
    std::uint64_t guardedUntilMs = 0;  // the new one's: the old one guards it until about then
    std::uint64_t ticks = 0;           // the new one's: its ticks proved so far
    std::string proof;                 // the old one's: the last proof of life read
    std::uint64_t provedMs = 0;        // the old one's: MonotonicMs of the go or of a new proof
};

// What the status report remembers from tick to tick.
struct StatusState {
    std::string started;  // the monitor's start, local ISO 8601
    std::string lastEvent, lastEventTime;
    int eventWeight = -1;  // of lastEvent while no report has carried it yet
    std::string lastUpdate, lastUpdateFile, lastUpdateTime;
    std::string lastUpdateReason;  // why the last update failed or was refused, as its record says
    std::string monitorUpdate, monitorUpdateVersion, monitorUpdateTime;  // the monitor's own
    std::string monitorUpdateReason;  // its record, unless it was applied
    std::deque<std::uint64_t> startTimes;  // MonotonicMs of each manager start
    std::deque<std::uint64_t> startWalls;  // the same starts by the wall clock (FILETIME), as kept on disk
    std::uint32_t lastStartedPid = 0;      // the manager of the last start
    bool censusSeen = false;
    bool managerUp = false;
    std::uint32_t managerPid = 0;
    bool pending = false;  // something happened: write at the end of this tick
    bool updateEvent = false;  // an update's: write as soon as the worker is free, even between ticks
    bool attempted = false;
    std::uint64_t attemptedAt = 0;  // MonotonicMs of the last write attempt
    bool reportedUp = false;        // manager state at the last attempt
    std::uint32_t reportedPid = 0;
    bool active = false;    // the folder has been seen: reports are wanted
    bool failing = false;   // the last attempt failed
    bool outOfReach = false;  // ... because the update folder could not be reached
    bool recorded = false;  // ... and the outage has its record in the log
    bool waiting = false;   // due, but the share worker was busy: it goes before the next look
};

// The manager that the last census found, watched for its end.
struct ManagerWatch {
    std::uint32_t pid = 0;  // 0: none
    Handle handle = 0;      // opened with SYNCHRONIZE once per process; 0 when it could not be
    bool ended = false;     // its end has been reported outside a tick
};

// The windows of the manager that the census found, judged at every tick.
struct FreezeWatch {
    std::uint32_t pid = 0;       // the manager judged; 0: none
    std::uint64_t graceEndsMs = 0;  // MonotonicMs when its start grace ends, whoever started it
    std::set<Handle> seenShown;  // its windows once seen visible
    bool frozen = false;
    std::uint64_t frozenAtMs = 0;  // when it was first found not responding
    std::string frozenSince;       // the same, local ISO 8601
    bool terminated = false;       // one has been terminated for being frozen
    std::uint64_t terminatedAtMs = 0;
    std::string limitProblem;  // of the limit file, as last recorded
};

struct Ctx;

// The share worker as the user-interface thread sees it: at most one job
// out at a time.
struct ShareWork {
    bool busy = false;      // a job is out: given, its done message not yet come
    bool done = false;      // its done message has come; its result waits
    std::shared_ptr<bool> wantsTick;  // set by the job: its result needs a tick to act on it
    std::uint64_t since = 0;  // MonotonicMs when it was given
    std::string what;         // what it does, for the log
    bool silent = false;      // it has had its SHARE NOT ANSWERING record
    std::function<void(Ctx&)> pickUp;  // acts on its result
    bool probing = false;     // the main machine's share has not answered its probe yet
};

// Flags hold "YES" or the empty string.
struct State {
    std::string sAppTitle;
    std::string sMainMachine;
    std::string sVersion;
    std::string sDebugFile;
    std::string sBannerDone;
    std::string sMainShareOK;
    std::string THISMACHINENAME;
    std::string KORUMGR_RUNNING;
    std::string VESK_RUNNING;
    std::string sUpdateHold;
    // Records that could not be written since the last one that was; the
    // next record written is preceded by one saying how many.
    std::uint64_t lostRecords = 0;
    UpdateMemory update;
    std::uint32_t managerPid = 0;  // of the manager the last census found, 0 for none
    std::vector<std::uint32_t> managerPids;  // every manager that it found
    // Those that run the KORUMGR.exe beside the monitor, or cannot be read:
    // what an update must stop before it replaces that file.
    std::vector<std::uint32_t> besidePids;
    FreezeWatch freeze;
    // MonotonicMs when the start grace of each manager the census found
    // ends, fixed when a census first saw it; and of the last census.
    std::map<std::uint32_t, std::uint64_t> graceEnds;
    std::uint64_t lastCensusMs = 0;
    std::set<std::uint32_t> endingManagers;  // found by the last census, their termination started
    ManagerWatch watch;
    // Managers whose path could not be read, each recorded once.
    std::set<std::uint32_t> unreadableManagers;
    StatusState status;
    // Buffer size in bytes that the last process list needed, so that the
    // next one usually takes a single EnumProcesses call.
    std::uint32_t processListBytes = 0;
    ShareWork work;
    Handover handover;
};

// What the hidden main window holds; the window module keeps it.
struct FrmMain {
    bool created = false;
    bool timerEnabled = false;      // TimerMONITORVESK
    std::uint32_t timerInterval = 0;
    std::string lblCaption;         // LBLMSG
};

struct Ctx {
    explicit Ctx(Platform& platform) : p(platform) {}
    Platform& p;
    State s;
    FrmMain frmMAIN;
};

// Exit codes of the program.
constexpr int kExitNormal = 0;          // stop file, or second instance
constexpr int kExitRefused = 1;         // this machine may not run the monitor
constexpr int kExitStartupFailed = 2;   // a start-up step failed

// A failure that no procedure handles where it arises; the start-up
// sequence and the tick each decide what becomes of it.
class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Ends the process at once: no later step and no further record runs.
[[noreturn]] void EndProgram(Ctx& c, int exitCode);

std::string AppPath(Ctx& c, const std::string& name);  // folder + "\" + name
bool FileExists(Ctx& c, const std::string& path);
// Removes a file whatever its attributes. "" only when nothing of that name
// is left; else why something is ("error 32", ...). A check that cannot
// tell whether the file is there is no success either.
std::string RemoveIfPresent(Ctx& c, const std::string& path);
// "error N", the system's last error, for a record that says why.
std::string ErrorText(Ctx& c);
std::string UCase(std::string text);
bool EndsWithNoCase(const std::string& text, const std::string& tail);
bool ContainsNoCase(const std::string& text, const std::string& part);
// First four characters (all when shorter), in upper case.
std::string RolePrefix(const std::string& machineName);

// Stores one string value, creating the key when needed. Returns 0, or the
// system error of the call that failed (no value is then written).
long RegSetStringValue(Ctx& c, std::uint32_t rootKey, const std::string& subKey, const std::string& valueName,
                       const std::string& text);
// Removes one value; 0 also when there was none, else the system error.
long RegDeleteStringValue(Ctx& c, std::uint32_t rootKey, const std::string& subKey, const std::string& valueName);
// Waits at least `ms` of elapsed time while window messages are processed.
void WaitPumping(Ctx& c, std::uint64_t ms);

}  // namespace rz
