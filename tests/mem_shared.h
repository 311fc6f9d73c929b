// What the in-memory platform's parts share: the system's error codes and
// process rights that it answers with, and its path helpers.
#pragma once

#include <cstdint>
#include <string>

namespace rz {

constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorPathNotFound = 3;
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorSharingViolation = 32;
constexpr std::uint32_t kErrorBadNetPath = 53;
constexpr std::uint32_t kErrorInsufficientBuffer = 122;
constexpr std::uint32_t kErrorAlreadyExists = 183;

// Process access rights: Windows' values, kept apart from the census's own
// so that a wrong right there is refused here.
constexpr std::uint32_t kTerminate = 0x0001;
constexpr std::uint32_t kVmRead = 0x0010;
constexpr std::uint32_t kQueryInformation = 0x0400;
constexpr std::uint32_t kQueryLimited = 0x1000;
constexpr std::uint32_t kSynchronize = 0x00100000;

inline std::string Folder(const std::string& path) {
    const std::size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

inline std::string BaseName(const std::string& path) {
    const std::size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace rz
