#include "build_file.h"

#include <algorithm>
#include <new>

#include "sign_files.h"
#include "update/update.h"
#ifdef _WIN32
#include "platform/win32_version.h"
#endif

namespace rollout {

#ifdef _WIN32
std::string FileVersionOf(const std::string& path) { return rz::Win32FileVersion(path); }
#endif

std::string ReadBuild(const std::string& path, bool monitor, BuildFile& out) {
    std::string why;
    try {
        why = rz::ReadWhole(path, rz::kLargestUpdate, out.bytes);
    } catch (const std::bad_alloc&) {
        why = "'" + path + "' does not fit in this computer's memory";
    }
    if (!why.empty()) return why;
    const std::string head = out.bytes.substr(0, std::min(out.bytes.size(), rz::kHeadBytes));
    if (!rz::IsCompleteExecutable(head, out.bytes.size())) return "'" + path + "' is not a complete Win32 executable";
    if (monitor && !rz::IsWindowsGuiProgram(head))
        return "'" + path + "' is not a 32-bit Windows program with a window: every PC's monitor would refuse it";
    out.version = FileVersionOf(path);
    if (out.version.empty())
        return "'" + path +
               "' has no file version: the monitors report the version they run, and the rollout "
               "follows the build by it";
    return "";
}

}  // namespace rollout
