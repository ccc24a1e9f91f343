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

#include "delivery/stream_blocks.h"
#include "server/server.h"
#include "support/reliability_record.h"
#include "support/stream_test.h"

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

// The server's end of client's connection, found among this process's descriptors.
int ServerEndOf(const AdapterClient& client) {
  sockaddr_in local{}, peer{};
  socklen_t length = sizeof local;
  ::getsockname(client.fd(), reinterpret_cast<sockaddr*>(&local), &length);
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    int fd = std::stoi(entry.path().filename().string());
    struct stat info {};
    length = sizeof peer;
    if (fd != client.fd() && ::fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode) &&
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
        peer.sin_family == AF_INET && peer.sin_port == local.sin_port) {
      return fd;
    }
  }
  return -1;
}

int Option(int fd, int level, int name) {
  int value = -1;
  socklen_t length = sizeof value;
  ::getsockopt(fd, level, name, &value, &length);
  return value;
}

class DeadPeerTest : public StreamTest {
 protected:
  void TearDown() override {
    SetDeadPeerTimeoutMs(90000);
    StreamTest::TearDown();
  }
};

TEST_F(DeadPeerTest, ConnectionsKeepAliveWithoutCuttingUnacknowledgedData) {
#if defined(__SANITIZE_THREAD__)
  // Reading the server's sockets from this thread races with their close under ThreadSanitizer.
  GTEST_SKIP() << "not under ThreadSanitizer";
#endif
  Start();
  AdapterClient client;
  ASSERT_TRUE(client.Connect(port()));
  ASSERT_TRUE(WaitUntil([] { return ClientCount() == 1; }));
  int fd = ServerEndOf(client);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(Option(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
  // A silent dead peer is found within the time limit; a paused one is not cut by the kernel.
  int idle = Option(fd, IPPROTO_TCP, TCP_KEEPIDLE),
      interval = Option(fd, IPPROTO_TCP, TCP_KEEPINTVL);
  int count = Option(fd, IPPROTO_TCP, TCP_KEEPCNT);
  EXPECT_EQ(idle + count * interval, 90) << idle << " " << interval << " " << count;
  EXPECT_EQ(Option(fd, IPPROTO_TCP, TCP_USER_TIMEOUT), 0);
  RecordFault("the real setting", "an accepted connection",
              "keepalive " + std::to_string(idle) + " s idle, " + std::to_string(count) +
                  " probes " + std::to_string(interval) + " s apart; no TCP_USER_TIMEOUT");
  client.SendBlock("<2");
  EXPECT_TRUE(client.ClosedWithoutData());
}

TEST_F(DeadPeerTest, PausedAdapterKeepsItsStreamLongPastTheTimeLimit) {
  // Above the second or so in which a receiver may leave early window probes unanswered.
  SetDeadPeerTimeoutMs(2500);
  Start();
  const std::string song = Media("audio/long.mp3", OffsetBytes(16 << 20));
  AdapterClient client = Play('1', "long.mp3");
  ASSERT_TRUE(client.ReadExact(256 + kBlock));
  std::this_thread::sleep_for(std::chrono::milliseconds(8000));  // its window closes meanwhile
  EXPECT_EQ(ClientCount(), 1);
  EXPECT_TRUE(client.ReadToClose(kLongReadMs) == song.substr(kBlock));
  RecordFault("an adapter that pauses (reads nothing, answers window probes)",
              "an audio stream, 8 s at a time limit of 2.5 s",
              "keeps its stream; every byte arrives after the pause");
}

TEST_F(DeadPeerTest, SwitchedOffAdaptersLoseTheirSlotsWithinTheTimeLimit) {
  const std::string fault = "every packet dropped (own network namespace, loopback down)";
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
    AdapterClient streaming = Play('1', "long.mp3"), asking = Play('4', "movie.mpg");
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
    RecordFault(fault, "an audio stream sending and an MPEG handshake waiting, time limit 2 s",
                "both slots freed after " + std::to_string(took) + " ms");
    // Back on the network, the server serves the next adapter.
    ASSERT_TRUE(SetLoopbackUp(true));
    AdapterClient next = Play('1', "long.mp3");
    EXPECT_TRUE(next.ReadExact(256 + kBlock) ==
                LengthBlock(int32_t(song.size())) + song.substr(0, kBlock));
    next.Reset();
    EXPECT_TRUE(WaitUntil([] { return ClientCount() == 0; }));
    Stop();
    EXPECT_TRUE(WaitForThreads(0));
  }).join();
  if (!why.empty()) {
    RecordFault(fault, "not run here", "skipped: " + why);
    GTEST_SKIP() << why;
  }
}

}  // namespace
}  // namespace rureza::test
