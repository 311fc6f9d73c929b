#include "disk_folder.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "replace_file.h"

namespace fs = std::filesystem;

namespace rollout {

namespace {

// The folder of `path` made when it is missing; "" or why it cannot be.
std::string MakeParent(const fs::path& path) {
    std::error_code ec;
    if (fs::create_directories(path.parent_path(), ec) || fs::is_directory(path.parent_path())) return "";
    return "the folder '" + path.parent_path().string() + "' cannot be made: " + ec.message();
}

#ifdef _WIN32
constexpr char kSeparator = '\\';
std::string SystemError() { return "error " + std::to_string(GetLastError()); }

int CreateExclusive(const fs::path& path, const std::string& bytes, std::string& why) {
    const HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        why = "error " + std::to_string(e);
        return e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS ? 0 : -1;
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    if (!ok || written != bytes.size()) why = SystemError();
    CloseHandle(h);
    return ok && written == bytes.size() ? 1 : -1;
}
#else
constexpr char kSeparator = '/';

int CreateExclusive(const fs::path& path, const std::string& bytes, std::string& why) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) {
        why = std::strerror(errno);
        return errno == EEXIST ? 0 : -1;
    }
    const bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    if (!ok) why = std::strerror(errno);
    return close(fd) == 0 && ok ? 1 : -1;
}
#endif

}  // namespace

std::string DiskFolder::Show(const std::string& name) const {
    std::string path = root_;
    if (name.empty()) return path;
    if (!path.empty() && path.back() != '/' && path.back() != kSeparator) path += kSeparator;
    for (char ch : name) path += ch == '/' ? kSeparator : ch;
    return path;
}

std::string DiskFolder::Put(const std::string& name, const std::string& bytes) {
    const std::string missing = MakeParent(Path(name));
    if (!missing.empty()) return missing;
    const std::string why = board::WriteReplacing(Path(name), bytes, ".rollout-tmp");
    return why.empty() ? "" : "'" + Show(name) + "' " + why;
}

int DiskFolder::CreateNew(const std::string& name, const std::string& bytes, std::string& why) {
    why = MakeParent(Path(name));
    if (!why.empty()) return -1;
    const int made = CreateExclusive(Path(name), bytes, why);
    if (made < 0) why = "'" + Show(name) + "' cannot be written: " + why;
    return made;
}

std::string DiskFolder::Remove(const std::string& name) {
    std::error_code ec;
    fs::remove(Path(name), ec);
    return ec && fs::exists(fs::symlink_status(Path(name))) ? ec.message() : "";
}

bool DiskFolder::Read(const std::string& name, std::string& bytes, Seconds& age) {
    std::error_code ec;
    const fs::path path = Path(name);
    if (!fs::is_regular_file(path, ec)) return false;
    const auto written = fs::last_write_time(path, ec);
    if (ec) return false;
    age = std::chrono::duration_cast<std::chrono::seconds>(fs::file_time_type::clock::now() - written).count();
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec) return false;
    bytes.assign(static_cast<std::size_t>(size), '\0');
    std::ifstream in(path, std::ios::binary);
    return size == 0 || in.read(&bytes[0], static_cast<std::streamsize>(size));
}

std::vector<std::string> DiskFolder::List(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(Path(folder), ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file(ec)) names.push_back(it->path().filename().string());
    return names;
}

bool DiskFolder::Reports(std::vector<board::Machine>& out, std::string& why) {
    out.clear();
    return board::ReadFolder(Show("_Status"), kSilentAfter, out, why);
}

}  // namespace rollout
