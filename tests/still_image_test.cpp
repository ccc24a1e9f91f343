// Still images through the live server: 32,767-byte chunks padded with '0' bytes, refused
// paths and lengths, and a file that cannot be read to its end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/activity_log.h"
#include "support/delivery_support.h"

namespace rureza {
namespace {

constexpr size_t kChunk = 32767;

std::string ExpectedReply(const std::string& content) {
  std::string reply = test::Block(std::to_string(content.size())) + content;
  if (content.size() % kChunk != 0) reply.append(kChunk - content.size() % kChunk, '0');
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
    media_.Write("photo/p.jpg", content);
    int32_t calls = test::SendCalls();
    EXPECT_EQ(test::Fetch(port(), "<33p.jpg"), ExpectedReply(content));
    EXPECT_EQ(test::SendCalls() - calls, static_cast<int32_t>(1 + (length + kChunk - 1) / kChunk));
  }
  EXPECT_EQ(ExpectedReply(test::PatternBytes(100000)).size(), 131324u);
}

TEST_F(StillImageTest, UnservablePathsSendNothingAndLogAnUncountedLine) {
  media_.Write("secret.jpg", "outside the photo folder");
  std::filesystem::create_directory(photo() / "album.jpg");
  test::MakeSparseFile(photo() / "huge.jpg", 1ull << 31);  // its length does not fit "%d"
  Start();
  const std::vector<std::string> names = {
      "missing.jpg", "album.jpg", "", "../secret.jpg", (media_.path() / "secret.jpg").string(),
      "huge.jpg"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    int16_t counted = LogLineCount();
    EXPECT_EQ(test::Fetch(port(), "<33" + name), "");
    EXPECT_EQ(log_->Count("Can Not Play File : " + PathLine(name)), 1);
    EXPECT_EQ(LogLineCount() - counted, 3);  // connection, path and departure lines
  }
}

TEST_F(StillImageTest, ReadErrorEndsTheTransferWithoutPadding) {
  const std::string content = test::PatternBytes(100000);
  media_.Write("photo/bad.jpg", content);
  test::FailFileReadsAfter(kChunk + 5000);
  Start();
  int16_t counted = LogLineCount();
  EXPECT_EQ(test::Fetch(port(), "<33bad.jpg"), test::Block("100000") + content.substr(0, kChunk));
  EXPECT_EQ(log_->Count("Can Not Read File : " + PathLine("bad.jpg")), 1);
  EXPECT_EQ(LogLineCount() - counted, 3);
}

TEST_F(StillImageTest, TwoAdaptersFetchTheSamePhotoAtOnce) {
  const std::string content = test::PatternBytes(300000);
  media_.Write("photo/shared.jpg", content);
  Start();
  test::AdapterClient first, second;
  ASSERT_TRUE(first.Connect(port()) && second.Connect(port()));
  ASSERT_TRUE(first.SendBlock("<33shared.jpg") && second.SendBlock("<33shared.jpg"));
  EXPECT_EQ(first.ReadToClose(), ExpectedReply(content));
  EXPECT_EQ(second.ReadToClose(), ExpectedReply(content));
}

}  // namespace
}  // namespace rureza
