// The running processes with the paths of their executables.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rz {

class Platform;

std::vector<std::uint32_t> GetProcessIds(Platform& p);
// False when the process cannot be opened or its modules cannot be listed;
// the path may still be empty for a readable process.
bool GetProcessPath(Platform& p, std::uint32_t pid, std::string& path);

}  // namespace rz
