// The discovery responder can be made neither a reflector nor a loop: its answers are rationed
// by a token bucket, checked on its own and against a flood of probes and an echo service that
// bounces every answer back as a new probe.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>

#include "server/discovery.h"
#include "support/adapter_client.h"
#include "support/reliability_record.h"
#include "support/test_server.h"

namespace rureza {
namespace {

using Clock = std::chrono::steady_clock;

TEST(AnswerBudgetTest, BurstThenTheRefillRate) {
  AnswerBudget budget(/*perSecond=*/100, /*burst=*/10);
  int answered = 0;
  for (int i = 0; i < 50; ++i) answered += budget.Take(1000);
  EXPECT_EQ(answered, 10);
  EXPECT_FALSE(budget.Take(1009));  // 0.9 of an answer refilled
  EXPECT_TRUE(budget.Take(1010));
  EXPECT_FALSE(budget.Take(1010));
  EXPECT_FALSE(budget.Take(500));  // a clock that went back refills nothing
  // However long the pause, no more than the burst at once.
  answered = 0;
  for (int i = 0; i < 50; ++i) answered += budget.Take(uint64_t{1} << 62);
  EXPECT_EQ(answered, 10);
}

TEST(AnswerBudgetTest, ProductionBudgetAnswersTenThousandProbesInARowTwice) {
  AnswerBudget budget(kDiscoveryAnswersPerSecond, kDiscoveryAnswerBurst);
  // Two runs of 10,000 probes at 50,000 a second, faster than a client gets over loopback.
  int answered = 0;
  for (int i = 0; i < 20000; ++i) answered += budget.Take(1000 + uint64_t(i) / 50);
  EXPECT_EQ(answered, 20000);
}

// A UDP socket on 127.0.0.1 that counts what arrives.
class UdpPeer {
 public:
  UdpPeer() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int size = 4 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  ~UdpPeer() { ::close(fd_); }
  void SendTo(uint16_t port, std::string_view payload) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd_, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  // The next datagram within timeoutMs.
  std::optional<std::string> Receive(int timeoutMs) {
    pollfd item{fd_, POLLIN, 0};
    if (::poll(&item, 1, timeoutMs) != 1) return std::nullopt;
    char buffer[65536];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    return n < 0 ? std::nullopt : std::optional<std::string>(std::string(buffer, size_t(n)));
  }

 private:
  int fd_ = -1;
};

class DiscoveryBudgetTest : public test::ServerTest {
 protected:
  void TearDown() override {
    SetDiscoveryAnswerBudget(kDiscoveryAnswersPerSecond, kDiscoveryAnswerBurst);
    test::ServerTest::TearDown();
  }
  uint16_t udp() const { return static_cast<uint16_t>(port() + 3); }
  // Answers are rationed, not stopped: a probe is answered again once the bucket refills.
  void ExpectAnsweredAgain() {
    EXPECT_TRUE(test::WaitUntil([&] { return test::Probe(udp(), "VE520", 100) == "VE520"; }, 5000));
  }
};

TEST_F(DiscoveryBudgetTest, FloodOfProbesGetsNoMoreThanTheBudget) {
  SetDiscoveryAnswerBudget(/*perSecond=*/50, /*burst=*/100);
  Start();
  UdpPeer flood;
  const auto start = Clock::now();
  for (int i = 0; i < 3000; ++i) flood.SendTo(udp(), "VE520");
  int answers = 0;
  while (auto answer = flood.Receive(300)) answers += *answer == "VE520";
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_GE(answers, 50);
  EXPECT_LE(answers, 100 + 50 * seconds + 1) << seconds << " s";
  ExpectAnsweredAgain();
  test::RecordInput("datagrams", "3,000 probes at a budget of 50/s, bursts of 100 (" +
                                     std::to_string(answers) + " answered)");
}

TEST_F(DiscoveryBudgetTest, EchoServiceBouncingAnswersBackMakesNoEndlessLoop) {
  SetDiscoveryAnswerBudget(/*perSecond=*/50, /*burst=*/100);
  Start();
  // An echo service on an ordinary port: every answer it gets goes back as a new probe.
  UdpPeer echo;
  echo.SendTo(udp(), "VE520");
  int bounced = 0;
  const auto start = Clock::now();
  while (Clock::now() - start < std::chrono::seconds(2)) {
    std::optional<std::string> answer = echo.Receive(100);
    if (!answer) break;  // the loop has been broken
    ++bounced;
    echo.SendTo(udp(), *answer);
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_GE(bounced, 100);
  EXPECT_LE(bounced, 100 + 50 * seconds + 1) << seconds << " s";
  ExpectAnsweredAgain();
  test::RecordInput("datagrams", "an echo service bouncing every answer back (loop broken after " +
                                     std::to_string(bounced) + " answers)");
}

}  // namespace
}  // namespace rureza
