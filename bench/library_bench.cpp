// library_bench: the library options measured in one process, for bench/run. It makes two
// libraries of the same shape (artists, albums, tracks) in a temporary folder: one whose paths
// fit the listing record, one whose names all need short names. Then, round after round:
//
//   library_listing        a listing with subfolders over loopback (records/s, first record),
//                          against a bare recursive openat/readdir/fstatat walk of the same tree
//   shortname_cold         a play request's short name resolved with the index empty, as after
//                          a restart (the media folder is walked)
//   shortname_warm         the same once a listing has filled the index
//   shortname_index_mib    what the index holds after listing every short name
//   stalled_listing_mib    the server's resident memory per listing while 40 listings of the
//                          shortened library stall (their adapters read nothing), and what
//   stalled_left_mib       stays of it once they have ended
//
//   library_bench DIR RESULTS --port P [--rounds N] [--folders N] [--files N]
//
// RESULTS gets lines "metric<TAB>side<TAB>round<TAB>value" (side: ours or peer), as peer_bench
// writes them; bench/run has peer_bench turn them into BENCHMARKS.md. Every wait is bounded.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "names/short_name_index.h"
#include "platform/thread.h"
#include "request/dispatcher.h"
#include "round_recorder.h"
#include "server/activity_log.h"
#include "server/server.h"
#include "server/server_run.h"
#include "server/transfer.h"
#include "settings/server_settings.h"

namespace rureza {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr int kTimeoutMs = 120000;
constexpr int kWarmLookups = 1000;
constexpr int kStalledListings = 40;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

bool IsRegularFile(const std::string& serverPath) {
  std::string path = serverPath;
  std::replace(path.begin(), path.end(), '\\', '/');
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "library_bench: %s\n", what.c_str());
  std::exit(1);
}

class QuietSink : public LogSink {
 public:
  void AddLine(std::string_view line) override {
    if (line.find("Error") != std::string_view::npos || line.find("Can Not") == 0) {
      std::fprintf(stderr, "server: %.*s\n", static_cast<int>(line.size()), line.data());
    }
  }
  void Clear() override {}
};

// The relative path of track t of folder f: short enough for the record, or far too long.
std::string TrackPath(int folder, int track, bool longNames) {
  char path[256];
  if (longNames) {
    std::snprintf(path, sizeof path,
                  "Artist %03d with a longer name/Album %02d - The Collected Recordings/"
                  "%03d - A song whose title goes on for a while.mp3",
                  folder / 20, folder % 20, track);
  } else {
    std::snprintf(path, sizeof path, "Artist %03d/Album %02d/Track %03d.mp3", folder / 20,
                  folder % 20, track);
  }
  return path;
}

void MakeLibrary(const fs::path& audio, int folders, int files, bool longNames) {
  for (int f = 0; f < folders; ++f) {
    fs::path folder = audio / fs::path(TrackPath(f, 0, longNames)).parent_path();
    fs::create_directories(folder);
    for (int t = 0; t < files; ++t) {
      int fd = ::open((audio / TrackPath(f, t, longNames)).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC,
                      0644);
      if (fd < 0) Fail("cannot create " + TrackPath(f, t, longNames));
      ::close(fd);
    }
  }
}

struct Listing {
  size_t records = 0;
  double seconds = 0;
  double firstRecordSeconds = 0;
};

// "<1" on a fresh connection, read to the close. *names (when given) gets every listed name.
Listing FetchListing(uint16_t port, std::vector<std::string>* names = nullptr) {
  Listing result;
  const Clock::time_point start = Clock::now();
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string block(256, '\0');
  block[0] = '<';
  block[1] = '1';
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::send(fd, block.data(), block.size(), MSG_NOSIGNAL) != 256) {
    Fail("cannot ask for the listing");
  }
  static char buffer[1 << 16];
  std::string record;  // a record cut by a receive, as far as it came
  size_t bytes = 0;
  while (Seconds(Clock::now() - start) * 1000 < kTimeoutMs) {
    pollfd item{fd, POLLIN, 0};
    if (::poll(&item, 1, 1000) < 0) break;
    if (item.revents == 0) continue;
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    if (bytes == 0) result.firstRecordSeconds = Seconds(Clock::now() - start);
    bytes += static_cast<size_t>(n);
    for (ssize_t i = 0; names && i < n; ++i) {
      record += buffer[i];
      if (record.size() < 64) continue;
      if (record[0] >= '0' && record[0] <= '9') names->emplace_back(record.c_str() + 8);
      record.clear();
    }
  }
  result.seconds = Seconds(Clock::now() - start);
  ::close(fd);
  if (bytes < 256 || (bytes - 256) % 64 != 0) Fail("the listing came back malformed");
  result.records = (bytes - 256) / 64;
  WaitForClientThreads(10000);
  return result;
}

// What the file system costs: every entry of the tree read and stat'ed, folders opened.
size_t BareWalk(int fd) {
  DIR* dir = ::fdopendir(fd);
  if (!dir) return 0;
  size_t files = 0;
  while (dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    struct stat info {};
    if (::fstatat(::dirfd(dir), entry->d_name, &info, 0) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      int sub = ::openat(::dirfd(dir), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (sub >= 0) files += BareWalk(sub);
    } else {
      ++files;
    }
  }
  ::closedir(dir);
  return files;
}

double ResidentMiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) return std::atof(line.c_str() + 6) / 1024;
  }
  return 0;
}

// A connection that has asked for the listing and will read nothing of it.
int AskForListing(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  char block[256] = {'<', '1'};
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::send(fd, block, sizeof block, MSG_NOSIGNAL) != 256) {
    Fail("cannot ask for the listing");
  }
  return fd;
}

