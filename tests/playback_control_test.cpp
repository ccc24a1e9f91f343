// The control threads: the audio command set checked on the playback state itself (over a
// socket pair handed out like a control connection).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "delivery/playback_control.h"
#include "support/stream_test.h"

namespace rureza {
namespace {

using test::Command;
using test::WaitUntil;

TEST(ControlThreadTest, AudioCommandsWriteThePlaybackState) {
  auto log = std::make_shared<test::CapturingSink>();
  SetLogSink(log);
  auto run = std::make_shared<ServerRun>(ServerSettings{});
  auto state = std::make_shared<AudioPlaybackState>(run->NewControlWait());
  std::thread thread([&] { AudioControlThread(*run, state); });
  ASSERT_TRUE(WaitUntil([&] { return run->HasControlWaiters(); }));
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
  run->DeliverControlConnection(Socket(ends[0]));
  auto send = [&](const std::string& block) { ::send(ends[1], block.data(), 256, MSG_NOSIGNAL); };

  send(Command("<8x", "123456"));
  ASSERT_TRUE(log->WaitForLine("Fastforward...."));
  EXPECT_TRUE(state->seekTarget.load() == 123456 && state->seekRequest.load() == 1);
  send(Command("<5"));  // cancel: a seek not yet taken up is dropped
  EXPECT_TRUE(WaitUntil([&] { return state->seekRequest.load() == 3; }));
  send(Command("<9", "-5"));
  ASSERT_TRUE(log->WaitForLine("Backforward...."));
  EXPECT_TRUE(state->seekTarget.load() == -5 && state->seekRequest.load() == 2);
  send(Command(">4"));  // no "<": ignored
  send(Command("<3"));
  EXPECT_TRUE(WaitUntil([&] { return state->playLatch.load() == 1; }));
  EXPECT_EQ(state->stopRequested.load(), 0);
  send(Command("<4"));
  thread.join();
  EXPECT_TRUE(state->stopRequested.load() == 1 && state->controlEnded.load());
  ::close(ends[1]);
  SetLogSink(nullptr);
}

}  // namespace
}  // namespace rureza
