// Who holds a local TCP port: a process with a socket bound to it, as /proc tells (only the
// processes this user may look into are seen).
// Thread safety: reentrant.
#pragma once

#include <cstdint>
#include <string>

namespace rureza {

// "name (PID n)" of a process with a socket bound to TCP port (IPv4 or IPv6); empty when it
// cannot be told.
std::string TcpPortHolder(uint16_t port);

}  // namespace rureza
