#include "platform/net.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/unique_fd.h"

namespace net = platform::net;

namespace {

// A pair of connected loopback sockets.
struct Pair {
  Pair() {
    uint16_t port = 0;
    platform::UniqueFd listener(net::ListenLoopback(4, &port));
    client.Reset(net::ConnectLoopback(port));
    net::WaitReadable(listener.get(), -1, 10000);
    server.Reset(net::AcceptConnection(listener.get()));
  }
  platform::UniqueFd client;
  platform::UniqueFd server;
};

// Head and body arrive as one stream, also when the body is far larger than one send takes.
TEST(Net, SendAllPairWritesHeadThenBody) {
  for (size_t bodyLength : {size_t{0}, size_t{1}, size_t{8} << 20}) {
    Pair pair;
    ASSERT_TRUE(pair.client && pair.server);
    const std::string head = "head:";
    std::string body(bodyLength, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
    std::string received;
    std::thread reader([&] {
      char chunk[65536];
      while (received.size() < head.size() + body.size()) {
        ssize_t n = net::Receive(pair.server.get(), chunk, sizeof chunk);
        if (n <= 0) break;
        received.append(chunk, static_cast<size_t>(n));
      }
    });
    EXPECT_TRUE(net::SendAllPair(pair.client.get(), head.data(), head.size(), body.data(), body.size()));
    reader.join();
    EXPECT_TRUE(received == head + body) << bodyLength;
  }
}

TEST(Net, SendAllPairFailsOnAClosedPeer) {
  Pair pair;
  pair.server.Reset();
  const std::string body(1 << 20, 'x');
  bool ok = true;
  for (int i = 0; i < 20 && ok; ++i) ok = net::SendAllPair(pair.client.get(), "h", 1, body.data(), body.size());
  EXPECT_FALSE(ok);
}

}  // namespace
