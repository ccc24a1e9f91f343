#include "support/hostile.h"

#include <poll.h>
#include <sys/socket.h>

#include "delivery/decimal.h"
#include "delivery/stream_blocks.h"
#include "platform/syscalls.h"
#include "platform/thread.h"
#include "server/dispatcher.h"
#include "server/server.h"

namespace rureza::test {

void HostileTest::TearDown() {
  SetRequestTimeLimitMs(30000);
  StreamTest::TearDown();
  ResetSysCalls();
}

void HostileTest::Begin() {
  ordinary_ = Media("audio/ordinary.mp3", OffsetBytes(100000));
  Start();
  descriptors_ = OpenDescriptorCount();
  tasks_ = TaskCount();
}

void HostileTest::ExpectRecovered() {
  EXPECT_TRUE(WaitUntil([] { return ClientCount() == 0; }, 60000)) << ClientCount() << " clients";
  EXPECT_TRUE(WaitForThreads(kRunThreads)) << LiveThreadCount() << " server threads";
  AdapterClient client = Play('1', "ordinary.mp3");
  EXPECT_TRUE(client.ReadToClose() == LengthBlock(int32_t(ordinary_.size())) + ordinary_)
      << "the next ordinary request was not served";
  client.Close();
  EXPECT_TRUE(WaitUntil([] { return ClientCount() == 0; }));
  EXPECT_TRUE(WaitForThreads(kRunThreads));
  EXPECT_TRUE(WaitUntil([&] { return OpenDescriptorCount() == descriptors_; }))
      << OpenDescriptorCount() << " descriptors open, " << descriptors_ << " at the start";
  EXPECT_TRUE(WaitUntil([&] { return TaskCount() == tasks_; }))
      << TaskCount() << " threads, " << tasks_ << " at the start";
}

std::optional<std::string> HostileTest::Exchange(std::string_view raw) {
  const int clientsBefore = ClientCount();
  AdapterClient client;
  if (!client.Connect(port())) return std::nullopt;
  client.SendRaw(raw);
  std::optional<std::string> reply = client.ReadToClose(kLongReadMs);
  if (!WaitUntil([&] { return ClientCount() <= clientsBefore; })) return std::nullopt;
  return reply;
}

AdapterClient HostileTest::PlayAvi(const std::string& name, const std::string& probe,
                                   const std::string& end, const std::string& start) {
  AdapterClient client = Play('2', name);
  if (!client.ReadExact(3 * 256 + 2 * kBlock)) return client;
  client.SendBlock(probe);
  if (ParseSignedDecimal(probe.data(), probe.size()) >= 0 && !client.ReadExact(kBlock)) {
    return client;
  }
  client.SendBlock(end);
  client.SendBlock(start);
  client.ReadExact(256);
  return client;
}

AdapterClient HostileTest::PlayMpeg(const std::string& name, const std::string& scale) {
  AdapterClient client = Play('4', name);
  if (!client.ReadExact(256 + kBlock)) return client;
  client.SendBlock("1");
  if (!client.ReadExact(256 + 2 * kBlock)) return client;
  client.SendBlock(scale);
  return client;
}

std::future<std::string> DrainInBackground(AdapterClient& client, int timeoutMs) {
  int fd = client.fd();
  return std::async(std::launch::async, [fd, timeoutMs] {
    std::string data;
    char chunk[65536];
    pollfd item{fd, POLLIN, 0};
    while (::poll(&item, 1, timeoutMs) > 0) {
      ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      data.append(chunk, static_cast<size_t>(n));
    }
    return data;
  });
}

}  // namespace rureza::test
