#include "support/stream_test.h"

#include <poll.h>
#include <sys/socket.h>

#include "platform/thread.h"

namespace rureza::test {

std::string OffsetBytes(size_t n) {
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((i & ~size_t{3}) >> (8 * (i & 3)));
  return bytes;
}

std::string Command(std::string_view head, std::string_view number) {
  std::string block(256, '\0');
  block.replace(0, head.size(), head);
  block.replace(3, number.size(), number);
  return block;
}

std::string ReadUntilQuiet(AdapterClient& client, int quietMs) {
  std::string data;
  char chunk[65536];
  pollfd item{client.fd(), POLLIN, 0};
  while (::poll(&item, 1, quietMs) > 0) {
    ssize_t n = ::recv(client.fd(), chunk, sizeof chunk, 0);
    if (n <= 0) break;
    data.append(chunk, static_cast<size_t>(n));
  }
  return data;
}

AdapterClient StreamTest::Play(char type, const std::string& name) {
  AdapterClient client;
  EXPECT_TRUE(client.Connect(port()));
  EXPECT_TRUE(client.SendBlock(std::string("<3") + type + name));
  return client;
}

AdapterClient StreamTest::Control() {
  AdapterClient client;
  EXPECT_TRUE(client.Connect(static_cast<uint16_t>(port() + 1)));
  return client;
}

bool StreamTest::WaitForThreads(int n) {
  return WaitUntil([n] { return LiveThreadCount() == n; });
}

}  // namespace rureza::test
