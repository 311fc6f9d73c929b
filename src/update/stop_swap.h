// The manager's replacement in the tick, each step "" when it went well,
// else what went wrong: the acts, which the rules of update.cpp call for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rz {

struct Ctx;

// The monitor's process work that an update needs to stop the manager and
// start it again. The monitor sits above the update and hands it over.
struct ManagerControl {
    // The census, which starts the manager when it is missing.
    void (*census)(Ctx& c);
    // Starts the termination of every manager that a census finds now; the
    // ids of those on their way out.
    std::vector<std::uint32_t> (*terminate)(Ctx& c);
};

// Everything the swap needs, made while the manager still runs.
std::string PrepareSwap(Ctx& c);
// Stops the manager beside the monitor.
std::string StopManager(Ctx& c, const ManagerControl& manager);
// The checked copy `temp` takes the place of KORUMGR.exe in one move.
std::string Swap(Ctx& c, const std::string& temp);

}  // namespace rz
