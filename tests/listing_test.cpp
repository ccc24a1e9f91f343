// The media folder listing through the live server: the 64-byte records byte for byte, what
// each folder lists, numbering, refused names, the end block, the stop flag, and the unit
// rules of the record format.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

using test::Fetch;
using test::WaitForClientsToLeave;

const std::string kEndBlock = test::Block("<2");

// A field's text: up to its first zero byte, or all of it.
std::string FieldText(const std::string& record, size_t offset, size_t width) {
  std::string field = record.substr(offset, width);
  return field.substr(0, field.find('\0'));
}

struct Record {
  std::string raw;
  std::string number, name, mode, size;
};

// Splits a reply into its records; fails the test unless it ends with exactly one end block.
std::vector<Record> Records(const std::string& reply) {
  std::vector<Record> records;
  EXPECT_GE(reply.size(), kEndBlock.size());
  EXPECT_EQ((reply.size() - kEndBlock.size()) % kListingRecordSize, 0u);
  EXPECT_EQ(reply.substr(reply.size() - std::min(reply.size(), kEndBlock.size())), kEndBlock);
  for (size_t at = 0; at + kEndBlock.size() < reply.size(); at += kListingRecordSize) {
    std::string raw = reply.substr(at, kListingRecordSize);
    records.push_back(
        {raw, FieldText(raw, 0, 8), FieldText(raw, 8, 40), FieldText(raw, 48, 6), raw.substr(54)});
  }
  return records;
}

std::string SizeField(const std::string& digits) {
  std::string field = digits;
  field.resize(10, '\0');
  return field;
}

std::map<std::string, Record> ByName(const std::vector<Record>& records) {
  std::map<std::string, Record> byName;
  for (const Record& record : records) byName[record.name] = record;
  return byName;
}

// A sink that runs an action when a line starting with a prefix is added, on the thread that
// adds it, and notes the send calls made by then.
class ReactingSink : public test::CapturingSink {
 public:
  ReactingSink(std::string prefix, std::function<void()> action)
      : prefix_(std::move(prefix)), action_(std::move(action)) {}
  void AddLine(std::string_view line) override {
    if (line.substr(0, prefix_.size()) == prefix_ && !reacted_.exchange(true)) {
      sendCallsThen_ = test::SendCalls();
      if (action_) action_();
    }
    CapturingSink::AddLine(line);
  }
  int32_t sendCallsThen() const { return sendCallsThen_.load(); }

 private:
  const std::string prefix_;
  const std::function<void()> action_;
  std::atomic<bool> reacted_{false};
  std::atomic<int32_t> sendCallsThen_{-1};
};

class ListingTest : public test::DeliveryTest {
 protected:
  std::string List(std::string_view block = "<1") {
    std::optional<std::string> reply = Fetch(port(), block);
    EXPECT_TRUE(reply.has_value());
    EXPECT_TRUE(WaitForClientsToLeave());
    return reply.value_or("");
  }
  void UseSink(std::shared_ptr<test::CapturingSink> sink) {
    log_ = std::move(sink);
    SetLogSink(log_);
  }
};

TEST_F(ListingTest, EmptyOrMissingFoldersGiveOnlyTheEndBlock) {
  Start();
  EXPECT_EQ(List(), kEndBlock);
  Stop();
  // An unset folder, a folder that does not exist and a path that is a file.
  SetPathText(&settings_.videoFolder, "");
  SetPathText(&settings_.audioFolder, (media_.path() / "nowhere").string());
  SetPathText(&settings_.photoFolder, media_.Write("plain.jpg", "x").string());
  Start();
  EXPECT_EQ(List(), kEndBlock);
}

TEST_F(ListingTest, RecordsAreByteExactAndNumberedByFourAcrossFolders) {
  media_.Write("video/a.avi", "12345");
  media_.Write("audio/c.mp3", std::string(1234, 'x'));
  media_.Write("photo/z.jpg", "");
  Start();
  int32_t calls = test::SendCalls();
  std::string reply = List();
  EXPECT_EQ(test::SendCalls() - calls, 4);  // one per record, one for the end block

  std::string first(64, '\0');
  first.replace(0, 1, "0");
  first.replace(8, 5, "a.avi");
  first.replace(48, 5, "33206");
  first.replace(54, 1, "5");
  std::vector<Record> records = Records(reply);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].raw, first);
  EXPECT_EQ(records[1].number, "4");
  EXPECT_EQ(records[1].raw.substr(1, 7), std::string(7, '\0'));
  EXPECT_EQ(records[1].name, "c.mp3");
  EXPECT_EQ(records[1].size, SizeField("1234"));
  EXPECT_EQ(records[2].number, "8");
  EXPECT_EQ(records[2].name, "z.jpg");
  EXPECT_EQ(records[2].size, SizeField("0"));
}

