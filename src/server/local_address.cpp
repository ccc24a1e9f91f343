#include "server/local_address.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "platform/socket.h"

namespace rureza {

std::optional<std::string> LocalAddressText() {
  // The host name often resolves to 127.0.1.1 on Debian, which tells the operator nothing, so
  // the interfaces come first.
  ifaddrs* interfaces = nullptr;
  if (::getifaddrs(&interfaces) == 0) {
    std::optional<std::string> found;
    for (ifaddrs* i = interfaces; i && !found; i = i->ifa_next) {
      if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
      if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0) continue;
      found = AddressText(*reinterpret_cast<const sockaddr_in*>(i->ifa_addr));
    }
    ::freeifaddrs(interfaces);
    if (found) return found;
  }
  std::string name = HostName();
  if (name.empty()) return std::nullopt;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* result = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0 || !result) return std::nullopt;
  std::string text = AddressText(*reinterpret_cast<const sockaddr_in*>(result->ai_addr));
  ::freeaddrinfo(result);
  return text;
}

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

}  // namespace rureza
