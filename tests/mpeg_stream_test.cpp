// MPEG streams through the live server: the handshake with its tail position, the paced stream
// byte for byte, backward steps from the scale value, commands, and streams without an end.
#include <gtest/gtest.h>

#include <vector>

#include "delivery/stream_blocks.h"
#include "server/server.h"
#include "support/stream_test.h"

namespace rureza {
namespace {

using test::AdapterClient;
using test::Command;
using test::kBlock;

const std::string kZeroBlock(256, '\0');

class MpegStreamTest : public test::StreamTest {
 protected:
  void SetUp() override {
    test::StreamTest::SetUp();
    Start();
  }

  AdapterClient PlayMovie(const std::string& content) {
    file_ = Media("video/movie.mpg", content);
    return Play('4', "movie.mpg");
  }

  std::string Part(size_t from, size_t to) const { return file_.substr(from, to - from); }

  // The handshake of an adapter that wants the end, with its scale value: the first block from
  // start, then the end position with the last block and the first again.
  void Handshake(AdapterClient& client, const std::string& scale, size_t start = 0) {
    size_t tail = file_.size() - kBlock;
    EXPECT_TRUE(client.ReadExact(256 + kBlock) == kZeroBlock + Part(start, start + kBlock));
    ASSERT_TRUE(client.SendBlock("1"));
    EXPECT_TRUE(client.ReadExact(256 + 2 * kBlock) == TailPositionBlock(uint32_t(tail)) +
                                                          Part(tail, file_.size()) +
                                                          Part(start, start + kBlock));
    ASSERT_TRUE(client.SendBlock(scale));
  }

  // Which whole blocks of the file data carries, in order.
  std::vector<size_t> Blocks(const std::string& data) {
    std::vector<size_t> blocks;
    EXPECT_EQ(data.size() % kBlock, 0u);
    for (size_t at = 0; at + kBlock <= data.size(); at += kBlock) {
      size_t offset = 0;
      for (int i = 3; i >= 0; --i) offset = offset << 8 | uint8_t(data[at + size_t(i)]);
      size_t index = offset / kBlock;
      EXPECT_TRUE(data.compare(at, kBlock, file_, index * kBlock, kBlock) == 0) << at;
      blocks.push_back(index);
    }
    return blocks;
  }

