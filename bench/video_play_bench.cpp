// video_play_bench: videos of other formats played through a live server with conversion on, as
// an adapter reads them over the MPEG path (the adapter library), for bench/run. It makes its
// sources with the ffmpeg command line, then, round after round (round 0 warms up):
//
//   videoplay_first_block_ms     a 1080p H.264/AAC video never played (nor measured): from the
//                                request to the first block of its handshake (peer: an .mpg
//                                file's)
//   videoplay_pace_mbps          that video's whole stream, from its first block to its last
//                                byte, at the MPEG path's pace of a block per 20 ms, while it is
//                                converted (peer: an .mpg file of the same length)
//   videoplay_cache_mbps         a video converted before, from the cache (peer: the same .mpg)
//   videoplay_listing_records_per_s   N videos (.mp4, 10 to a folder) listed with nothing
//                                remembered (peer: the same library of .mpg files)
//   videoplay_background_pass_s  the background pass that listing starts, until every video
//                                is measured
//
//   video_play_bench DIR RESULTS --converter PROGRAM --port P [--rounds N] [--videos N]
//                    [--smoke]
//
// --smoke: sources of 320x180 and a few seconds, to check the harness quickly. The server takes
// TCP P and P+1 and UDP P+3 on 127.0.0.1. RESULTS gets lines "metric<TAB>side<TAB>round<TAB>
// value" (side: ours or peer), as peer_bench reads them. Every child process is waited for;
// every wait is bounded.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "adapter/exchange.h"
#include "conversion/conversions.h"
#include "conversion/process_conversions.h"
#include "live_server.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "request/dispatcher.h"
#include "round_recorder.h"
#include "server/activity_log.h"
#include "server/server.h"
#include "server/server_run.h"

extern char** environ;

namespace rureza {
namespace {

namespace fs = std::filesystem;
constexpr int kWaitMs = 50;
constexpr int kMostWaits = 2400;  // two minutes of kWaitMs

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "video_play_bench: %s\n", what.c_str());
  std::exit(1);
}

// Shows what went wrong, not the server's every request.
class QuietSink : public LogSink {
 public:
  void AddLine(std::string_view line) override {
    if (line.starts_with("Can Not") || line.find("Error") != std::string_view::npos ||
        line.starts_with("The c") || line.starts_with("Left out")) {
      std::fprintf(stderr, "log: %.*s\n", static_cast<int>(line.size()), line.data());
    }
  }
  void Clear() override {}
};

void RunTool(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
    Fail("cannot start " + args[0]);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Fail(args[0] + " failed: " + args.back());
}

