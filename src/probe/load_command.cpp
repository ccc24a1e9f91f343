// load: adapters simulated by threads, each listing and fetching the listed files whole, one
// after another, until the time is up; then what the server managed and every error.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "probe/commands.h"
#include "probe/probe_session.h"
#include "probe/probe_text.h"

namespace rureza {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kErrorsShown = 5;
// After a failure an adapter waits a little: a refused connection must not become a busy loop.
constexpr auto kPauseAfterError = std::chrono::milliseconds(100);
constexpr uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ull;
constexpr uint64_t kFnvPrime = 0x100000001b3ull;
// The listed files the adapters keep, all of them together: an endless listing must not take
// the machine's memory. Each keeps its share, at least kFewestKept.
constexpr size_t kMostKeptInAll = 200000;
constexpr size_t kFewestKept = 64;

uint64_t Fnv1a64(uint64_t hash, const char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) hash = (hash ^ static_cast<unsigned char>(data[i])) * kFnvPrime;
  return hash;
}

struct ListedFile {
  std::string name;
  uint32_t size = 0;
  MediaKind kind = MediaKind::kAudio;
};

// What the adapters found. Counters are atomics; the rest is guarded by mutex_.
class LoadTally {
 public:
  void Error(int adapter, const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (++errors_ <= kErrorsShown)
      shown_.push_back("adapter " + std::to_string(adapter) + ": " + what);
  }
  // False when digest differs from that of the first fetch of the same file.
  bool SameBytes(const ListedFile& file, uint64_t digest) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto [it, first] = digests_.emplace(file.name, std::pair{file.kind, digest});
    return first || it->second.second == digest;
  }
  void AddLatencies(const std::vector<double>& seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    latencies_.insert(latencies_.end(), seconds.begin(), seconds.end());
  }

  std::atomic<uint64_t> listings{0}, fetches{0}, mediaBytes{0};

  // Called once every adapter has ended.
  void Print(double wallSeconds, bool digests, NameDecoder& names) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::printf("throughput    %.2f MB/s (%s of media in %.2f s)\n",
                wallSeconds > 0 ? mediaBytes / wallSeconds / 1e6 : 0.0,
                ReadableSize(mediaBytes).c_str(), wallSeconds);
    std::sort(latencies_.begin(), latencies_.end());
    auto rank = [&](double p) {
      size_t at = static_cast<size_t>(p * latencies_.size() + 0.999999);
      return MillisecondsText(latencies_[std::clamp<size_t>(at, 1, latencies_.size()) - 1]);
    };
    if (latencies_.empty()) {
      std::printf("first byte    no fetch was served\n");
    } else {
      std::printf("first byte    p50 %s, p99 %s, max %s\n", rank(0.5).c_str(), rank(0.99).c_str(),
                  MillisecondsText(latencies_.back()).c_str());
    }
    std::printf("requests      %llu served: %llu listings, %llu fetches\n",
                static_cast<unsigned long long>(listings + fetches),
                static_cast<unsigned long long>(listings.load()),
                static_cast<unsigned long long>(fetches.load()));
    std::printf("errors        %llu\n", static_cast<unsigned long long>(errors_));
    for (const std::string& line : shown_) std::printf("  %s\n", line.c_str());
    if (errors_ > shown_.size())
      std::printf("  (%llu more)\n", static_cast<unsigned long long>(errors_ - shown_.size()));
    if (digests) {
      for (const auto& [name, kindAndDigest] : digests_) {
        std::printf("fnv1a64 %016llx %s %s\n",
                    static_cast<unsigned long long>(kindAndDigest.second),
                    KindName(kindAndDigest.first), names.Printable(name).c_str());
      }
    }
  }
  bool failed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return errors_ > 0;
  }

 private:
  std::mutex mutex_;
  uint64_t errors_ = 0;                                            // guarded by mutex_
  std::vector<std::string> shown_;                                 // guarded by mutex_
  std::map<std::string, std::pair<MediaKind, uint64_t>> digests_;  // guarded by mutex_
  std::vector<double> latencies_;                                  // guarded by mutex_
};

struct LoadPlan {
  ProbeTarget target;
  int timeoutMs = kAdapterTimeoutMs;
  size_t mostKept = kFewestKept;  // listed files one adapter keeps
  std::vector<MediaKind> kinds;
  std::string charset;
  Clock::time_point deadline;
};

