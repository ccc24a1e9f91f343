// conversion_bench: songs and photos of other formats converted on the fly, measured in one
// process through the conversion layer, for bench/run. It makes its sources with the ffmpeg,
// heif-enc and vips command-line tools, takes the converter's peak memory, then, round after
// round (round 0 warms up):
//
//   convert_song_first_byte_ms   a song never played (not measured, not cached): the first
//                                32 KiB of MP3 ready
//   convert_seek_first_byte_ms   a seek to three quarters of a song never played: the first
//                                32 KiB from there ready
//   convert_songs_per_min        a 4-minute FLAC converted whole (process start included),
//                                against the ffmpeg command line doing the same conversion
//   convert_photos_per_s         a 12-megapixel JPEG to the photo size, against
//                                `vips thumbnail` with the same output settings
//   convert_photo_first_byte_ms  that JPEG's first byte ready
//   convert_heic_first_byte_ms   a 12-megapixel HEIC's (against `vips thumbnail` making the
//                                whole JPEG)
//   convert_song_peak_mib, convert_photo_peak_mib   the converter process's peak resident memory
//   convert_measured_songs_per_s one converter measuring a library of FLAC songs
//
// and through a live server with conversion on, read as an adapter reads (the adapter library):
//
//   cache_song_gbps              a 10-minute song converted before, streamed from the cache,
//                                against an MP3 file of the same size streamed as any MP3
//   cache_photo_gbps             the 12-megapixel photo converted before, sent from the cache,
//                                against a JPEG file of the same size sent untouched
//   flac_first_listing_records_per_s   the library of FLAC songs (N songs, 10 to a folder)
//                                listed with nothing remembered (estimated sizes), against the
//                                same library of MP3s
//   flac_background_pass_s       the background pass that the first listing starts, until
//                                every song is measured
//   flac_later_listing_records_per_s   then listed with exact sizes, against the MP3s
//   heic_eight_at_once_ratio     eight adapters asking at once for one new 24-megapixel HEIC:
//                                the last one's time against one adapter's alone
//   slideshow_worst_ms           a slideshow of ten 12-megapixel HEICs shown at 5 s intervals:
//                                the slowest of the second to tenth
//   busy_slow_reaction_p50_ms, busy_slow_reaction_p99_ms   bench/run's slow adapters (20
//                                reading an MP3 at 2 MB/s, one seeking) while six adapters play
//                                six songs never converted: six converters busy
//
//   conversion_bench DIR RESULTS --converter PROGRAM --port P [--rounds N] [--songs N] [--small]
//                    [--part convert|cache|busy|photos|library]
//
// --small: a 10-second song and a 1-megapixel photo, to check the harness quickly. The server
// takes TCP P and P+1 and UDP P+3 on 127.0.0.1.
//
// RESULTS gets lines "metric<TAB>side<TAB>round<TAB>value" (side: ours or peer), as peer_bench
// writes them. Every child process is waited for; every wait is bounded.
#include <arpa/inet.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "adapter/exchange.h"
#include "conversion/conversions.h"
#include "conversion/process_conversions.h"
#include "live_server.h"
#include "paced_adapters.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "request/dispatcher.h"
#include "round_recorder.h"
#include "server/activity_log.h"
#include "server/server.h"
#include "server/server_run.h"
#include "settings/server_settings.h"

extern char** environ;

namespace rureza {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr int kReadyWaitMs = 50;
constexpr int kMostWaits = 2400;  // two minutes of kReadyWaitMs

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "conversion_bench: %s\n", what.c_str());
  std::exit(1);
}

// Shows what went wrong, not the server's every request.
class QuietSink : public LogSink {
 public:
  void AddLine(std::string_view line) override {
    if (line.starts_with("Can Not") || line.find("Error") != std::string_view::npos ||
        line.starts_with("The cache")) {
      std::fprintf(stderr, "log: %.*s\n", static_cast<int>(line.size()), line.data());
    }
  }
  void Clear() override {}
};

// Runs a tool to its end (its output to /dev/null); its seconds, process start included.
double RunTool(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const Clock::time_point start = Clock::now();
  pid_t pid;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    Fail("cannot start " + args[0]);
  }
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Fail(args[0] + " failed: " + args.back());
  return Seconds(Clock::now() - start);
}

