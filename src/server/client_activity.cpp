#include "server/client_activity.h"

#include <chrono>
#include <iterator>
#include <list>
#include <memory>
#include <mutex>

namespace rureza {
namespace {

using Clock = std::chrono::steady_clock;

struct Entry {
  std::string address;
  std::time_t connected = 0;
  std::atomic<int> doing{static_cast<int>(ClientDoing::kRequest)};
  std::atomic<int64_t> position{-1};
  std::atomic<int64_t> length{-1};
  std::atomic<uint64_t> bytesSent{0};
  // The rest is guarded by g_mutex.
  std::string file;
  std::time_t since = 0;
  Clock::time_point sampledAt;  // the rate's last sample
  uint64_t sampledBytes = 0;
  double rate = 0;
};

std::mutex g_mutex;
std::list<std::unique_ptr<Entry>> g_entries;  // guarded by g_mutex; oldest first
thread_local Entry* t_entry = nullptr;        // the calling client thread's, in g_entries

constexpr size_t kDoings = std::size(RequestCountsView{}.byDoing);
std::atomic<uint64_t> g_requests[kDoings];

// The rate is measured over at least this long, however often it is asked for.
constexpr auto kRateWindow = std::chrono::seconds(1);

}  // namespace

const char* ClientDoingText(ClientDoing doing) {
  switch (doing) {
    case ClientDoing::kRequest:
      return "waiting for its request";
    case ClientDoing::kListing:
      return "listing";
    case ClientDoing::kMp3:
    case ClientDoing::kAvi:
    case ClientDoing::kMpeg:
      return "playing";
    case ClientDoing::kPhoto:
      return "showing a photo";
    case ClientDoing::kFirmware:
      return "fetching firmware";
    case ClientDoing::kOther:
      break;
  }
  return "asking for something unknown";
}

const char* ClientDoingName(ClientDoing doing) {
  static const char* const kNames[kDoings] = {"request", "list", "mp3",      "avi",
                                              "jpeg",    "mpeg", "firmware", "other"};
  return kNames[static_cast<size_t>(doing)];
}

bool IsStream(ClientDoing doing) {
  return doing == ClientDoing::kMp3 || doing == ClientDoing::kAvi || doing == ClientDoing::kMpeg;
}

ClientActivityScope::ClientActivityScope(std::string address) {
  auto entry = std::make_unique<Entry>();
  entry->address = std::move(address);
  entry->connected = entry->since = std::time(nullptr);
  entry->sampledAt = Clock::now();
  t_entry = entry.get();
  std::lock_guard<std::mutex> lock(g_mutex);
  g_entries.push_back(std::move(entry));
}

ClientActivityScope::~ClientActivityScope() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_entries.remove_if([](const std::unique_ptr<Entry>& entry) { return entry.get() == t_entry; });
  t_entry = nullptr;
}

void NoteClientDoing(ClientDoing doing, std::string_view file) {
  g_requests[static_cast<size_t>(doing)].fetch_add(1, std::memory_order_relaxed);
  Entry* entry = t_entry;
  if (!entry) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  entry->doing.store(static_cast<int>(doing), std::memory_order_relaxed);
  entry->file = file;
  entry->since = std::time(nullptr);
  entry->position.store(-1, std::memory_order_relaxed);
  entry->length.store(-1, std::memory_order_relaxed);
}

void NoteClientLength(int64_t length) {
  if (Entry* entry = t_entry) entry->length.store(length, std::memory_order_relaxed);
}

void NoteClientPosition(int64_t position) {
  if (Entry* entry = t_entry) entry->position.store(position, std::memory_order_relaxed);
}

void CountClientBytesSent(uint64_t bytes) {
  if (Entry* entry = t_entry) entry->bytesSent.fetch_add(bytes, std::memory_order_relaxed);
}

std::vector<ClientView> ClientActivitySnapshot() {
  const Clock::time_point now = Clock::now();
  std::vector<ClientView> views;
  std::lock_guard<std::mutex> lock(g_mutex);
  views.reserve(g_entries.size());
  for (const std::unique_ptr<Entry>& entry : g_entries) {
    ClientView view;
    view.address = entry->address;
    view.doing = static_cast<ClientDoing>(entry->doing.load(std::memory_order_relaxed));
    view.file = entry->file;
    view.position = entry->position.load(std::memory_order_relaxed);
    view.length = entry->length.load(std::memory_order_relaxed);
    view.bytesSent = entry->bytesSent.load(std::memory_order_relaxed);
    view.connected = entry->connected;
    view.since = entry->since;
    const std::chrono::duration<double> elapsed = now - entry->sampledAt;
    if (elapsed >= kRateWindow) {
      entry->rate = static_cast<double>(view.bytesSent - entry->sampledBytes) / elapsed.count();
      entry->sampledAt = now;
      entry->sampledBytes = view.bytesSent;
    } else if (entry->sampledBytes == 0 && elapsed.count() > 0) {
      entry->rate = static_cast<double>(view.bytesSent) / elapsed.count();  // its first second
    }
    view.bytesPerSecond = entry->rate;
    views.push_back(std::move(view));
  }
  return views;
}

RequestCountsView RequestCounts() {
  RequestCountsView counts;
  for (size_t i = 0; i < kDoings; ++i) {
    counts.byDoing[i] = g_requests[i].load(std::memory_order_relaxed);
  }
  return counts;
}

}  // namespace rureza
