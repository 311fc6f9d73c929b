#include <gtest/gtest.h>
#include "world.h"
TEST(Smoke, Starts) { rz::World w; EXPECT_EQ(w.Start(), -1); }
