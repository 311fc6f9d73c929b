#include <gtest/gtest.h>

#include "platform/win32_rules.h"

namespace rz {
namespace {

TEST(Win32Rules, MutexAnswerToPrevInstance) {
    struct Case {
        bool gotHandle;
        std::uint32_t lastError;
        bool prev;
    } cases[] = {{true, 0, false},   {true, 183, true}, {false, 5, true},   // 183 exists, 5 access denied
                 {false, 183, false}, {true, 5, false}, {false, 1450, false}};  // 1450: out of resources
    for (const Case& k : cases)
        EXPECT_EQ(MutexMeansPrevInstance(k.gotHandle, k.lastError), k.prev) << k.gotHandle << " " << k.lastError;
}

TEST(Win32Rules, CounterToMsDoesNotOverflow) {
    struct Case {
        std::uint64_t count, frequency, ms;
    } cases[] = {
        {0, 3000000000u, 0},
        {2999999, 3000000000u, 0},
        {3000000, 3000000000u, 1},
        {20000000000000000u, 3000000000u, 6666666666u},         // past 2^64 / 1000: 77 days at 3 GHz
        {18446744073709551615u, 3000000000u, 6148914691236u},   // the last count of all
        {18446744073709551615u, 10000000u, 1844674407370955u},  // a 10 MHz counter
        {3579545, 3579545, 1000},
        {7159089, 3579545, 1999},
    };
    for (const Case& k : cases) EXPECT_EQ(CounterToMs(k.count, k.frequency), k.ms) << k.count << " / " << k.frequency;
}

}  // namespace
}  // namespace rz
