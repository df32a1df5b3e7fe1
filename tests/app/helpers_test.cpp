#include "app/helpers.h"

#include <gtest/gtest.h>

TEST(Placeholder, Builds) { EXPECT_EQ(HexLower(reinterpret_cast<const uint8_t*>("\x01\xab"), 2), "01ab"); }
