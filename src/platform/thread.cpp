#include "platform/thread.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/syscalls.h"

namespace rureza {
namespace {

// A thread whose body has ended waits this long for another body before it ends itself.
// Starting a thread costs the kernel far more than handing a body to one that waits, and the
// server starts one per connection.
constexpr auto kIdleWait = std::chrono::seconds(2);
// More idle threads than this end at once: each keeps its stack resident.
constexpr size_t kMostIdleThreads = 32;

std::mutex g_threadsMutex;
std::condition_variable g_threadEnded;
int g_liveThreads = 0;  // guarded by g_threadsMutex

// A thread that waits idle for its next body. (Not a std::binary_semaphore: its wait spins
// with sched_yield first, which on two busy cores costs more than it saves.)
struct IdleThread {
  std::mutex mutex;
  std::condition_variable bodyGiven;
  std::function<void()> body;  // guarded by mutex; set by the thread that took this one
  bool given = false;          // guarded by mutex
};

// The idle threads, the most recently idle last (its stack and caches are the warmest). Never
// destroyed: idle threads may still wait while the process exits.
struct IdleList {
  std::mutex mutex;
  std::vector<IdleThread*> threads;  // guarded by mutex
};
IdleList& Idle() {
  static IdleList* idle = new IdleList;
  return *idle;
}

void ThreadEnded() {
  std::lock_guard<std::mutex> lock(g_threadsMutex);
  --g_liveThreads;
  g_threadEnded.notify_all();
}

// Runs body, then the bodies handed to this thread while it waits idle.
void RunBodies(std::function<void()> body) {
  IdleList& idle = Idle();
  IdleThread self;
  for (;;) {
    // The body (and whatever it captured) is destroyed before the thread counts as ended, so
    // a caller that waited for the count sees every resource of the thread released.
    {
      auto run = std::move(body);
      run();
    }
    // Idle before it counts as ended: whoever waited for the end finds it ready for more.
    bool keep;
    {
      std::lock_guard<std::mutex> lock(idle.mutex);
      keep = idle.threads.size() < kMostIdleThreads;
      if (keep) idle.threads.push_back(&self);
    }
    ThreadEnded();
    if (!keep) return;
    std::unique_lock<std::mutex> lock(self.mutex);
    if (!self.bodyGiven.wait_for(lock, kIdleWait, [&] { return self.given; })) {
      lock.unlock();
      {
        std::lock_guard<std::mutex> listLock(idle.mutex);
        auto it = std::find(idle.threads.begin(), idle.threads.end(), &self);
        if (it != idle.threads.end()) {
          idle.threads.erase(it);
          return;
        }
      }
      // Taken off the list just now: the body is on its way.
      lock.lock();
      self.bodyGiven.wait(lock, [&] { return self.given; });
    }
    self.given = false;
    body = std::move(self.body);
  }
}

// Hands body to an idle thread; false when none waits.
bool HandToIdleThread(std::function<void()>& body) {
  IdleList& idle = Idle();
  IdleThread* thread = nullptr;
  {
    std::lock_guard<std::mutex> lock(idle.mutex);
    if (idle.threads.empty()) return false;
    thread = idle.threads.back();
    idle.threads.pop_back();
  }
  // Notified under the lock: once it is released the thread may run the body, end and take
  // its condition variable with it.
  std::lock_guard<std::mutex> lock(thread->mutex);
  thread->body = std::move(body);
  thread->given = true;
  thread->bodyGiven.notify_one();
  return true;
}

}  // namespace

bool StartPooledThread(std::function<void()> body) {
  if (HandToIdleThread(body)) return true;
  try {
    std::thread([body = std::move(body)]() mutable { RunBodies(std::move(body)); }).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

bool StartThread(std::function<void()> body) {
  {
    std::lock_guard<std::mutex> lock(g_threadsMutex);
    ++g_liveThreads;
  }
  bool started = Sys().startThread(std::move(body));
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