// Seconds until wanted bytes from offset are ready.
double UntilReady(ConvertedStream& stream, int64_t offset, int64_t wanted = 32768) {
  const Clock::time_point start = Clock::now();
  for (int waits = 0; waits < kMostWaits; ++waits) {
    const ConvertedStream::Span span = stream.BytesAt(offset, wanted, kReadyWaitMs);
    if (span.state == ConvertedStream::Span::State::kReady) return Seconds(Clock::now() - start);
    if (span.state != ConvertedStream::Span::State::kWaiting) Fail("a conversion failed");
  }
  Fail("no bytes within two minutes");
}

// The peak resident memory of the converter processes that work() starts: work runs in a
// child process of its own, whose only children are those converters. Called before this
// process has started any thread (a fork keeps only the calling one).
double ConverterPeakMib(const std::function<void()>& work) {
  int ends[2];
  if (::pipe(ends) != 0) Fail("no pipe");
  const pid_t pid = ::fork();
  if (pid < 0) Fail("cannot fork");
  if (pid == 0) {
    work();
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    const double mib = usage.ru_maxrss / 1024.0;
    _exit(::write(ends[1], &mib, sizeof mib) == sizeof mib ? 0 : 1);
  }
  ::close(ends[1]);
  double mib = 0;
  const bool read = ::read(ends[0], &mib, sizeof mib) == sizeof mib;
  ::close(ends[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!read || !WIFEXITED(status) || WEXITSTATUS(status) != 0) Fail("the memory probe failed");
  return mib;
}

// name played whole as kind: its media bytes, and the seconds from the request to its last.
std::pair<uint64_t, double> Play(uint16_t port, MediaKind kind, const std::string& name) {
  AdapterConnection connection;
  if (!connection.Connect(LoopbackAddress(port))) Fail("cannot connect to the server");
  const FetchResult result =
      Fetch(connection, kind, name, [](const char*, size_t) { return true; });
  if (!result.ok) Fail(name + ": " + result.error);
  return {result.mediaBytes, result.lastByteSeconds};
}

// The records per second of a listing.
double ListingRate(uint16_t port, size_t expected) {
  AdapterConnection connection;
  if (!connection.Connect(LoopbackAddress(port))) Fail("cannot connect to the server");
  size_t records = 0;
  const Clock::time_point start = Clock::now();
  const std::string error =
      ReadListing(connection, 120000, [&](const ListingEntry&) { ++records; });
  if (!error.empty() || records != expected) Fail("the listing: " + error);
  return records / Seconds(Clock::now() - start);
}

// The bench's server with the media folders given (empty: unset).
ServerSettings Served(uint16_t port, const std::string& audio, const std::string& photo,
                      int clients = 10) {
  ServerSettings s = LiveServer::Settings(port, clients);
  SetPathText(&s.audioFolder, audio);
  SetPathText(&s.photoFolder, photo);
  return s;
}

// The cache entry of length bytes, once it is kept (bounded).
fs::path EntryOf(const std::string& cache, uint64_t length) {
  for (int waits = 0; waits < kMostWaits; ++waits) {
    for (const auto& entry : fs::directory_iterator(cache)) {
      if (entry.path().extension() == ".entry" && entry.file_size() == length) return entry;
    }
    SleepMs(kReadyWaitMs);
  }
  Fail("nothing was kept in the cache");
}

// GB/s of ours and of the peer, fetched in turn (ours, peer, ours, ...) so that whatever else
// the machine does in the meantime weighs on both alike.
std::pair<double, double> Throughputs(uint16_t port, MediaKind kind, const std::string& ours,
                                      const std::string& peer, int fetches) {
  uint64_t bytes[2] = {};
  double seconds[2] = {};
  for (int i = 0; i < fetches; ++i) {
    for (int side : {0, 1}) {
      const auto [b, s] = Play(port, kind, side == 0 ? ours : peer);
      bytes[side] += b;
      seconds[side] += s;
    }
  }
  return {bytes[0] / seconds[0] / 1e9, bytes[1] / seconds[1] / 1e9};
}

// A path of its own for every play, so that each finds nothing measured and nothing cached.
std::string Fresh(const fs::path& source, const fs::path& dir, int round, const char* what) {
  const fs::path link =
      dir / (std::string(what) + std::to_string(round) + source.extension().string());
  fs::remove(link);
  fs::create_hard_link(source, link);
  return link.string();
}

int Main(int argc, char** argv) {
  if (argc < 3) Fail("usage: conversion_bench DIR RESULTS --converter PROGRAM [--rounds N]");
  const fs::path dir = argv[1];
  RoundRecorder recorder(argv[2]);
  int rounds = 5, songs = 10000, port = 0;
  std::string part;  // empty: every part
  auto Wants = [&](const char* name) { return part.empty() || part == name; };
  ConversionSettings settings;
  bool small = false;
  for (int i = 3; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--small") {
      small = true;
      continue;
    }
    if (i + 1 == argc) Fail("a value is missing after " + option);
    if (option == "--rounds") rounds = std::atoi(argv[++i]);
    if (option == "--songs") songs = std::atoi(argv[++i]);
    if (option == "--converter") settings.converterProgram = argv[++i];
    if (option == "--port") port = std::atoi(argv[++i]);
    if (option == "--part") part = argv[++i];
  }
  if (settings.converterProgram.empty() || port <= 0 || port > 65532) {
    Fail("--converter and --port are needed");
  }
  fs::create_directories(dir / "plays");
  settings.cacheFolder = (dir / "cache").string();
  SetLogSink(std::make_shared<QuietSink>());

  std::printf("conversion: making the sources in %s\n", dir.c_str());
  std::fflush(stdout);
  const std::string song = (dir / "song.flac").string(), jpeg = (dir / "photo.jpg").string();
  const std::string png = (dir / "photo.png").string(), heic = (dir / "photo.heic").string();
  const std::string ffmpeg = "/usr/bin/ffmpeg";
  const std::string seconds = small ? "10" : "240";
  RunTool({ffmpeg, "-v", "error", "-f", "lavfi", "-i",
           "anoisesrc=c=pink:r=44100:a=0.3:d=" + seconds, "-f", "lavfi", "-i",
           "sine=frequency=440:duration=" + seconds, "-filter_complex", "amix=inputs=2", "-ac", "2",
           "-y", song});
  RunTool({ffmpeg, "-v", "error", "-f", "lavfi", "-i",
           std::string("testsrc2=s=") + (small ? "1200x900" : "4000x3000") + ",noise=alls=12",
           "-frames:v", "1", "-y", png});
  RunTool({ffmpeg, "-v", "error", "-i", png, "-q:v", "2", "-y", jpeg});
  RunTool({"/usr/bin/heif-enc", "-q", "80", "-o", heic, png});
  const fs::path library = dir / "library";
  fs::create_directories(library);
  const fs::path shortSong = dir / "short.flac";
  RunTool({ffmpeg, "-v", "error", "-f", "lavfi", "-i", "sine=duration=3", "-ac", "2", "-y",
           shortSong.string()});
  const fs::path mp3Library = dir / "mp3-library", shortMp3 = dir / "short.mp3";
  std::ofstream(shortMp3) << std::string(1000, 'm');
  std::vector<std::string> many;
  for (int i = 0; i < songs; ++i) {
    const std::string folder = std::to_string(i / 10), name = std::to_string(i);
    fs::create_directories(library / folder);
    fs::create_directories(mp3Library / folder);
    many.push_back((library / folder / (name + ".flac")).string());
    fs::create_hard_link(shortSong, many.back());
    fs::create_hard_link(shortMp3, mp3Library / folder / (name + ".mp3"));
  }
  const fs::path streams = dir / "streams", stills = dir / "stills";
  fs::create_directories(streams);
  fs::create_directories(stills);
  RunTool({ffmpeg, "-v", "error", "-f", "lavfi", "-i",
           std::string("sine=frequency=440:duration=") + (small ? "20" : "600"), "-ac", "2", "-y",
           (streams / "long.flac").string()});
  fs::copy_file(png, stills / "photo.png");

  const fs::path plays = dir / "plays", out = dir / "peer-out";
  if (Wants("convert")) {
    recorder.Add("convert_song_peak_mib", true, 1, ConverterPeakMib([&] {
                   std::string problem;
                   std::shared_ptr<Conversions> conversions =
                       Conversions::Start(settings, &problem);
                   std::unique_ptr<ConvertedStream> stream =
                       conversions->OpenSong(Fresh(song, plays, 0, "m"));
                   if (!stream) Fail("the song cannot be played");
                   UntilReady(*stream, 0, stream->length());  // the whole song converted
                 }));
    recorder.Add("convert_photo_peak_mib", true, 1, ConverterPeakMib([&] {
                   std::string problem;
                   std::shared_ptr<Conversions> conversions =
                       Conversions::Start(settings, &problem);
                   if (!conversions->OpenPhoto(Fresh(jpeg, plays, 0, "m")).file.valid() ||
                       !conversions->OpenPhoto(Fresh(heic, plays, 0, "m")).file.valid()) {
                     Fail("the photos cannot be shown");
                   }
                 }));
    for (int round = 0; round <= rounds; ++round) {
      std::string problem;
      std::shared_ptr<Conversions> conversions = Conversions::Start(settings, &problem);
      if (!problem.empty()) Fail(problem);
      // A song never played: the first bytes, then the whole conversion.
      Clock::time_point start = Clock::now();
      std::unique_ptr<ConvertedStream> stream =
          conversions->OpenSong(Fresh(song, plays, round, "song"));
      if (!stream) Fail("the song cannot be played");
      recorder.Add("convert_song_first_byte_ms", true, round, 1000 * UntilReady(*stream, 0));
      UntilReady(*stream, 0, stream->length());  // the whole song converted
      recorder.Add("convert_songs_per_min", true, round, 60 / Seconds(Clock::now() - start));
      stream.reset();
      // A seek far into a song never played.
      stream = conversions->OpenSong(Fresh(song, plays, round, "seek"));
      if (!stream) Fail("the song cannot be played");
      recorder.Add("convert_seek_first_byte_ms", true, round,
                   1000 * UntilReady(*stream, stream->length() / 4 * 3));
      stream.reset();
      conversions.reset();

      conversions = Conversions::Start(settings, &problem);
      start = Clock::now();
      Conversions::Photo photo = conversions->OpenPhoto(Fresh(jpeg, plays, round, "photo"));
      const double photoSeconds = Seconds(Clock::now() - start);
      if (!photo.file.valid()) Fail("the photo cannot be shown");
      recorder.Add("convert_photo_first_byte_ms", true, round, 1000 * photoSeconds);
      recorder.Add("convert_photos_per_s", true, round, 1 / photoSeconds);
      start = Clock::now();
      photo = conversions->OpenPhoto(Fresh(heic, plays, round, "heic"));
      if (!photo.file.valid()) Fail("the HEIC cannot be shown");
      recorder.Add("convert_heic_first_byte_ms", true, round, 1000 * Seconds(Clock::now() - start));
      conversions.reset();

      // The peers, with the same settings.
      recorder.Add(
          "convert_songs_per_min", false, round,
          60 / RunTool({ffmpeg, "-v", "error", "-i", song, "-ar", "48000", "-ac", "2", "-c:a",
                        "libmp3lame", "-b:a", "256k", "-f", "mp3", "-y", out.string() + ".mp3"}));
      for (const std::string& photo : {jpeg, heic}) {
        const double peer = RunTool({"/usr/bin/vips", "thumbnail", photo,
                                     out.string() + ".jpg[Q=85,optimize_coding,strip]", "1920",
                                     "--height", "1080", "--size", "down"});
        if (photo == jpeg) recorder.Add("convert_photos_per_s", false, round, 1 / peer);
        if (photo == heic) recorder.Add("convert_heic_first_byte_ms", false, round, 1000 * peer);
      }
    }
  }

  // Through a live server: a song and a photo from the cache against files of their sizes.
  const uint16_t serverPort = static_cast<uint16_t>(port);
  if (Wants("cache")) {
    LiveServer server(Served(serverPort, streams, stills), settings, /*fresh=*/true);
    const uint64_t songBytes = Play(serverPort, MediaKind::kAudio, "long.mp3").first;
    EntryOf(settings.cacheFolder, songBytes);  // kept: the plays below come from the cache
    {
      std::ofstream same(streams / "same.mp3", std::ios::binary);
      const std::string block(1 << 20, 's');
      for (uint64_t left = songBytes; left > 0; left -= std::min<uint64_t>(left, block.size())) {
        same.write(block.data(),
                   static_cast<std::streamsize>(std::min<uint64_t>(left, block.size())));
      }
    }
    const uint64_t photoBytes = Play(serverPort, MediaKind::kPhoto, "photo.jpg").first;
    // The converted photo is a baseline JPEG that fits: as a .jpg it is sent untouched.
    fs::copy_file(EntryOf(settings.cacheFolder, photoBytes), stills / "today.jpg");
    Play(serverPort, MediaKind::kPhoto, "today.jpg");  // its header is read once
    const int songFetches = small ? 2 : 5, photoFetches = small ? 20 : 200;
    for (int round = 0; round <= rounds; ++round) {
      const auto [song, mp3] =
          Throughputs(serverPort, MediaKind::kAudio, "long.mp3", "same.mp3", songFetches);
      recorder.Add("cache_song_gbps", true, round, song);
      recorder.Add("cache_song_gbps", false, round, mp3);
      const auto [photo, jpeg] =
          Throughputs(serverPort, MediaKind::kPhoto, "photo.jpg", "today.jpg", photoFetches);
      recorder.Add("cache_photo_gbps", true, round, photo);
      recorder.Add("cache_photo_gbps", false, round, jpeg);
    }
  }
  // The slow adapters steered while six converters are busy: six adapters each start playing a
  // song never converted, at an MP3's pace, so that each song's conversion runs flat out.
  if (!bench::WritePatternFile(streams / "slow.mp3", bench::kSlowFileBytes)) {
    Fail("cannot write slow.mp3");
  }
  constexpr int kBusy = 6;
  for (int i = 0; i < kBusy; ++i) {
    fs::create_hard_link(streams / "long.flac", streams / ("busy" + std::to_string(i) + ".flac"));
  }
  for (int round = 0; Wants("busy") && round <= rounds; ++round) {
    LiveServer server(Served(serverPort, streams, stills, 40), settings, /*fresh=*/true);
    std::atomic<bool> stop{false};
    std::atomic<int> playing{0};
    std::vector<std::thread> busy;
    for (int i = 0; i < kBusy; ++i) {
      busy.emplace_back([&, i] {
        bench::PacedStream stream(40000, 16 * 1024);
        const in_addr other{htonl(0x7f000002 + i)};  // adapters of their own
        if (!stream.Open(serverPort, MediaKind::kAudio, "busy" + std::to_string(i) + ".mp3",
                         other)) {
          return;
        }
        ++playing;
        while (!stop.load() && stream.PlayUntil(Clock::now() + std::chrono::milliseconds(100))) {
        }
      });
    }
    for (int waits = 0; playing.load() < kBusy && waits < kMostWaits; ++waits)
      SleepMs(kReadyWaitMs);
    const bench::SlowRound slow = bench::SteerSlowStreams(serverPort, 20, small ? 3 : 10, round);
    stop = true;
    for (std::thread& t : busy) t.join();
    if (!slow.ok || playing.load() < kBusy) Fail("the slow adapters among busy converters failed");
    recorder.Add("busy_slow_reaction_p50_ms", true, round,
                 bench::Percentile(slow.reactionsMs, 0.5));
    recorder.Add("busy_slow_reaction_p99_ms", true, round,
                 bench::Percentile(slow.reactionsMs, 0.99));
  }

  // Photos a household meets at once: eight adapters asking for one new 24-megapixel HEIC (one
  // conversion for all of them), against one adapter alone; and a slideshow of HEICs shown every
  // few seconds, whose next photos are converted ahead.
  const fs::path shows = dir / "shows";
  fs::create_directories(shows);
  const std::string big = (dir / "big.heic").string();
  RunTool({ffmpeg, "-v", "error", "-f", "lavfi", "-i",
           std::string("testsrc2=s=") + (small ? "1200x800" : "6000x4000") + ",noise=alls=12",
           "-frames:v", "1", "-y", (dir / "big.png").string()});
  RunTool({"/usr/bin/heif-enc", "-q", "80", "-o", big, (dir / "big.png").string()});
  constexpr int kShow = 10;
  for (int i = 0; i < kShow; ++i) {
    fs::create_hard_link(heic, shows / ("show" + std::to_string(i) + ".heic"));
  }
  for (int round = 0; Wants("photos") && round <= rounds; ++round) {
    LiveServer server(Served(serverPort, "", shows.string()), settings, /*fresh=*/true);
    fs::create_hard_link(big, shows / ("alone" + std::to_string(round) + ".heic"));
    fs::create_hard_link(big, shows / ("eight" + std::to_string(round) + ".heic"));
    const double alone =
        Play(serverPort, MediaKind::kPhoto, "alone" + std::to_string(round) + ".jpg").second;
    std::vector<double> last(8);
    std::vector<std::thread> adapters;
    for (int i = 0; i < 8; ++i) {
      adapters.emplace_back([&, i] {
        last[i] =
            Play(serverPort, MediaKind::kPhoto, "eight" + std::to_string(round) + ".jpg").second;
      });
    }
    for (std::thread& t : adapters) t.join();
    recorder.Add("heic_eight_at_once_ratio", true, round,
                 *std::max_element(last.begin(), last.end()) / alone);
  }
  if (Wants("photos")) {
    // One slideshow (it takes its intervals' time): the first photo starts it; the next ones
    // each come the interval after the one before.
    LiveServer server(Served(serverPort, "", shows.string()), settings, /*fresh=*/true);
    const int intervalMs = small ? 1000 : 5000;
    double worst = 0;
    for (int i = 0; i < (small ? 3 : kShow); ++i) {
      const double seconds =
          Play(serverPort, MediaKind::kPhoto, "show" + std::to_string(i) + ".jpg").second;
      if (i > 0) worst = std::max(worst, seconds);
      SleepMs(intervalMs);
    }
    recorder.Add("slideshow_worst_ms", true, 1, 1000 * worst);
  }

  // The library listed as FLAC songs with nothing remembered, measured in the background, then
  // listed with exact sizes; as MP3s between.
  auto allMeasured = [&](Conversions& conversions) {
    for (const std::string& path : many) {
      if (conversions.SongLength(path, StampOf(path), "flac").kind != ListedLength::Kind::kExact) {
        return false;
      }
    }
    return true;
  };
  for (int round = 0; Wants("library") && round <= rounds; ++round) {
    double mp3Rate;
    {
      LiveServer server(Served(serverPort, mp3Library, ""), settings, /*fresh=*/false);
      mp3Rate = ListingRate(serverPort, many.size());
    }
    LiveServer server(Served(serverPort, library, ""), settings, /*fresh=*/true);
    recorder.Add("flac_first_listing_records_per_s", true, round,
                 ListingRate(serverPort, many.size()));
    recorder.Add("flac_first_listing_records_per_s", false, round, mp3Rate);
    const Clock::time_point start = Clock::now();
    for (int waits = 0; !allMeasured(server.conversions()); ++waits) {
      if (waits == kMostWaits * 10) Fail("the background pass did not end within 20 minutes");
      SleepMs(kReadyWaitMs);
    }
    recorder.Add("flac_background_pass_s", true, round, Seconds(Clock::now() - start));
    recorder.Add("flac_later_listing_records_per_s", true, round,
                 ListingRate(serverPort, many.size()));
    recorder.Add("flac_later_listing_records_per_s", false, round, mp3Rate);
  }

  // One converter measuring the library, nothing measured before.
  if (!Wants("library")) return 0;
  fs::remove_all(dir / "cache");
  std::string problem;
  std::shared_ptr<Conversions> conversions = Conversions::Start(settings, &problem);
  const Clock::time_point start = Clock::now();
  const size_t measured = conversions->Measure(many, {}, [] { return false; });
  if (measured != many.size()) Fail("songs left unmeasured");
  recorder.Add("convert_measured_songs_per_s", true, 1, measured / Seconds(Clock::now() - start));
  return 0;
}

}  // namespace
}  // namespace rureza

int main(int argc, char** argv) { return rureza::Main(argc, argv); }
