#include <gtest/gtest.h>

#include "platform/netinfo.h"
#include "remote/remote_listener.h"
#include "remote_test_support.h"

using nlohmann::json;

class GuardTest : public ::testing::Test {
 protected:
  FakeClock clock;
  std::unique_ptr<remote::State> state = MakeTestState(clock);
  bool Admitted(const std::string& ip) {
    std::lock_guard<std::mutex> lock(state->mutex);
    return remote::IsAdmitted(*state, ip, clock.steady);
  }
  void Fail(const std::string& ip) { remote::RecordAuthFailure(*state, ip, clock.steady); }
};

TEST_F(GuardTest, FiveFailuresOfOneIpLockItForTenMinutes) {
  for (int i = 0; i < 4; ++i) Fail("10.0.0.7");
  EXPECT_TRUE(Admitted("10.0.0.7"));
  Fail("10.0.0.7");
  EXPECT_FALSE(Admitted("10.0.0.7"));
  EXPECT_TRUE(Admitted("10.0.0.70"));  // compared exactly, not by prefix
  clock.Advance(600000);
  EXPECT_TRUE(Admitted("10.0.0.7"));  // the expired entry stays listed but no longer refuses
  EXPECT_EQ(state->guard.lockedIps.size(), 1u);
}

TEST_F(GuardTest, FailuresOlderThanTheWindowDoNotCount) {
  Fail("10.0.0.7");
  clock.Advance(1000);
  for (int i = 0; i < 3; ++i) Fail("10.0.0.7");
  clock.Advance(60000);  // the first is now 61 s old, the others exactly 60 s: they stay
  Fail("10.0.0.7");
  EXPECT_TRUE(Admitted("10.0.0.7"));
  Fail("10.0.0.7");
  EXPECT_FALSE(Admitted("10.0.0.7"));
}

TEST_F(GuardTest, TwentyFailuresInTotalPauseEveryHandshake) {
  for (int i = 0; i < 19; ++i) Fail("10.0.1." + std::to_string(i));
  EXPECT_TRUE(Admitted("10.0.2.1"));
  Fail("10.0.1.99");
  EXPECT_FALSE(Admitted("10.0.2.1"));
  clock.Advance(59999);
  EXPECT_FALSE(Admitted("10.0.2.1"));
  clock.Advance(1);
  EXPECT_TRUE(Admitted("10.0.2.1"));
}

TEST_F(GuardTest, SettingTheWallClockBackDoesNotLiftALock) {
  for (int i = 0; i < 5; ++i) Fail("10.0.0.7");
  clock.wall -= 3'600'000;  // an hour back; intervals run on the steady clock
  EXPECT_FALSE(Admitted("10.0.0.7"));
  clock.wall += 7'200'000;
  EXPECT_FALSE(Admitted("10.0.0.7"));
}

TEST(RemoteAddresses, Classification) {
  auto ip = [](int a, int b, int c, int d) { return uint32_t(a) << 24 | uint32_t(b) << 16 | uint32_t(c) << 8 | d; };
  struct Case {
    uint32_t address;
    const char* kind;
  } cases[] = {
      {ip(10, 0, 0, 5), "lan"},       {ip(172, 16, 0, 1), "lan"},    {ip(172, 31, 255, 1), "lan"},
      {ip(172, 32, 0, 1), ""},        {ip(172, 15, 0, 1), ""},       {ip(192, 168, 1, 1), "lan"},
      {ip(192, 169, 1, 1), ""},       {ip(100, 64, 0, 1), "vpn"},    {ip(100, 127, 1, 1), "vpn"},
      {ip(100, 128, 1, 1), ""},       {ip(100, 63, 1, 1), ""},       {ip(169, 254, 1, 1), ""},
      {ip(127, 0, 0, 1), ""},         {ip(8, 8, 8, 8), ""},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::netinfo::ClassifyIpv4(c.address), c.kind) << c.address;

  using platform::netinfo::InterfaceAddress;
  std::vector<InterfaceAddress> interfaces = {
      {true, false, ip(10, 0, 0, 5)},    {true, false, ip(10, 0, 0, 5)},  {false, false, ip(10, 0, 0, 6)},
      {true, true, ip(10, 0, 0, 7)},     {true, false, ip(100, 127, 1, 1)}, {true, false, ip(169, 254, 1, 1)},
  };
  auto list = platform::netinfo::BuildLanAddressList(interfaces);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0], (platform::netinfo::LanAddress{"10.0.0.5", "lan"}));
  EXPECT_EQ(list[1], (platform::netinfo::LanAddress{"100.127.1.1", "vpn"}));
  std::vector<InterfaceAddress> many;
  for (int i = 1; i <= 20; ++i) many.push_back({true, false, ip(10, 1, 0, i)});
  EXPECT_EQ(platform::netinfo::BuildLanAddressList(many).size(), 16u);
  EXPECT_EQ(platform::netinfo::GetNetworkCategory(), "unknown");
}

