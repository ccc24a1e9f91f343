// discover: the probe an adapter sends to find servers, and the servers that answer it.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string_view>
#include <vector>

#include "platform/poll.h"
#include "platform/socket.h"
#include "probe/commands.h"
#include "probe/probe_session.h"

namespace rureza {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kProbeText = "VE520";  // sent, and answered unchanged
constexpr int kDiscoverWaitMs = 1000;

struct Destination {
  sockaddr_in address;
  std::string label;
  Clock::time_point sent{};
  bool reached = false;  // the probe went out
};

// The broadcast address of every IPv4 interface that is up and can broadcast, then the
// limited broadcast address, each once.
std::vector<in_addr> BroadcastAddresses() {
  std::vector<in_addr> found;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) == 0) {
    for (ifaddrs* i = list; i; i = i->ifa_next) {
      if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET && (i->ifa_flags & IFF_UP) &&
          (i->ifa_flags & IFF_BROADCAST) && i->ifa_broadaddr) {
        found.push_back(reinterpret_cast<const sockaddr_in*>(i->ifa_broadaddr)->sin_addr);
      }
    }
    ::freeifaddrs(list);
  }
  found.push_back({htonl(INADDR_BROADCAST)});
  std::vector<in_addr> unique;
  for (in_addr a : found) {
    if (std::none_of(unique.begin(), unique.end(),
                     [&](in_addr u) { return u.s_addr == a.s_addr; })) {
      unique.push_back(a);
    }
  }
  return unique;
}

double SecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

}  // namespace

int RunDiscover(const ProbeOptions& options) {
  const uint16_t port = static_cast<uint16_t>(options.port + 3);
  const int waitMs = options.TimeoutMs(kDiscoverWaitMs);
  const bool broadcast = options.operands.empty();
  std::vector<Destination> destinations;
  if (broadcast) {
    for (in_addr address : BroadcastAddresses()) {
      Destination d{Ipv4Address(address, port), ""};
      d.label = "broadcast " + AddressText(d.address);
      destinations.push_back(d);
    }
  }
  for (const std::string& host : options.operands) {
    if (std::optional<ProbeTarget> target = ResolveTarget(host, options.port)) {
      destinations.push_back({target->DiscoveryAddress(), host});
    }
  }

  if (destinations.empty()) return kProbeFailed;  // no HOST could be resolved: said so

  Status error;
  Socket socket = Socket::NewUdp(&error);
  const int on = 1;
  if (!socket.valid() || ::setsockopt(socket.fd(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
    Complain("cannot open a UDP socket: " + (socket.valid() ? ErrorText(errno) : error.text));
    return kProbeFailed;
  }
  // Sent from an ephemeral port: the server answers no port below 1024.
  size_t reached = 0;
  std::string failures;
  for (Destination& d : destinations) {
    d.sent = Clock::now();
    d.reached = socket.SendTo(kProbeText.data(), kProbeText.size(), d.address) ==
                static_cast<ssize_t>(kProbeText.size());
    reached += d.reached;
    if (!d.reached) failures += "; " + d.label + ": " + ErrorText(errno);
  }
  // A broadcast that fails on one interface but goes out on another is no news.
  if (!failures.empty() && (!broadcast || reached == 0)) {
    Complain("cannot send the probe" + failures);
  }

  std::vector<in_addr_t> seen;
  size_t servers = 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  auto allAnswered = [&] {
    return !broadcast && std::all_of(destinations.begin(), destinations.end(), [&](auto& d) {
      return !d.reached || std::count(seen.begin(), seen.end(), d.address.sin_addr.s_addr);
    });
  };
  while (reached > 0 && !allAnswered()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || !WaitReadable(socket.fd(), static_cast<int>(left))) break;
    char answer[64];
    sockaddr_in from{};
    ssize_t n = socket.ReceiveFrom(answer, sizeof answer, &from);
    const Clock::time_point now = Clock::now();
    // Only a server's discovery port answers, and each server counts once (a broadcast may
    // reach it on several addresses of ours).
    if (n < 0 || ntohs(from.sin_port) != port ||
        std::count(seen.begin(), seen.end(), from.sin_addr.s_addr)) {
      continue;
    }
    seen.push_back(from.sin_addr.s_addr);
    if (std::string_view(answer, static_cast<size_t>(n)) != kProbeText) {
      Complain(AddressText(from) + " answered on UDP port " + std::to_string(port) + " with " +
               std::to_string(n) + " bytes that are not " + std::string(kProbeText));
      continue;
    }
    Clock::time_point sent = destinations.front().sent;
    for (const Destination& d : destinations) {
      if (d.address.sin_addr.s_addr == from.sin_addr.s_addr) sent = d.sent;
    }
    std::printf("%-15s  %s\n", AddressText(from).c_str(),
                MillisecondsText(SecondsBetween(sent, now)).c_str());
    std::fflush(stdout);
    ++servers;
  }
  if (servers > 0) return kProbeOk;
  char wait[32];
  std::snprintf(wait, sizeof wait, "%g s", waitMs / 1000.0);
  Complain("no server answered the probe on UDP port " + std::to_string(port) + " within " + wait);
  return kProbeFailed;
}

}  // namespace rureza
