#pragma once
// This machine's IPv4 addresses that viewers on the local network can reach, and the category of
// the connected networks. Called from any thread; nothing is cached here.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform::netinfo {

struct LanAddress {
  std::string ip;    // dotted decimal
  std::string kind;  // "lan" or "vpn"
  bool operator==(const LanAddress&) const = default;
};

// One IPv4 address of one interface, as the system reports it.
struct InterfaceAddress {
  bool up = false;
  bool loopback = false;
  uint32_t address = 0;  // host byte order
};

inline constexpr size_t kMaxLanAddresses = 16;

// "lan" for 10/8, 172.16/12 and 192.168/16, "vpn" for 100.64/10, "" for any other address.
std::string ClassifyIpv4(uint32_t address);

// The usable addresses of interfaces that are up and not loopback, in the order given, each once,
// at most kMaxLanAddresses.
std::vector<LanAddress> BuildLanAddressList(const std::vector<InterfaceAddress>& interfaces);

// BuildLanAddressList over getifaddrs; an empty list when the system call fails.
std::vector<LanAddress> ListLanAddresses();

// "public", "private", "domain" or "unknown". Linux has no such classification of networks, so
// it is "unknown" unless a test or a configuration injected another answer.
std::string GetNetworkCategory();
// An empty function restores the default.
void SetNetworkCategoryForTesting(std::function<std::string()> category);

}  // namespace platform::netinfo
