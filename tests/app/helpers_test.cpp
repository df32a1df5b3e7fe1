#include "app/helpers.h"

#include <gtest/gtest.h>

#include "platform/crypto.h"

namespace {

TEST(BridgeToken, SixtyFourLowercaseHexAndFailure) {
  std::string a = MakeNativeWsToken();
  std::string b = MakeNativeWsToken();
  ASSERT_EQ(a.size(), 64u);
  EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(a, b);

  platform::SetRandomSourceForTesting([](void*, size_t) { return false; });
  EXPECT_EQ(MakeNativeWsToken(), "");
  platform::SetRandomSourceForTesting(nullptr);
}

}  // namespace
