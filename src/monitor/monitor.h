// The process census with the manager launcher, and the termination of
// processes by name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rz {

struct Ctx;

void CheckProcesses(Ctx& c);
// Returns the ids of the processes whose termination it started.
std::vector<std::uint32_t> Kill_Process(Ctx& c, const std::string& ProcessTOKILL);
// The update's stop: starts the termination of the managers that a census
// finds now, by their ids. Returns those whose termination it, or an
// earlier one, started.
std::vector<std::uint32_t> TerminateManagers(Ctx& c);
// Terminates these very processes. Returns those whose termination it
// started; `error` is the system's answer for the last that refused.
std::vector<std::uint32_t> TerminateProcesses(Ctx& c, const std::vector<std::uint32_t>& pids, std::uint32_t& error);
std::string DefaultConnectString();
// After each census: the start grace of each manager it found first.
void NoteManagersSeen(Ctx& c);
// After the census: whether the manager it found still takes its messages,
// and, where the limit file asks for it, the end of one that has stopped.
void JudgeManager(Ctx& c);

}  // namespace rz
