// The firmware image through the live server: 4,096-byte chunks with a short last one, the
// exclusive hold against a second adapter, refused images, and transfers that cannot go on.
#include <gtest/gtest.h>

#include <string>

#include "server/activity_log.h"
#include "server/server.h"
#include "support/delivery_support.h"

namespace rureza {
namespace {

constexpr size_t kChunk = 4096;
// Several times what loopback holds ahead of an adapter that does not read (about 4 MiB),
// so such a transfer stays in progress.
constexpr uint64_t kLargeImage = 16u << 20;

class FirmwareTest : public test::DeliveryTest {
 protected:
  std::string UseImage(const std::string& content, uint64_t sparseLength = 0) {
    std::filesystem::path image = media_.Write("fw.bin", content);
    if (sparseLength > 0) test::MakeSparseFile(image, sparseLength);
    SetPathText(&settings_.firmwareFile, image.string());
    return image.string();
  }
  bool ImageIsServed(uint64_t length) {
    test::AdapterClient client;
    return client.Connect(port()) && client.SendBlock("<7") &&
           client.ReadExact(256) == test::Block(std::to_string(length));
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
    EXPECT_EQ(test::Fetch(port(), "<7../../etc/passwd"),
              test::Block(std::to_string(length)) + content);
    EXPECT_EQ(test::SendCalls() - calls, static_cast<int32_t>(1 + (length + kChunk - 1) / kChunk));
    Stop();
  }
}

TEST_F(FirmwareTest, SecondAdapterIsRefusedAtOnceWhileTheFirstHoldsTheImage) {
  const std::string image = UseImage("", kLargeImage);
  Start();
  test::AdapterClient first;
  ASSERT_TRUE(first.Connect(port()) && first.SendBlock("<7"));
  ASSERT_TRUE(first.ReadExact(256));

  int16_t counted = LogLineCount();
  EXPECT_EQ(test::Fetch(port(), "<7"), "");
  EXPECT_EQ(log_->Count("Can Not Open File : " + image), 1);
  EXPECT_EQ(LogLineCount() - counted, 3);  // connection, request and departure lines

  EXPECT_EQ(first.ReadToClose(test::kDefaultTimeoutMs * 3), std::string(kLargeImage, '\0'));
  ASSERT_TRUE(test::WaitUntil([] { return ClientCount() == 0; }));
  EXPECT_TRUE(ImageIsServed(kLargeImage));  // released with the first transfer
}

TEST_F(FirmwareTest, ImagesThatCannotBeSentSendNothingAndLogAnUncountedLine) {
  test::MakeSparseFile(media_.path() / "huge.bin", 1ull << 32);  // does not fit "%u"
  for (const std::string& path : {std::string(), (media_.path() / "missing.bin").string(),
                                  media_.path().string(), (media_.path() / "huge.bin").string()}) {
    SCOPED_TRACE(path);
    SetPathText(&settings_.firmwareFile, path);
    Start();
    EXPECT_EQ(test::Fetch(port(), "<7"), "");
    EXPECT_EQ(log_->Count("Can Not Open File : " + path), 1);
    Stop();
  }
}

TEST_F(FirmwareTest, ImageThatGrowsIsSentAtTheLengthItAnnounced) {
  const std::string content = test::PatternBytes(10000);
  UseImage(content);
  test::MakeFilesGrowWhileRead();
  Start();
  EXPECT_EQ(test::Fetch(port(), "<7"), test::Block("10000") + content);
}

TEST_F(FirmwareTest, AdapterThatResetsEndsTheTransferAndReleasesTheImage) {
  UseImage("", kLargeImage);
  Start();
  int32_t calls = test::SendCalls();
  test::AdapterClient gone;
  ASSERT_TRUE(gone.Connect(port()) && gone.SendBlock("<7") && gone.ReadExact(256));
  gone.Reset();
  ASSERT_TRUE(test::WaitUntil([] { return ClientCount() == 0; }));
  EXPECT_LT(test::SendCalls() - calls, static_cast<int32_t>(1 + kLargeImage / kChunk));
  EXPECT_TRUE(ImageIsServed(kLargeImage));
}

}  // namespace
}  // namespace rureza
