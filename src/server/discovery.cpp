#include "server/discovery.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>

#include "platform/poll.h"
#include "platform/socket.h"
#include "server/activity_log.h"
#include "server/server_run.h"

namespace rureza {

bool MayAnswer(const sockaddr_in& sender, uint16_t discoveryPort) {
  uint16_t port = ntohs(sender.sin_port);
  return port >= 1024 && port != discoveryPort;
}

void RunDiscovery(const std::shared_ptr<ServerRun>& run) {
  const uint16_t port = static_cast<uint16_t>(run->settings().port + 3);
  Status error;
  Socket socket = Socket::NewUdp(&error);
  if (socket.valid()) {
    error = socket.Bind(port);
    if (!error.ok()) socket.Close();
  }
  if (!socket.valid()) {
    AppendLog(Format("Discovery port %u cannot be opened: %s", static_cast<unsigned>(port),
                     error.text.c_str()));
  } else {
    socket.SetNonBlocking(true);
    run->DiscoveryOpened();
    while (!run->stopping()) {
      PollItem items[2] = {{socket.fd(), false}, {run->stopFd(), false}};
      PollReadable(items, 2, -1);
      if (items[1].readable) break;
      // One datagram per wake-up: poll reports the next one at once, and a lone probe costs
      // no receive that finds nothing.
      char received[6] = {};  // at most 5 bytes arrive, so it always reads as a string
      sockaddr_in sender{};
      ssize_t n = socket.ReceiveFrom(received, 5, &sender);
      if (n >= 0 && std::strcmp(received, kDiscoveryProbe) == 0 && MayAnswer(sender, port)) {
        socket.SendTo(received, 5, sender);
      }
    }
    socket.Close();
  }
  run->DiscoveryClosed();
  run->WaitUntilStopped();
}

}  // namespace rureza
