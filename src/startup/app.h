// The module-level state that the procedures share, and the few helpers that
// every module uses.
#pragma once

#include <stdexcept>
#include <string>

#include "platform/platform.h"
#include "ui/frm_main.h"

namespace rz {

// Installation constants, chosen at build time (see README).
extern const char* const kServerMachineName;
extern const char* const kDefaultMainMachine;
extern const char* const kAppTitle;

constexpr std::uint32_t kHKeyLocalMachine = 0x80000002u;
constexpr const char* kYes = "YES";

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
};

struct Ctx {
    explicit Ctx(Platform& platform) : p(platform) {}
    Platform& p;
    State s;
    FrmMain frmMAIN;
};

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
std::string UCase(std::string text);
bool EndsWithNoCase(const std::string& text, const std::string& tail);
bool ContainsNoCase(const std::string& text, const std::string& part);
// First four characters (all when shorter), in upper case.
std::string RolePrefix(const std::string& machineName);

}  // namespace rz
