// The address an operator (or an adapter) would use to reach this host.
#pragma once

#include <optional>
#include <string>

namespace rureza {

// Dotted-decimal text of the host's first non-loopback IPv4 interface address; failing that,
// the first address the host name resolves to; nullopt when neither exists.
std::optional<std::string> LocalAddressText();

// The host's name, empty when it cannot be read.
std::string HostName();

}  // namespace rureza
