// The rules of the update that decide without acting: which folder, which
// file is whole, which version is newer, how long a failing update waits,
// and which update the tick leaves alone. They read the state and the
// disk, and change nothing but the memory they are handed.
#pragma once

#include <cstdint>
#include <string>

namespace rz {

struct Ctx;
struct RunBackOff;
struct UpdateKey;

// The update folder for this machine, "" when it looks for no updates.
std::string UpdateFolder(const Ctx& c);
// Whether a file that starts with `head` and is `length` bytes long is a
// whole Win32 executable: MZ and PE headers present, and no section
// reaching past the end of the file.
bool IsCompleteExecutable(const std::string& head, std::uint64_t length);

// Whether the image header at the start of `head` is that of a 32-bit
// Windows program with a window of its own (PE32, i386, GUI subsystem).
bool IsWindowsGuiProgram(const std::string& head);

// Whether `version` ("a.b.c.d") is newer than `than`; a `than` that is
// empty or out of form is older than any version.
bool VersionNewer(const std::string& version, const std::string& than);

// The wait after `failures` failed attempts in a row, in seconds: a minute,
// doubled for each further one up to a quarter of an hour. `retryAt` is
// when it ends, as a wall-clock FILETIME (UTC), and `run` for this run.
std::uint64_t BackOffWait(Ctx& c, int failures, std::uint64_t& retryAt, RunBackOff& run);
// Whether that wait is still on. In the run that set it, the monotonic
// clock tells; in another, a clock put back cannot make it longer.
bool BackingOffUntil(Ctx& c, std::uint64_t retryAt, const RunBackOff& run, int failures);

// Whether this monitor is a fresh build that the one before it guards:
// its ticks are its proof of life, and none of them may wait long for the
// manager's update.
bool OwnBuildGuarded(const Ctx& c);
// The tick's rule, which the look applies too: whether a manager update is
// left alone without a word.
bool LeftAlone(Ctx& c, const UpdateKey& key);
// The same for the monitor's own build.
bool MonitorLeftAlone(Ctx& c, const UpdateKey& key);
// Why a manager build of `version` must not go in, "" when it may: with
// signing on, only one newer than the installed build and than the newest
// this PC installed.
std::string ManagerVersionRefusal(Ctx& c, bool signing, const std::string& version, const std::string& content);
// The same for a monitor build: only one newer than the running monitor,
// and than every monitor build rolled back here.
std::string MonitorVersionRefusal(Ctx& c, const std::string& version);

constexpr std::uint64_t kLargestUpdate = 512ull * 1024 * 1024;
constexpr std::size_t kHeadBytes = 64 * 1024;
constexpr std::uint64_t kStopWaitMs = 35000;

}  // namespace rz
