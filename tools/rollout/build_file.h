// A manager build as the rollout takes it: the whole of it, checked as a
// monitor checks an update, and its file version.
#pragma once

#include <string>

namespace rollout {

struct BuildFile {
    std::string bytes;
    std::string version;  // "a.b.c.d"
};

// "" when `path` is a complete Win32 executable that a monitor would take,
// with a file version, and for a build of the monitor itself (`monitor`)
// a 32-bit program with a window, as the monitors check it; else why not.
std::string ReadBuild(const std::string& path, bool monitor, BuildFile& out);

// The file version of an executable from its version resource, as
// "a.b.c.d"; "" when it has none. On Windows the system's own reader, else
// a library that reads PE resources.
std::string FileVersionOf(const std::string& path);

}  // namespace rollout
