// get: one file fetched as the adapter plays it, its media bytes written out as they arrive.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "platform/status.h"
#include "probe/commands.h"
#include "probe/probe_session.h"
#include "probe/probe_text.h"

namespace rureza {
namespace {

using Clock = std::chrono::steady_clock;

// A one-line bar on standard error, redrawn at most five times a second; nothing when standard
// error is not a terminal (a log file wants no carriage returns).
class ProgressBar {
 public:
  ProgressBar() : shown_(::isatty(STDERR_FILENO) == 1) {}

  void Start(uint64_t total) {
    total_ = total;
    start_ = Clock::now();
  }
  void Update(uint64_t done) {
    const Clock::time_point now = Clock::now();
    if (!shown_ || total_ == 0 || now - drawn_ < std::chrono::milliseconds(200)) return;
    drawn_ = now;
    const double fraction = std::min(1.0, static_cast<double>(done) / total_);
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const std::string bar = std::string(static_cast<size_t>(fraction * 30), '#');
    std::fprintf(stderr, "\r[%-30s] %3d%%  %s of %s  %s/s  ", bar.c_str(),
                 static_cast<int>(fraction * 100), ReadableSize(done).c_str(),
                 ReadableSize(total_).c_str(),
                 ReadableSize(static_cast<uint64_t>(seconds > 0 ? done / seconds : 0)).c_str());
  }
  void Finish() {
    if (drawn_ != Clock::time_point{}) std::fprintf(stderr, "\r%80s\r", "");
  }

 private:
  const bool shown_;
  uint64_t total_ = 0;
  Clock::time_point start_{}, drawn_{};
};

}  // namespace

int RunGet(const ProbeOptions& options) {
  const MediaKind kind = *KindNamed(options.operands[1]);
  // The name as list shows it, sent as the adapter sends it: in its character set.
  NameEncoder encoder;
  NameDecoder names;
  std::string error;
  if (!options.charset.empty() &&
      (!encoder.Open(options.charset, &error) || !names.Open(options.charset, &error))) {
    Complain(error);
    return kProbeUsage;
  }
  std::optional<std::string> encoded =
      encoder.Encode(options.operands.size() == 3 ? options.operands[2] : "", &error);
  if (!encoded) {
    Complain(error);
    return kProbeUsage;
  }
  const std::string name = *encoded;
  if (RequestText(kind, name).size() > kAdapterBlockSize) {
    // The name travels in the 256-byte request block, after three bytes.
    Complain("NAME is longer than " + std::to_string(kAdapterBlockSize - 3) + " bytes");
    return kProbeUsage;
  }
  const std::string what = kind == MediaKind::kFirmware
                               ? std::string("the firmware image")
                               : std::string(KindName(kind)) + " '" + names.Printable(name) + "'";
  const std::string into = options.output.empty() ? "standard output" : options.output;
  if (options.output.empty() && ::isatty(STDOUT_FILENO) == 1) {
    Complain("will not write media bytes to a terminal: give -o FILE or a pipe (see --help)");
    return kProbeUsage;
  }
  std::optional<ProbeTarget> target = ResolveTarget(options.operands[0], options.port);
  if (!target) return kProbeFailed;

  FetchOptions fetch;
  fetch.idleTimeoutMs = options.TimeoutMs(kAdapterTimeoutMs);
  if (kind == MediaKind::kMpeg) {
    // The listed size tells how long a short file's first block is.
    error = StreamListing(*target, fetch.idleTimeoutMs, [&](const ListingEntry& e) {
      if (e.name == name) fetch.listedSize = e.size;
    });
    if (!error.empty()) {
      Complain(target->Where() + ": the listing, read for the file's size: " + error +
               "; going on without it");
    }
  }

  // The file is made only once the server sends media: a request it refuses leaves an
  // existing file as it was.
  FILE* out = options.output.empty() ? stdout : nullptr;
  std::string writeError;
  auto writeOut = [&](const char* data, size_t size) {
    if (!out) out = std::fopen(options.output.c_str(), "wb");
    if (!out || std::fwrite(data, 1, size, out) != size) {
      writeError = "cannot write " + into + ": " + ErrorText(errno);
      return false;
    }
    return true;
  };
  AdapterConnection connection;
  ProgressBar bar;
  FetchResult result;
  if (ConnectTo(*target, fetch.idleTimeoutMs, &connection, &result.error)) {
    fetch.onAnnounced = [&](uint64_t total) { bar.Start(total); };
    uint64_t written = 0;
    result = Fetch(
        connection, kind, name,
        [&](const char* data, size_t size) {
          if (!writeOut(data, size)) return false;
          bar.Update(written += size);
          return true;
        },
        fetch);
    bar.Finish();
  }
  if (result.ok) writeOut("", 0);  // an empty file is a file too
  if (out && (out == stdout ? std::fflush(out) : std::fclose(out)) != 0 && writeError.empty()) {
    writeError = "cannot write " + into + ": " + ErrorText(errno);
  }
  if (!writeError.empty()) {
    Complain(writeError);
    return kProbeFailed;
  }
  if (!result.ok) {
    if (result.nothingSent) {
      Complain(target->Where() + ": the server could not open " + what +
               " (it closed the connection without a byte); its log says why");
    } else {
      Complain(target->Where() + ": " + what + ": " + result.error);
    }
    if (!options.output.empty() && result.mediaBytes > 0) {
      Complain(into + " holds the " + std::to_string(result.mediaBytes) +
               " bytes that came before");
    }
    return kProbeFailed;
  }
  std::fprintf(stderr, "%llu bytes in %.2f s, %.2f MB/s\n",
               static_cast<unsigned long long>(result.mediaBytes), result.seconds,
               result.seconds > 0 ? result.mediaBytes / result.seconds / 1e6 : 0.0);
  return kProbeOk;
}

}  // namespace rureza
