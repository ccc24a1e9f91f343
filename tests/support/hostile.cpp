#include "support/hostile.h"

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
  const std::string ordinary = Media("audio/ordinary.mp3", OffsetBytes(100000));
  served_ = LengthBlock(int32_t(ordinary.size())) + ordinary;
  Start();
  descriptors_ = OpenDescriptorCount();
  tasks_ = TaskCount();
}

void HostileTest::ExpectEnded() {
  EXPECT_TRUE(WaitUntil([] { return ClientCount() == 0; }, 60000)) << ClientCount() << " clients";
  EXPECT_TRUE(WaitForThreads(kRunThreads)) << LiveThreadCount() << " server threads";
}

void HostileTest::ExpectRecovered() {
  ExpectEnded();
  EXPECT_TRUE(Exchange(Block("<31ordinary.mp3")) == served_) << "the next request not served";
  ExpectEnded();
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

AdapterClient HostileTest::Send(std::string_view text) {
  AdapterClient client;
  EXPECT_TRUE(client.Connect(port()) && client.SendBlock(text));
  return client;
}

namespace {
// Reads n bytes into *got; false when they do not all arrive.
bool Take(AdapterClient& client, size_t n, std::string* got) {
  std::optional<std::string> bytes = client.ReadExact(n);
  if (bytes && got) *got += *bytes;
  return bytes.has_value();
}
}  // namespace

AdapterClient HostileTest::PlayAvi(const std::string& name, const std::string& probe,
                                   const std::string& end, const std::string& start,
                                   std::string* got) {
  AdapterClient client = Play('2', name);
  if (!Take(client, 3 * 256 + 2 * kBlock, got)) return client;
  client.SendBlock(probe);
  if (ParseSignedDecimal(probe.data(), probe.size()) >= 0 && !Take(client, kBlock, got)) {
    return client;
  }
  client.SendBlock(end);
  client.SendBlock(start);
  Take(client, 256, got);
  return client;
}

AdapterClient HostileTest::PlayMpeg(const std::string& name, const std::string& scale,
                                    std::string* got) {
  AdapterClient client = Play('4', name);
  if (!Take(client, 256 + kBlock, got)) return client;
  client.SendBlock("1");
  if (!Take(client, 256 + 2 * kBlock, got)) return client;
  client.SendBlock(scale);
  return client;
}

}  // namespace rureza::test
