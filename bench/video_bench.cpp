// video_bench: videos converted to the adapter's MPEG-2 program stream by the converter process,
// as the server starts it (its source handed over as a descriptor, the stream on a pipe), for
// bench/run.
// It makes its sources with the ffmpeg command line, then, round after round (round 0 warms up):
//
//   video_h264_realtime      30 s of 1080p30 H.264/AAC converted whole to the PAL stream
//                            (process start included), in seconds of video per second, against
//                            the ffmpeg command line making the same kind of stream (720x576
//                            MPEG-2 at the plan's rates, MP2 at 48 kHz, DVD program stream)
//   video_first_32k_ms       its first 32 KiB on the stream's pipe, from the converter's start
//   video_hevc_realtime      10 s of 1080p30 HEVC, in seconds of video per second
//   video_4k_hevc_realtime   4 s of 2160p30 HEVC, likewise
//   video_two_h264_realtime  two of the H.264 conversions at once: the slower one's figure
//   video_h264_peak_mib      the converter's peak resident memory for the H.264 source
//
//   video_bench DIR RESULTS --converter PROGRAM [--rounds N] [--smoke]
//
// --smoke: sources of 320x180 and a second or two, to check the harness quickly.
// RESULTS gets lines "metric<TAB>side<TAB>round<TAB>value" (side: ours or peer), as peer_bench
// reads them. Every child process is waited for; every wait is bounded.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "conversion/converter_process.h"
#include "conversion/converter_protocol.h"
#include "platform/file.h"
#include "round_recorder.h"

extern char** environ;

namespace rureza {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr int kMostWaitMs = 600000;  // no conversion here takes ten minutes

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "video_bench: %s\n", what.c_str());
  std::exit(1);
}

pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::pair<int, int>>& dups) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (const auto& [from, to] : dups) posix_spawn_file_actions_adddup2(&actions, from, to);
  pid_t pid;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    Fail("cannot start " + args[0]);
  }
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Waits for pid; its peak resident memory in MiB.
double Reap(pid_t pid, const std::string& what) {
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Fail(what + " failed");
  return usage.ru_maxrss / 1024.0;
}

void RunTool(const std::vector<std::string>& args) {
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  Reap(Spawn(args, {{null, 0}, {null, 1}}), args[0] + " " + args.back());
  ::close(null);
}

// One converter process serving one request, read to its end: started as the server starts it
// (ConverterProcess: the source handed over as a descriptor, the stream on a pipe), but at the
// command line's priority, so that the two compare.
class Conversion {
 public:
  Conversion(const std::string& converter, const ConverterRequest& request) {
    start_ = Clock::now();
    Status error;
    process_ = ConverterProcess::Start(converter, {0, 0, /*niceness=*/0}, true, &error);
    const File source = File::OpenSharedNative(request.path);
    if (!process_ || !source.valid() || !process_->Send(request, {source.fd()})) {
      Fail("the converter takes no request: " + error.text);
    }
  }

  // Reads what is there; true once the reply and the whole stream have come.
  bool Step(int timeoutMs) {
    pollfd fds[2] = {{process_->replyFd(), POLLIN, 0}, {process_->outputFd(), POLLIN, 0}};
    if (::poll(fds, 2, timeoutMs) < 0 && errno != EINTR) Fail("poll");
    char buffer[1 << 16];
    for (ssize_t n; (n = process_->ReadOutput(buffer, sizeof buffer)) > 0;) {
      bytes_ += static_cast<uint64_t>(n);
      if (bytes_ >= 32768 && firstMs_ < 0) firstMs_ = Seconds(Clock::now() - start_) * 1000;
    }
    for (;;) {
      Reply reply;
      const ConverterProcess::Outcome outcome = process_->Receive(&reply, 0);
      if (outcome == ConverterProcess::Outcome::kGone && !done_) {
        Fail("the converter ended without its reply");
      }
      if (outcome != ConverterProcess::Outcome::kReply) break;
      if (reply.kind == ReplyKind::kFailed) Fail("the converter failed: " + reply.text);
      if (reply.kind != ReplyKind::kWritten) {
        done_ = true;
        reply_ = reply;
      }
    }
    return done_ && (reply_.kind != ReplyKind::kDone || bytes_ >= reply_.bytes);
  }

