// The acts of the monitor's own update, which the handover (handover.cpp,
// takeover.cpp) calls for: the renames of its image, the start and end of
// the new build, and the files by which the two monitors speak.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace rz {

struct Ctx;

// The switch that the old monitor starts the new one with, and its own pid.
constexpr const char* kHandoverSwitch = "/handover";
// The new monitor has this long to signal ready after its start.
constexpr std::uint64_t kReadyLimitMs = 30 * 1000;
// The old monitor guards the new one this long after the go.
constexpr std::uint64_t kGuardWatchMs = 2 * 60 * 1000;
// The steps of a handover, as the state file keeps them.
extern const char* const kStepMoving;
extern const char* const kStepStarted;
extern const char* const kStepGuarding;
extern const char* const kStepRestoring;

std::string OwnExe(Ctx& c);
std::string OwnPrev(Ctx& c);
std::string OwnTemp(Ctx& c);
std::string ReadyFile(Ctx& c);
// The new monitor's proof of life: its pid and the number of its last tick.
std::string TickFile(Ctx& c);

void ArmTimer(Ctx& c, std::uint32_t ms);
// Whether the process has ended; one that cannot be asked has not, as far
// as anyone knows.
bool Ended(Ctx& c, Handle process, std::uint32_t& code);

// A whole copy of '.prev' in the monitor's name, made beside it and moved
// in: '.prev' stays, the backup and the way back by hand, and a program
// that holds it for reading does not keep the restore away; where no copy
// can be made (a full disk), '.prev' itself is moved in. "" when done,
// else why not.
// `copied` says whether a copy went in: this run's image, if it was
// '.prev', stays '.prev' then.
std::string RestoreFromPrev(Ctx& c, bool& copied);
// The start of a build that was being rolled back when the power went: it
// moves itself out of the monitor's name, restores '.prev' and starts it.
// "" when that one runs, else why not.
std::string StepAside(Ctx& c);
// The copy of the running build that Windows starts at logon while the
// monitor's name is empty between the two renames of a handover.
std::string RunCopy(Ctx& c);
// Whether this run was started from another file than the monitor's name:
// its image is not renamed then, and '.new' moves in in one move.
bool RunsOutsideName(Ctx& c);
// Before the renames: a copy of `from`, a whole monitor, and the current
// user's Run value naming it. "" when both are in place, else why not.
std::string CoverRenames(Ctx& c, const std::string& from);
// Once the monitor's name holds a build: that Run value and the copy gone,
// the copy only where no process runs it.
void UncoverRenames(Ctx& c);
// The running image to '.prev' and '.new' into its name: "" when both
// moved, else why not; `renamed` says whether the image is '.prev' now.
// A run whose image is '.prev' already (a rollback put a copy in its
// name) moves '.new' over that copy alone: no moment without a monitor.
std::string MoveBuildIn(Ctx& c, bool runsAsPrev, bool& renamed);
// The build in the monitor's name, started with the switch and this
// monitor's pid; its pid, 0 when it did not start.
std::uint32_t StartBuild(Ctx& c);
// "" when this monitor has the rights its own update needs: to rename its
// image and to create files in its folder; else which one it lacks.
std::string MissingRight(Ctx& c);
// Whether the ready signal holds `pid`.
bool ReadySignalled(Ctx& c, std::uint32_t pid);
// The proof of life of monitor `pid` as it stands, "" when there is none
// (none yet, or held by another program for the moment).
std::string TickProof(Ctx& c, std::uint32_t pid);

}  // namespace rz
