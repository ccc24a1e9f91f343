// The platform facts the server relies on: opens that never block and refuse non-files, exclusive
// opens that fail at once, and path mapping.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "platform/directory.h"
#include "platform/event.h"
#include "platform/file.h"
#include "platform/socket.h"
#include "platform/syscalls.h"
#include "platform/thread.h"
#include "support/test_server.h"

namespace rureza {
namespace {

using test::TempDir;

TEST(FileTest, OnlyRegularFilesOpenAndNothingBlocks) {
  TempDir dir;
  std::string fifo = (dir.path() / "pipe").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  auto start = std::chrono::steady_clock::now();
  Status error;
  EXPECT_FALSE(File::OpenShared(fifo, &error).valid());
  EXPECT_FALSE(error.ok());
  EXPECT_FALSE(File::OpenShared(dir.path().string(), &error).valid());
  EXPECT_EQ(error.code, EISDIR);
  EXPECT_FALSE(File::OpenShared("/dev/null").valid());
  EXPECT_FALSE(File::OpenShared((dir.path() / "missing").string(), &error).valid());
  EXPECT_EQ(error.text, "No such file or directory");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(FileTest, BackslashesNameFolders) {
  TempDir dir;
  dir.Write("sub/file.bin", "abc");
  File file = File::OpenShared(dir.path().string() + "\\sub\\file.bin");
  ASSERT_TRUE(file.valid());
  char buffer[8] = {};
  EXPECT_EQ(file.Read(buffer, sizeof buffer), 3);
  EXPECT_EQ(file.Length(), 3);
  EXPECT_EQ(NativePath("a\\b/c"), "a/b/c");
}

TEST(FileTest, ExclusiveOpenFailsAtOnceWhileAnyHandleHoldsTheFile) {
  TempDir dir;
  std::string path = dir.Write("fw.bin", "x").string();
  {
    File first = File::OpenExclusive(path, false);
    ASSERT_TRUE(first.valid());
    Status error;
    EXPECT_FALSE(File::OpenExclusive(path, false, &error).valid());
    EXPECT_EQ(error.code, EBUSY);
    EXPECT_FALSE(File::OpenShared(path).valid());
  }
  {
    File reader = File::OpenShared(path);
    ASSERT_TRUE(reader.valid());
    EXPECT_TRUE(File::OpenShared(path).valid());
    EXPECT_FALSE(File::OpenExclusive(path, false).valid());
  }
  EXPECT_TRUE(File::OpenExclusive(path, false).valid());
}

TEST(FileTest, OwnerReadOnlyFileRefusesWritingEvenForRoot) {
  TempDir dir;
  std::string path = dir.Write("ro.dat", "x").string();
  ::chmod(path.c_str(), 0444);
  Status error;
  EXPECT_FALSE(File::OpenExclusive(path, true, &error).valid());
  EXPECT_EQ(error.code, EACCES);
  EXPECT_TRUE(File::OpenExclusive(path, false).valid());
}

TEST(DirectoryWalkTest, ReadsNamesAndAttributes) {
  TempDir dir;
  dir.Write("a.mp3", std::string(1234, 'a'));
  std::string readOnly = dir.Write("b.mp3", "b").string();
  ::chmod(readOnly.c_str(), 0444);
  std::filesystem::create_directory(dir.path() / "clips.avi");
  DirectoryWalk walk;
  ASSERT_TRUE(walk.Open(dir.path().string()));
  std::map<std::string, EntryAttributes> seen;
  while (const char* name = walk.Next()) {
    EntryAttributes attributes;
    if (walk.Attributes(name, &attributes)) seen[name] = attributes;
  }
  ASSERT_EQ(seen.count("a.mp3"), 1u);
  EXPECT_EQ(seen["a.mp3"].size, 1234u);
  EXPECT_FALSE(seen["a.mp3"].readOnly);
  EXPECT_TRUE(seen["b.mp3"].readOnly);
  EXPECT_TRUE(seen["clips.avi"].isFolder);
  EXPECT_EQ(seen["clips.avi"].size, 0u);
  EXPECT_EQ(seen.count(".."), 1u);
  EntryAttributes gone;
  EXPECT_FALSE(walk.Attributes("vanished.mp3", &gone));
  EXPECT_FALSE(DirectoryWalk().Open(""));
  EXPECT_FALSE(DirectoryWalk().Open((dir.path() / "none").string()));
}

TEST(ThreadTest, CountsThreadsUntilTheirCapturesAreGone) {
  auto token = std::make_shared<int>(1);
  std::weak_ptr<int> watch = token;
  ManualResetEvent release;
  ASSERT_TRUE(StartThread([token = std::move(token), &release] { release.Wait(); }));
  EXPECT_FALSE(WaitForThreadsToEnd(20));
  release.Set();
  ASSERT_TRUE(WaitForThreadsToEnd(10000));
  EXPECT_TRUE(watch.expired());
}

TEST(ThreadTest, BodiesStartedAtOnceFromManyThreadsEachRunOnce) {
  constexpr int kStarters = 4;
  constexpr int kBodiesEach = 300;
  std::vector<std::atomic<int>> runs(kStarters * kBodiesEach);
  std::vector<std::thread> starters;
  for (int s = 0; s < kStarters; ++s) {
    starters.emplace_back([&runs, s] {
      for (int b = 0; b < kBodiesEach; ++b) {
        auto& count = runs[static_cast<size_t>(s * kBodiesEach + b)];
        ASSERT_TRUE(StartThread([&count] { count.fetch_add(1); }));
      }
    });
  }
  for (std::thread& s : starters) s.join();
  ASSERT_TRUE(WaitForThreadsToEnd(30000));
  for (const auto& count : runs) ASSERT_EQ(count.load(), 1);
}

TEST(ThreadTest, AnEndedThreadTakesTheNextBodyWithoutStartingAnother) {
  std::set<std::thread::id> ids;
  for (int i = 0; i < 5; ++i) {
    std::thread::id id;
    ASSERT_TRUE(StartThread([&id] { id = std::this_thread::get_id(); }));
    ASSERT_TRUE(WaitForThreadsToEnd(10000));
    ids.insert(id);
  }
  // Each body found the thread of the one before waiting idle (unless the machine stalled a
  // whole idle wait between two of them).
  EXPECT_LE(ids.size(), 2u);
}

TEST(SocketTest, AcceptedConnectionsInheritTheListenersDeadPeerTimeout) {
  Socket listener = Socket::NewTcp(nullptr);
  ASSERT_TRUE(listener.Bind(0).ok());
  ASSERT_TRUE(listener.SetDeadPeerTimeout(90000).ok());
  ASSERT_TRUE(listener.Listen(5).ok());
  int client = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(listener.LocalPort());
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  Socket accepted = listener.Accept(nullptr, nullptr);
  ASSERT_TRUE(accepted.valid());
  auto option = [&](int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    ::getsockopt(accepted.fd(), level, name, &value, &length);
    return value;
  };
  EXPECT_EQ(option(SOL_SOCKET, SO_KEEPALIVE), 1);
  // 30 s idle, then 4 probes 15 s apart: 90 s in all.
  EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPIDLE), 30);
  EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPINTVL), 15);
  EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPCNT), 4);
  // No user timeout: it would also end a paused adapter whose window stays shut.
  EXPECT_EQ(option(IPPROTO_TCP, TCP_USER_TIMEOUT), 0);
  ::close(client);
}

}  // namespace
}  // namespace rureza
