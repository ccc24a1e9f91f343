// The media listing through the live server: 64-byte records byte for byte, what each folder
// lists, refused names, the end block, the stop flag and a failed send.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "delivery/listing_record.h"
#include "platform/syscalls.h"
#include "server/server.h"
#include "server/server_run.h"
#include "support/delivery_support.h"

namespace rureza {
namespace {

const std::string kEndBlock = test::Block("<2");

std::string Padded(std::string text, size_t width) {
  text.resize(width, '\0');
  return text;
}

// The 64-byte records of a reply that ends with exactly one end block.
std::vector<std::string> Records(const std::optional<std::string>& reply) {
  std::vector<std::string> records;
  EXPECT_TRUE(reply && reply->size() % 64 == 0 && reply->ends_with(kEndBlock));
  for (size_t at = 0; reply && at + 256 < reply->size(); at += 64) {
    records.push_back(reply->substr(at, 64));
  }
  return records;
}

// Stops the server from its own thread when it logs the first line starting with prefix.
class StoppingSink : public test::CapturingSink {
 public:
  explicit StoppingSink(std::string prefix) : prefix_(std::move(prefix)) {}
  void AddLine(std::string_view line) override {
    if (line.starts_with(prefix_) && sendCallsThen < 0) {
      sendCallsThen = test::SendCalls();
      CurrentRun()->Stop();
    }
    CapturingSink::AddLine(line);
  }
  std::atomic<int32_t> sendCallsThen{-1};

