#include "platform/netinfo.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <mutex>

namespace platform::netinfo {

namespace {

std::mutex g_categoryLock;

std::function<std::string()>& CategoryOverride() {
  static auto* fn = new std::function<std::string()>;
  return *fn;
}

}  // namespace

std::string ClassifyIpv4(uint32_t address) {
  const uint32_t a = address >> 24, b = (address >> 16) & 0xff;
  if (a == 10 || (a == 172 && b >= 16 && b <= 31) || (a == 192 && b == 168)) return "lan";
  if (a == 100 && b >= 64 && b <= 127) return "vpn";
  return "";
}

std::vector<LanAddress> BuildLanAddressList(const std::vector<InterfaceAddress>& interfaces) {
  std::vector<LanAddress> list;
  for (const InterfaceAddress& entry : interfaces) {
    if (list.size() >= kMaxLanAddresses) break;
    if (!entry.up || entry.loopback) continue;
    std::string kind = ClassifyIpv4(entry.address);
    if (kind.empty()) continue;
    in_addr raw{};
    raw.s_addr = htonl(entry.address);
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &raw, text, sizeof text) == nullptr) continue;
    if (std::any_of(list.begin(), list.end(), [&](const LanAddress& a) { return a.ip == text; })) continue;
    list.push_back({text, kind});
  }
  return list;
}

std::vector<LanAddress> ListLanAddresses() {
  ifaddrs* head = nullptr;
  if (getifaddrs(&head) != 0) return {};
  std::vector<InterfaceAddress> interfaces;
  for (ifaddrs* it = head; it != nullptr; it = it->ifa_next) {
    if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) continue;
    InterfaceAddress entry;
    entry.up = (it->ifa_flags & IFF_UP) != 0 && (it->ifa_flags & IFF_RUNNING) != 0;
    entry.loopback = (it->ifa_flags & IFF_LOOPBACK) != 0;
    entry.address = ntohl(reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr.s_addr);
    interfaces.push_back(entry);
  }
  freeifaddrs(head);
  return BuildLanAddressList(interfaces);
}

std::string GetNetworkCategory() {
  std::function<std::string()> fn;
  {
    std::lock_guard<std::mutex> lock(g_categoryLock);
    fn = CategoryOverride();
  }
  if (!fn) return "unknown";
  std::string category = fn();
  if (category == "public" || category == "private" || category == "domain") return category;
  return "unknown";
}

void SetNetworkCategoryForTesting(std::function<std::string()> category) {
  std::lock_guard<std::mutex> lock(g_categoryLock);
  CategoryOverride() = std::move(category);
}

}  // namespace platform::netinfo
