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
//   conversion_bench DIR RESULTS --converter PROGRAM [--rounds N] [--songs N] [--small]
//
// --small: a 10-second song and a 1-megapixel photo, to check the harness quickly.
//
// RESULTS gets lines "metric<TAB>side<TAB>round<TAB>value" (side: ours or peer), as peer_bench
// writes them. Every child process is waited for; every wait is bounded.
#include <fcntl.h>
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
#include <functional>
#include <string>
#include <vector>

#include "conversion/conversions.h"
#include "server/activity_log.h"

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

class QuietSink : public LogSink {
 public:
  void AddLine(std::string_view line) override {
    std::fprintf(stderr, "log: %.*s\n", static_cast<int>(line.size()), line.data());
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

class Recorder {
 public:
  explicit Recorder(const std::string& path) : out_(path, std::ios::app) {
    if (!out_) Fail("cannot write " + path);
  }
  void Add(const char* metric, bool ours, int round, double value) {
    if (round == 0) return;  // the warm-up
    out_ << metric << '\t' << (ours ? "ours" : "peer") << '\t' << round << '\t' << value << '\n';
    out_.flush();
    std::printf("  %-30s %-4s round %d: %.4g\n", metric, ours ? "ours" : "peer", round, value);
    std::fflush(stdout);
  }

 private:
  std::ofstream out_;
};

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
  Recorder recorder(argv[2]);
  int rounds = 5, songs = 10000;
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
  }
  if (settings.converterProgram.empty()) Fail("--converter is needed");
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
  const fs::path shortSong = library / "short.flac";
  RunTool({ffmpeg, "-v", "error", "-f", "lavfi", "-i", "sine=duration=3", "-ac", "2", "-y",
           shortSong.string()});
  std::vector<std::string> many;
  for (int i = 0; i < songs; ++i) {
    const fs::path folder = library / std::to_string(i / 10);
    fs::create_directories(folder);
    many.push_back((folder / (std::to_string(i) + ".flac")).string());
    fs::create_hard_link(shortSong, many.back());
  }

  const fs::path plays = dir / "plays", out = dir / "peer-out";
  recorder.Add("convert_song_peak_mib", true, 1, ConverterPeakMib([&] {
                 std::string problem;
                 std::shared_ptr<Conversions> conversions = Conversions::Start(settings, &problem);
                 std::unique_ptr<ConvertedStream> stream =
                     conversions->OpenSong(Fresh(song, plays, 0, "m"));
                 if (!stream) Fail("the song cannot be played");
                 UntilReady(*stream, 0, stream->length());  // the whole song converted
               }));
  recorder.Add("convert_photo_peak_mib", true, 1, ConverterPeakMib([&] {
                 std::string problem;
                 std::shared_ptr<Conversions> conversions = Conversions::Start(settings, &problem);
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

  // One converter measuring the library, nothing measured before.
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
