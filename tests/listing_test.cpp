// The media folder listing through the live server: records byte for byte, what each folder
// lists, numbering, refused names, the end block, the stop flag and a failed send.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
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

struct Record {
  std::string raw, number, name, mode, size;
};

std::string Field(const std::string& raw, size_t offset, size_t width) {
  std::string field = raw.substr(offset, width);
  return field.substr(0, field.find('\0'));
}

// The records of a reply; fails the test unless the reply ends with exactly one end block.
std::vector<Record> Records(const std::optional<std::string>& reply) {
  std::vector<Record> records;
  if (!reply || reply->size() < 256 || reply->size() % 64 != 0 ||
      reply->substr(reply->size() - 256) != kEndBlock) {
    ADD_FAILURE() << "malformed reply of " << (reply ? reply->size() : 0) << " bytes";
    return records;
  }
  for (size_t at = 0; at + 256 < reply->size(); at += 64) {
    std::string raw = reply->substr(at, 64);
    records.push_back(
        {raw, Field(raw, 0, 8), Field(raw, 8, 40), Field(raw, 48, 6), raw.substr(54)});
  }
  return records;
}

std::string SizeField(std::string digits) {
  digits.resize(10, '\0');
  return digits;
}

std::string Warning(const std::string& name) {
  return "System Warming 3003! FileName :: " + name + " .";
}

// Runs an action on the server's thread when it adds the first line starting with prefix,
// and notes the send calls made by then.
class ReactingSink : public test::CapturingSink {
 public:
  ReactingSink(std::string prefix, std::function<void()> action)
      : prefix_(std::move(prefix)), action_(std::move(action)) {}
  void AddLine(std::string_view line) override {
    if (line.substr(0, prefix_.size()) == prefix_ && !reacted_.exchange(true)) {
      sendCallsThen = test::SendCalls();
      action_();
    }
    CapturingSink::AddLine(line);
  }
  std::atomic<int32_t> sendCallsThen{-1};

 private:
  const std::string prefix_;
  const std::function<void()> action_;
  std::atomic<bool> reacted_{false};
};

class ListingTest : public test::DeliveryTest {
 protected:
  std::shared_ptr<ReactingSink> StopOnLine(const std::string& prefix) {
    auto sink = std::make_shared<ReactingSink>(prefix, [] { CurrentRun()->Stop(); });
    log_ = sink;
    SetLogSink(log_);
    return sink;
  }
};

TEST_F(ListingTest, UnsetMissingOrEmptyFoldersGiveOnlyTheEndBlock) {
  SetPathText(&settings_.videoFolder, "");
  SetPathText(&settings_.audioFolder, (media_.path() / "nowhere").string());
  Start();
  EXPECT_EQ(test::Fetch(port(), "<1"), kEndBlock);
}

TEST_F(ListingTest, RecordsAreByteExactNumberedByFourAcrossFoldersOneSendEach) {
  media_.Write("video/a.avi", "12345");
  media_.Write("audio/c.mp3", std::string(1234, 'x'));
  media_.Write("photo/z.jpg", "");
  Start();
  int32_t calls = test::SendCalls();
  // The rest of the block is not used.
  std::vector<Record> records = Records(test::Fetch(port(), "<1../../etc"));
  EXPECT_EQ(test::SendCalls() - calls, 4);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].raw, std::string("0\0\0\0\0\0\0\0a.avi", 13) + std::string(35, '\0') +
                                std::string("33206\0"
                                            "5\0\0\0\0\0\0\0\0\0",
                                            16));
  EXPECT_EQ(records[1].number + records[1].name + records[1].size, "4c.mp3" + SizeField("1234"));
  EXPECT_EQ(records[2].number + records[2].name + records[2].size, "8z.jpg" + SizeField("0"));
}

TEST_F(ListingTest, LongNamesAreRefusedWithACountedWholeNameWarningAndUseUpTheirNumber) {
  const std::string name39 = std::string(35, 'p') + ".jpg";
  const std::string name40 = std::string(36, 's') + ".mp3";
  const std::string name250 = std::string(246, 'v') + ".avi";
  media_.Write("video/" + name250, "");
  media_.Write("audio/" + name40, "");
  media_.Write("photo/" + name39, "");
  Start();
  int16_t counted = LogLineCount();
  std::vector<Record> records = Records(test::Fetch(port(), "<1"));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].number, "8");
  EXPECT_EQ(records[0].raw.substr(8, 40), name39 + '\0');
  EXPECT_EQ(log_->Count(Warning(name40)), 1);
  EXPECT_EQ(log_->Count(Warning(name250)), 1);
  EXPECT_EQ(LogLineCount() - counted, 5);  // connection, request, two warnings, departure
}