// The bench's server of the video folder given, converting to PAL.
ServerSettings Served(uint16_t port, const fs::path& video) {
  ServerSettings s = LiveServer::Settings(port);
  SetPathText(&s.videoFolder, video.string());
  s.library.videoStandard = TvStandard::kPal;
  return s;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The listing: records per second, and the listed size of each name.
double Listing(uint16_t port, size_t expected, std::map<std::string, uint32_t>* sizes = nullptr) {
  AdapterConnection connection;
  if (!connection.Connect(LoopbackAddress(port))) Fail("cannot connect to the server");
  const auto start = std::chrono::steady_clock::now();
  size_t records = 0;
  const std::string error = ReadListing(connection, 120000, [&](const ListingEntry& entry) {
    ++records;
    if (sizes) (*sizes)[entry.name] = entry.size;
  });
  if (!error.empty() || records != expected) Fail("the listing: " + error);
  return expected / SecondsSince(start);
}

// Waits until the cache keeps an entry of length bytes.
void WaitForEntry(const std::string& cache, uint32_t length) {
  for (int waits = 0; waits < kMostWaits; ++waits) {
    for (const auto& entry : fs::directory_iterator(cache)) {
      if (entry.path().extension() == ".entry" && entry.file_size() == length) return;
    }
    SleepMs(kWaitMs);
  }
  Fail("the video was not kept in the cache");
}

// name played whole over the MPEG path, its length known from the listing.
FetchResult PlayMpeg(uint16_t port, const std::string& name, uint32_t listed) {
  AdapterConnection connection;
  if (!connection.Connect(LoopbackAddress(port))) Fail("cannot connect to the server");
  FetchOptions options;
  options.listedSize = listed;
  options.idleTimeoutMs = 120000;
  const FetchResult result = Fetch(
      connection, MediaKind::kMpeg, name, [](const char*, size_t) { return true; }, options);
  if (!result.ok || result.mediaBytes != listed) Fail(name + ": " + result.error);
  return result;
}

double StreamMbps(const FetchResult& result) {
  return result.mediaBytes / (result.lastByteSeconds - result.firstByteSeconds) / 1e6;
}

int Main(int argc, char** argv) {
  if (argc < 3) Fail("usage: video_play_bench DIR RESULTS --converter PROGRAM --port P");
  const fs::path dir = argv[1];
  RoundRecorder recorder(argv[2]);
  int rounds = 5, videos = 1000, port = 0;
  bool smoke = false;
  ConversionSettings settings;
  for (int i = 3; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--smoke") {
      smoke = true;
      continue;
    }
    if (i + 1 == argc) Fail("a value is missing after " + option);
    if (option == "--rounds") rounds = std::atoi(argv[++i]);
    if (option == "--videos") videos = std::atoi(argv[++i]);
    if (option == "--converter") settings.converterProgram = argv[++i];
    if (option == "--port") port = std::atoi(argv[++i]);
  }
  if (settings.converterProgram.empty() || port <= 0 || port > 65532) {
    Fail("--converter and --port are needed");
  }
  const uint16_t serverPort = static_cast<uint16_t>(port);
  settings.cacheFolder = (dir / "cache").string();
  SetLogSink(std::make_shared<QuietSink>());
  const fs::path sources = dir / "sources", streams = dir / "streams", library = dir / "library",
                 mpgLibrary = dir / "mpg-library";
  for (const fs::path& folder : {sources, streams, library, mpgLibrary}) {
    fs::create_directories(folder);
  }
  std::printf("video play: making the sources in %s\n", dir.c_str());
  std::fflush(stdout);
  const std::string ffmpeg = "/usr/bin/ffmpeg";
  // Sources of seconds of a test picture of size and a tone, coded with codec.
  auto make = [&](const fs::path& path, const std::string& size, const std::string& seconds,
                  const std::vector<std::string>& codec) {
    std::vector<std::string> args = {ffmpeg,
                                     "-nostdin",
                                     "-v",
                                     "error",
                                     "-y",
                                     "-f",
                                     "lavfi",
                                     "-i",
                                     "testsrc2=size=" + size + ":rate=30:duration=" + seconds,
                                     "-f",
                                     "lavfi",
                                     "-i",
                                     "sine=sample_rate=48000:duration=" + seconds};
    args.insert(args.end(), codec.begin(), codec.end());
    args.push_back(path.string());
    RunTool(args);
  };
  const std::vector<std::string> h264 = {"-c:v", "libx264", "-preset", "veryfast", "-c:a", "aac"};
  make(sources / "film.mp4", smoke ? "320x180" : "1920x1080", smoke ? "3" : "20",
       {"-c:v", "libx264", "-preset", "veryfast", "-b:v", "8M", "-c:a", "aac", "-b:a", "160k"});
  // The library's clips: as MP4 (an index to read) and MKV (its end read for the last
  // timestamp), and as an MPEG program stream for the peer.
  make(sources / "clip.mp4", "320x180", "10", h264);
  make(sources / "clip.mkv", "320x180", "10", h264);
  make(sources / "clip.mpg", "320x180", "10", {"-c:v", "mpeg2video", "-c:a", "mp2", "-f", "vob"});
  if (smoke) videos = std::min(videos, 20);
  for (int i = 0; i < videos; ++i) {
    const fs::path folder = std::to_string(i / 10), name = std::to_string(i);
    fs::create_directories(library / folder);
    fs::create_directories(mpgLibrary / folder);
    const std::string clip = i % 2 ? ".mkv" : ".mp4";
    fs::create_hard_link(sources / ("clip" + clip), library / folder / (name.string() + clip));
    fs::create_hard_link(sources / "clip.mpg", mpgLibrary / folder / (name.string() + ".mpg"));
  }

  // The film, played while it is converted (a new name each round: never measured, never
  // converted), against an .mpg file of its stream's length; then from the cache.
  uint32_t length = 0;
  for (int round = 0; round <= rounds; ++round) {
    LiveServer server(Served(serverPort, streams), settings, /*fresh=*/true);
    const std::string name = "film" + std::to_string(round);
    fs::create_hard_link(sources / "film.mp4", streams / (name + ".mp4"));
    if (length == 0) {
      // Its length, as a listing says once the background pass has measured it, and an .mpg of
      // that length for the peer.
      const int64_t estimate =
          EstimatedMpegLength(int64_t(fs::file_size(sources / "film.mp4")), VideoStandard::kPal);
      for (int waits = 0; length == 0 || length == estimate; ++waits) {
        if (waits == kMostWaits) Fail("the film was never measured");
        if (waits > 0) SleepMs(kWaitMs);
        std::map<std::string, uint32_t> sizes;
        Listing(serverPort, 1, &sizes);
        length = sizes.begin()->second;
      }
      std::string bytes(length, '\0');
      for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 251);
      FILE* peer = std::fopen((streams / "same.mpg").c_str(), "wb");
      const bool written = peer && std::fwrite(bytes.data(), 1, bytes.size(), peer) == length;
      if (peer) std::fclose(peer);
      if (!written) Fail("cannot write same.mpg");
      fs::remove(streams / (name + ".mp4"));
      continue;  // the warm-up round plays nothing: it measures the film
    }
    FetchResult ours = PlayMpeg(serverPort, name + ".mpg", length);
    recorder.Add("videoplay_first_block_ms", true, round, 1000 * ours.firstByteSeconds);
    recorder.Add("videoplay_pace_mbps", true, round, StreamMbps(ours));
    const FetchResult peer = PlayMpeg(serverPort, "same.mpg", length);
    recorder.Add("videoplay_first_block_ms", false, round, 1000 * peer.firstByteSeconds);
    recorder.Add("videoplay_pace_mbps", false, round, StreamMbps(peer));
    WaitForEntry(settings.cacheFolder, length);
    recorder.Add("videoplay_cache_mbps", true, round,
                 StreamMbps(PlayMpeg(serverPort, name + ".mpg", length)));
    recorder.Add("videoplay_cache_mbps", false, round,
                 StreamMbps(PlayMpeg(serverPort, "same.mpg", length)));
    fs::remove(streams / (name + ".mp4"));
  }

  // The library listed as .mp4 videos with nothing remembered, then measured in the background;
  // as .mpg files before.
  auto allMeasured = [&](Conversions& conversions) {
    for (const auto& entry : fs::recursive_directory_iterator(library)) {
      if (!entry.is_regular_file()) continue;
      const std::string path = entry.path().string();
      if (conversions.VideoLength(path, StampOf(path), VideoStandard::kPal).kind !=
          ListedLength::Kind::kExact) {
        return false;
      }
    }
    return true;
  };
  for (int round = 0; round <= rounds; ++round) {
    double mpgRate;
    {
      LiveServer server(Served(serverPort, mpgLibrary), settings, /*fresh=*/true);
      mpgRate = Listing(serverPort, videos);
    }
    LiveServer server(Served(serverPort, library), settings, /*fresh=*/true);
    recorder.Add("videoplay_listing_records_per_s", true, round, Listing(serverPort, videos));
    recorder.Add("videoplay_listing_records_per_s", false, round, mpgRate);
    const auto start = std::chrono::steady_clock::now();
    for (int waits = 0; !allMeasured(server.conversions()); ++waits) {
      if (waits == kMostWaits * 10) Fail("the background pass did not end within 20 minutes");
      SleepMs(kWaitMs);
    }
    recorder.Add("videoplay_background_pass_s", true, round, SecondsSince(start));
  }
  return 0;
}

}  // namespace
}  // namespace rureza

int main(int argc, char** argv) { return rureza::Main(argc, argv); }
