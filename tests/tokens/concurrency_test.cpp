#include <atomic>
#include <thread>
#include <vector>

#include "support/token_test_support.h"

// Many connection threads presenting one token at once: exactly one hello may win, while
// revocation lists and re-arming change the registry under them.
TEST_F(TokenTest, OneTokenIsConsumedOnceAcrossThreads) {
  EnableTokens();
  const std::string token = Mint(CapPayload());
  ASSERT_EQ(registry->ArmPluginToken("p1", kPkg, token, kNow), "");
  std::atomic<int> accepted{0}, replayed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        if (t == 0) {
          ApplyList({{"rev", i}});
          continue;
        }
        if (t == 1) {
          registry->ArmPluginToken("p1", kPkg, token, kNow);
          continue;
        }
        TokenExpectations e;
        e.role = "source";
        e.nowSeconds = kNow;
        e.consume = true;
        const std::string code = registry->VerifyCapToken(token, e);
        if (code.empty()) ++accepted;
        if (code == kTokenReplay) ++replayed;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(accepted.load(), 1);
  EXPECT_EQ(replayed.load(), 6 * 20 - 1);
}
