// The headless server's log stream: lines of threads logging at once come out whole, each
// thread's in its own order, none lost, once every appending thread has returned.
#include "app/stream_log_sink.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/test_server.h"

namespace rureza {
namespace {

TEST(StreamLogSinkTest, LinesOfManyThreadsArriveWholeAndInEachThreadsOrder) {
  test::TempDir dir;
  const std::string path = (dir.path() / "log.txt").string();
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  constexpr int kThreads = 8;
  constexpr int kLines = 2000;
  {
    StreamLogSink sink(fd);
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([&sink, t] {
        // Lines of differing lengths, some longer than a pipe's atomic write.
        for (int i = 0; i < kLines; ++i) {
          sink.AddLine("thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
                       std::string(static_cast<size_t>(i % 7) * 1000, 'x'));
        }
      });
    }
    for (std::thread& w : writers) w.join();
  }
  ::close(fd);

  std::ifstream in(path);
  std::map<int, int> next;  // thread -> the line number it must write next
  int lines = 0;
  for (std::string line; std::getline(in, line); ++lines) {
    std::istringstream fields(line);
    std::string word1, word2, padding;
    int thread = -1, number = -1;
    fields >> word1 >> thread >> word2 >> number >> padding;
    ASSERT_EQ(word1, "thread") << line.substr(0, 80);
    ASSERT_EQ(number, next[thread]++) << "thread " << thread;
    ASSERT_EQ(padding, std::string(static_cast<size_t>(number % 7) * 1000, 'x'));
  }
  EXPECT_EQ(lines, kThreads * kLines);
}

}  // namespace
}  // namespace rureza
