// What a service manager and a browser hear of rureza-server: the notification protocol against
// datagram sockets of the test's own (a path and an abstract name), and the server as a process
// telling it READY, STATUS, WATCHDOG, RELOADING and STOPPING while it serves its status page.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/service_notify.h"
#include "platform/socket.h"
#include "support/fixture.h"
#include "support/process.h"

namespace rureza::test {
namespace {

// A datagram socket bound to name (a path, or '@' and an abstract name), as a manager has one.
class ManagerSocket {
 public:
  explicit ManagerSocket(const std::string& name) : socket_(::socket(AF_UNIX, SOCK_DGRAM, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    if (name[0] == '@') address.sun_path[0] = '\0';
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    EXPECT_EQ(::bind(socket_.fd(), reinterpret_cast<sockaddr*>(&address), size), 0) << name;
    ::setenv("NOTIFY_SOCKET", name.c_str(), 1);
  }
  ~ManagerSocket() { ::unsetenv("NOTIFY_SOCKET"); }

  // The next datagram, empty when none comes within timeoutMs.
  std::string Next(int timeoutMs = 10000) {
    if (!WaitReadable(timeoutMs)) return {};
    char buffer[4096];
    const ssize_t n = ::recv(socket_.fd(), buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
  }
  // Datagrams until one holds text; that one, or empty.
  std::string NextWith(const std::string& text, int timeoutMs = 10000) {
    std::string got;
    WaitUntil([&] { return (got = Next(50)).find(text) != std::string::npos; }, timeoutMs);
    return got.find(text) != std::string::npos ? got : std::string();
  }

 private:
  bool WaitReadable(int timeoutMs) {
    return WaitUntil([&] { return !SilentFor(); }, timeoutMs);
  }
  bool SilentFor() {
    char byte;
    return ::recv(socket_.fd(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0;
  }
  Socket socket_;
};

TEST(ServiceNotifyTest, DatagramsReachAPathOrAnAbstractNameAndNothingElse) {
  TempDir dir;
  EXPECT_FALSE(NotifyServiceManager("READY=1"));  // no manager asked
  for (const std::string& name :
       {(dir.path() / "notify").string(), "@rureza-test-notify-" + std::to_string(::getpid())}) {
    ManagerSocket manager(name);
    EXPECT_TRUE(NotifyServiceManager("READY=1\nSTATUS=x"));
    EXPECT_EQ(manager.Next(), "READY=1\nSTATUS=x") << name;
  }
  ::setenv("NOTIFY_SOCKET", "relative/name", 1);
  EXPECT_FALSE(NotifyServiceManager("READY=1"));
  ::unsetenv("NOTIFY_SOCKET");
  // The watchdog is ours when no other process is named.
  ::setenv("WATCHDOG_USEC", "30000000", 1);
  EXPECT_EQ(ServiceWatchdogUsec(), 30000000u);
  ::setenv("WATCHDOG_PID", std::to_string(::getpid() + 1).c_str(), 1);
  EXPECT_EQ(ServiceWatchdogUsec(), 0u);
  ::setenv("WATCHDOG_PID", std::to_string(::getpid()).c_str(), 1);
  EXPECT_EQ(ServiceWatchdogUsec(), 30000000u);
  ::unsetenv("WATCHDOG_PID");
  ::unsetenv("WATCHDOG_USEC");
}

TEST(ServiceNotifyTest, TheServerTellsItsManagerWhatItDoesAndServesItsPage) {
  TempDir dir;
  ManagerSocket manager((dir.path() / "notify").string());
  ::setenv("WATCHDOG_USEC", "400000", 1);
  const uint16_t port = FreeBasePort();
  const std::string page = std::to_string(port + 2);
  ChildProcess server(RUREZA_SERVER_BINARY, {"--port", std::to_string(port), "--no-convert"},
                      dir.path());
  ::unsetenv("WATCHDOG_USEC");
  ASSERT_TRUE(server.WaitForLine("Status page on http://127.0.0.1:" + page + "/"));
  EXPECT_EQ(manager.NextWith("READY=1"), "STATUS=0 adapters, 0 streams\nREADY=1\nWATCHDOG=1\n");
  // From the listener's loop, within half the interval, for as long as it serves.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(manager.NextWith("WATCHDOG=1", 2000), "WATCHDOG=1\n");

  // An adapter that has connected: the status line says so, and so does the page.
  AdapterConnection adapter;
  ASSERT_TRUE(adapter.Connect(LoopbackAddress(port)));
  EXPECT_NE(manager.NextWith("STATUS=").find("STATUS=1 adapter, 0 streams\n"), std::string::npos);
  AdapterConnection browser;
  ASSERT_TRUE(browser.Connect(LoopbackAddress(static_cast<uint16_t>(port + 2))));
  browser.Send("GET /status.json HTTP/1.0\r\n\r\n");
  const std::string json = browser.ReadToClose().value_or("");
  EXPECT_NE(json.find("\"clients\":1,"), std::string::npos) << json;
  adapter.Close();

  server.Signal(SIGHUP);
  EXPECT_EQ(manager.NextWith("RELOADING=1"), "RELOADING=1\nSTATUS=reloading the settings");
  EXPECT_NE(manager.NextWith("READY=1"), "");
  server.Signal(SIGTERM);
  EXPECT_EQ(manager.NextWith("STOPPING=1"), "STOPPING=1\nSTATUS=stopping");
  EXPECT_EQ(server.Wait(), 0);
}

TEST(ServiceNotifyTest, ThePageCanBeTurnedOffOrMovedAndABadAddressIsBadUsage) {
  TempDir dir;
  const uint16_t port = FreeBasePort();
  ChildProcess off(RUREZA_SERVER_BINARY, {"--port", std::to_string(port), "--no-status"},
                   dir.path());
  ASSERT_TRUE(off.WaitForLine("Start Running Media Server..."));
  off.Signal(SIGTERM);
  EXPECT_EQ(off.Wait(), 0);
  EXPECT_EQ(off.Output().find("Status page"), std::string::npos);
  ChildProcess moved(RUREZA_SERVER_BINARY,
                     {"--port", std::to_string(port), "--status-port", std::to_string(port + 1)},
                     dir.path());
  EXPECT_TRUE(moved.WaitForLine("Status page not served: TCP port " + std::to_string(port + 1) +
                                " is the adapters'"));
  moved.Signal(SIGTERM);
  EXPECT_EQ(moved.Wait(), 0);
  ChildProcess bad(RUREZA_SERVER_BINARY, {"--status-address", "localhost"}, dir.path());
  EXPECT_EQ(bad.Wait(), 2);
  EXPECT_NE(bad.Output("err").find("--status-address must be an IPv4 address"), std::string::npos);
}

}  // namespace
}  // namespace rureza::test
