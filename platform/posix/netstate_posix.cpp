// The connected-state query read from the kernel's routing table and
// interface list.
#include <ifaddrs.h>
#include <net/if.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/inet.h"

namespace inet {
namespace {

// A default route in the IPv4 table: destination 00000000 with the
// route-up flag (1).
bool HasIPv4DefaultRoute() {
  std::ifstream table("/proc/net/route");
  std::string line;
  std::getline(table, line);  // header
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string iface, destination, gateway, flags;
    if (!(fields >> iface >> destination >> gateway >> flags)) continue;
    if (iface == "lo" || destination != "00000000") continue;
    if (std::strtoul(flags.c_str(), nullptr, 16) & 1) return true;
  }
  return false;
}

// A default route in the IPv6 table: destination ::/0 on an interface other
// than loopback.
bool HasIPv6DefaultRoute() {
  std::ifstream table("/proc/net/ipv6_route");
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string destination, prefix, source, sourcePrefix, nextHop, metric, refs, use, flags, iface;
    if (!(fields >> destination >> prefix >> source >> sourcePrefix >> nextHop >> metric >> refs >>
          use >> flags >> iface))
      continue;
    if (iface != "lo" && prefix == "00" && destination == std::string(32, '0')) return true;
  }
  return false;
}

bool HasLiveInterface() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  bool live = false;
  for (ifaddrs* a = list; a && !live; a = a->ifa_next) {
    const unsigned flags = a->ifa_flags;
    live = a->ifa_addr && (flags & IFF_UP) && (flags & IFF_RUNNING) && !(flags & IFF_LOOPBACK);
  }
  ::freeifaddrs(list);
  return live;
}

}  // namespace

bool InternetGetConnectedState(std::uint32_t* flags, std::uint32_t) {
  const bool connected = HasIPv4DefaultRoute() || HasIPv6DefaultRoute() || HasLiveInterface();
  if (flags) *flags = connected ? INTERNET_CONNECTION_LAN : 0;
  return connected;
}

bool InternetAutodial(std::uint32_t, std::uintptr_t) {
  return InternetGetConnectedState(nullptr, 0);
}

}  // namespace inet
