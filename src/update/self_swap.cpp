#include "update/self_swap.h"

#include "core/app.h"
#include "ui/frm_main.h"

namespace rz {

const char* const kStepMoving = "moving";
const char* const kStepStarted = "started";
const char* const kStepGuarding = "guarding";
const char* const kStepRestoring = "restoring";

namespace {

constexpr std::uint32_t kStillActive = 259;

std::string Named(Ctx& c, const char* extension) { return AppPath(c, std::string(kAppTitle) + extension); }

}  // namespace

std::string OwnExe(Ctx& c) { return Named(c, ".exe"); }
std::string OwnPrev(Ctx& c) { return Named(c, ".prev"); }
std::string OwnTemp(Ctx& c) { return Named(c, ".new"); }
std::string ReadyFile(Ctx& c) { return Named(c, ".rdy"); }
std::string TickFile(Ctx& c) { return Named(c, ".tck"); }

void ArmTimer(Ctx& c, std::uint32_t ms) {
    TimerMONITORVESK_SetEnabled(c, true);
    TimerMONITORVESK_SetInterval(c, ms);
}

bool Ended(Ctx& c, Handle process, std::uint32_t& code) {
    code = kStillActive;
    return process != 0 && c.p.ExitCodeOf(process, &code) && code != kStillActive;
}

namespace {

// A whole copy of `from` beside the monitor, on the disk: "" when made.
std::string WholeCopy(Ctx& c, const std::string& from, const std::string& copy) {
    std::string why = RemoveIfPresent(c, copy);
    if (why.empty() && !(c.p.CopyFileTo(from, copy) && c.p.ClearAttributes(copy) && c.p.FlushFile(copy)))
        why = ErrorText(c);
    if (!why.empty()) RemoveIfPresent(c, copy);
    return why;
}

std::string CopyOfPrev(Ctx& c, const std::string& copy) { return WholeCopy(c, OwnPrev(c), copy); }

bool SamePath(const std::string& a, const std::string& b) { return UCase(a) == UCase(b); }

}  // namespace

std::string RestoreFromPrev(Ctx& c, bool& copied) {
    const std::string copy = Named(c, ".ins");
    std::string why = CopyOfPrev(c, copy);
    if (why.empty() && !c.p.MoveReplace(copy, OwnExe(c))) why = ErrorText(c);
    copied = why.empty();
    if (copied) return "";
    RemoveIfPresent(c, copy);
    // A full disk takes no copy: '.prev' itself goes back then.
    return c.p.MoveReplace(OwnPrev(c), OwnExe(c)) ? "" : why;
}

// The copy is made first, so that the monitor's name is empty only between
// two moves, as in the handover itself.
std::string StepAside(Ctx& c) {
    const std::string aside = Named(c, ".bad"), copy = Named(c, ".ins");
    std::string why = RemoveIfPresent(c, aside);
    if (why.empty()) why = CopyOfPrev(c, copy);
    if (!why.empty()) return why;
    // Should the power go between the moves, Windows starts the build before.
    CoverRenames(c, OwnPrev(c));
    if (!c.p.MoveReplace(OwnExe(c), aside)) why = ErrorText(c);
    if (why.empty() && !c.p.MoveReplace(copy, OwnExe(c))) {
        why = ErrorText(c);
        c.p.MoveReplace(aside, OwnExe(c));  // this build rather than none
    }
    UncoverRenames(c);
    if (!why.empty()) return why;
    return c.p.StartProgram(OwnExe(c)) == 0 ? ErrorText(c) : "";
}

std::string RunCopy(Ctx& c) { return Named(c, ".run.exe"); }

// A path that cannot be had is taken for the name: the renames are then
// what the handover would do without the copy.
bool RunsOutsideName(Ctx& c) {
    const std::string image = c.p.OwnImage();
    return !image.empty() && !SamePath(image, OwnExe(c));
}

// The lanes account cannot write the machine's Run value, but may write its
// own; the copy is an .exe, the only kind Windows is known to start there.
std::string CoverRenames(Ctx& c, const std::string& from) {
    const std::string copy = RunCopy(c);
    std::string why = WholeCopy(c, from, copy);
    if (!why.empty()) return "its copy '" + copy + "' cannot be made, " + why;
    const long error = RegSetStringValue(c, kHKeyCurrentUser, kRunKey, kRunValue, copy);
    if (error == 0) return "";
    RemoveIfPresent(c, copy);
    return "'HKCU\\" + std::string(kRunKey) + "\\" + kRunValue + "' cannot be written, error " + std::to_string(error);
}

// The copy that a process runs cannot go: a later start takes it away.
void UncoverRenames(Ctx& c) {
    if (!FileExists(c, OwnExe(c))) return;
    RegDeleteStringValue(c, kHKeyCurrentUser, kRunKey, kRunValue);
    if (!SamePath(c.p.OwnImage(), RunCopy(c))) RemoveIfPresent(c, RunCopy(c));
}

std::string MoveBuildIn(Ctx& c, bool runsAsPrev, bool& renamed) {
    RemoveIfPresent(c, Named(c, ".bad"));
    renamed = !runsAsPrev && c.p.MoveReplace(OwnExe(c), OwnPrev(c));
    const bool moved = (runsAsPrev || renamed) && c.p.MoveReplace(OwnTemp(c), OwnExe(c));
    if (moved) return "";
    const bool first = !runsAsPrev && !renamed;
    return "'" + (first ? OwnExe(c) : OwnTemp(c)) + "' cannot be moved to '" + (first ? OwnPrev(c) : OwnExe(c)) +
           "', " + ErrorText(c);
}

std::uint32_t StartBuild(Ctx& c) {
    return c.p.StartWithArgs(OwnExe(c), std::string(kHandoverSwitch) + " " + std::to_string(c.p.OwnPid()));
}

bool ReadySignalled(Ctx& c, std::uint32_t pid) {
    std::string text;
    return c.p.ReadSmallFile(ReadyFile(c), 64, text) == ReadStatus::Ok && text == std::to_string(pid);
}

// Asked before a build is copied, so that a PC set up without them is
// named in its report before anything is placed or moved.
std::string MissingRight(Ctx& c) {
    const std::string probe = Named(c, ".prb");
    if (!(c.p.MayRename(OwnExe(c)) && c.p.WriteText(probe, "")))
        return "this monitor may not rename itself or create files beside it, " + ErrorText(c) +
               ": updating itself needs Delete on its file and Modify on its folder";
    RemoveIfPresent(c, probe);
    // Naming itself there is harmless: a second start at logon ends at once.
    const long error = RegSetStringValue(c, kHKeyCurrentUser, kRunKey, kRunValue, OwnExe(c));
    RegDeleteStringValue(c, kHKeyCurrentUser, kRunKey, kRunValue);
    if (error == 0) return "";
    return "this monitor may not write its user's Run value, error " + std::to_string(error) +
           ": updating itself needs it, to name a whole copy while its own name is empty";
}

std::string TickProof(Ctx& c, std::uint32_t pid) {
    std::string text;
    const std::string head = std::to_string(pid) + " ";
    if (c.p.ReadSmallFile(TickFile(c), 64, text) != ReadStatus::Ok || text.compare(0, head.size(), head) != 0) return "";
    return text;
}

}  // namespace rz
