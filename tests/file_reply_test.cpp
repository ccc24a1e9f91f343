// Still and firmware images that cannot be served whole: refused files and lengths, a read
// error part way, and the firmware image that one adapter holds until its transfer ends.
#include <gtest/gtest.h>

#include "server/activity_log.h"
#include "server/server.h"
#include "support/faults.h"
#include "support/fixture.h"

namespace rureza::test {
namespace {

using FileReplyTest = ServerTest;

TEST_F(FileReplyTest, StillImagesThatCannotBeServedLogOneUncountedLine) {
  std::filesystem::create_directory(photo() / "album.jpg");
  MakeSparseFile(photo() / "huge.jpg", 1ull << 31);  // its length does not fit "%d"
  const std::string content = Media("photo/bad.jpg", PatternBytes(100000));
  InstallFaults();
  Start();
  for (std::string name : {"missing.jpg", "album.jpg", "huge.jpg", "bad.jpg"}) {
    const bool bad = name == "bad.jpg";
    // A read error ends the transfer without padding.
    if (bad) FailFileReadsAfter(32767 + 5000);
    int16_t counted = LogLineCount();
    EXPECT_EQ(Exchange(Block("<33" + name)), bad ? Block("100000") + content.substr(0, 32767) : "");
    EXPECT_EQ(log_->Count((bad ? "Can Not Read File : " : "Can Not Play File : ") +
                          photo().string() + "\\" + name),
              1);
    EXPECT_EQ(LogLineCount() - counted, 3);  // connection, path and departure lines
  }
}

TEST_F(FileReplyTest, FirmwareImagesThatCannotBeServedSendNothing) {
  MakeSparseFile(media_.path() / "huge.bin", 1ull << 32);  // too long for its "%u"
  for (const std::string name : {"", "missing.bin", ".", "huge.bin"}) {
    const std::string path = name.empty() ? "" : (media_.path() / name).string();
    SetPathText(&settings_.firmwareFile, path);
    Start();
    EXPECT_EQ(Exchange(Block("<7")), "");
    EXPECT_EQ(log_->Count("Can Not Open File : " + path), 1) << path;
    Stop();
  }
}

TEST_F(FileReplyTest, OneAdapterHoldsTheFirmwareImageUntilItsTransferEndsEitherWay) {
  // Several times what loopback holds ahead of an adapter that does not read.
  const uint64_t large = 16u << 20;
  const std::string image = (media_.path() / "fw.bin").string();
  MakeSparseFile(image, large);
  SetPathText(&settings_.firmwareFile, image);
  Start();
  for (bool reset : {true, false}) {
    int32_t calls = SendCalls();
    AdapterConnection first = Send("<7");
    ASSERT_TRUE(first.ReadExact(256));
    int16_t counted = LogLineCount();
    EXPECT_EQ(Exchange(Block("<7")), "");  // refused at once
    EXPECT_EQ(log_->Count("Can Not Open File : " + image), reset ? 1 : 2);
    EXPECT_EQ(LogLineCount() - counted, 3);  // connection, request and departure lines
    if (reset) {
      first.Reset();
    } else {
      EXPECT_EQ(first.ReadToClose(kLongReadMs), std::string(large, '\0'));
    }
    ASSERT_TRUE(WaitUntil([] { return ClientCount() == 0; }));
    EXPECT_TRUE(!reset || SendCalls() - calls < int32_t(large / 4096));
  }
  AdapterConnection last = Send("<7");  // released after a whole transfer too
  EXPECT_EQ(last.ReadExact(256), Block(std::to_string(large)));
}

}  // namespace
}  // namespace rureza::test
