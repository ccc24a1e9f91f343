#include "platform/thread.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/syscalls.h"

namespace rureza {
namespace {

std::mutex g_threadsMutex;
std::condition_variable g_threadEnded;
int g_liveThreads = 0;  // guarded by g_threadsMutex

void ThreadEnded() {
  std::lock_guard<std::mutex> lock(g_threadsMutex);
  --g_liveThreads;
  g_threadEnded.notify_all();
}

}  // namespace

bool StartThread(std::function<void()> body) {
  {
    std::lock_guard<std::mutex> lock(g_threadsMutex);
    ++g_liveThreads;
  }
  // The body (and whatever it captured) is destroyed before the thread counts as ended, so a
  // caller that waited for the count sees every resource of the thread released.
  bool started = Sys().startThread([body = std::move(body)]() mutable {
    {
      auto run = std::move(body);
      run();
    }
    ThreadEnded();
  });
  if (!started) ThreadEnded();
  return started;
}

int LiveThreadCount() {
  std::lock_guard<std::mutex> lock(g_threadsMutex);
  return g_liveThreads;
}

bool WaitForThreadsToEnd(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(g_threadsMutex);
  return g_threadEnded.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [] { return g_liveThreads == 0; });
}

}  // namespace rureza