TEST_F(ListingTest, LongNamesAreRefusedWithACountedWarningAndUseUpTheirNumber) {
  const std::string name39 = std::string(35, 'p') + ".jpg";
  const std::string name40 = std::string(36, 's') + ".mp3";
  const std::string name250 = std::string(246, 'v') + ".avi";
  media_.Write("video/" + name250, "");
  media_.Write("audio/" + name40, "");
  media_.Write("photo/" + name39, "");
  Start();
  int16_t counted = LogLineCount();
  std::vector<Record> records = Records(List());
  // Connection, request and departure lines, and the two warnings.
  EXPECT_EQ(LogLineCount() - counted, 5);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].number, "8");
  EXPECT_EQ(records[0].raw.substr(8, 39), name39);
  EXPECT_EQ(records[0].raw[47], '\0');
  EXPECT_EQ(log_->Count("System Warming 3003! FileName :: " + name40 + " ."), 1);
  // The whole name, however long the line becomes.
  EXPECT_EQ(log_->Count("System Warming 3003! FileName :: " + name250 + " ."), 1);
}

TEST_F(ListingTest, EachFolderListsOnlyItsOwnEndingsInEitherLetterCase) {
  for (const char* name :
       {"a.avi", "b.MPG", "c.Vob", "d.dAt", "e.mpeg", "f.mp3", "g.jpg", ".avi", "hh.avi.txt",
        "i\x0e"
        "avi",
        "javi", "k.AVI"}) {
    media_.Write(std::string("video/") + name, "");
  }
  for (const char* name :
       {"song.Mp3", "song.mP3", "s.MP3", "x.mp\x13", "y.avi", ".mp3", "z.mp4", "w.jpg"}) {
    media_.Write(std::string("audio/") + name, "");
  }
  for (const char* name : {"z.JPG", "photo.jpeg", "p.jpe", "q.mp3", "r.avi"}) {
    media_.Write(std::string("photo/") + name, "");
  }
  Start();
  std::vector<Record> records = Records(List());
  std::vector<std::string> names;
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].number, std::to_string(4 * i));
    names.push_back(records[i].name);
  }
  ASSERT_EQ(names.size(), 9u);
  // Video entries first, then audio, then photo; the platform's order within a folder.
  std::sort(names.begin(), names.begin() + 5);
  std::sort(names.begin() + 5, names.begin() + 8);
  EXPECT_EQ(names, (std::vector<std::string>{"a.avi", "b.MPG", "c.Vob", "d.dAt", "k.AVI", "s.MP3",
                                             "song.Mp3", "song.mP3", "z.JPG"}));
}

TEST_F(ListingTest, ModesAndSizesFollowTheEntry) {
  test::MakeSparseFile(video() / "giga.avi", 1'000'000'000);
  test::MakeSparseFile(video() / "full.avi", 0xFFFFFFFFull);
  test::MakeSparseFile(video() / "five.avi", 5ull << 30);
  std::filesystem::create_directory(video() / "clips.avi");
  std::filesystem::create_directory(video() / "locked.avi");
  ::chmod((video() / "locked.avi").c_str(), 0555);
  // The owner's write bit decides, not whether this (root) user may write.
  media_.Write("audio/ro.mp3", "abc");
  ::chmod((audio() / "ro.mp3").c_str(), 0444);
  media_.Write("audio/othersw.mp3", "abc");
  ::chmod((audio() / "othersw.mp3").c_str(), 0466);
  media_.Write("audio/ownerw.mp3", "abc");
  ::chmod((audio() / "ownerw.mp3").c_str(), 0200);
  // Found by the walk, but its attributes cannot be read.
  ASSERT_EQ(::symlink("nowhere", (photo() / "gone.jpg").c_str()), 0);
  Start();
  std::map<std::string, Record> byName = ByName(Records(List()));
  ASSERT_EQ(byName.size(), 9u);
  EXPECT_EQ(byName["giga.avi"].size, "1000000000");  // ten digits, no zero byte behind
  EXPECT_EQ(byName["giga.avi"].raw.substr(54), "1000000000");
  EXPECT_EQ(byName["full.avi"].raw.substr(54), "4294967295");
  EXPECT_EQ(byName["five.avi"].size, SizeField("1073741824"));  // the low 32 bits
  EXPECT_EQ(byName["five.avi"].mode, "33206");
  EXPECT_EQ(byName["clips.avi"].mode, "16895");
  EXPECT_EQ(byName["clips.avi"].size, SizeField("0"));
  EXPECT_EQ(byName["locked.avi"].mode, "16749");
  EXPECT_EQ(byName["ro.mp3"].mode, "33060");
  EXPECT_EQ(byName["ro.mp3"].size, SizeField("3"));
  EXPECT_EQ(byName["othersw.mp3"].mode, "33060");
  EXPECT_EQ(byName["ownerw.mp3"].mode, "33206");
  EXPECT_EQ(byName["gone.jpg"].mode, "33206");
  EXPECT_EQ(byName["gone.jpg"].size, SizeField("0"));
  EXPECT_EQ(byName["gone.jpg"].raw.substr(48, 6), std::string("33206\0", 6));
}

TEST_F(ListingTest, RecordsLeaveWhileTheWalkGoesOn) {
  media_.Write("video/a.avi", "");
  media_.Write("photo/" + std::string(40, 'n') + ".jpg", "");
  auto sink = std::make_shared<ReactingSink>("System Warming 3003!", nullptr);
  UseSink(sink);
  Start();
  int32_t calls = test::SendCalls();
  EXPECT_EQ(Records(List()).size(), 1u);
  // The video record had been sent when the walk reached the photo folder.
  EXPECT_EQ(sink->sendCallsThen() - calls, 1);
}

TEST_F(ListingTest, ListingThatBeginsAfterStopSendsOnlyTheEndBlock) {
  media_.Write("video/a.avi", "");
  media_.Write("photo/z.jpg", "");
  UseSink(std::make_shared<ReactingSink>("127.0.0.1 requests to list files",
                                         [] { CurrentRun()->Stop(); }));
  Start();
  EXPECT_EQ(List(), kEndBlock);
}

TEST_F(ListingTest, StopDuringTheWalkEndsTheListWithTheEndBlock) {
  media_.Write("video/a.avi", "");
  media_.Write("audio/" + std::string(40, 'n') + ".mp3", "");
  media_.Write("photo/z.jpg", "");
  UseSink(std::make_shared<ReactingSink>("System Warming 3003!", [] { CurrentRun()->Stop(); }));
  Start();
  std::vector<Record> records = Records(List());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].name, "a.avi");
}