TEST(RemoteAddresses, HostMustNameAListedAddressAndTheBoundPort) {
  FakeClock clock;
  auto state = MakeTestState(clock);
  state->addresses = {{"10.0.0.5", "lan"}, {"100.64.0.2", "vpn"}};
  state->boundPort = 51515;
  struct Case {
    const char* host;
    bool ok;
  } cases[] = {{"10.0.0.5:51515", true}, {"100.64.0.2:51515", true}, {"10.0.0.5:51516", false},
               {"127.0.0.1:51515", false}, {"10.0.0.5", false}, {"10.0.0.5:51515 ", false}, {"", false}};
  for (const auto& c : cases) EXPECT_EQ(remote::HostMatchesListener(*state, c.host), c.ok) << c.host;
}

TEST(RemoteMessages, InstanceKeyAndGapNotices) {
  struct KeyCase {
    json message;
    const char* key;
  } keys[] = {
      {{{"instanceId", "inst"}, {"source", "p1@abc#other"}}, "inst"},
      {{{"source", "p1@abc"}}, "p1"},
      {{{"source", "p1@abc#cam2"}}, "cam2"},
      {{{"source", "p1@abc#"}}, ""},
      {{{"source", "plain"}}, "plain"},
      {{{"instanceId", 5}, {"source", "p1@abc"}}, "p1"},
      {json::object(), ""},
  };
  for (const auto& c : keys) EXPECT_EQ(remote::InstanceKeyOf(c.message), c.key) << c.message.dump();

  json m = {{"seq", 10}, {"gap", {{"reason", "sequence-skip"}, {"fromSeq", 3}, {"toSeq", 4}, {"missed", 2}}}};
  remote::MakeGapNotice(m, "backpressure-merge", 2, 9);
  EXPECT_EQ(m["gap"], json::parse(R"({"fromSeq":2,"missed":8,"reason":"backpressure-merge","toSeq":9})"));
  json untouched = {{"seq", 10}, {"gap", "weird"}};
  remote::MakeGapNotice(untouched, "backpressure-merge", 2, 9);
  EXPECT_EQ(untouched["gap"], "weird");
  json none = {{"seq", 1}};
  remote::MakeGapNotice(none, "sequence-skip", 0, 5);
  remote::MakeGapNotice(none, "sequence-skip", 5, 4);
  EXPECT_FALSE(none.contains("gap"));
  EXPECT_TRUE(remote::IsTimingDeclare({{"declare", {{"kind", "timing"}}}}));
  EXPECT_FALSE(remote::IsTimingDeclare({{"declare", {{"kind", "stream"}}}}));
}

TEST(RemoteSubscribeArgs, AreCheckedAndClamped) {
  struct Case {
    const char* payload;
    const char* code;
    int32_t rate;
    int64_t fromSeq;
  } cases[] = {
      {"{}", "", 20, 0},
      {R"({"maxHz":0})", "", 1, 0},
      {R"({"maxHz":100})", "", 20, 0},
      {R"({"maxHz":7.9})", "", 7, 0},
      {R"({"maxHz":0.5})", "", 1, 0},
      {R"({"maxHz":-1e300})", "", 1, 0},
      {R"({"maxHz":1e300})", "", 20, 0},
      {R"({"maxHz":18446744073709551615})", "", 20, 0},
      {R"({"maxHz":"fast"})", "E_SUBSCRIBE_INVALID", 20, 0},
      {R"({"fromSeq":-1})", "E_SUBSCRIBE_INVALID", 20, 0},
      {R"({"fromSeq":-0.5})", "E_SUBSCRIBE_INVALID", 20, 0},
      {R"({"fromSeq":12.7})", "", 20, 12},
      {R"({"fromSeq":1e300})", "", 20, INT64_MAX},
      {R"({"fromSeq":18446744073709551615})", "", 20, INT64_MAX},
      {R"({"fromSeq":"1"})", "E_SUBSCRIBE_INVALID", 20, 0},
      {R"({"source":5})", "E_SUBSCRIBE_INVALID", 20, 0},
      {R"({"resume":[]})", "E_SUBSCRIBE_INVALID", 20, 0},
  };
  for (const auto& c : cases) {
    remote::SubscribeArgs args = remote::ParseSubscribeArgs(json::parse(c.payload));
    EXPECT_EQ(args.code, c.code) << c.payload;
    if (args.code.empty()) {
      EXPECT_EQ(args.rate, c.rate) << c.payload;
      EXPECT_EQ(args.fromSeq, c.fromSeq) << c.payload;
    }
  }
  int64_t seq = 0;
  EXPECT_FALSE(remote::ReadSeqNumber(json(std::nan("")), &seq));
  EXPECT_FALSE(remote::ReadSeqNumber(json(-5), &seq));
}