 private:
  const std::string prefix_;
};

using ListingTest = test::DeliveryTest;

TEST_F(ListingTest, UnsetMissingOrEmptyFoldersGiveOnlyTheEndBlock) {
  SetPathText(&settings_.videoFolder, "");
  SetPathText(&settings_.audioFolder, (media_.path() / "nowhere").string());
  Start();
  EXPECT_EQ(test::Fetch(port(), "<1"), kEndBlock);
}

TEST_F(ListingTest, RecordsAreByteExactNumberedByFourAndOnlyForTheFoldersEndings) {
  const std::string refused[] = {std::string(246, 'v') + ".avi", std::string(36, 's') + ".mp3"};
  const std::string name39 = std::string(35, 'p') + ".jpg";
  // Name, mode and size of what each folder lists; the rest of it is not listed. The owner's
  // write bit decides read-only, not whether this (root) user may write.
  const std::vector<std::string> listed[] = {
      {"a.avi 33206 5", "b.MPG 33206 0", "c.Vob 33206 0", "d.dAt 33206 0",
       "giga.avi 33206 1000000000", "five.avi 33206 1073741824", "clips.avi 16895 0",
       "locked.avi 16749 0"},
      {"song.Mp3 33206 1234", "s.MP3 33206 0"},
      {"ro.jpg 33060 3", "groupw.jpg 33060 3", "ownerw.jpg 33206 3", "gone.jpg 33206 0",
       name39 + " 33206 0", "z.JPG 33206 0"}};
  const std::pair<std::string, std::vector<std::string>> plain[] = {
      {"video/",
       {"b.MPG", "c.Vob", "d.dAt", "e.mpeg", "f.mp3", ".avi", "h.avi.txt", "i\016avi", "javi",
        refused[0]}},
      {"audio/", {"s.MP3", "x.mp\x13", "y.avi", ".mp3", "z.mp4", refused[1]}},
      {"photo/", {"z.JPG", "photo.jpeg", "p.jpe", "q.mp3", "r.j\xd0g", name39}}};
  for (const auto& [folder, names] : plain) {
    for (const std::string& name : names) media_.Write(folder + name, "");
  }
  media_.Write("video/a.avi", "12345");
  media_.Write("audio/song.Mp3", std::string(1234, 'x'));
  test::MakeSparseFile(video() / "giga.avi", 1'000'000'000);
  test::MakeSparseFile(video() / "five.avi", 5ull << 30);
  std::filesystem::create_directory(video() / "clips.avi");
  std::filesystem::create_directory(video() / "locked.avi");
  ::chmod((video() / "locked.avi").c_str(), 0555);
  for (auto [name, mode] :
       {std::pair{"ro.jpg", 0444}, {"groupw.jpg", 0466}, {"ownerw.jpg", 0200}}) {
    media_.Write(std::string("photo/") + name, "abc");
    ::chmod((photo() / name).c_str(), mode);
  }
  // Found by the walk, but its attributes cannot be read.
  ASSERT_EQ(::symlink("nowhere", (photo() / "gone.jpg").c_str()), 0);
  Start();
  int32_t calls = test::SendCalls();
  int16_t lines = LogLineCount();
  std::vector<std::string> records = Records(test::Fetch(port(), "<1../../etc"));
  EXPECT_EQ(test::SendCalls() - calls, int32_t(records.size() + 1));
  // Connection, request, the two warnings and departure.
  EXPECT_EQ(LogLineCount() - lines, 5);
  for (const std::string& name : refused) {
    EXPECT_EQ(log_->Count("System Warming 3003! FileName :: " + name + " ."), 1);
  }
  // Folders in order, each in the platform's order; a refused name (one in video and in audio)
  // uses up its number.
  size_t at = 0, base = 0;
  for (int folder = 0; folder < 3; ++folder) {
    const size_t end = base + 4 * (listed[folder].size() + (folder < 2));
    for (size_t i = 0; i < listed[folder].size() && at < records.size(); ++i) {
      const std::string& record = records[at++];
      const size_t number = std::stoul(record.substr(0, 8));
      const std::string name = record.substr(8, record.find('\0', 8) - 8);
      auto entry = std::find_if(listed[folder].begin(), listed[folder].end(),
                                [&](const std::string& e) { return e.starts_with(name + ' '); });
      ASSERT_NE(entry, listed[folder].end()) << name;
      EXPECT_TRUE(number % 4 == 0 && number >= base && number < end) << name << " " << number;
      base = number + 4;
      EXPECT_EQ(record, Padded(std::to_string(number), 8) + Padded(name, 40) +
                            Padded(entry->substr(name.size() + 1, 5), 6) +
                            Padded(entry->substr(name.size() + 7), 10));
    }
    base = end;
  }
  EXPECT_EQ(at, records.size());
}

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
    int32_t calls = test::SendCalls();
    std::vector<std::string> records = Records(test::Fetch(port(), "<1"));
    bool walked = line[0] == 'S';
    EXPECT_EQ(sink->sendCallsThen - calls, walked ? 1 : 0) << line;
    EXPECT_EQ(records, std::vector<std::string>(walked, Padded("0", 8) + Padded("a.avi", 40) +
                                                            Padded("33206", 6) + Padded("0", 10)));
    Stop();
  }
}

TEST_F(ListingTest, FailedSendEndsTheListing) {
  for (int i = 0; i < 5; ++i) media_.Write("video/" + std::to_string(i) + ".avi", "");
  // The connection takes one record's bytes, then fails.
  Sys().send = [](int fd, const void* data, size_t length, int flags) -> ssize_t {
    static size_t sent = 0;
    if (sent >= 64) {
      errno = ECONNRESET;
      return -1;
    }
    ssize_t n = ::send(fd, data, std::min<size_t>(length, 64 - sent), flags);
    sent += n > 0 ? size_t(n) : 0;
    return n;
  };
  Start();
  int32_t calls = test::SendCalls();
  EXPECT_EQ(test::Fetch(port(), "<1").value_or("").size(), 64u);
  EXPECT_EQ(test::SendCalls() - calls, 2);  // neither the other records nor the end block
}

TEST(ListingRecordTest, WidestValuesFillTheirFieldsAndTheLargestNumberKeepsItsZeroByte) {
  uint8_t record[kListingRecordSize];
  const std::string name(kListedNameLimit - 1, 'n');
  WriteListingRecord(kLargestEntryNumber, name, 65535, 4294967295u, record);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(record), sizeof record),
            Padded("9999999", 8) + Padded(name, 40) + Padded("65535", 6) + "4294967295");
}

}  // namespace
}  // namespace rureza
