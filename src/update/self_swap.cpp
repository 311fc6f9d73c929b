#include "update/self_swap.h"

#include "core/app.h"
#include "ui/frm_main.h"

namespace rz {

const char* const kStepMoving = "moving";
const char* const kStepStarted = "started";

namespace {

constexpr std::uint32_t kStillActive = 259;

std::string Named(Ctx& c, const char* extension) { return AppPath(c, std::string(kAppTitle) + extension); }

}  // namespace

std::string OwnExe(Ctx& c) { return Named(c, ".exe"); }
std::string OwnPrev(Ctx& c) { return Named(c, ".prev"); }
std::string OwnTemp(Ctx& c) { return Named(c, ".new"); }
std::string ReadyFile(Ctx& c) { return Named(c, ".rdy"); }

void ArmTimer(Ctx& c, std::uint32_t ms) {
    TimerMONITORVESK_SetEnabled(c, true);
    TimerMONITORVESK_SetInterval(c, ms);
}

bool Ended(Ctx& c, Handle process, std::uint32_t& code) {
    code = kStillActive;
    return process != 0 && c.p.ExitCodeOf(process, &code) && code != kStillActive;
}

bool PutPrevBack(Ctx& c) { return c.p.MoveReplace(OwnPrev(c), OwnExe(c)); }

std::string MoveBuildIn(Ctx& c, bool& renamed) {
    renamed = c.p.MoveReplace(OwnExe(c), OwnPrev(c));
    if (!renamed) return "'" + OwnExe(c) + "' cannot be renamed to '" + OwnPrev(c) + "', " + ErrorText(c);
    if (c.p.MoveReplace(OwnTemp(c), OwnExe(c))) return "";
    return "'" + OwnTemp(c) + "' cannot be moved to '" + OwnExe(c) + "', " + ErrorText(c);
}

std::uint32_t StartBuild(Ctx& c) {
    return c.p.StartWithArgs(OwnExe(c), std::string(kHandoverSwitch) + " " + std::to_string(c.p.OwnPid()));
}

bool ReadySignalled(Ctx& c, std::uint32_t pid) {
    std::string text;
    return c.p.ReadSmallFile(ReadyFile(c), 64, text) == ReadStatus::Ok && text == std::to_string(pid);
}

}  // namespace rz
