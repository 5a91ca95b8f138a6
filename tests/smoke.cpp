#include <gtest/gtest.h>
TEST(Smoke, Runs) { EXPECT_EQ(1, 1); }
TEST(Smoke, Second) { EXPECT_EQ(2, 2); }
