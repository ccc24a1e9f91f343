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
  std::optional<std::string> bytes = client.ReadExact(n, kLongReadMs);
  if (bytes && got) *got += *bytes;
  return bytes.has_value();
}
}  // namespace

void AviHandshake(AdapterClient& client, const std::string& probe, const std::string& end,
                  const std::string& start, std::string* got) {
  if (!Take(client, 3 * 256 + 2 * kBlock, got)) return;
  client.SendBlock(probe);
  if (ParseSignedDecimal(probe.data(), probe.size()) >= 0 && !Take(client, kBlock, got)) return;
  client.SendBlock(end);
  client.SendBlock(start);
  Take(client, 256, got);
}

void MpegHandshake(AdapterClient& client, const std::string& scale, std::string* got,
                   const std::function<void()>& held) {
  if (!Take(client, 256 + kBlock, got)) return;
  client.SendBlock("1");
  if (!Take(client, 256 + 2 * kBlock, got)) return;
  if (held) held();
  client.SendBlock(scale);
}

void Request(AdapterClient& client, char kind, size_t size, std::string* got,
             const std::function<void()>& held) {
  const char* requests[] = {"<31song.mp3", "<32movie.avi", "<34movie.mpg", "<33image.jpg", "<7"};
  client.SendBlock(requests[kKinds.find(kind)]);
  if (kind == 'v') AviHandshake(client, "0", std::to_string(size - 50000), "2048", got);
  if (kind == 'm') MpegHandshake(client, "0", got, held);
}

std::string ReplyTo(char kind, const std::string& file) {
  const std::string size = FilesizeBlock(int32_t(file.size())), head = file.substr(0, kBlock);
  const size_t tail = file.size() - kBlock;
  if (kind == 'a') return LengthBlock(int32_t(file.size())) + file;
  if (kind == 'v')
    return size + head + size + head + size + head + StartBlock(int32_t(file.size())) +
           file.substr(2048, file.size() - 50000 - 2048);
  if (kind == 'm')
    return std::string(256, '\0') + head + TailPositionBlock(uint32_t(tail)) + file.substr(tail) +
           head + file.substr(kBlock);
  if (kind == 's')
    return Block(std::to_string(file.size())) + file +
           std::string(32767 - file.size() % 32767, '0');
  return Block(std::to_string(file.size())) + file;
}

AdapterClient HostileTest::PlayAvi(const std::string& probe, const std::string& end,
                                   const std::string& start) {
  AdapterClient client = Play('2', "movie.avi");
  AviHandshake(client, probe, end, start);
  return client;
}

AdapterClient HostileTest::PlayMpeg(const std::string& scale) {
  AdapterClient client = Play('4', "movie.mpg");
  MpegHandshake(client, scale);
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

AdapterClient HostileTest::Open(char kind, std::string* got) {
  AdapterClient client;
  EXPECT_TRUE(client.Connect(port()));
  Request(client, kind, files_[kKinds.find(kind)]->size(), got);
  return client;
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
