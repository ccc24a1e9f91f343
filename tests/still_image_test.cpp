// Still images through the live server: 32,767-byte chunks padded with '0' bytes, refused
// paths and lengths, and a file that cannot be read to its end.
#include <gtest/gtest.h>

#include <string>

#include "server/activity_log.h"
#include "server/server.h"
#include "support/delivery_support.h"

namespace rureza {
namespace {

constexpr size_t kChunk = 32767;

using StillImageTest = test::DeliveryTest;

TEST_F(StillImageTest, TwoAdaptersAtOnceGetTheFileInChunksOf32767PaddedWithZeroDigits) {
  Start();
  for (size_t length : {size_t{0}, kChunk, kChunk + 1, size_t{300000}}) {
    const std::string content = test::PatternBytes(length);
    media_.Write("photo/p.jpg", content);
    const std::string reply = test::Block(std::to_string(length)) + content +
                              std::string((kChunk - length % kChunk) % kChunk, '0');
    int32_t calls = test::SendCalls();
    test::AdapterClient first, second;
    ASSERT_TRUE(first.Connect(port()) && second.Connect(port()));
    ASSERT_TRUE(first.SendBlock("<33p.jpg") && second.SendBlock("<33p.jpg"));
    EXPECT_EQ(first.ReadToClose(), reply);
    EXPECT_EQ(second.ReadToClose(), reply);
    ASSERT_TRUE(test::WaitUntil([] { return ClientCount() == 0; }));
    EXPECT_EQ(test::SendCalls() - calls, int32_t(2 + 2 * ((length + kChunk - 1) / kChunk)));
  }
}

TEST_F(StillImageTest, UnservableOrUnreadableFilesLogOneUncountedLine) {
  media_.Write("secret.jpg", "outside the photo folder");
  std::filesystem::create_directory(photo() / "album.jpg");
  test::MakeSparseFile(photo() / "huge.jpg", 1ull << 31);  // its length does not fit "%d"
  const std::string content = test::PatternBytes(100000);
  media_.Write("photo/bad.jpg", content);
  test::FailFileReadsAfter(-1);
  Start();
  const std::string absolute = (media_.path() / "secret.jpg").string();
  for (std::string name :
       {"missing.jpg", "album.jpg", "", "../secret.jpg", absolute.c_str(), "huge.jpg", "bad.jpg"}) {
    const bool bad = name == "bad.jpg";
    // A read error ends the transfer without padding.
    if (bad) test::FailFileReadsAfter(kChunk + 5000);
    int16_t counted = LogLineCount();
    EXPECT_EQ(test::Fetch(port(), "<33" + name),
              bad ? test::Block("100000") + content.substr(0, kChunk) : "");
    EXPECT_EQ(log_->Count((bad ? "Can Not Read File : " : "Can Not Play File : ") +
                          photo().string() + "\\" + name),
              1);
    EXPECT_EQ(LogLineCount() - counted, 3);  // connection, path and departure lines
  }
}

}  // namespace
}  // namespace rureza
