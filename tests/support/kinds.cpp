#include "support/kinds.h"

#include "platform/thread.h"
#include "request/dispatcher.h"
#include "server/server.h"
#include "support/reliability.h"

namespace rureza::test {
namespace {

struct Kind {
  char id;
  MediaKind kind;
  const char *name, *file, *requested;
};
constexpr Kind kTable[] = {{'a', MediaKind::kAudio, "audio stream", "audio/song.mp3", "song.mp3"},
                           {'v', MediaKind::kAvi, "AVI stream", "video/movie.avi", "movie.avi"},
                           {'m', MediaKind::kMpeg, "MPEG stream", "video/movie.mpg", "movie.mpg"},
                           {'s', MediaKind::kPhoto, "still image", "photo/image.jpg", "image.jpg"},
                           {'f', MediaKind::kFirmware, "firmware image", "fw.bin", ""}};

const Kind& Row(char kind) { return kTable[kKinds.find(kind)]; }

std::string Text(const std::string& text) { return Block(text); }

}  // namespace

MediaKind KindOf(char kind) { return Row(kind).kind; }
std::string KindName(char kind) { return Row(kind).name; }
std::string KindFile(char kind) { return Row(kind).file; }
std::string KindRequestName(char kind) { return Row(kind).requested; }

HandshakeAnswers FairAnswers(char kind, size_t size) {
  HandshakeAnswers answers;
  if (kind == 'm') answers.listedSize = uint32_t(size);
  answers.aviBoundsFromHeader = false;
  answers.aviEnd = std::to_string(size - 50000), answers.aviStart = "2048";
  return answers;
}

std::string ReplyTo(char kind, const std::string& file) {
  const std::string head = (file.substr(0, kBlock) + std::string(kBlock, '\0')).substr(0, kBlock);
  const size_t size = file.size(), tail = size - kBlock;
  switch (kind) {
    case 'v': {
      const std::string filesize = Text(std::to_string(size) + "filesize");
      return filesize + head + filesize + head + filesize + head +
             Text(std::string(3, '\0') + std::to_string(size) + "filesize") +
             file.substr(2048, size - 50000 - 2048);
    }
    case 'm':
      return std::string(256, '\0') + head + Text(std::to_string(tail)) + file.substr(tail) + head +
             file.substr(kBlock);
    case 's':
      return Text(std::to_string(size)) + file + std::string((32767 - size % 32767) % 32767, '0');
    default:
      return Text(std::to_string(size)) + file;
  }
}

void HostileTest::SetUp() {
  ServerTest::SetUp();
  RecordInputs(true);
}

void HostileTest::TearDown() {
  RecordInputs(false);
  SetRequestTimeLimitMs(30000);
  SetDeadPeerTimeoutMs(90000);
  ServerTest::TearDown();
}

void HostileTest::Begin(size_t song, size_t movie, size_t mpegBlocks, size_t image,
                        size_t firmware) {
  files_['a'] = Media(KindFile('a'), OffsetBytes(song));
  files_['v'] = Media(KindFile('v'), OffsetBytes(movie));
  files_['m'] = Media(KindFile('m'), OffsetBytes(mpegBlocks * kBlock));
  files_['s'] = Media(KindFile('s'), PatternBytes(image));
  files_['f'] = Media(KindFile('f'), PatternBytes(firmware, 3));
  SetPathText(&settings_.firmwareFile, (media_.path() / KindFile('f')).string());
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
  RecordInputs(false);  // the ordinary request is not one of the case's inputs
  EXPECT_TRUE(Fetch('a') == Reply('a')) << "the next request not served";
  EXPECT_TRUE(WaitUntil([&] { return OpenDescriptorCount() == descriptors_; }))
      << OpenDescriptorCount() << " descriptors open, " << descriptors_ << " at the start";
  EXPECT_TRUE(WaitUntil([&] { return TaskCount() == tasks_; }))
      << TaskCount() << " threads, " << tasks_ << " at the start";
}

AdapterConnection HostileTest::Open(char kind, std::string* got,
                                    const std::function<void()>& beforeLastAnswer) {
  NoteInput(KindName(kind));
  AdapterConnection connection;
  EXPECT_TRUE(connection.Connect(LoopbackAddress(port())));
  HandshakeAnswers answers = FairAnswers(kind, File(kind).size());
  answers.beforeLastAnswer = beforeLastAnswer;
  SendRequest(connection, KindOf(kind), KindRequestName(kind), answers, got, kLongReadMs);
  return connection;
}

std::string HostileTest::Fetch(char kind, bool halfClose) {
  std::string got;
  AdapterConnection connection = Open(kind, &got);
  if (halfClose) connection.ShutdownWrite();
  got += connection.ReadToClose(kLongReadMs).value_or("");
  connection.Close();
  ExpectEnded();
  return got;
}

}  // namespace rureza::test
