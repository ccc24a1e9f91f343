// The service manager's notification protocol (systemd's sd_notify, spoken directly): one
// datagram of newline-separated "KEY=value" assignments ("READY=1", "STATUS=...",
// "WATCHDOG=1", "STOPPING=1") to the AF_UNIX socket that NOTIFY_SOCKET names, a path or, after
// '@', an abstract name. Without NOTIFY_SOCKET (not run by a service manager that asks for it)
// nothing is sent.
// Thread safety: any thread.
#pragma once

#include <cstdint>
#include <string_view>

namespace rureza {

// Sends state; false when NOTIFY_SOCKET is unset, is no socket name or the send fails.
bool NotifyServiceManager(std::string_view state);

// The interval in which the manager wants WATCHDOG=1, in microseconds: WATCHDOG_USEC when
// WATCHDOG_PID is unset or names this process; 0 when no watchdog is asked for.
uint64_t ServiceWatchdogUsec();

}  // namespace rureza