TEST_F(ListingTest, RestOfTheRequestBlockIsIgnoredAndListingsDoNotShareNumbers) {
  media_.Write("video/a.avi", "");
  media_.Write("photo/z.jpg", "");
  Start();
  test::AdapterClient first, second;
  ASSERT_TRUE(first.Connect(port()));
  ASSERT_TRUE(second.Connect(port()));
  ASSERT_TRUE(first.SendBlock("<1../../etc"));
  ASSERT_TRUE(second.SendBlock("<1"));
  std::optional<std::string> one = first.ReadToClose(), two = second.ReadToClose();
  ASSERT_TRUE(one && two);
  EXPECT_EQ(*one, *two);
  EXPECT_EQ(Records(*one).size(), 2u);
  EXPECT_EQ(Records(*one)[1].number, "4");
}

std::atomic<int> g_sends{0};

TEST_F(ListingTest, FailedSendEndsTheListing) {
  for (int i = 0; i < 5; ++i) media_.Write("video/" + std::to_string(i) + ".avi", "");
  g_sends = 0;
  // The second send finds the connection reset.
  Sys().send = [](int fd, const void* data, size_t length, int flags) -> ssize_t {
    if (++g_sends == 2) {
      errno = ECONNRESET;
      return -1;
    }
    return ::send(fd, data, length, flags);
  };
  Start();
  int32_t calls = test::SendCalls();
  std::optional<std::string> reply = Fetch(port(), "<1");
  ASSERT_TRUE(WaitForClientsToLeave());
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->size(), kListingRecordSize);
  EXPECT_EQ(test::SendCalls() - calls, 2);  // neither the other records nor the end block
}

TEST(ListingRecordTest, ModeWords) {
  EXPECT_EQ(ModeWord(false, false), 33206);
  EXPECT_EQ(ModeWord(false, true), 33060);
  EXPECT_EQ(ModeWord(true, false), 16895);
  EXPECT_EQ(ModeWord(true, true), 16749);
}

TEST(ListingRecordTest, WidestValuesFillTheirFields) {
  uint8_t record[kListingRecordSize];
  const std::string name(kListedNameLimit - 1, 'n');
  WriteListingRecord(kLargestEntryNumber, name, 65535, 4294967295u, record);
  std::string raw(reinterpret_cast<const char*>(record), sizeof record);
  EXPECT_EQ(raw, std::string("9999999\0", 8) + name + std::string(1, '\0') +
                     std::string("65535\0", 6) + "4294967295");
}

TEST(ListingRecordTest, EndingsNeedTheirDotAndExactDigit) {
  EXPECT_TRUE(EndingBelongsTo(ListingFolder::kAudio, "a.MP3"));
  EXPECT_FALSE(EndingBelongsTo(ListingFolder::kAudio, ".mp3"));
  EXPECT_FALSE(EndingBelongsTo(ListingFolder::kAudio, "a.mp\x13"));  // '3' | 0x20 == '3'
  EXPECT_FALSE(EndingBelongsTo(ListingFolder::kVideo,
                               "a\x0e"
                               "avi"));                              // '.' | 0x20 == '.'
  EXPECT_FALSE(EndingBelongsTo(ListingFolder::kPhoto, "a.j\xd0g"));  // not a letter
  EXPECT_FALSE(EndingBelongsTo(ListingFolder::kPhoto, "a.jpeg"));
  EXPECT_FALSE(EndingBelongsTo(ListingFolder::kVideo, "a.jpg"));
}

}  // namespace
}  // namespace rureza
