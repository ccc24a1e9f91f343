// The firmware image through the live server: the unsigned length block, 4,096-byte chunks
// with a short last one, the exclusive hold against a second adapter, refused images, and
// transfers that cannot go on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "server/activity_log.h"
#include "support/delivery_support.h"

namespace rureza {
namespace {

using test::Fetch;
using test::WaitForClientsToLeave;

constexpr size_t kChunk = 4096;
// Several times what the loopback socket buffers hold (at most 4 MiB sent ahead here), so a
// transfer to an adapter that does not read stays in progress.
constexpr uint64_t kLargeImage = 16u << 20;

std::string LengthBlock(uint64_t length) { return test::Block(std::to_string(length)); }

class FirmwareTest : public test::DeliveryTest {
 protected:
  std::filesystem::path UseImage(const std::string& content) {
    std::filesystem::path image = media_.Write("fw.bin", content);
    UseImagePath(image.string());
    return image;
  }
  void UseImagePath(const std::string& path) { SetPathText(&settings_.firmwareFile, path); }
  std::string firmwarePath() const { return PathText(settings_.firmwareFile); }
  // A new request is served: its length block arrives.
  bool ImageIsServed(uint64_t length) {
    test::AdapterClient client;
    return client.Connect(port()) && client.SendBlock("<7") &&
           client.ReadExact(256) == LengthBlock(length);
  }
};

TEST_F(FirmwareTest, ImageIsSentInChunksOf4096WithAShortLastOne) {
  for (size_t length : {size_t{0}, size_t{8192}, size_t{10000}}) {
    SCOPED_TRACE(length);
    const std::string content = test::PatternBytes(length, 7);
    UseImage(content);
    Start();
    int32_t calls = test::SendCalls();
    // The rest of the request block is not used, not even as a path.
    std::optional<std::string> reply = Fetch(port(), "<7../../etc/passwd");
    ASSERT_TRUE(WaitForClientsToLeave());
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, LengthBlock(length) + content);
    EXPECT_EQ(test::SendCalls() - calls, static_cast<int32_t>(1 + (length + kChunk - 1) / kChunk));
    Stop();
  }
}

TEST_F(FirmwareTest, SecondAdapterIsRefusedAtOnceWhileTheFirstHoldsTheImage) {
  std::filesystem::path image = UseImage("");
  test::MakeSparseFile(image, kLargeImage);
  Start();
  test::AdapterClient first;
  ASSERT_TRUE(first.Connect(port()));
  ASSERT_TRUE(first.SendBlock("<7"));
  ASSERT_EQ(first.ReadExact(256), LengthBlock(kLargeImage));

  int16_t counted = LogLineCount();
  std::optional<std::string> refused = Fetch(port(), "<7");
  EXPECT_EQ(refused, "");
  EXPECT_EQ(log_->Count("Can Not Open File : " + image.string()), 1);
  EXPECT_TRUE(test::WaitUntil([&] { return LogLineCount() - counted == 3; }));

  std::optional<std::string> rest = first.ReadToClose(test::kDefaultTimeoutMs * 3);
  ASSERT_TRUE(rest);
  EXPECT_EQ(rest->size(), kLargeImage);
  EXPECT_EQ(rest->find_first_not_of('\0'), std::string::npos);
  ASSERT_TRUE(WaitForClientsToLeave());
  EXPECT_TRUE(ImageIsServed(kLargeImage));  // released with the first transfer
}

TEST_F(FirmwareTest, ImagesThatCannotBeSentSendNothingAndLogAnUncountedLine) {
  test::MakeSparseFile(media_.path() / "huge.bin", 1ull << 32);  // does not fit "%u"
  std::filesystem::create_directory(media_.path() / "folder.bin");
  for (const std::string& path :
       {std::string(""), (media_.path() / "missing.bin").string(),
        (media_.path() / "folder.bin").string(), (media_.path() / "huge.bin").string()}) {
    SCOPED_TRACE(path);
    UseImagePath(path);
    Start();
    int16_t counted = LogLineCount();
    EXPECT_EQ(Fetch(port(), "<7"), "");
    ASSERT_TRUE(WaitForClientsToLeave());
    EXPECT_EQ(log_->Count("Can Not Open File : " + path), 1);
    // Connection, request and departure lines only.
    EXPECT_EQ(LogLineCount() - counted, 3);
    Stop();
  }
}

TEST_F(FirmwareTest, ReadErrorEndsTheTransferAtOnce) {
  const std::string content = test::PatternBytes(10000);
  UseImage(content);
  test::FailFileReadsAfter(kChunk + 500);
  Start();
  std::optional<std::string> reply = Fetch(port(), "<7");
  ASSERT_TRUE(WaitForClientsToLeave());
  EXPECT_EQ(reply, LengthBlock(10000) + content.substr(0, kChunk));
  EXPECT_EQ(log_->Count("Can Not Read File : " + firmwarePath()), 1);
}

TEST_F(FirmwareTest, ImageThatGrowsIsSentAtTheLengthItAnnounced) {
  const std::string content = test::PatternBytes(10000);
  std::filesystem::path image = UseImage(content);
  test::BeforeFirstFileRead([image] {
    std::ofstream(image, std::ios::binary | std::ios::app) << std::string(5000, 'G');
  });
  Start();
  std::optional<std::string> reply = Fetch(port(), "<7");
  ASSERT_TRUE(WaitForClientsToLeave());
  EXPECT_EQ(reply, LengthBlock(10000) + content);
}

TEST_F(FirmwareTest, AdapterThatResetsEndsTheTransferAndReleasesTheImage) {
  std::filesystem::path image = UseImage("");
  test::MakeSparseFile(image, kLargeImage);
  Start();
  int32_t calls = test::SendCalls();
  test::AdapterClient gone;
  ASSERT_TRUE(gone.Connect(port()));
  ASSERT_TRUE(gone.SendBlock("<7"));
  ASSERT_TRUE(gone.ReadExact(256));
  gone.Reset();
  ASSERT_TRUE(WaitForClientsToLeave());
  EXPECT_LT(test::SendCalls() - calls, static_cast<int32_t>(1 + kLargeImage / kChunk));
  EXPECT_TRUE(ImageIsServed(kLargeImage));
}

}  // namespace
}  // namespace rureza
