// The firmware image through the live server: 4,096-byte chunks with a short last one, the
// exclusive hold against a second adapter, refused images, and transfers that cannot go on.
#include <gtest/gtest.h>

#include <string>

#include "server/activity_log.h"
#include "server/server.h"
#include "support/delivery_support.h"

namespace rureza {
namespace {

constexpr int kChunk = 4096;

using FirmwareTest = test::DeliveryTest;

TEST_F(FirmwareTest, ImageGoesInChunksOf4096AndUnservableImagesSendNothing) {
  test::MakeSparseFile(media_.path() / "huge.bin", 1ull << 32);  // too long for its "%u"
  const std::pair<std::string, int> cases[] = {
      {"fw.bin", 0},       {"fw.bin", 8192}, {"fw.bin", 10000}, {"", -1},
      {"missing.bin", -1}, {".", -1},        {"huge.bin", -1}};
  for (const auto& [name, length] : cases) {
    const std::string path = name.empty() ? "" : (media_.path() / name).string();
    const std::string content = test::PatternBytes(std::max(length, 0), 7);
    if (length >= 0) media_.Write("fw.bin", content);
    // This one grows while it is read: it goes out at the length it announced.
    if (length == 10000) test::MakeFilesGrowWhileRead();
    SetPathText(&settings_.firmwareFile, path);
    Start();
    int32_t calls = test::SendCalls();
    // The rest of the request block is not used, not even as a path.
    EXPECT_EQ(test::Fetch(port(), "<7../../etc/passwd"),
              length < 0 ? "" : test::Block(std::to_string(length)) + content);
    EXPECT_EQ(test::SendCalls() - calls, length < 0 ? 0 : 1 + (length + kChunk - 1) / kChunk);
    EXPECT_EQ(log_->Count("Can Not Open File : " + path), length < 0 ? 1 : 0) << path;
    Stop();
    test::ResetFileFaults();
  }
}

TEST_F(FirmwareTest, OneAdapterHoldsTheImageUntilItsTransferEndsEitherWay) {
  // Several times what loopback holds ahead of an adapter that does not read.
  const uint64_t large = 16u << 20;
  const std::string image = media_.Write("fw.bin", "").string();
  test::MakeSparseFile(image, large);
  SetPathText(&settings_.firmwareFile, image);
  Start();
  for (bool reset : {true, false}) {
    int32_t calls = test::SendCalls();
    test::AdapterClient first;
    ASSERT_TRUE(first.Connect(port()) && first.SendBlock("<7") && first.ReadExact(256));
    int16_t counted = LogLineCount();
    EXPECT_EQ(test::Fetch(port(), "<7"), "");  // refused at once
    EXPECT_EQ(log_->Count("Can Not Open File : " + image), reset ? 1 : 2);
    EXPECT_EQ(LogLineCount() - counted, 3);  // connection, request and departure lines
    if (reset) {
      first.Reset();
    } else {
      EXPECT_EQ(first.ReadToClose(test::kDefaultTimeoutMs * 3), std::string(large, '\0'));
    }
    ASSERT_TRUE(test::WaitUntil([] { return ClientCount() == 0; }));
    EXPECT_TRUE(!reset || test::SendCalls() - calls < int32_t(large / kChunk));
  }
  test::AdapterClient last;  // released after a whole transfer too
  EXPECT_TRUE(last.Connect(port()) && last.SendBlock("<7") &&
              last.ReadExact(256) == test::Block(std::to_string(large)));
}

}  // namespace
}  // namespace rureza
