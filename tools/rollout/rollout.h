// A new manager or monitor build for the whole centre, wave by wave: everything the
// rollout decides from the monitors' reports, over an update folder and a
// clock that it is given, so that each decision can be tried without a share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "report_reader.h"

namespace rollout {

using Seconds = std::int64_t;

// A monitor rewrites its report at least every 55 s.
constexpr Seconds kReportInterval = 60;
// A build whose manager keeps ending and being started again never shows
// DOWN for long, and would never finish its soak: this many starts halt.
constexpr int kMostRestarts = 3;
// As the board's default: a report older than this is SILENT.
constexpr Seconds kSilentAfter = 180;
// A lock not rewritten for this long belongs to a rollout that has ended.
constexpr Seconds kStaleLock = 300;
constexpr Seconds kPollEvery = 5;

constexpr const char* kOwnFolder = "_Rollout";
constexpr const char* kLockName = "_Rollout/rollout.lock";
// A request to a running rollout to abort, left by "rollout abort" from any PC.
constexpr const char* kAbortName = "_Rollout/abort.request";

// The update folder as the rollout sees it. Names are relative to it, with
// '/' between folders; the rollout's own files lie in "_Rollout/".
class Folder {
public:
    virtual ~Folder() = default;
    // Writes the whole of `bytes` under a temporary name and renames it into
    // place, so that no reader ever sees part of it; "" when done, else why not.
    virtual std::string Put(const std::string& name, const std::string& bytes) = 0;
    // Creates `name` only when nothing has that name yet: 1 created, 0 there
    // already, -1 failed with `why`.
    virtual int CreateNew(const std::string& name, const std::string& bytes, std::string& why) = 0;
    virtual std::string Remove(const std::string& name) = 0;  // "" when it is gone
    // False when there is no such file or it cannot be read; `age` is how
    // many seconds ago it was last written.
    virtual bool Read(const std::string& name, std::string& bytes, Seconds& age) = 0;
    // The names of the files in the subfolder `folder`.
    virtual std::vector<std::string> List(const std::string& folder) = 0;
    // The reports of _Status, classified with kSilentAfter; false with
    // `why` when the folder cannot be listed.
    virtual bool Reports(std::vector<board::Machine>& out, std::string& why) = 0;
    virtual std::string Show(const std::string& name) const = 0;  // the full path, for people
};

// Where one machine stands. Placing is written before the files go out, so
// that a rollout stopped in between never places a build twice.
enum class Step { Waiting, Placing, Placed, Took, Removed };
enum class Phase { Running, Done, Halted, Aborted };

struct Entry {
    std::string name;
    int wave = 0;
    Step step = Step::Waiting;
    Seconds placedAt = 0, tookAt = 0, healthySince = 0, badSince = 0;
    int restarts = 0;      // of its manager since it took the build
    std::string pid;       // the manager's process while it is healthy
    std::string baseline;  // last_update and its time when the build was placed
};

struct State {
    std::string version;  // of the build, "a.b.c.d"
    bool monitor = false;  // a build of the monitor itself, not of the manager
    std::string build;    // the full path of the file it was started with, for people
    std::string waveList;  // as given, "1,25%,100%": the waves are made again from it on resume
    std::uint64_t length = 0;
    bool signature = false;  // a .sig goes out with every build
    Seconds soak = 600, takeLimit = 900, started = 0;
    int wave = 0, waves = 0;  // the wave under way, counted from 0
    Phase phase = Phase::Running;
    std::string outcome;  // why it halted
    std::vector<Entry> machines;
    std::string file;  // where it lies; not in the file itself
};

// "_Rollout/[monitor-]<version>-<start, local time>.txt", or where it was
// read from: a rollout never writes over an earlier one's record.
std::string StateName(const State& s);
// The kept copy of the build beside the state: the same name, ".exe".
std::string KeptBuild(const State& s);
// "" when the waves and steps of `s` are those its machine list and wave
// list make, else why not: a state edited on the share skips no wave.
std::string CheckWaves(const State& s);
std::string FormatState(const State& s);
// "" when `text` is a whole state file, else why not.
std::string ParseState(const std::string& text, State& s);
const char* PhaseName(Phase p);

// "KORUMGR<NAME>.exe": what a monitor takes from the update folder.
std::string UpdateName(const std::string& machine);
// That, or "ROREROZARIRADI<NAME>.exe" for a build of the monitor.
std::string BuildName(const State& s, const std::string& machine);
// Why the machine of report `r` will refuse a manager build of `version`,
// as its report says: "" when it does not say so.
std::string WillRefuse(const board::Machine& r, const std::string& version);
// The reason of a machine whose monitor holds the rollout's build back for
// now, as its report gives it; "" when it does not.
std::string Waits(const State& s, const board::Machine* r);
// Why `name` cannot be a computer name; "" when it can.
std::string NameProblem(const std::string& name);
// The wave of each of `count` machines from "1,25%,100%": each item the
// number, or the share, of machines that have the build once that wave is
// through. "" or why the list will not do.
std::string MakeWaves(const std::string& waveList, std::size_t count, std::vector<int>& waveOf, int& waves);
// "A,B,C" as its items; `most` items at most, the last taking the rest.
std::vector<std::string> Split(const std::string& text, char by = ',', std::size_t most = std::string::npos);
// Computer names, as Windows compares them: in any case.
bool SameName(const std::string& a, const std::string& b);
// A name or path in capitals, for ordering and comparing as Windows does.
std::string Upper(std::string s);
// The report of the machine `name` among `reports`, or null.
const board::Machine* FindReport(const std::vector<board::Machine>& reports, const std::string& name);
// "45 s", "6 min", "2 h 05 min".
std::string Span(Seconds s);

// The folder's lock: one rollout at a time, whoever runs it and wherever.
enum class Lock { Taken, Held, Stale, Failed };
// `message` names the holder of a lock not taken, or the stale lock broken.
Lock TakeLock(Folder& f, const std::string& owner, bool breakStale, std::string& message);
// Rewritten at every look, so that it stays fresh; "" or why the lock is no
// longer this rollout's.
std::string RefreshLock(Folder& f, const std::string& owner);
void ReleaseLock(Folder& f, const std::string& owner);
// The owner named in a lock file's text; "" when it names none.
std::string LockOwner(const std::string& text);

class Rollout {
public:
    // `build` and `signature` are the bytes placed for every machine
    // (`signature` empty when none goes out).
    Rollout(Folder& folder, State state, std::string build, std::string signature, std::string owner);

