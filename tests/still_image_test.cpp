// Still images through the live server: the length block, 32,767-byte chunks padded with '0'
// bytes, refused paths and lengths, and a file that cannot be read to its end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "server/activity_log.h"
#include "support/delivery_support.h"

namespace rureza {
namespace {

using test::Fetch;
using test::WaitForClientsToLeave;

constexpr size_t kChunk = 32767;

std::string LengthBlock(uint64_t length) { return test::Block(std::to_string(length)); }

// What the adapter must receive for a file holding content.
std::string ExpectedReply(const std::string& content) {
  std::string reply = LengthBlock(content.size()) + content;
  size_t partial = content.size() % kChunk;
  if (partial != 0) reply.append(kChunk - partial, '0');
  return reply;
}

class StillImageTest : public test::DeliveryTest {
 protected:
  std::string PathLine(const std::string& name) const { return photo().string() + "\\" + name; }
};

TEST_F(StillImageTest, FileIsSentInChunksOf32767PaddedWithZeroDigits) {
  Start();
  for (size_t length : {size_t{0}, kChunk, kChunk + 1, size_t{100000}}) {
    SCOPED_TRACE(length);
    const std::string content = test::PatternBytes(length);
    const std::string name = "p" + std::to_string(length) + ".jpg";
    media_.Write("photo/" + name, content);
    int32_t calls = test::SendCalls();
    std::optional<std::string> reply = Fetch(port(), "<33" + name);
    ASSERT_TRUE(WaitForClientsToLeave());
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, ExpectedReply(content));
    EXPECT_EQ(test::SendCalls() - calls, static_cast<int32_t>(1 + (length + kChunk - 1) / kChunk));
  }
  // 100,000 bytes: three full chunks and 1,699 file bytes padded with 31,068 '0' bytes.
  EXPECT_EQ(ExpectedReply(test::PatternBytes(100000)).size(), 131324u);
}

TEST_F(StillImageTest, UnservablePathsSendNothingAndLogAnUncountedLine) {
  media_.Write("secret.jpg", "outside the photo folder");
  std::filesystem::create_directory(photo() / "album.jpg");
  test::MakeSparseFile(photo() / "huge.jpg", 1ull << 31);  // its length does not fit "%d"
  Start();
  const std::vector<std::string> names = {
      "missing.jpg",   "album.jpg",          "",
      "../secret.jpg", "a/../../secret.jpg", (media_.path() / "secret.jpg").string(),
      "huge.jpg"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    int16_t counted = LogLineCount();
    std::optional<std::string> reply = Fetch(port(), "<33" + name);
    ASSERT_TRUE(WaitForClientsToLeave());
    EXPECT_EQ(reply, "");
    EXPECT_EQ(log_->Count("Can Not Play File : " + PathLine(name)), 1);
    // Connection, path and departure lines only.
    EXPECT_EQ(LogLineCount() - counted, 3);
  }
}

TEST_F(StillImageTest, ReadErrorEndsTheTransferWithoutPadding) {
  const std::string content = test::PatternBytes(100000);
  media_.Write("photo/bad.jpg", content);
  test::FailFileReadsAfter(kChunk + 5000);
  Start();
  int16_t counted = LogLineCount();
  std::optional<std::string> reply = Fetch(port(), "<33bad.jpg");
  ASSERT_TRUE(WaitForClientsToLeave());
  EXPECT_EQ(reply, LengthBlock(100000) + content.substr(0, kChunk));
  EXPECT_EQ(log_->Count("Can Not Read File : " + PathLine("bad.jpg")), 1);
  EXPECT_EQ(LogLineCount() - counted, 3);
}

TEST_F(StillImageTest, FileThatShrinksAfterItsLengthWasSentEndsAtOnce) {
  const std::string content = test::PatternBytes(100000);
  const std::filesystem::path file = media_.Write("photo/cut.jpg", content);
  test::BeforeFirstFileRead([file] { ::truncate(file.c_str(), 50000); });
  Start();
  std::optional<std::string> reply = Fetch(port(), "<33cut.jpg");
  ASSERT_TRUE(WaitForClientsToLeave());
  // Never '0' padding in place of file bytes the adapter was promised.
  EXPECT_EQ(reply, LengthBlock(100000) + content.substr(0, kChunk));
  EXPECT_EQ(log_->Count("Can Not Read File : " + PathLine("cut.jpg")), 1);
}

TEST_F(StillImageTest, TwoAdaptersFetchTheSamePhotoAtOnce) {
  const std::string content = test::PatternBytes(300000);
  media_.Write("photo/shared.jpg", content);
  Start();
  test::AdapterClient first, second;
  ASSERT_TRUE(first.Connect(port()));
  ASSERT_TRUE(second.Connect(port()));
  ASSERT_TRUE(first.SendBlock("<33shared.jpg"));
  ASSERT_TRUE(second.SendBlock("<33./shared.jpg"));
  EXPECT_EQ(first.ReadToClose(), ExpectedReply(content));
  EXPECT_EQ(second.ReadToClose(), ExpectedReply(content));
}

}  // namespace
}  // namespace rureza
