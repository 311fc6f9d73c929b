// The file version of an executable, read by Windows from its version
// resource: the monitor's reader, which the rollout's Windows build shares.
#pragma once

#include <string>

namespace rz {

// "a.b.c.d"; "" when the file has no version resource or cannot be read.
std::string Win32FileVersion(const std::string& path);

}  // namespace rz
