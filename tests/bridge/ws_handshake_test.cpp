#include "bridge/ws_handshake.h"

#include <gtest/gtest.h>

#include <string>

#include "base/constants.h"

namespace {

const std::string kToken(64, 'c');
constexpr uint16_t kPort = 40123;

std::string Request(const std::string& requestLine, const std::string& headers) {
  return requestLine + "\r\n" + headers + "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
}

const std::string kHost = "Host: 127.0.0.1:40123\r\n";
const std::string kAppOriginLine = std::string("Origin: ") + kAppOrigin + "\r\n";

struct Outcome {
  WsConnectionKind kind;
  std::string reason;
};

Outcome Check(const std::string& buffer, const std::string& token = kToken) {
  WsUpgradeRequest request;
  EXPECT_TRUE(ParseWsUpgradeRequest(buffer, &request));
  Outcome out;
  out.kind = CheckWsUpgradeRequest(request, token, kPort, &out.reason);
  return out;
}

TEST(WsHandshake, AcceptKeyOfTheProtocolExample) {
  EXPECT_EQ(WsAcceptKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  EXPECT_EQ(WsHandshakeResponse("dGhlIHNhbXBsZSBub25jZQ=="),
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
}

TEST(WsHandshake, ConnectionKinds) {
  struct Case {
    const char* name;
    std::string buffer;
    WsConnectionKind kind;
  } cases[] = {
      {"plugin", Request("GET / HTTP/1.1", kHost), WsConnectionKind::Plugin},
      {"plugin with protocol", Request("GET /?protocol=2 HTTP/1.1", kHost), WsConnectionKind::Plugin},
      {"page", Request("GET / HTTP/1.1", kHost + kAppOriginLine), WsConnectionKind::UiNeedsHello},
      {"page with protocol", Request("GET /?protocol=2 HTTP/1.1", kHost + kAppOriginLine),
       WsConnectionKind::UiNeedsHello},
      {"page with token", Request("GET /?token=" + kToken + " HTTP/1.1", kHost + kAppOriginLine),
       WsConnectionKind::UiWithToken},
      {"header names in any case", Request("GET / HTTP/1.1", "hOsT: 127.0.0.1:40123\r\norigin:" +
                                                                 std::string(kAppOrigin) + "\r\n"),
       WsConnectionKind::UiNeedsHello},
  };
  for (const auto& c : cases) EXPECT_EQ(Check(c.buffer).kind, c.kind) << c.name;
}

TEST(WsHandshake, RejectionReasons) {
  struct Case {
    std::string buffer;
    std::string token;
    const char* reason;
  } cases[] = {
      {Request("GET / HTTP/1.1", kHost), "", "server has no token"},
      {Request("POST / HTTP/1.1", kHost), kToken, "method"},
      {Request("get / HTTP/1.1", kHost), kToken, "method"},
      {Request("GET / HTTP/1.1", "Host: localhost:40123\r\n"), kToken, "host"},
      {Request("GET / HTTP/1.1", "Host: 127.0.0.1:40124\r\n"), kToken, "host"},
      {Request("GET / HTTP/1.1", "Host: 127.0.0.1\r\n"), kToken, "host"},
      {Request("GET / HTTP/1.1", ""), kToken, "host"},
      {Request("GET / HTTP/1.1", kHost + "Origin: https://example.com\r\n"), kToken, "origin"},
      {Request("GET / HTTP/1.1", kHost + "Origin:\r\n"), kToken, "origin"},
      {Request("GET / HTTP/1.1", kHost + "Origin: " + kAppOrigin + "/\r\n"), kToken, "origin"},
      {Request("GET / HTTP/1.1", kHost + "Origin: " + kAppOrigin + ":443\r\n"), kToken, "origin"},
      {Request("GET / HTTP/1.1", kHost + "Origin: http://app.quorvane.invalid\r\n"), kToken, "origin"},
      {Request("GET /?token= HTTP/1.1", kHost + kAppOriginLine), kToken, "token"},
      {Request("GET /?token=" + kToken.substr(1) + " HTTP/1.1", kHost + kAppOriginLine), kToken, "token"},
      {Request("GET /?token=" + kToken + "c HTTP/1.1", kHost + kAppOriginLine), kToken, "token"},
      {Request("GET /?token=" + std::string(63, 'c') + "d HTTP/1.1", kHost + kAppOriginLine), kToken, "token"},
      {Request("GET /other HTTP/1.1", kHost + kAppOriginLine), kToken, "token"},
      {Request("GET /?protocol=3 HTTP/1.1", kHost), kToken, "origin"},
      {Request("GET /?token=" + kToken + " HTTP/1.1", kHost), kToken, "origin"},
  };
  for (const auto& c : cases) {
    Outcome out = Check(c.buffer, c.token);
    EXPECT_EQ(out.kind, WsConnectionKind::Rejected) << c.buffer;
    EXPECT_EQ(out.reason, c.reason) << c.buffer;
  }
}

TEST(WsHandshake, RequestLineNeedsTwoBlanks) {
  WsUpgradeRequest request;
  EXPECT_FALSE(ParseWsUpgradeRequest("GET /\r\nHost: 127.0.0.1:1\r\n\r\n", &request));
  EXPECT_FALSE(ParseWsUpgradeRequest("\r\n\r\n", &request));
  ASSERT_TRUE(ParseWsUpgradeRequest("GET  HTTP/1.1\r\n\r\n", &request));
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.path, "");
}

TEST(WsHandshake, HeaderLookup) {
  const std::string buffer =
      "GET / HTTP/1.1\r\nX-Origin: no\r\nHost:   127.0.0.1:1  \r\nHost: second\r\nHostname: x\r\nEmpty:\r\n\r\n";
  EXPECT_EQ(FindHttpHeader(buffer, "host"), "127.0.0.1:1  ");  // first line wins, trailing blanks kept
  EXPECT_EQ(FindHttpHeader(buffer, "Empty"), "");
  EXPECT_EQ(FindHttpHeader(buffer, "Origin"), "");  // a name must start the line
  EXPECT_EQ(FindHttpHeader(buffer, "Missing"), "");

  WsUpgradeRequest request;
  ASSERT_TRUE(ParseWsUpgradeRequest(buffer, &request));
  EXPECT_FALSE(request.hasOrigin);
  ASSERT_TRUE(ParseWsUpgradeRequest("GET / HTTP/1.1\r\nORIGIN:\r\n\r\n", &request));
  EXPECT_TRUE(request.hasOrigin);
  EXPECT_EQ(request.origin, "");
  ASSERT_TRUE(ParseWsUpgradeRequest("GET / HTTP/1.1\r\nOrigin : x\r\n\r\n", &request));
  EXPECT_FALSE(request.hasOrigin);  // the colon must follow the name at once
}

TEST(WsHandshake, TokenCompare) {
  EXPECT_TRUE(TokenEquals(kToken, kToken));
  EXPECT_FALSE(TokenEquals(kToken, kToken.substr(0, 63)));
  EXPECT_FALSE(TokenEquals(kToken, std::string(63, 'c') + 'C'));
  EXPECT_FALSE(TokenEquals("", "x"));
}

}  // namespace
