#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>

#include "platform/files.h"
#include "platform/unique_fd.h"
#include "remote/remote_wire.h"
#include "support/temp_folder.h"

using remote::ReadResult;

namespace {

// A connected pair: a is the side under test, b the peer; a's reads time out after 100 ms.
struct SocketPair {
  platform::UniqueFd a, b;
  SocketPair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    a.Reset(fds[0]);
    b.Reset(fds[1]);
    remote::SetSocketTimeouts(a.get(), 100, 1000);
  }
  void Write(const std::string& bytes) { ASSERT_EQ(send(b.get(), bytes.data(), bytes.size(), 0), ssize_t(bytes.size())); }
  std::string ReadAll(size_t n) {
    std::string out(n, '\0');
    size_t got = 0;
    while (got < n) {
      ssize_t r = recv(b.get(), out.data() + got, n - got, 0);
      if (r <= 0) break;
      got += size_t(r);
    }
    out.resize(got);
    return out;
  }
};

std::string Raw(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(char(b));
  return s;
}

}  // namespace

TEST(RemoteWire, FrameLengthsRoundTripInBothDirections) {
  for (size_t length : {size_t(0), size_t(125), size_t(126), size_t(65535)}) {
    std::string payload(length, 'x');
    for (size_t i = 0; i < length; ++i) payload[i] = char('a' + i % 26);
    // A client frame (masked) read by the server side, and a server frame read by the client side.
    for (bool mask : {true, false}) {
      SocketPair pair;
      const std::string frame = remote::EncodeFrame(1, payload, mask);
      const size_t header = (length <= 125 ? 2 : 4) + (mask ? 4 : 0);
      ASSERT_EQ(frame.size(), header + length) << length;
      EXPECT_EQ(uint8_t(frame[1]) & 0x7f, length <= 125 ? length : 126u) << length;
      pair.Write(frame);
      std::string buffer, text;
      EXPECT_EQ(remote::WsReadMessage(pair.a.get(), buffer, &text, mask), ReadResult::Message) << length;
      EXPECT_EQ(text, payload) << length;
      EXPECT_TRUE(buffer.empty());
    }
  }
}

TEST(RemoteWire, ClientFramesUseTheFixedKey) {
  const std::string frame = remote::EncodeFrame(1, "Hello", true);
  ASSERT_EQ(frame.size(), 2u + 4 + 5);
  EXPECT_EQ(frame.substr(0, 6), Raw({0x81, 0x85, 0x5a, 0x0c, 0xe3, 0x71}));
  const std::string hello = "Hello";
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(uint8_t(frame[6 + i]), uint8_t(hello[i]) ^ remote::kClientMaskKey[i % 4]);
}

TEST(RemoteWire, OversizedPayloadIsRefusedAndNothingSent) {
  SocketPair pair;
  EXPECT_TRUE(remote::EncodeFrame(1, std::string(65536, 'x'), false).empty());
  EXPECT_FALSE(remote::WsSendText(pair.a.get(), std::string(65536, 'x'), false));
  pair.b.Reset();  // nothing may have been written before the refusal
  char c;
  EXPECT_EQ(recv(pair.a.get(), &c, 1, MSG_DONTWAIT), 0);
}

TEST(RemoteWire, ReadRefusesWhatTheLayerNeverAccepts) {
  struct Case {
    const char* what;
    std::string bytes;
    bool expectMasked;
  } cases[] = {
      {"64-bit length", Raw({0x81, 0xff, 0, 0, 0, 0, 0, 0, 0, 1}), true},
      {"64-bit length, header only", Raw({0x81, 0x7f}), false},
      {"FIN clear", Raw({0x01, 0x80, 0x5a, 0x0c, 0xe3, 0x71}), true},
      {"unmasked to the server side", Raw({0x81, 0x01, 'a'}), true},
      {"masked to the client side", Raw({0x81, 0x81, 1, 2, 3, 4, 'a'}), false},
      {"close frame", Raw({0x88, 0x00}), false},
      {"reserved bit", Raw({0xc1, 0x00}), false},
  };
  for (const auto& c : cases) {
    SocketPair pair;
    pair.Write(c.bytes);
    std::string buffer, text;
    EXPECT_EQ(remote::WsReadMessage(pair.a.get(), buffer, &text, c.expectMasked), ReadResult::Closed) << c.what;
  }
}

TEST(RemoteWire, TwoFramesInOneReadAndOneSplitAcrossReads) {
  SocketPair pair;
  pair.Write(remote::EncodeFrame(1, "one", true) + remote::EncodeFrame(1, "two", true));
  std::string buffer, text;
  ASSERT_EQ(remote::WsReadMessage(pair.a.get(), buffer, &text, true), ReadResult::Message);
  EXPECT_EQ(text, "one");
  pair.b.Reset();  // the second must come from the buffer, without reading the (now closed) socket
  ASSERT_EQ(remote::WsReadMessage(pair.a.get(), buffer, &text, true), ReadResult::Message);
  EXPECT_EQ(text, "two");
  EXPECT_EQ(remote::WsReadMessage(pair.a.get(), buffer, &text, true), ReadResult::Closed);

  SocketPair split;
  const std::string frame = remote::EncodeFrame(1, std::string(300, 'z'), true);
  const std::string binary = remote::EncodeFrame(2, "skip me", true);
  split.Write(binary + frame.substr(0, 3));
  buffer.clear();
  EXPECT_EQ(remote::WsReadMessage(split.a.get(), buffer, &text, true), ReadResult::Timeout);
  EXPECT_EQ(buffer, frame.substr(0, 3));  // a time-out keeps what arrived
  split.Write(frame.substr(3));
  ASSERT_EQ(remote::WsReadMessage(split.a.get(), buffer, &text, true), ReadResult::Message);
  EXPECT_EQ(text, std::string(300, 'z'));
}