// The server's resident memory per stalled listing, and what stays once they end, in MiB. The
// index of short names is left out of what stays: it is kept on purpose, and measured above.
std::pair<double, double> StalledListings(uint16_t port) {
  ListedShortNames().Clear();
  ::malloc_trim(0);
  const double before = ResidentMiB();
  std::vector<int> fds;
  for (int i = 0; i < kStalledListings; ++i) fds.push_back(AskForListing(port));
  // Stalled: nothing more sent for half a second (at most 60 s).
  uint32_t sent = Traffic().bytesSent.load();
  for (int quiet = 0, waited = 0; quiet < 5 && waited < 600; ++waited) {
    ::usleep(100000);
    const uint32_t now = Traffic().bytesSent.load();
    quiet = now == sent ? quiet + 1 : 0;
    sent = now;
  }
  const double during = ResidentMiB();
  for (int fd : fds) ::close(fd);
  if (!WaitForClientThreads(60000)) Fail("the stalled listings did not end");
  ListedShortNames().Clear();
  ::malloc_trim(0);
  return {(during - before) / kStalledListings, ResidentMiB() - before};
}

ServerSettings Settings(uint16_t port, const fs::path& audio) {
  ServerSettings settings;
  settings.port = port;
  settings.clientLimit = 4;
  settings.logLineLimit = 10000;
  SetPathText(&settings.audioFolder, audio.string());
  settings.library = NewInstallLibraryOptions();
  return settings;
}

void StartWith(const ServerSettings& settings) {
  SetCurrentSettings(settings);
  StartServer(ServeClient);
  std::shared_ptr<ServerRun> run = CurrentRun();
  if (!run || !run->WaitForListenerOpened(10000)) Fail("the server did not start");
}

int Main(int argc, char** argv) {
  if (argc < 3)
    Fail("usage: library_bench DIR RESULTS --port P [--rounds N] [--folders N] [--files N]");
  const fs::path root = argv[1];
  RoundRecorder recorder(argv[2]);
  int rounds = 5, folders = 1000, files = 100;
  uint16_t port = 0;
  for (int i = 3; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (option == "--rounds") rounds = value;
    if (option == "--folders") folders = value;
    if (option == "--files") files = value;
    if (option == "--port") port = static_cast<uint16_t>(value);
  }
  if (port == 0) Fail("--port is needed");
  const fs::path fitting = root / "fitting", shortened = root / "shortened";
  std::printf("library: %d folders of %d files, twice, under %s\n", folders, files, root.c_str());
  MakeLibrary(fitting, folders, files, false);
  MakeLibrary(shortened, folders, files, true);
  const size_t total = static_cast<size_t>(folders) * static_cast<size_t>(files);
  SetLogSink(std::make_shared<QuietSink>());

  const ServerSettings fittingSettings = Settings(port, fitting);
  const ServerSettings shortSettings = Settings(port, shortened);
  for (int round = 0; round <= rounds; ++round) {  // round 0 warms the caches up, unrecorded
    StartWith(fittingSettings);
    const Listing ours = FetchListing(port);
    StopServer();
    if (ours.records != total) Fail("the listing has " + std::to_string(ours.records) + " records");
    Clock::time_point start = Clock::now();
    if (BareWalk(::open(fitting.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) != total) {
      Fail("the bare walk missed files");
    }
    const double bare = Seconds(Clock::now() - start);
    recorder.Add("library_listing_records_per_s", true, round, total / ours.seconds);
    recorder.Add("library_listing_records_per_s", false, round, total / bare);
    recorder.Add("library_first_record_ms", true, round, ours.firstRecordSeconds * 1000);

    // Cold: an empty index, as a restart leaves it; each lookup walks the media folder.
    StartWith(shortSettings);
    ListedShortNames().Clear();
    std::vector<std::string> names;
    const Listing listed = FetchListing(port, &names);
    StopServer();
    if (names.size() != total) Fail("the shortened listing is incomplete");
    recorder.Add("shortname_index_mib", true, round, ListedShortNames().BytesUsed() / 1048576.0);
    recorder.Add("shortname_first_record_ms", true, round, listed.firstRecordSeconds * 1000);
    auto resolve = [&](const std::string& name) {
      MediaPath path = PlayPath(shortSettings, '1', name);
      if (!path.servable || !IsRegularFile(path.text))
        Fail("short name " + name + " plays nothing");
    };
    double slowestCold = 0;
    for (size_t i : {size_t{0}, total / 2, total - 1}) {
      ListedShortNames().Clear();
      start = Clock::now();
      resolve(names[i]);
      slowestCold = std::max(slowestCold, Seconds(Clock::now() - start));
    }
    recorder.Add("shortname_cold_resolve_ms", true, round, slowestCold * 1000);
    // Warm: the index as the walks and the listing left it.
    ListedShortNames().Clear();
    StartWith(shortSettings);
    FetchListing(port);
    StopServer();
    start = Clock::now();
    for (int i = 0; i < kWarmLookups; ++i) resolve(names[i * (total / kWarmLookups)]);
    recorder.Add("shortname_warm_resolve_ms", true, round,
                 Seconds(Clock::now() - start) * 1000 / kWarmLookups);

    ServerSettings stalledSettings = shortSettings;
    stalledSettings.clientLimit = kStalledListings;
    StartWith(stalledSettings);
    const auto [perListing, left] = StalledListings(port);
    StopServer();
    recorder.Add("stalled_listing_mib", true, round, perListing);
    recorder.Add("stalled_left_mib", true, round, left);
  }
  WaitForThreadsToEnd(10000);
  SetLogSink(nullptr);
  return 0;
}

}  // namespace
}  // namespace rureza

int main(int argc, char** argv) { return rureza::Main(argc, argv); }
