// The listing beyond its worked example: what each folder lists with which mode and size, the
// end block alone, a stop in the middle of the walk, and a connection that fails.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "adapter/replies.h"
#include "server/server.h"
#include "server/server_run.h"
#include "support/faults.h"
#include "support/fixture.h"

namespace rureza::test {
namespace {

const std::string kEndBlock = Block("<2");

// The records of a reply as "number name mode size", checked to end with one end block.
std::vector<std::string> Records(const std::optional<std::string>& reply) {
  std::vector<std::string> records;
  ListingReader reader([&](const ListingEntry& e) {
    records.push_back(std::to_string(e.number) + " " + e.name + " " + std::to_string(e.mode) + " " +
                      std::to_string(e.size));
  });
  EXPECT_TRUE(reply && reader.Feed(reply->data(), reply->size()) && reader.Finish())
      << reader.error();
  return records;
}

using ListingTest = ServerTest;

TEST_F(ListingTest, EachFolderListsItsEndingsWithTheirModesAndSizes) {
  SetPathText(&settings_.videoFolder, "");  // unset: nothing, no line
  for (std::string name : {"a.MPG", "b.Vob", "c.dAt", "e.mpeg", "f.avi", ".jpg", "h.jpg.txt",
                           "i\016jpg", "jjpg", "k.JPG", "l.mp3"}) {
    media_.Write("photo/" + name, "");
  }
  media_.Write("audio/song.Mp3", std::string(1234, 'x'));
  MakeSparseFile(photo() / "five.jpg", 5ull << 30);  // the size's low 32 bits
  std::filesystem::create_directory(photo() / "clips.jpg");
  std::filesystem::create_directory(photo() / "locked.jpg");
  ::chmod((photo() / "locked.jpg").c_str(), 0555);
  // The owner's write bit decides read-only, not whether this (root) user may write.
  for (auto [name, mode] :
       {std::pair{"ro.jpg", 0444}, {"groupw.jpg", 0466}, {"ownerw.jpg", 0200}}) {
    media_.Write(std::string("photo/") + name, "abc");
    ::chmod((photo() / name).c_str(), mode);
  }
  // Found by the walk, but its attributes cannot be read.
  ASSERT_EQ(::symlink("nowhere", (photo() / "gone.jpg").c_str()), 0);
  Start();
  // In natural order: audio, then photo.
  EXPECT_EQ(Records(Exchange(Block("<1"))),
            (std::vector<std::string>{
                "0 song.Mp3 33206 1234", "4 clips.jpg 16895 0", "8 five.jpg 33206 1073741824",
                "12 gone.jpg 33206 0", "16 groupw.jpg 33060 3", "20 k.JPG 33206 0",
                "24 locked.jpg 16749 0", "28 ownerw.jpg 33206 3", "32 ro.jpg 33060 3"}));
}

// Stops the server from its own thread when it logs the first line starting with prefix.
class StoppingSink : public CapturingSink {
 public:
  explicit StoppingSink(std::string prefix) : prefix_(std::move(prefix)) {}
  void AddLine(std::string_view line) override {
    if (line.starts_with(prefix_) && sendCallsThen < 0) {
      sendCallsThen = SendCalls();
      CurrentRun()->Stop();
    }
    CapturingSink::AddLine(line);
  }
  std::atomic<int32_t> sendCallsThen{-1};

 private:
  const std::string prefix_;
};

TEST_F(ListingTest, StopEndsTheWalkWithTheEndBlockAfterTheRecordsAlreadyOut) {
  media_.Write("video/a.avi", "");
  media_.Write("audio/" + std::string(40, 'n') + ".mp3", "");
  media_.Write("photo/z.jpg", "");
  // Stopped when the walk reaches audio (a.avi has left), or before it begins.
  for (const char* line : {"System Warming 3003!", "127.0.0.1 requests to list files"}) {
    auto sink = std::make_shared<StoppingSink>(line);
    log_ = sink;
    SetLogSink(log_);
    Start();
    int32_t calls = SendCalls();
    std::vector<std::string> records = Records(Exchange(Block("<1")));
    bool walked = line[0] == 'S';
    EXPECT_EQ(sink->sendCallsThen - calls, walked ? 1 : 0) << line;
    EXPECT_EQ(records, std::vector<std::string>(walked, "0 a.avi 33206 0"));
    Stop();
  }
}

TEST_F(ListingTest, AFailedSendEndsTheListingWithoutTheEndBlock) {
  for (int i = 0; i < 5; ++i) media_.Write("video/" + std::to_string(i) + ".avi", "");
  FailSendsAfter(64, ECONNRESET);  // one record's bytes
  Start();
  int32_t calls = SendCalls();
  EXPECT_EQ(Exchange(Block("<1")).value_or("").size(), 64u);
  EXPECT_EQ(SendCalls() - calls, 2);  // neither the other records nor the end block
}

// A media folder that cannot be read is named with the reason at the start and when a listing
// finds it so, once for each change ("~/" being the home folder).
TEST_F(ListingTest, AFolderThatCannotBeReadIsLoggedOncePerChange) {
  ::setenv("HOME", media_.path().c_str(), 1);
  SetPathText(&settings_.audioFolder, "~/audio");
  std::filesystem::remove(audio());
  const std::string gone =
      "Audio folder " + audio().string() + " cannot be read: No such file or directory";
  const std::string back = "Audio folder " + audio().string() + " can be read again";
  Start();
  for (int i = 0; i < 4; ++i) {
    if (i == 2) std::filesystem::create_directory(audio());
    if (i == 3) std::filesystem::remove(audio());
    Records(Exchange(Block("<1")));
    EXPECT_EQ(log_->Count(gone), i < 3 ? 1 : 2) << i;
    EXPECT_EQ(log_->Count(back), i < 2 ? 0 : 1) << i;
  }
}

}  // namespace
}  // namespace rureza::test