TEST(RemoteWire, PingIsAnsweredBeforeTheNextMessage) {
  SocketPair pair;
  pair.Write(remote::EncodeFrame(9, "pp", true) + remote::EncodeFrame(1, "after", true));
  std::string buffer, text;
  ASSERT_EQ(remote::WsReadMessage(pair.a.get(), buffer, &text, true), ReadResult::Message);
  EXPECT_EQ(text, "after");
  EXPECT_EQ(pair.ReadAll(4), Raw({0x8a, 0x02, 'p', 'p'}));  // the server side's pong is unmasked
}

// With limits: a ping is counted as a frame (the caller's sign of a live peer), and bytes that
// keep trickling in never carry a read past its deadline.
TEST(RemoteWire, ReadLimitsCountFramesAndHoldTheDeadline) {
  {
    SocketPair pair;
    pair.Write(remote::EncodeFrame(9, "", true));
    std::string buffer, text;
    uint64_t frames = 0;
    remote::ReadLimits counting;
    counting.frames = &frames;
    EXPECT_EQ(remote::WsReadMessage(pair.a.get(), buffer, &text, true, nullptr, counting), ReadResult::Timeout);
    EXPECT_EQ(frames, 1u);
    EXPECT_EQ(pair.ReadAll(2), Raw({0x8a, 0x00}));
    pair.Write(remote::EncodeFrame(1, "x", true));
    EXPECT_EQ(remote::WsReadMessage(pair.a.get(), buffer, &text, true, nullptr, counting), ReadResult::Message);
    EXPECT_EQ(frames, 2u);
  }
  // The peer sends one more byte each time the reader looks at its clock, and each look moves the
  // clock on by 10 ms: bytes are always waiting, so the read never meets a receive time-out, and
  // only the deadline can end it, at exactly the look that reaches it (nothing here depends on
  // how the threads are scheduled).
  SocketPair pair;
  const std::string frame = remote::EncodeFrame(1, std::string(100, 'y'), true);
  size_t written = 0;
  int64_t now = 0;
  remote::ReadLimits limits;
  limits.steadyMs = [&] {
    if (written < frame.size()) pair.Write(frame.substr(written++, 1));
    return now += 10;
  };
  limits.deadlineMs = 200;
  std::string buffer, text;
  EXPECT_EQ(remote::WsReadMessage(pair.a.get(), buffer, &text, true, nullptr, limits), ReadResult::Timeout);
  EXPECT_EQ(now, 200);  // the 20th look reached the deadline and ended the read
  EXPECT_EQ(buffer, frame.substr(0, 19));  // every byte that came before it was read and kept
}

TEST(RemoteWire, HeaderLookup) {
  const std::string request =
      "GET / HTTP/1.1\r\nhost:10.0.0.5:51515\r\nX-Originating: a\r\nSec-WebSocket-Key:   k1 \r\nLast: tail";
  EXPECT_EQ(remote::FindHeaderValue(request, "Host"), "10.0.0.5:51515");
  EXPECT_EQ(remote::FindHeaderValue(request, "sec-websocket-key"), "k1 ");  // trailing blanks kept
  EXPECT_EQ(remote::FindHeaderValue(request, "Last"), "tail");
  EXPECT_EQ(remote::FindHeaderValue(request, "Origin"), "");
  EXPECT_EQ(remote::FindHeaderValue("HOST:    10.0.0.5:51515\r\n\r\n", "Host"), "10.0.0.5:51515");
  EXPECT_FALSE(remote::HasOriginHeader(request));
  EXPECT_FALSE(remote::HasOriginHeader("GET / HTTP/1.1\r\nOrigins: x\r\n\r\n"));
  EXPECT_TRUE(remote::HasOriginHeader("GET / HTTP/1.1\r\norigin: http://x\r\n\r\n"));
  EXPECT_TRUE(remote::HasOriginHeader("GET / HTTP/1.1\r\nOrigin:\r\n\r\n"));
}

TEST(RemoteWire, SettingsFile) {
  testsupport::TempFolder folder;
  const std::string path = folder / "remote-access.json";
  remote::SaveRemoteSettings(path, true, 51515);
  std::string text;
  ASSERT_TRUE(platform::ReadFile(path, &text));
  EXPECT_EQ(text, R"({"enabled":true,"port":51515,"v":1})");

  struct Case {
    const char* text;
    bool enabled;
    int32_t port;
  } cases[] = {
      {R"({"enabled":true,"port":1234,"v":1})", true, 1234},
      {R"({"enabled":"yes","port":1234})", false, 0},
      {R"({"enabled":true,"port":"51515"})", true, 0},
      {R"({"enabled":true,"port":1e3})", true, 0},
      {R"({"enabled":true,"port":99999999999})", true, 0},
      {R"({"port":7})", false, 7},
      {"not json", false, 0},
      {"[true]", false, 0},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(platform::WriteFileAtomic(path, c.text));
    remote::RemoteSettings s = remote::LoadRemoteSettings(path);
    EXPECT_EQ(s.enabled, c.enabled) << c.text;
    EXPECT_EQ(s.port, c.port) << c.text;
  }
  remote::RemoteSettings missing = remote::LoadRemoteSettings(folder / "none.json");
  EXPECT_FALSE(missing.enabled);
  EXPECT_EQ(missing.port, 0);
}