  std::string file_;
};

TEST_F(MpegStreamTest, HandshakeAndStreamAreByteExact) {
  const std::string riff = "RIFF" + test::OffsetBytes(200000).substr(4);
  struct {
    std::string content, scale;
    size_t start, tailStart;  // what the final step sends: from tailStart as the last read left it
  } const cases[] = {
      {test::OffsetBytes(100000), "0", 0, 100000},  // 2 blocks 20 ms apart, 1696 bytes
      // The end position leaves no whole block for the loop, only the final 7232 bytes.
      {test::OffsetBytes(40000), "100000", 0, 40000},
      // Starts at 65536; the final step finds nothing left to read.
      {riff, "0", 65536, 196608}};
  for (const auto& [content, scale, start, tailStart] : cases) {
    AdapterClient client = PlayMovie(content);
    Control().Close();  // without control the stream plays on
    Handshake(client, scale, start);
    EXPECT_TRUE(client.ReadToClose() ==
                Part(start + kBlock, content.size()) + Part(tailStart, content.size()))
        << content.size();
  }
  EXPECT_TRUE(Play('4', "missing.mpg").ClosedWithoutData());
  EXPECT_TRUE(log_->WaitForLine("Can Not Play File : " + video().string() + "\\missing.mpg"));
}

TEST_F(MpegStreamTest, WithoutAnEndTheStreamEndsWhenTheAdapterHangsUp) {
  for (bool reset : {false, true}) {
    AdapterClient client = PlayMovie(test::OffsetBytes(100000));
    ASSERT_TRUE(client.ReadExact(256 + kBlock) && client.SendBlock("0"));  // no end wanted
    EXPECT_TRUE(client.ReadExact(kBlock) == Part(0, kBlock));
    ASSERT_TRUE(client.SendBlock("0"));
    EXPECT_TRUE(client.ReadExact(100000 - kBlock) == Part(kBlock, 100000));
    EXPECT_TRUE(client.SilentFor(100));  // empty sends only
    reset ? client.Reset() : client.Close();
    EXPECT_TRUE(test::WaitUntil([] { return ClientCount() == 0; })) << reset;
    EXPECT_TRUE(WaitForThreads(kRunThreads));
  }
}

TEST_F(MpegStreamTest, BackwardSendsTheStepsBlocksBeforeThePosition) {
  AdapterClient client = PlayMovie(test::OffsetBytes(40 * kBlock));
  Handshake(client, "200000");  // step 3
  std::string data = client.ReadExact(10 * kBlock).value_or("");
  // Unread, the stream soon waits for the connection: it cannot reach its end meanwhile.
  ASSERT_TRUE(Control().SendRaw(Command("<59")));
  ASSERT_TRUE(log_->WaitForLine("Backforward...."));
  std::vector<size_t> blocks = Blocks(data + client.ReadToClose().value_or(""));
  size_t count = 0;  // forward passes: blocks 1, 2, ...
  while (count < blocks.size() && blocks[count] == count + 1) ++count;
  ASSERT_GE(count, 10u);
  // Each backward pass sends the 3 blocks before the position (one ahead of the count). A step
  // past the file's start ends the stream, as does a count at 0 or below 0 (then the final
  // step sends nothing, the file being whole blocks).
  std::vector<size_t> expected(blocks.begin(), blocks.begin() + long(count));
  for (size_t position = count + 1; position >= 3; position -= 3, count -= 3) {
    for (size_t i = position - 3; i < position; ++i) expected.push_back(i);
    if (count < 3) break;
  }
  EXPECT_EQ(blocks, expected);

  // A step longer than the file holds ends the stream at once.
  client = PlayMovie(test::OffsetBytes(100 * kBlock));
  Handshake(client, "2900000");  // step 231
  data = client.ReadExact(5 * kBlock).value_or("");
  ASSERT_TRUE(Control().SendRaw(Command("<59")));
  ASSERT_TRUE(test::WaitUntil([&] { return log_->Count("Backforward....") == 2; }));
  blocks = Blocks(data + client.ReadToClose().value_or(""));
  for (size_t i = 0; i < blocks.size(); ++i) EXPECT_EQ(blocks[i], i + 1);
  EXPECT_LT(blocks.size(), 99u);
}

TEST_F(MpegStreamTest, CommandsTheirLogLinesAndStop) {
  AdapterClient client = PlayMovie(test::OffsetBytes(200 * kBlock));
  Handshake(client, "0");
  ASSERT_TRUE(client.ReadExact(10 * kBlock));
  AdapterClient control = Control();
  ASSERT_TRUE(control.SendRaw(Command("<3") +   // Play while forward: nothing
                              Command("<57") +  // unknown direction: dropped
                              Command(">7") +   // not a command block
                              Command("<7") + Command("<58") + Command("<8") + Command("<59") +
                              Command("<59") +  // repeated backward: ignored, reading goes on
                              Command("<3") + Command("<4")));
  EXPECT_TRUE(control.ClosedWithoutData());  // Stop ended the stream
  EXPECT_TRUE(client.ReadToClose());
  std::vector<std::string> lines = log_->AllLines();
  std::erase_if(lines, [](const std::string& line) { return line.find("...") > 15; });
  EXPECT_EQ(lines, (std::vector<std::string>{"Unknow command...", "Fastforward....",
                                             "Unknow command...", "Backforward....", "Play...."}));
}

TEST_F(MpegStreamTest, ServerStopEndsTheStream) {
  AdapterClient client = PlayMovie(test::OffsetBytes(100 * kBlock));
  Handshake(client, "0");
  Stop();
  EXPECT_TRUE(log_->WaitForLine("System Error 2004! Please Contact to Developers!"));
  EXPECT_LT(client.ReadToClose().value_or(std::string(100 * kBlock, 'x')).size(), 99 * kBlock);
}

}  // namespace
}  // namespace rureza
