// check: each step an adapter takes, from finding the server to the start of a file of each
// kind, with one line of result a step.
#include <chrono>
#include <cstdio>
#include <functional>

#include "probe/commands.h"
#include "probe/probe_session.h"
#include "probe/probe_text.h"

namespace rureza {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kCheckedBytes = 64 * 1024;  // of each file: enough for a handshake and more
constexpr int kDiscoveryWaitMs = 1000;

enum class Outcome { kOk, kFailed, kSkipped };

class Report {
 public:
  // A step that ran: what it did and how long that took.
  void Ran(Outcome outcome, const char* step, Clock::time_point start, const std::string& detail) {
    Line(outcome, step,
         MillisecondsText(std::chrono::duration<double>(Clock::now() - start).count()), detail);
  }
  void Skipped(const char* step, const std::string& why) { Line(Outcome::kSkipped, step, "", why); }
  int Finish() {
    if (failed_ == 0) {
      std::printf("all %d steps that apply worked\n", steps_);
    } else {
      std::printf("%d of %d steps FAILED\n", failed_, steps_);
    }
    std::fflush(stdout);
    return failed_ == 0 ? kProbeOk : kProbeFailed;
  }

 private:
  void Line(Outcome outcome, const char* step, const std::string& time, const std::string& detail) {
    const char* word = outcome == Outcome::kOk       ? "ok"
                       : outcome == Outcome::kFailed ? "FAILED"
                                                     : "skipped";
    std::printf("%-8s %-9s %9s  %s\n", word, step, time.c_str(), detail.c_str());
    std::fflush(stdout);
    steps_ += outcome != Outcome::kSkipped;
    failed_ += outcome == Outcome::kFailed;
  }

  int steps_ = 0, failed_ = 0;
};

// The first listed file of a kind.
struct Pick {
  std::string name;
  uint32_t size = 0;
  bool found = false;
};

}  // namespace

int RunCheck(const ProbeOptions& options) {
  NameDecoder names;
  ProbeTarget target;
  if (int code = OpenNamesAndTarget(options, &names, &target); code != kProbeOk) return code;
  const int timeoutMs = options.TimeoutMs(kAdapterTimeoutMs);
  const std::string udp = "UDP port " + std::to_string(target.port + 3);
  Report report;

  Clock::time_point start = Clock::now();
  std::optional<std::string> answer =
      Probe(target.DiscoveryAddress(), "VE520", options.TimeoutMs(kDiscoveryWaitMs));
  if (answer == "VE520") {
    report.Ran(Outcome::kOk, "discovery", start, target.host + " answered on " + udp);
  } else {
    report.Ran(Outcome::kFailed, "discovery", start,
               answer ? "the answer on " + udp + " is not VE520"
                      : "no answer on " + udp + " (server not running, or a firewall?)");
  }

  constexpr MediaKind kKinds[] = {MediaKind::kAudio, MediaKind::kAvi, MediaKind::kMpeg,
                                  MediaKind::kPhoto};
  Pick picks[4];
  ListingSummary summary;
  start = Clock::now();
  std::string error = StreamListing(target, timeoutMs, [&](const ListingEntry& e) {
    summary.Add(e);
    std::optional<MediaKind> kind = KindOfListedName(e.name);
    for (size_t i = 0; i < 4; ++i) {
      if (!e.isFolder() && kind == kKinds[i] && !picks[i].found) picks[i] = {e.name, e.size, true};
    }
  });
  const bool listed = error.empty();
  report.Ran(listed ? Outcome::kOk : Outcome::kFailed, "listing", start,
             !listed               ? error
             : summary.entries > 0 ? summary.Text()
                                   : "no entries: the server's media folders may be missing or "
                                     "empty (its log says which)");

  // One fetch: the kind's first file's first bytes, or only the firmware image's length block.
  auto fetch = [&](MediaKind kind, const std::string& name, std::optional<uint32_t> listedSize,
                   uint64_t limit) {
    FetchOptions fetchOptions;
    fetchOptions.idleTimeoutMs = timeoutMs;
    fetchOptions.limit = limit;
    fetchOptions.listedSize = listedSize;
    AdapterConnection connection;
    FetchResult result;
    if (!ConnectTo(target, timeoutMs, &connection, &result.error)) return result;
    return Fetch(connection, kind, name, nullptr, fetchOptions);
  };
  for (size_t i = 0; i < 4; ++i) {
    const char* step = KindName(kKinds[i]);
    if (!listed) {
      report.Skipped(step, "the listing did not work");
      continue;
    }
    if (!picks[i].found) {
      report.Skipped(step, std::string("no ") + step + " file listed");
      continue;
    }
    const std::string name =
        names.Printable(picks[i].name) + " (" + ReadableSize(picks[i].size) + ")";
    start = Clock::now();
    FetchResult result = fetch(kKinds[i], picks[i].name, picks[i].size, kCheckedBytes);
    report.Ran(result.ok ? Outcome::kOk : Outcome::kFailed, step, start,
               result.ok ? name + (result.mediaBytes == kCheckedBytes ? ": the first " : ": all ") +
                               std::to_string(result.mediaBytes) + " bytes came as they should"
               : result.nothingSent ? name + ": the server could not open it; its log says why"
                                    : name + ": " + result.error);
  }

  start = Clock::now();
  FetchResult firmware = fetch(MediaKind::kFirmware, "", std::nullopt, 0);
  if (firmware.nothingSent) {
    // Without an image the server closes at once, as it does for one it cannot open.
    report.Skipped("firmware", "no firmware image configured, or one the server cannot open");
  } else {
    report.Ran(firmware.ok ? Outcome::kOk : Outcome::kFailed, "firmware", start,
               firmware.ok ? "an image of " + ReadableSize(firmware.announced) + " announced"
                           : firmware.error);
  }
  return report.Finish();
}

}  // namespace rureza
