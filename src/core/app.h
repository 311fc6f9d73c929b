// The module-level state that the procedures share, and the few helpers that
// every module uses. Everything above the platform may include this; it
// includes nothing of the program's own but the platform.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "platform/platform.h"

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
    // Buffer size in bytes that the last process list needed, so that the
    // next one usually takes a single EnumProcesses call.
    std::uint32_t processListBytes = 0;
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
std::string UCase(std::string text);
bool EndsWithNoCase(const std::string& text, const std::string& tail);
bool ContainsNoCase(const std::string& text, const std::string& part);
// First four characters (all when shorter), in upper case.
std::string RolePrefix(const std::string& machineName);

// Stores one string value, creating the key when needed; failures are
// ignored, as the callers want.
void RegSetStringValue(Ctx& c, std::uint32_t rootKey, const std::string& subKey, const std::string& valueName,
                       const std::string& text);
// Waits at least `ms` of elapsed time while window messages are processed.
void WaitPumping(Ctx& c, std::uint64_t ms);

}  // namespace rz
