#include "platform/win32_rules.h"

namespace rz {

namespace {
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorAlreadyExists = 183;
}  // namespace

bool MutexMeansPrevInstance(bool gotHandle, std::uint32_t lastError) {
    if (gotHandle) return lastError == kErrorAlreadyExists;
    return lastError == kErrorAccessDenied;
}

std::uint64_t CounterToMs(std::uint64_t count, std::uint64_t frequency) {
    const std::uint64_t seconds = count / frequency;
    const std::uint64_t rest = count % frequency;  // below the frequency, so rest * 1000 fits
    return seconds * 1000 + rest * 1000 / frequency;
}

}  // namespace rz