TEST_F(ListingTest, EachFolderListsOnlyItsOwnEndingsInEitherLetterCase) {
  const std::map<std::string, std::vector<std::string>> files = {
      {"video",
       {"a.avi", "b.MPG", "c.Vob", "d.dAt", "k.AVI", "e.mpeg", "f.mp3", "g.jpg", ".avi",
        "h.avi.txt",
        "i\x0e"
        "avi",
        "javi"}},
      {"audio", {"song.Mp3", "song.mP3", "s.MP3", "x.mp\x13", "y.avi", ".mp3", "z.mp4"}},
      {"photo", {"z.JPG", "photo.jpeg", "p.jpe", "q.mp3", "r.j\xd0g"}}};
  for (const auto& [folder, names] : files) {
    for (const std::string& name : names) media_.Write(folder + "/" + name, "");
  }
  Start();
  std::vector<Record> records = Records(test::Fetch(port(), "<1"));
  std::vector<std::string> names;
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].number, std::to_string(4 * i));
    names.push_back(records[i].name);
  }
  ASSERT_EQ(names.size(), 9u);
  // Video first, then audio, then photo; within a folder in the platform's order.
  std::sort(names.begin(), names.begin() + 5);
  std::sort(names.begin() + 5, names.begin() + 8);
  EXPECT_EQ(names, (std::vector<std::string>{"a.avi", "b.MPG", "c.Vob", "d.dAt", "k.AVI", "s.MP3",
                                             "song.Mp3", "song.mP3", "z.JPG"}));
}

TEST_F(ListingTest, ModesAndSizesFollowTheEntry) {
  test::MakeSparseFile(video() / "giga.avi", 1'000'000'000);
  test::MakeSparseFile(video() / "five.avi", 5ull << 30);
  std::filesystem::create_directory(video() / "clips.avi");
  std::filesystem::create_directory(video() / "locked.avi");
  ::chmod((video() / "locked.avi").c_str(), 0555);
  // The owner's write bit decides, not whether this (root) user may write.
  for (auto [name, mode] :
       {std::pair{"ro.mp3", 0444}, {"groupw.mp3", 0466}, {"ownerw.mp3", 0200}}) {
    media_.Write(std::string("audio/") + name, "abc");
    ::chmod((audio() / name).c_str(), mode);
  }
  // Found by the walk, but its attributes cannot be read.
  ASSERT_EQ(::symlink("nowhere", (photo() / "gone.jpg").c_str()), 0);
  Start();
  std::map<std::string, std::string> modeAndSize;
  for (const Record& record : Records(test::Fetch(port(), "<1"))) {
    modeAndSize[record.name] = record.mode + " " + record.raw.substr(54);
  }
  EXPECT_EQ(modeAndSize, (std::map<std::string, std::string>{
                             {"giga.avi", "33206 1000000000"},  // ten digits, no zero byte
                             {"five.avi", "33206 " + SizeField("1073741824")},  // low 32 bits
                             {"clips.avi", "16895 " + SizeField("0")},
                             {"locked.avi", "16749 " + SizeField("0")},
                             {"ro.mp3", "33060 " + SizeField("3")},
                             {"groupw.mp3", "33060 " + SizeField("3")},
                             {"ownerw.mp3", "33206 " + SizeField("3")},
                             {"gone.jpg", "33206 " + SizeField("0")}}));
}

TEST_F(ListingTest, RecordsLeaveDuringTheWalkAndStopEndsItWithTheEndBlock) {
  media_.Write("video/a.avi", "");
  media_.Write("audio/" + std::string(40, 'n') + ".mp3", "");
  media_.Write("photo/z.jpg", "");
  auto sink = StopOnLine("System Warming 3003!");
  Start();
  int32_t calls = test::SendCalls();
  std::vector<Record> records = Records(test::Fetch(port(), "<1"));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].name, "a.avi");
  EXPECT_EQ(sink->sendCallsThen - calls, 1);  // a.avi had left when the walk reached audio
}

TEST_F(ListingTest, ListingThatBeginsAfterStopSendsOnlyTheEndBlock) {
  media_.Write("video/a.avi", "");
  StopOnLine("127.0.0.1 requests to list files");
  Start();
  EXPECT_EQ(test::Fetch(port(), "<1"), kEndBlock);
}

std::atomic<size_t> g_sent{0};

TEST_F(ListingTest, FailedSendEndsTheListing) {
  for (int i = 0; i < 5; ++i) media_.Write("video/" + std::to_string(i) + ".avi", "");
  // The connection takes one record's bytes, then fails.
  Sys().send = [](int fd, const void* data, size_t length, int flags) -> ssize_t {
    if (g_sent >= 64) {
      errno = ECONNRESET;
      return -1;
    }
    ssize_t n = ::send(fd, data, std::min<size_t>(length, 64 - g_sent), flags);
    if (n > 0) g_sent += static_cast<size_t>(n);
    return n;
  };
  Start();
  int32_t calls = test::SendCalls();
  std::optional<std::string> reply = test::Fetch(port(), "<1");
  EXPECT_EQ(reply.value_or("").size(), 64u);
  EXPECT_EQ(test::SendCalls() - calls, 2);  // neither the other records nor the end block
}

TEST(ListingRecordTest, WidestValuesFillTheirFieldsAndTheLargestNumberKeepsItsZeroByte) {
  uint8_t record[kListingRecordSize];
  const std::string name(kListedNameLimit - 1, 'n');
  WriteListingRecord(kLargestEntryNumber, name, 65535, 4294967295u, record);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(record), sizeof record),
            std::string("9999999\0", 8) + name +
                std::string("\0"
                            "65535\0",
                            7) +
                "4294967295");
}

}  // namespace
}  // namespace rureza
