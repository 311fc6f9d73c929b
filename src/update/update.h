// Replacement of KORUMGR.exe with the build that the update folder holds for
// this machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rz {

struct Ctx;
struct RunBackOff;

// The monitor's process work that an update needs to stop the manager and
// start it again. The monitor sits above the update and hands it over.
struct ManagerControl {
    // The census, which starts the manager when it is missing.
    void (*census)(Ctx& c);
    // Starts the termination of every manager that a census finds now; the
    // ids of those on their way out.
    std::vector<std::uint32_t> (*terminate)(Ctx& c);
};

void UpdateKORUMGR(Ctx& c, const ManagerControl& manager);
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

constexpr std::uint64_t kLargestUpdate = 512ull * 1024 * 1024;
constexpr std::size_t kHeadBytes = 64 * 1024;
constexpr std::uint64_t kStopWaitMs = 35000;

}  // namespace rz
