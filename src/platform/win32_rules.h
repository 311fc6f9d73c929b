// Decisions taken on answers of Windows calls, kept free of windows.h so
// that they are tested natively with the answers Windows can give.
#pragma once

#include <cstdint>

namespace rz {

// Whether the answer of CreateMutexA on the instance mutex means that
// another instance already runs. A mutex created by a more privileged
// instance (the elevated first start at installation) cannot be opened at
// all: no handle, and "access denied" rather than "already exists".
bool MutexMeansPrevInstance(bool gotHandle, std::uint32_t lastError);

// Performance-counter ticks to milliseconds. `count * 1000` would overflow
// 64 bits after some 71 days on a counter running at 3 GHz. `frequency`
// must not be 0.
std::uint64_t CounterToMs(std::uint64_t count, std::uint64_t frequency);

}  // namespace rz