// One adapter: lists, fetches each listed file of the plan's kinds in turn, and again.
void RunAdapter(int adapter, const LoadPlan& plan, LoadTally& tally) {
  NameDecoder names;  // its own: a decoder belongs to one thread
  std::string ignored;
  if (!plan.charset.empty()) names.Open(plan.charset, &ignored);
  std::vector<double> latencies;
  size_t next = static_cast<size_t>(adapter);  // adapters start at different files
  while (Clock::now() < plan.deadline) {
    std::vector<ListedFile> files;
    std::string error = StreamListing(
        plan.target, plan.timeoutMs,
        [&](const ListingEntry& e) {
          std::optional<MediaKind> kind = KindOfListedName(e.name);
          if (!e.isFolder() && kind && files.size() < plan.mostKept &&
              std::find(plan.kinds.begin(), plan.kinds.end(), *kind) != plan.kinds.end()) {
            files.push_back({e.name, e.size, *kind});
          }
        },
        {}, plan.deadline);
    if (error == kListingCutAtDeadline) break;  // the time is up, not an error
    if (!error.empty()) {
      tally.Error(adapter, "the listing: " + error);
      std::this_thread::sleep_for(kPauseAfterError);
      continue;
    }
    ++tally.listings;
    if (files.empty()) {
      tally.Error(adapter, "the listing holds no file to fetch");
      break;
    }
    for (size_t i = 0; i < files.size() && Clock::now() < plan.deadline; ++i) {
      const ListedFile& file = files[next++ % files.size()];
      FetchOptions options;
      options.idleTimeoutMs = plan.timeoutMs;
      options.listedSize = file.size;
      uint64_t digest = kFnvOffsetBasis;
      AdapterConnection connection;
      FetchResult result;
      if (ConnectTo(plan.target, plan.timeoutMs, &connection, &result.error)) {
        result = Fetch(
            connection, file.kind, file.name,
            [&](const char* data, size_t size) {
              digest = Fnv1a64(digest, data, size);
              return true;
            },
            options);
      }
      const std::string what =
          std::string(KindName(file.kind)) + " '" + names.Printable(file.name) + "': ";
      if (!result.ok) {
        tally.Error(adapter,
                    what + (result.nothingSent ? "the server could not open it" : result.error));
        std::this_thread::sleep_for(kPauseAfterError);
        continue;
      }
      ++tally.fetches;
      tally.mediaBytes += result.mediaBytes;
      latencies.push_back(result.firstByteSeconds);
      if (!tally.SameBytes(file, digest))
        tally.Error(adapter, what + "other bytes than its first fetch");
    }
  }
  tally.AddLatencies(latencies);
}

}  // namespace

int RunLoad(const ProbeOptions& options) {
  NameDecoder names;
  ProbeTarget target;
  if (int code = OpenNamesAndTarget(options, &names, &target); code != kProbeOk) return code;
  LoadPlan plan;
  plan.target = target;
  plan.timeoutMs = options.TimeoutMs(kAdapterTimeoutMs);
  plan.charset = options.charset;
  plan.mostKept = std::max(kFewestKept, kMostKeptInAll / static_cast<size_t>(options.adapters));
  if (options.loadKind != "photo") plan.kinds.push_back(MediaKind::kAudio);
  if (options.loadKind != "audio") plan.kinds.push_back(MediaKind::kPhoto);
  if (options.loadKind == "all")
    plan.kinds.insert(plan.kinds.end(), {MediaKind::kAvi, MediaKind::kMpeg});
  std::printf("load          %d adapters for %g s, %s files of %s\n", options.adapters,
              options.seconds, options.loadKind == "all" ? "all listed" : options.loadKind.c_str(),
              target.Where().c_str());
  std::fflush(stdout);

  LoadTally tally;
  const Clock::time_point start = Clock::now();
  plan.deadline = start + std::chrono::microseconds(static_cast<int64_t>(options.seconds * 1e6));
  std::vector<std::thread> adapters;
  for (int i = 1; i <= options.adapters; ++i) {
    try {
      adapters.emplace_back(RunAdapter, i, std::cref(plan), std::ref(tally));
    } catch (const std::system_error& e) {
      tally.Error(i, std::string("no thread for it: ") + e.what());
    }
  }
  for (std::thread& adapter : adapters) adapter.join();
  tally.Print(std::chrono::duration<double>(Clock::now() - start).count(), options.digests, names);
  std::fflush(stdout);
  return tally.failed() ? kProbeFailed : kProbeOk;
}

}  // namespace rureza