    // The build kept with the rollout and the first state; "" or why not.
    std::string Begin();
    // One look at the reports and everything that follows from it. What a
    // person should read is appended to `lines`, one progress line per
    // machine of the wave ("NAME: ..."), a summary when a wave is through.
    // False when it cannot go on from here (its state or lock cannot be
    // written); the reason is the last line.
    bool Step(Seconds now, std::vector<std::string>& lines);
    // Removes every file that no machine has taken, and ends the rollout.
    // False when its state cannot be written.
    bool Abort(std::vector<std::string>& lines, const std::string& by = "");
    const State& state() const { return s_; }

private:
    Folder& f_;
    State s_;
    std::string build_, signature_, owner_;
    std::vector<std::pair<std::string, std::string>> said_;  // the last state told of each machine
    Seconds summaryAt_ = 0;

    bool Save(std::vector<std::string>& lines);
    bool Saved(const std::string& before, std::vector<std::string>& lines);
    bool Place(Entry& e, const board::Machine* report, Seconds now, std::vector<std::string>& lines);
    std::string Judge(Entry& e, const board::Machine* report, Seconds now, std::string& progress, std::string& mood);
    void Tell(const Entry& e, const std::string& progress, const std::string& mood, std::vector<std::string>& lines);
    void Summary(Seconds now, const std::vector<std::string>& progress, std::vector<std::string>& lines);
    bool AbortRequested(std::vector<std::string>& lines);
    bool WaveThrough(Seconds now) const;
    void Halt(const std::string& why, std::vector<std::string>& lines);
    void RemoveUntaken(std::vector<std::string>& lines);
    void RemoveTakenSignature(const Entry& e);
    // False when there is no such file.
    bool RemoveIfOurs(const std::string& name, const std::string& bytes, std::vector<std::string>& lines);
    void Finish(Phase phase, std::vector<std::string>& lines);
};

}  // namespace rollout
