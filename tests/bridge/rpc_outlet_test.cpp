#include "bridge/rpc_outlet.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/json.h"

namespace {

TEST(RpcOutlet, SendsUntilDetachedThenDrops) {
  std::atomic<int> sent{0};
  auto outlet = std::make_shared<RpcOutlet>(RpcOutlet::Target{
      [&](const std::string&) { return ++sent, true; },
      [&](const uint8_t*, size_t) { return ++sent, true; }, [] { return uint64_t{7}; }});
  EXPECT_TRUE(outlet->SendText("a"));
  EXPECT_EQ(outlet->Generation(), 7u);
  // A worker still running at shutdown keeps its share and keeps sending.
  std::thread worker([keep = outlet] {
    for (int i = 0; i < 1000; ++i) keep->SendText("x");
  });
  outlet->Detach();
  int afterDetach = sent.load();
  worker.join();
  EXPECT_EQ(sent.load(), afterDetach);
  EXPECT_FALSE(outlet->SendText("late"));
  uint8_t b = 0;
  EXPECT_FALSE(outlet->SendBinary(&b, 1));
  EXPECT_EQ(outlet->Generation(), 0u);
}

TEST(PayloadReader, DefaultsAndWrongTypes) {
  nlohmann::json payload = {{"path", 5}, {"name", "x"}, {"first", true}};
  PayloadReader in(payload);
  EXPECT_EQ(in.String("name"), "x");
  EXPECT_EQ(in.String("missing", "d"), "d");
  EXPECT_TRUE(in.Bool("first"));
  EXPECT_TRUE(in.ok());
  EXPECT_EQ(in.String("path", "fallback"), "fallback");
  EXPECT_FALSE(in.ok());
  EXPECT_EQ(in.Error(), "invalid parameter type: path");
}

TEST(DumpCompact, NoBlanksSortedKeysAndBadUtf8Replaced) {
  nlohmann::json v = {{"b", 1}, {"a", std::string("\xff")}};
  EXPECT_EQ(DumpCompact(v), "{\"a\":\"\xEF\xBF\xBD\",\"b\":1}");
}

}  // namespace
