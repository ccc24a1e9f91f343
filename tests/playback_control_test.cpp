// The control threads: the audio command set checked on the playback state itself (over a
// socket pair handed out like a control connection), and which stream a control connection
// reaches on the live server.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "delivery/playback_control.h"
#include "server/server.h"
#include "support/stream_test.h"

namespace rureza {
namespace {

using test::AdapterClient;
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

using ControlConnectionTest = test::StreamTest;

TEST_F(ControlConnectionTest, GoesToTheStreamsInOrderAndNeverToAnEndedOne) {
  Start();
  Media("audio/short.mp3", test::OffsetBytes(1000));
  std::string song = Media("audio/long.mp3", test::OffsetBytes(6 << 20));
  EXPECT_TRUE(Play('1', "short.mp3").ReadToClose());
  ASSERT_TRUE(WaitForThreads(kRunThreads));  // its control thread gave up with it

  AdapterClient first = Play('1', "long.mp3");
  ASSERT_TRUE(first.ReadExact(256));
  ASSERT_TRUE(WaitUntil([] { return CurrentRun()->HasControlWaiters(); }));
  AdapterClient second = Play('1', "long.mp3");
  ASSERT_TRUE(second.ReadExact(256));
  ASSERT_TRUE(WaitForThreads(kRunThreads + 4));  // both streams and their control threads
  for (AdapterClient* client : {&first, &second}) {
    // The stream waiting longest takes the connection and stops; the other plays on.
    ASSERT_TRUE(Control().SendRaw(Command("<4")));
    ASSERT_TRUE(WaitForThreads(client == &first ? kRunThreads + 3 : kRunThreads + 1));
    EXPECT_LT(client->ReadToClose(test::kLongReadMs).value_or(song).size(), song.size());
  }
}

}  // namespace
}  // namespace rureza
