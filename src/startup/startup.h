// The start-up sequence: fills the shared state, guards against a second
// instance, clears stale stop files, probes the update share, checks the
// machine's role and arms the monitor timer.
#pragma once

#include <cstdint>
#include <string>

namespace rz {

struct Ctx;

// Exit codes of the program.
constexpr int kExitNormal = 0;          // stop file, or second instance
constexpr int kExitRefused = 1;         // this machine may not run the monitor
constexpr int kExitStartupFailed = 2;   // a start-up step failed

// Returns only with the monitor timer in service; every other way out ends
// the program through the platform.
void Main(Ctx& c);
void ActivatePrevInstance(Ctx& c);
void RegSetStringValue(Ctx& c, std::uint32_t rootKey, const std::string& subKey, const std::string& valueName,
                       const std::string& text);

}  // namespace rz
