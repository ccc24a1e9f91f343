// The activity log's line count and its emptying at the log-line limit, and the headless
// server's log stream.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <thread>

#include "app/stream_log_sink.h"
#include "server/activity_log.h"
#include "settings/server_settings.h"
#include "support/fixture.h"

namespace rureza::test {
namespace {

class ActivityLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogSink(sink_);
    SetLimit(1);  // one line at limit 1 empties the list and zeroes the count
    AppendLog("reset");
    SetLimit(10000);
    sink_->Reset();
  }
  void TearDown() override { SetLogSink(nullptr); }
  static void SetLimit(int16_t limit) {
    ServerSettings settings = CurrentSettings();
    settings.logLineLimit = limit;
    SetCurrentSettings(settings);
  }
  std::shared_ptr<CapturingSink> sink_ = std::make_shared<CapturingSink>();
};

TEST_F(ActivityLogTest, TheLineThatReachesTheLimitEmptiesTheList) {
  SetLimit(30);
  for (int i = 1; i <= 29; ++i) AppendLog("line " + std::to_string(i));
  for (int i = 0; i < 100; ++i) AppendLogUncounted("uncounted");
  EXPECT_EQ(sink_->Lines().size(), 129u);
  EXPECT_EQ(LogLineCount(), 29);
  AppendLog("line 30");
  EXPECT_TRUE(sink_->Lines().empty());
  EXPECT_EQ(LogLineCount(), 0);
  AppendLog("next");
  EXPECT_EQ(sink_->Lines(), std::vector<std::string>{"next"});
  SetLimit(10000);
  for (int i = 0; i < 500; ++i) AppendLog("x");
  SetLimit(30);  // a limit below the count empties at the next line; 0 at every line
  AppendLog("y");
  EXPECT_EQ(LogLineCount(), 0);
  SetLimit(0);
  AppendLog("z");
  EXPECT_TRUE(sink_->Lines().empty());
  EXPECT_EQ(sink_->clears(), 3);
}

TEST_F(ActivityLogTest, ConcurrentAppendsLoseNoCount) {
  SetLimit(1000);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 1000; ++i) AppendLog("line");
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(sink_->clears(), 8);  // 8000 counted lines at a limit of 1000
  EXPECT_EQ(LogLineCount(), 0);
  EXPECT_EQ(sink_->AllLines().size(), 8000u);
}

TEST_F(ActivityLogTest, WithoutASinkLinesGoToStderr) {
  SetLogSink(nullptr);
  testing::internal::CaptureStderr();
  AppendLog("to stderr");
  AppendLogUncounted("uncounted");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "to stderr\nuncounted\n");
  EXPECT_EQ(Format("%s :: %s .", std::string(600, 'n').c_str(), "x").size(), 607u);
  EXPECT_EQ(Format("%6.4f", 8.0) + Format("%s", ""), "8.0000");
}

// Lines of threads logging at once come out whole, each thread's in its own order, none lost.
TEST(StreamLogSinkTest, LinesOfManyThreadsArriveWholeAndInEachThreadsOrder) {
  TempDir dir;
  const std::string path = (dir.path() / "log.txt").string();
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  {
    StreamLogSink sink(fd);
    std::vector<std::thread> writers;
    for (int t = 0; t < 8; ++t) {
      writers.emplace_back([&sink, t] {
        for (int i = 0; i < 2000; ++i) {  // some longer than a pipe's atomic write
          sink.AddLine(std::to_string(t) + " " + std::to_string(i) + " " +
                       std::string(size_t(i % 7) * 1000, 'x'));
        }
      });
    }
    for (std::thread& w : writers) w.join();
  }
  ::close(fd);
  std::ifstream in(path);
  std::map<int, int> next;  // thread -> the line it must write next
  int lines = 0, thread = -1, number = -1;
  for (std::string padding; in >> thread >> number && std::getline(in, padding); ++lines) {
    ASSERT_EQ(number, next[thread]++) << "thread " << thread;
    ASSERT_EQ(padding, " " + std::string(size_t(number % 7) * 1000, 'x'));
  }
  EXPECT_EQ(lines, 8 * 2000);
}

}  // namespace
}  // namespace rureza::test
