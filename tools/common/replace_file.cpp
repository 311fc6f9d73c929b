#include "replace_file.h"

#include <fstream>

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace board {

namespace {

#ifdef _WIN32
// The library's rename will not replace a file on Windows; MoveFileEx does,
// in one step.
bool Replace(const fs::path& from, const fs::path& to, std::string& why) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    why = "error " + std::to_string(GetLastError());
    return false;
}
#else
bool Replace(const fs::path& from, const fs::path& to, std::string& why) {
    std::error_code ec;
    fs::rename(from, to, ec);
    why = ec.message();
    return !ec;
}
#endif

}  // namespace

std::string WriteReplacing(const fs::path& path, const std::string& bytes, const char* tempSuffix) {
    fs::path temp = path;
    temp += tempSuffix;
    std::error_code ec;
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (out.fail()) {
            fs::remove(temp, ec);
            return "cannot be written beside itself as '" + temp.filename().string() + "'";
        }
    }
    std::string why;
    if (Replace(temp, path, why)) return "";
    fs::remove(temp, ec);
    return "cannot be put in place: " + why;
}

}  // namespace board
