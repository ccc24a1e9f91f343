#include "support/hostile.h"

#include "delivery/decimal.h"
#include "delivery/stream_blocks.h"
#include "platform/syscalls.h"
#include "platform/thread.h"
#include "server/dispatcher.h"
#include "server/server.h"

namespace rureza::test {

std::string KindName(char kind) {
  const char* names[] = {"audio stream", "AVI stream", "MPEG stream", "still image",
                         "firmware image"};
  return names[kKinds.find(kind)];
}

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

void HostileTest::UseFiles(size_t song, size_t movie, size_t mpegBlocks, size_t image,
                           size_t firmware) {
  song_ = Media("audio/song.mp3", OffsetBytes(song));
  movie_ = Media("video/movie.avi", OffsetBytes(movie));
  mpeg_ = Media("video/movie.mpg", OffsetBytes(mpegBlocks * kBlock));
  image_ = Media("photo/image.jpg", PatternBytes(image));
  firmware_ = Media("fw.bin", PatternBytes(firmware, 3));
  SetPathText(&settings_.firmwareFile, (media_.path() / "fw.bin").string());
}

// The AVI stream runs from 2048 to 50000 bytes before the end; the MPEG adapter wants the end.
AdapterClient HostileTest::Open(char kind, std::string* got) {
  if (kind == 'a') return Play('1', "song.mp3");
  if (kind == 'v')
    return PlayAvi("movie.avi", "0", std::to_string(movie_.size() - 50000), "2048", got);
  if (kind == 'm') return PlayMpeg("movie.mpg", "0", got);
  return Send(kind == 's' ? "<33image.jpg" : "<7");
}

std::string HostileTest::Reply(char kind) const {
  const std::string size = FilesizeBlock(int32_t(movie_.size())), head = movie_.substr(0, kBlock);
  const size_t tail = mpeg_.size() - kBlock;
  if (kind == 'a') return LengthBlock(int32_t(song_.size())) + song_;
  if (kind == 'v')
    return size + head + size + head + size + head + StartBlock(int32_t(movie_.size())) +
           movie_.substr(2048, movie_.size() - 50000 - 2048);
  if (kind == 'm')
    return std::string(256, '\0') + mpeg_.substr(0, kBlock) + TailPositionBlock(uint32_t(tail)) +
           mpeg_.substr(tail) + mpeg_.substr(0, kBlock) + mpeg_.substr(kBlock);
  if (kind == 's')
    return Block(std::to_string(image_.size())) + image_ +
           std::string(32767 - image_.size() % 32767, '0');
  return Block(std::to_string(firmware_.size())) + firmware_;
}

std::string HostileTest::Fetch(char kind, bool halfClose) {
  std::string got;
  AdapterClient client = Open(kind, &got);
  if (halfClose) client.ShutdownWrite();
  got += client.ReadToClose(kLongReadMs).value_or("");
  client.Close();
  ExpectEnded();
  return got;
}

}  // namespace rureza::test
