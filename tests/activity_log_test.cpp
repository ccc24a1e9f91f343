// The activity log's line count and its emptying at the log-line limit.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "server/activity_log.h"
#include "settings/server_settings.h"
#include "support/test_server.h"

namespace rureza {
namespace {

class ActivityLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sink_ = std::make_shared<test::CapturingSink>();
    SetLogSink(sink_);
    SetLimit(10000);
    // Start from an empty count: one line at limit 1 empties the list and zeroes the count.
    SetLimit(1);
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

  std::shared_ptr<test::CapturingSink> sink_;
};

TEST_F(ActivityLogTest, TheLineThatReachesTheLimitEmptiesTheList) {
  SetLimit(30);
  for (int i = 1; i <= 29; ++i) AppendLog("line " + std::to_string(i));
  EXPECT_EQ(sink_->Lines().size(), 29u);
  EXPECT_EQ(LogLineCount(), 29);
  AppendLogUncounted("uncounted");
  EXPECT_EQ(LogLineCount(), 29);
  AppendLog("line 30");
  EXPECT_TRUE(sink_->Lines().empty());
  EXPECT_EQ(sink_->clears(), 1);
  EXPECT_EQ(LogLineCount(), 0);
  AppendLog("next");
  EXPECT_EQ(sink_->Lines(), std::vector<std::string>{"next"});
}

TEST_F(ActivityLogTest, UncountedLinesNeverEmptyTheList) {
  SetLimit(30);
  for (int i = 0; i < 100; ++i) AppendLogUncounted("u");
  EXPECT_EQ(sink_->Lines().size(), 100u);
  EXPECT_EQ(sink_->clears(), 0);
}

TEST_F(ActivityLogTest, ALimitBelowTheCountEmptiesAtTheNextLine) {
  for (int i = 0; i < 500; ++i) AppendLog("x");
  SetLimit(30);
  AppendLog("y");
  EXPECT_TRUE(sink_->Lines().empty());
  EXPECT_EQ(LogLineCount(), 0);
  SetLimit(0);
  AppendLog("z");
  EXPECT_TRUE(sink_->Lines().empty());
  EXPECT_EQ(sink_->clears(), 2);
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
  // 8000 counted lines at a limit of 1000: exactly eight emptyings, count back at 0.
  EXPECT_EQ(sink_->clears(), 8);
  EXPECT_EQ(LogLineCount(), 0);
  EXPECT_EQ(sink_->AllLines().size(), 8000u);
}

TEST(FormatTest, TextOfAnyLength) {
  std::string longName(600, 'n');
  std::string line = Format("System Warming 3003! FileName :: %s .", longName.c_str());
  EXPECT_EQ(line.size(), 600u + 35u);
  EXPECT_EQ(Format("%6.4f", 8.0), "8.0000");
  EXPECT_EQ(Format("%s", ""), "");
}

}  // namespace
}  // namespace rureza
