// What the update remembers across restarts of the monitor: the back-off
// of a failing update path, the builds in place and rolled back, the
// newest version installed, and the watch over a fresh build. Kept in
// "<title>.upd" beside the monitor as key=value lines, replaced in one move.
#pragma once

#include <string>

namespace rz {

struct Ctx;
struct UpdateMemory;
struct MonitorMemory;

// Two runs that would not run, and the third start brings the old build back.
constexpr int kBadRunsBeforeRollback = 2;
// Failed attempts in a row are counted up to this; the back-off has long
// reached its longest by then.
constexpr int kMostFailures = 1000;
// The failed content after a refusal: the path then backs off whatever its
// content, until an update of it is applied. No SHA-256 is all zeros, and
// a reader that does not know this takes it for content that never comes.
extern const char* const kAnyContent;

std::string UpdateStateText(const UpdateMemory& u);
// False, with the reason, when `text` is not a whole state file; `u` is
// then left as it was.
bool ParseUpdateState(const std::string& text, UpdateMemory& u, std::string& why);

// Reads the state file once per run; a missing or damaged one is passed
// over with one record, a damaged one giving back the newest version from
// its second copy. One that is there but cannot be read is tried again at
// every tick, and until then `loaded` stays false: nothing is attempted,
// nothing is written over it.
void LoadUpdateState(Ctx& c);
// Writes what the update remembers now, once the file has been read, and
// its second copy: whether both reached the disk. One record per error; a
// save that failed is tried again first by the next tick of the update.
bool SaveUpdateState(Ctx& c);
// Write-ahead: the state that records an action (a swap, a rollback, the
// removal of an update file) is saved before the action. False when it
// cannot be: the action waits, told once per action and error.
// `action` reads as "the swap to 'X'".
bool SavedFirst(Ctx& c, const std::string& action);
// A build that was handed over and rolled back: its content, the oldest
// forgotten, and its version as the floor that every later build must pass.
void RememberRolledBack(MonitorMemory& m, const std::string& content, const std::string& version);
// Whether the build that the last update installed is still watched: within
// its 2 minutes, or with a rollback due. A watch that is over ends here.
bool FreshBuildWatched(Ctx& c);
// The fresh build runs beside the monitor, or has just been started.
void FreshBuildRuns(Ctx& c);

}  // namespace rz
