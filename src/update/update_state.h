// What the update remembers across restarts of the monitor: the back-off
// of a failing update, an update already in place whose file could not be
// deleted, and a rolled-back one. Kept in "<title>.upd" beside the monitor
// as key=value lines, replaced in one move.
#pragma once

#include <string>

namespace rz {

struct Ctx;
struct UpdateMemory;

std::string UpdateStateText(const UpdateMemory& u);
// False, with the reason, when `text` is not a whole state file; `u` is
// then left as it was.
bool ParseUpdateState(const std::string& text, UpdateMemory& u, std::string& why);

// Reads the state file once per run; a missing, unreadable or damaged one
// is passed over with one record.
void LoadUpdateState(Ctx& c);
// Writes what the update remembers now; one record when that fails.
void SaveUpdateState(Ctx& c);

}  // namespace rz