  // Ends the process; its peak memory in MiB.
  double Finish() {
    seconds_ = Seconds(Clock::now() - start_);
    const double peak = PeakMib(process_->pid());
    process_.reset();
    return peak;
  }

  const Reply& reply() const { return reply_; }
  double seconds() const { return seconds_; }
  double firstMs() const { return firstMs_; }

 private:
  // The process's peak resident memory (VmHWM), while it still runs.
  static double PeakMib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string key; status >> key;) {
      double kib = 0;
      if (key == "VmHWM:" && status >> kib) return kib / 1024;
    }
    return 0;
  }

  std::unique_ptr<ConverterProcess> process_;
  Clock::time_point start_;
  Reply reply_;
  bool done_ = false;
  uint64_t bytes_ = 0;
  double firstMs_ = -1;
  double seconds_ = 0;
};

// Runs the conversions side by side to their ends.
void RunAll(std::vector<Conversion*> conversions) {
  const Clock::time_point start = Clock::now();
  std::vector<bool> done(conversions.size(), false);
  for (size_t left = conversions.size(); left > 0;) {
    for (size_t i = 0; i < conversions.size(); ++i) {
      if (!done[i] && conversions[i]->Step(10)) {
        done[i] = true;
        --left;
      }
    }
    if (Seconds(Clock::now() - start) * 1000 > kMostWaitMs) Fail("a conversion takes too long");
  }
}

uint64_t DurationMs(const std::string& converter, const fs::path& source) {
  ConverterRequest request;
  request.kind = RequestKind::kProbeVideo;
  request.path = source.string();
  Conversion probe(converter, request);
  RunAll({&probe});
  probe.Finish();
  return probe.reply().video.durationMs;
}

ConverterRequest VideoOf(const fs::path& source, uint64_t durationMs) {
  ConverterRequest request;
  request.kind = RequestKind::kVideo;
  request.path = source.string();
  request.video.durationMs = durationMs;
  return request;
}

}  // namespace
}  // namespace rureza

