// The running processes with the paths of their executables.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rz {

class Platform;

// `lastBufferBytes`, when given, carries the buffer size from one list to
// the next: the first call offers what the previous list needed.
std::vector<std::uint32_t> GetProcessIds(Platform& p, std::uint32_t* lastBufferBytes = nullptr);
// False when the process cannot be opened or its modules cannot be listed,
// with the system's error in `error` when given; the path may still be
// empty for a readable process.
bool GetProcessPath(Platform& p, std::uint32_t pid, std::string& path, std::uint32_t* error = nullptr);

constexpr std::uint32_t kProcessAccessDenied = 5;  // ERROR_ACCESS_DENIED
constexpr std::uint32_t kSynchronize = 0x00100000;  // SYNCHRONIZE: the right to wait for a process
constexpr std::uint32_t kQueryLimited = 0x1000;      // PROCESS_QUERY_LIMITED_INFORMATION, Vista and later
constexpr std::uint32_t kQueryInformation = 0x0400;  // PROCESS_QUERY_INFORMATION

// The creation time of a running process (FILETIME, UTC); false when it
// cannot be read.
bool ProcessCreated(Platform& p, std::uint32_t pid, std::uint64_t& created);

}  // namespace rz
