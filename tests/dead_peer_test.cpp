// Adapters that vanish and adapters that pause: a peer that stops acknowledging (switched off,
// simulated by dropping every packet in a network namespace of the test's own) loses its slot
// within the time limit; a paused one, which still answers window probes, keeps its stream.
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "server/server.h"
#include "support/fixture.h"
#include "support/reliability.h"

namespace rureza::test {
namespace {

// Brings the loopback interface of this thread's network namespace up or down; down, every
// packet on it is dropped while connections stay open on both ends.
bool SetLoopbackUp(bool up) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool done = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags = short(up ? request.ifr_flags | IFF_UP : request.ifr_flags & ~IFF_UP);
  done = done && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  ::close(fd);
  return done;
}

class DeadPeerTest : public ServerTest {
 protected:
  void TearDown() override {
    SetDeadPeerTimeoutMs(90000);
    ServerTest::TearDown();
  }
};

TEST_F(DeadPeerTest, PausedAdapterKeepsItsStreamLongPastTheTimeLimit) {
  // Above the second or so in which a receiver may leave early window probes unanswered.
  SetDeadPeerTimeoutMs(2500);
  Start();
  const std::string song = Media("audio/long.mp3", OffsetBytes(16 << 20));
  AdapterConnection client = Play('1', "long.mp3");
  ASSERT_TRUE(client.ReadExact(256 + kBlock));
  std::this_thread::sleep_for(std::chrono::milliseconds(8000));  // its window closes meanwhile
  EXPECT_EQ(ClientCount(), 1);
  EXPECT_TRUE(client.ReadToClose(kLongReadMs) == song.substr(kBlock));
  NoteFault(
      "an adapter that pauses 8 s at a time limit of 2.5 s (reads nothing, answers window probes)");
}

TEST_F(DeadPeerTest, SwitchedOffAdaptersLoseTheirSlotsWithinTheTimeLimit) {
  std::string why;
  // A network namespace belongs to the thread that made it, and the threads it starts.
  std::thread([&] {
    if (::unshare(CLONE_NEWNET) != 0 || !SetLoopbackUp(true)) {
      why = std::string("no network namespace with loopback here: ") + std::strerror(errno) +
            "; this test needs root with CAP_SYS_ADMIN";
      return;
    }
    SetDeadPeerTimeoutMs(2000);
    Start();
    const std::string song = Media("audio/long.mp3", OffsetBytes(16 << 20));
    Media("video/movie.mpg", OffsetBytes(40 * kBlock));
    // One stream with data on its way, one handshake in which the server waits to hear.
    AdapterConnection streaming = Play('1', "long.mp3"), asking = Play('4', "movie.mpg");
    ASSERT_TRUE(streaming.ReadExact(256 + kBlock) && asking.ReadExact(256 + kBlock));
    ASSERT_TRUE(WaitUntil([] { return ClientCount() == 2; }));
    const auto dropped = std::chrono::steady_clock::now();
    ASSERT_TRUE(SetLoopbackUp(false));
    EXPECT_FALSE(WaitUntil([] { return ClientCount() < 2; }, 1500)) << "cut too early";
    EXPECT_TRUE(WaitUntil([] { return ClientCount() == 0; }, 30000));
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - dropped)
                    .count();
    EXPECT_LT(took, 15000);
    EXPECT_EQ(log_->Count("127.0.0.1 is leaving......"), 2);
    NoteFault(
        "every packet dropped (own network namespace, loopback down): both slots freed after " +
        std::to_string(took) + " ms at a time limit of 2 s");
    // Back on the network, the server serves the next adapter.
    ASSERT_TRUE(SetLoopbackUp(true));
    AdapterConnection next = Play('1', "long.mp3");
    EXPECT_TRUE(next.ReadExact(256 + kBlock) ==
                Block(std::to_string(song.size())) + song.substr(0, kBlock));
    next.Reset();
    EXPECT_TRUE(WaitUntil([] { return ClientCount() == 0; }));
    Stop();
    EXPECT_TRUE(WaitForThreads(0));
  }).join();
  if (!why.empty()) GTEST_SKIP() << why;
}

}  // namespace
}  // namespace rureza::test