int main(int argc, char** argv) {
  using namespace rureza;
  if (argc < 3) Fail("usage: video_bench DIR RESULTS --converter PROGRAM [--rounds N] [--smoke]");
  const fs::path dir = argv[1];
  RoundRecorder recorder(argv[2]);
  std::string converter;
  int rounds = 3;
  bool smoke = false;
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--converter" && i + 1 < argc) {
      converter = argv[++i];
    } else if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else if (arg == "--smoke") {
      smoke = true;
    } else {
      Fail("unknown option " + arg);
    }
  }
  if (converter.empty()) Fail("--converter is needed");
  fs::create_directories(dir);
  const std::string hd = smoke ? "320x180" : "1920x1080";
  const std::string uhd = smoke ? "320x180" : "3840x2160";
  auto make = [&](const char* name, const std::string& size, int seconds,
                  std::vector<std::string> codec) {
    const fs::path path = dir / name;
    std::vector<std::string> args = {
        "/usr/bin/ffmpeg",
        "-nostdin",
        "-v",
        "error",
        "-y",
        "-f",
        "lavfi",
        "-i",
        "testsrc2=size=" + size + ":rate=30:duration=" + std::to_string(seconds),
        "-f",
        "lavfi",
        "-i",
        "sine=frequency=440:sample_rate=48000:duration=" + std::to_string(seconds)};
    args.insert(args.end(), codec.begin(), codec.end());
    args.insert(args.end(), {"-c:a", "aac", "-b:a", "160k", path.string()});
    std::printf("  making %s\n", name);
    std::fflush(stdout);
    RunTool(args);
    return path;
  };
  const fs::path h264 = make("h264.mp4", hd, smoke ? 2 : 30,
                             {"-c:v", "libx264", "-preset", "veryfast", "-b:v", "8M"});
  const fs::path hevc = make(
      "hevc.mp4", hd, smoke ? 1 : 10,
      {"-c:v", "libx265", "-preset", "ultrafast", "-b:v", "6M", "-x265-params", "log-level=error"});
  const fs::path hevc4k = make("hevc4k.mp4", uhd, smoke ? 1 : 4,
                               {"-c:v", "libx265", "-preset", "ultrafast", "-b:v", "16M",
                                "-x265-params", "log-level=error"});
  const uint64_t h264Ms = DurationMs(converter, h264);
  const uint64_t hevcMs = DurationMs(converter, hevc);
  const uint64_t hevc4kMs = DurationMs(converter, hevc4k);
  if (h264Ms == 0 || hevcMs == 0 || hevc4kMs == 0) Fail("a source measured no duration");
  MpegPlan plan;
  if (!PlanMpeg(h264Ms, VideoStandard::kPal, &plan).empty()) Fail("no plan");
  // The peer makes the same kind of stream at the same rates.
  const std::vector<std::string> peer = {"/usr/bin/ffmpeg",
                                         "-nostdin",
                                         "-v",
                                         "error",
                                         "-y",
                                         "-i",
                                         h264.string(),
                                         "-vf",
                                         "scale=720:576",
                                         "-r",
                                         "25",
                                         "-c:v",
                                         "mpeg2video",
                                         "-b:v",
                                         std::to_string(plan.videoBitRate),
                                         "-maxrate",
                                         std::to_string(plan.videoBitRate + plan.muxRate / 100),
                                         "-bufsize",
                                         "1835008",
                                         "-g",
                                         "15",
                                         "-bf",
                                         "2",
                                         "-c:a",
                                         "mp2",
                                         "-b:a",
                                         std::to_string(plan.audioBitRate),
                                         "-ar",
                                         "48000",
                                         "-ac",
                                         "2",
                                         "-f",
                                         "dvd",
                                         "-muxrate",
                                         std::to_string(plan.muxRate),
                                         (dir / "peer.mpg").string()};

  for (int round = 0; round <= rounds; ++round) {
    {
      Conversion ours(converter, VideoOf(h264, h264Ms));
      RunAll({&ours});
      const double mib = ours.Finish();
      recorder.Add("video_h264_realtime", true, round, h264Ms / 1000.0 / ours.seconds());
      recorder.Add("video_first_32k_ms", true, round, ours.firstMs());
      recorder.Add("video_h264_peak_mib", true, round, mib);
      const Clock::time_point start = Clock::now();
      RunTool(peer);
      recorder.Add("video_h264_realtime", false, round,
                   h264Ms / 1000.0 / Seconds(Clock::now() - start));
    }
    {
      Conversion ours(converter, VideoOf(hevc, hevcMs));
      RunAll({&ours});
      ours.Finish();
      recorder.Add("video_hevc_realtime", true, round, hevcMs / 1000.0 / ours.seconds());
    }
    {
      Conversion ours(converter, VideoOf(hevc4k, hevc4kMs));
      RunAll({&ours});
      ours.Finish();
      recorder.Add("video_4k_hevc_realtime", true, round, hevc4kMs / 1000.0 / ours.seconds());
    }
    {
      Conversion first(converter, VideoOf(h264, h264Ms));
      Conversion second(converter, VideoOf(h264, h264Ms));
      RunAll({&first, &second});
      first.Finish();
      second.Finish();
      recorder.Add("video_two_h264_realtime", true, round,
                   h264Ms / 1000.0 / std::max(first.seconds(), second.seconds()));
    }
  }
  return 0;
}
