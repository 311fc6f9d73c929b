// Files that readers on other machines watch (the board's page and metrics,
// the rollout's builds and state) are replaced whole, never written in place.
#pragma once

#include <filesystem>
#include <string>

namespace board {

// Writes `bytes` beside `path` (its name and `tempSuffix`) and moves them
// over it in one step: a reader never sees half a file, nor none. "" when
// done, else why not, to follow the file's name.
std::string WriteReplacing(const std::filesystem::path& path, const std::string& bytes,
                           const char* tempSuffix = ".tmp");

}  // namespace board
