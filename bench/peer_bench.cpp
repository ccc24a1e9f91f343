// peer_bench: the measuring half of bench/run. It talks to a running rureza-server and to a
// running peer (nginx with sendfile, the bare echo responder, a bare readdir+stat loop) on
// 127.0.0.1 and measures both sides in interleaved rounds: ours, peer, ours, peer, ... Both
// sides are read by one client, the adapter library (src/adapter): its connection, its receive
// loop with the same buffer size, timed to the last payload byte; only the header in front of
// the payload is read differently (our length block, nginx's HTTP header).
//
//   peer_bench media DIR [--stream-mib N] [--many-mib N] [--file-mib N] [--files N]
//              [--load-mib N]
//   peer_bench measure DIR RESULTS --ours-port P --http-port P --echo-port P
//              --ours-pid PID --http-pid PID [--rounds N] [--streams N] [--probes N]
//              [--connect-seconds S] [--slow-adapters N] [--seeks N] [--paced-seconds S]
//              [--paced-adapters N] [--receive-kib N]
//              [--verify] [--no-warm-up] [--only SCENARIO]
//   peer_bench report RESULTS MARKDOWN
//
// RESULTS is a text file of lines "metric<TAB>side<TAB>round<TAB>value" (side: ours or peer)
// and "info<TAB>key<TAB>value"; bench/run adds the console's lines, rureza-probe's and the
// machine's facts, and report turns the file into BENCHMARKS.md. Every wait has a time limit
// and every loop a count or a deadline, so a server that stops answering ends the run with a
// failure instead of a hang.
#include <dirent.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "adapter/connection.h"
#include "adapter/exchange.h"
#include "adapter/replies.h"
#include "paced_adapters.h"
#include "server/discovery.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using bench::PacedStream;
using rureza::AdapterConnection;
using rureza::FetchOptions;
using rureza::FetchResult;
using rureza::MediaKind;
using rureza::MediaReplyReader;

constexpr int kConnectTimeoutMs = 5000;
constexpr int kTransferTimeoutMs = 120000;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "peer_bench: %s\n", what.c_str());
  std::exit(1);
}

// ---------------------------------------------------------------------------------------------
// Media files. Every 4-byte word holds its own offset (little-endian), so a reply can be checked
// as it arrives and a stream's position read from its bytes.

void WritePattern(const fs::path& path, uint64_t length) {
  if (!bench::WritePatternFile(path, length)) Fail("cannot write " + path.string());
}

struct MediaLayout {
  fs::path root;
  fs::path Video() const { return root / "video"; }
  fs::path Audio() const { return root / "audio"; }
  fs::path Photo() const { return root / "photo"; }
  fs::path Stream() const { return Audio() / "stream.mp3"; }
  fs::path Many() const { return Audio() / "many.mp3"; }
  // The paced adapters' streams (bench::kSlowFileBytes each).
  std::vector<fs::path> Slow() const {
    return {Audio() / "slow.mp3", Video() / "slow.avi", Video() / "slow.mpg"};
  }
  fs::path Still() const { return Photo() / "still.jpg"; }
  fs::path Firmware() const { return root / "firmware.bin"; }
  // rureza-probe's load reads a house's library of its own, served by a second server.
  fs::path Load() const { return root / "load"; }
};

int MakeMedia(const MediaLayout& media, uint64_t streamMib, uint64_t manyMib, uint64_t fileMib,
              int files, uint64_t loadMib) {
  for (const fs::path& folder :
       {media.Video(), media.Audio(), media.Photo(), media.Load() / "video", media.Load() / "audio",
        media.Load() / "photo"}) {
    fs::create_directories(folder);
  }
  for (int i = 1; i <= 16; ++i) {
    WritePattern(media.Load() / "audio" / ("song" + std::to_string(i) + ".mp3"), loadMib << 20);
    if (i <= 8) {
      WritePattern(media.Load() / "photo" / ("photo" + std::to_string(i) + ".jpg"), loadMib << 19);
    }
  }
  WritePattern(media.Stream(), streamMib << 20);
  WritePattern(media.Many(), manyMib << 20);
  for (const fs::path& slow : media.Slow()) WritePattern(slow, bench::kSlowFileBytes);
  WritePattern(media.Still(), fileMib << 20);
  WritePattern(media.Firmware(), fileMib << 20);
  for (int i = 0; i < files; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "clip%06d.mpg", i);
    int fd = ::open((media.Video() / name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) Fail("cannot create the listing's files");
    ::close(fd);
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Processes under measurement: CPU time and peak resident memory, from /proc.

double CpuSecondsOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  // After the name: state is field 3, utime 14 and stime 15 (whole thread group, ended
  // threads included).
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) ticks += std::atof(field.c_str());
  }
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// This process's own CPU time: the client's, all threads.
double ClientCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::vector<pid_t> ChildrenOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  std::vector<pid_t> children;
  for (long child; in >> child;) children.push_back(static_cast<pid_t>(child));
  return children;
}

// A server as a process: ours is one process, nginx a master and its worker.
struct ServerProcess {
  pid_t pid = 0;
  // The process that serves connections: nginx's worker, or ours itself.
  pid_t Worker() const {
    std::vector<pid_t> children = ChildrenOf(pid);
    return children.empty() ? pid : children.front();
  }
  double CpuSeconds() const {
    double total = CpuSecondsOf(pid);
    for (pid_t child : ChildrenOf(pid)) total += CpuSecondsOf(child);
    return total;
  }
  void ResetPeakMemory() const {
    std::ofstream("/proc/" + std::to_string(Worker()) + "/clear_refs") << "5";
  }
  double PeakMemoryMib() const {
    std::ifstream in("/proc/" + std::to_string(Worker()) + "/status");
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    }
    return -1;
  }
};

// ---------------------------------------------------------------------------------------------
// Requests and replies: ours as an adapter asks, the peer by HTTP for the same file.

// nginx's reply: its header (HTTP/1.0 or 1.1, status 200, Content-Length), then the same
// payload as ours, read by the same code.
class HttpReplyReader : public MediaReplyReader {
 public:
  HttpReplyReader() : MediaReplyReader(0, "the HTTP header") {}

 protected:
  size_t TakeHeader(const char* data, size_t size) override {
    const size_t before = header_.size();
    header_.append(data, std::min(size, kLongestHeader - before));
    const size_t end = header_.find("\r\n\r\n");
    if (end == std::string::npos) {
      if (header_.size() == kLongestHeader) Fail("a header without its end", 0);
      return header_.size() - before;
    }
    header_.resize(end + 4);
    const size_t length = header_.find("\r\nContent-Length: ");
    if (header_.compare(0, 13, "HTTP/1.1 200 ") != 0 &&
        header_.compare(0, 13, "HTTP/1.0 200 ") != 0) {
      Fail("a status other than 200", 0);
    } else if (length == std::string::npos) {
      Fail("a header without Content-Length", 0);
    } else {
      Announce(std::strtoull(header_.c_str() + length + 18, nullptr, 10));
    }
    return header_.size() - before;
  }

 private:
  static constexpr size_t kLongestHeader = 4096;
  std::string header_;
};

// A file as each side is asked for it.
struct FileAsk {
  MediaKind kind;    // ours
  std::string name;  // ours: the request's name
  std::string path;  // the peer: the path under the media root
};

std::string HttpRequest(const std::string& path) {
  return "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
}

// Sends the request on a connected connection and returns the reader of its reply.
std::unique_ptr<MediaReplyReader> Ask(AdapterConnection& connection, bool ours,
                                      const FileAsk& ask) {
  if (!ours) {
    return connection.Send(HttpRequest(ask.path)) ? std::make_unique<HttpReplyReader>() : nullptr;
  }
  if (!rureza::SendRequest(connection, ask.kind, ask.name).error.empty()) return nullptr;
  return std::make_unique<MediaReplyReader>(ask.kind == MediaKind::kPhoto ? rureza::kPhotoChunkSize
                                                                          : 0);
}

// With verify, a sink that checks each media byte against the pattern (*bad once one differs);
// else none.
MediaReplyReader::Sink Checker(bool verify, uint64_t* at, bool* bad) {
  if (!verify) return nullptr;
  return [at, bad](const char* data, size_t n) {
    for (size_t i = 0; i < n && !*bad; ++i)
      *bad = static_cast<uint8_t>(data[i]) != bench::PatternByte(*at + i);
    *at += n;
    return !*bad;
  };
}

struct Transfer {
  bool ok = false;
  uint64_t fileBytes = 0;
  double seconds = 0;  // from the connect to the last payload byte
};

// One request on its own connection, read to the server's close.
Transfer FetchOne(uint16_t port, bool ours, const FileAsk& ask, bool verify, size_t bufferSize) {
  FetchOptions options;
  options.idleTimeoutMs = kTransferTimeoutMs;
  options.bufferSize = bufferSize;
  options.since = Clock::now();
  uint64_t at = 0;
  bool bad = false;
  AdapterConnection connection;
  if (!connection.Connect(rureza::LoopbackAddress(port), kConnectTimeoutMs)) return {};
  std::unique_ptr<MediaReplyReader> reader = Ask(connection, ours, ask);
  if (!reader) return {};
  // Fetch, which the probe uses, is this same loop after the request.
  FetchResult r = rureza::ReadReply(connection, *reader, Checker(verify, &at, &bad), options);
  if (!r.ok) std::fprintf(stderr, "peer_bench: %s\n", r.error.c_str());
  return {r.ok && !bad, r.announced, r.lastByteSeconds};
}

// ---------------------------------------------------------------------------------------------
// Many connections at once, read by a few threads with epoll.

struct ManyResult {
  bool ok = false;
  uint64_t fileBytes = 0;
  double seconds = 0;           // from the first connect to the last payload byte of all
  double slowestFirstByte = 0;  // from a connection's connect to its first byte
};

ManyResult FetchMany(uint16_t port, bool ours, const FileAsk& ask, int connections, int threads,
                     bool verify, size_t bufferSize) {
  struct Stream {
    AdapterConnection connection;
    std::unique_ptr<MediaReplyReader> reader;
    Clock::time_point start, first, last;
    bool closed = false;
    uint64_t at = 0;  // verify's
    bool bad = false;
  };
  std::vector<Stream> all(static_cast<size_t>(connections));
  const Clock::time_point start = Clock::now();
  std::atomic<bool> failed{false};
  auto serve = [&](int from, int count) {
    const int poller = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<char> buffer(bufferSize);
    int open = 0;
    for (int i = from; i < from + count; ++i) {
      Stream& s = all[static_cast<size_t>(i)];
      s.start = Clock::now();
      if (!s.connection.Connect(rureza::LoopbackAddress(port), kConnectTimeoutMs) ||
          !(s.reader = Ask(s.connection, ours, ask))) {
        failed = true;
        continue;
      }
      epoll_event event{EPOLLIN, {.u32 = static_cast<uint32_t>(i)}};
      ::epoll_ctl(poller, EPOLL_CTL_ADD, s.connection.fd(), &event);
      ++open;
    }
    const Clock::time_point deadline = start + std::chrono::milliseconds(kTransferTimeoutMs);
    epoll_event events[64];
    while (open > 0 && Clock::now() < deadline) {
      const int n = ::epoll_wait(poller, events, 64, 1000);
      for (int e = 0; e < n; ++e) {
        Stream& s = all[events[e].data.u32];
        // One receive per event: a connection that always has more must not starve the others,
        // whose first bytes would then seem to come late.
        const ssize_t got = s.connection.Receive(buffer.data(), buffer.size(), 0);
        if (got == AdapterConnection::kTimedOut) continue;
        const Clock::time_point now = Clock::now();
        if (got > 0 && s.reader->offset() == 0) s.first = now;
        const bool complete = s.reader->complete();
        if (got <= 0 || !s.reader->Feed(buffer.data(), static_cast<size_t>(got),
                                        Checker(verify, &s.at, &s.bad))) {
          s.closed = got == AdapterConnection::kClosed;
          ::epoll_ctl(poller, EPOLL_CTL_DEL, s.connection.fd(), nullptr);
          s.connection.Close();
          --open;
        } else if (!complete && s.reader->complete()) {
          s.last = now;
        }
      }
    }
    ::close(poller);
  };
  std::vector<std::thread> workers;
  const int per = (connections + threads - 1) / threads;
  for (int from = 0; from < connections; from += per) {
    workers.emplace_back(serve, from, std::min(per, connections - from));
  }
  for (std::thread& w : workers) w.join();

  ManyResult result;
  result.ok = !failed.load();
  Clock::time_point end = start;
  for (Stream& s : all) {
    if (!s.reader || !s.closed || !s.reader->Finish() || s.bad) {
      if (s.reader && !s.reader->error().empty()) {
        std::fprintf(stderr, "peer_bench: %s\n", s.reader->error().c_str());
      }
      result.ok = false;
      continue;
    }
    result.fileBytes += s.reader->announced();
    end = std::max(end, s.last);
    result.slowestFirstByte = std::max(result.slowestFirstByte, Seconds(s.first - s.start));
  }
  result.seconds = Seconds(end - start);
  return result;
}

// ---------------------------------------------------------------------------------------------
// The listing, and the bare walk it is held against.

struct Listing {
  bool ok = false;
  uint64_t records = 0;
  double seconds = 0;
};

Listing FetchListing(uint16_t port) {
  Listing result;
  const Clock::time_point start = Clock::now();
  AdapterConnection connection;
  if (!connection.Connect(rureza::LoopbackAddress(port), kConnectTimeoutMs)) return result;
  std::string error = rureza::ReadListing(connection, kTransferTimeoutMs,
                                          [&](const rureza::ListingEntry&) { ++result.records; });
  result.seconds = Seconds(Clock::now() - start);
  result.ok = error.empty();
  if (!result.ok) std::fprintf(stderr, "peer_bench: the listing: %s\n", error.c_str());
  return result;
}

// readdir and stat of every entry of the three folders: the file system's own cost.
Listing BareWalk(const MediaLayout& media) {
  Listing result;
  Clock::time_point start = Clock::now();
  for (const fs::path& folder : {media.Video(), media.Audio(), media.Photo()}) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return result;
    while (dirent* entry = ::readdir(dir)) {
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
      struct stat info {};
      if (::fstatat(::dirfd(dir), entry->d_name, &info, 0) == 0) ++result.records;
    }
    ::closedir(dir);
  }
  result.seconds = Seconds(Clock::now() - start);
  result.ok = true;
  return result;
}

// ---------------------------------------------------------------------------------------------
// Discovery probes, one at a time.

struct Probes {
  bool ok = false;
  double perSecond = 0;
  double p50Us = 0;
  double p99Us = 0;
};

Probes ProbeMany(uint16_t port, int count) {
  Probes result;
  rureza::Socket socket = rureza::Socket::NewUdp(nullptr);
  if (!socket.valid()) return result;
  const sockaddr_in to = rureza::LoopbackAddress(port);
  std::vector<double> rtts;
  rtts.reserve(static_cast<size_t>(count));
  int lost = 0;
  Clock::time_point start = Clock::now();
  for (int i = 0; i < count && lost < 10; ++i) {
    Clock::time_point sent = Clock::now();
    if (rureza::Probe(socket, to, "VE520", 1000) != "VE520") {
      ++lost;
      continue;
    }
    rtts.push_back(Seconds(Clock::now() - sent) * 1e6);
  }
  double seconds = Seconds(Clock::now() - start);
  result.ok = lost == 0;
  result.perSecond = static_cast<double>(rtts.size()) / seconds;
  result.p50Us = bench::Percentile(rtts, 0.50);
  result.p99Us = bench::Percentile(rtts, 0.99);
  return result;
}

// ---------------------------------------------------------------------------------------------
// Short requests on fresh connections, from several threads at once.

struct Connections {
  bool ok = false;
  double perSecond = 0;
};

Connections Connect(uint16_t port, const std::string& request, int threads, double seconds) {
  std::atomic<uint64_t> done{0};
  std::atomic<uint64_t> failed{0};
  const Clock::time_point start = Clock::now();
  const Clock::time_point end =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::vector<std::thread> clients;
  for (int t = 0; t < threads; ++t) {
    clients.emplace_back([&] {
      while (Clock::now() < end) {
        AdapterConnection connection;
        bool ok = connection.Connect(rureza::LoopbackAddress(port), kConnectTimeoutMs) &&
                  connection.Send(request) && connection.ReadToClose(kConnectTimeoutMs, 4096);
        (ok ? done : failed).fetch_add(1);
      }
    });
  }
  for (std::thread& c : clients) c.join();
  Connections result;
  result.ok = failed.load() == 0;
  result.perSecond = static_cast<double>(done.load()) / Seconds(Clock::now() - start);
  return result;
}

// ---------------------------------------------------------------------------------------------
// The measuring run.

struct Options {
  MediaLayout media;
  std::string results;
  uint16_t oursPort = 0;
  uint16_t httpPort = 0;
  uint16_t echoPort = 0;
  ServerProcess ours;
  ServerProcess http;
  int rounds = 5;
  int streams = 100;
  int probes = 10000;
  double connectSeconds = 3;
  int slowAdapters = 20;
  int seeks = 10;
  double pacedSeconds = 8;         // of playing before the paced adapters steer
  int pacedAdapters = 100;         // whose send queues are summed
  size_t receiveBuffer = 1 << 20;  // each receive's most bytes, for both sides
  bool verify = false;
  bool warmUp = true;  // an unrecorded pass before the rounds
  std::string only;    // one scenario by name, to profile it
};

class Recorder {
 public:
  explicit Recorder(const std::string& path) : out_(path, std::ios::app) {
    if (!out_) Fail("cannot write " + path);
  }
  void Add(const char* metric, bool ours, int round, double value) {
    out_ << metric << '\t' << (ours ? "ours" : "peer") << '\t' << round << '\t' << value << '\n';
    out_.flush();
    std::printf("  %-22s %-4s round %d: %.4g\n", metric, ours ? "ours" : "peer", round, value);
    std::fflush(stdout);
  }
  void Info(const std::string& key, const std::string& value) {
    out_ << "info\t" << key << '\t' << value << '\n';
    out_.flush();
  }

 private:
  std::ofstream out_;
};

void Check(bool ok, const char* what, bool ours) {
  if (!ok) Fail(std::string(what) + " failed against " + (ours ? "rureza-server" : "the peer"));
}

constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;

void MeasureSingleStream(const Options& o, Recorder& r, int round, bool ours) {
  const ServerProcess& server = ours ? o.ours : o.http;
  double cpuBefore = server.CpuSeconds(), clientBefore = ClientCpuSeconds();
  Transfer t =
      FetchOne(ours ? o.oursPort : o.httpPort, ours,
               {MediaKind::kAudio, "stream.mp3", "/audio/stream.mp3"}, o.verify, o.receiveBuffer);
  double client = ClientCpuSeconds() - clientBefore;
  // The CPU clock ticks in 10 ms steps; let the last tick land.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  double cpu = server.CpuSeconds() - cpuBefore;
  Check(t.ok, "the single stream", ours);
  r.Add("stream_gbps", ours, round, t.fileBytes / t.seconds / 1e9);
  r.Add("stream_cpu_s_per_gib", ours, round, cpu / (t.fileBytes / kGiB));
  r.Add("stream_client_cpu_s_per_gib", ours, round, client / (t.fileBytes / kGiB));
}

void MeasureManyStreams(const Options& o, Recorder& r, int round, bool ours) {
  const ServerProcess& server = ours ? o.ours : o.http;
  server.ResetPeakMemory();
  double cpuBefore = server.CpuSeconds(), clientBefore = ClientCpuSeconds();
  ManyResult m = FetchMany(ours ? o.oursPort : o.httpPort, ours,
                           {MediaKind::kAudio, "many.mp3", "/audio/many.mp3"}, o.streams, 2,
                           o.verify, o.receiveBuffer);
  double client = ClientCpuSeconds() - clientBefore;
  double cpu = server.CpuSeconds() - cpuBefore;
  Check(m.ok, "the concurrent streams", ours);
  r.Add("many_gbps", ours, round, m.fileBytes / m.seconds / 1e9);
  r.Add("many_cpu_s_per_gib", ours, round, cpu / (m.fileBytes / kGiB));
  r.Add("many_client_cpu_s_per_gib", ours, round, client / (m.fileBytes / kGiB));
  r.Add("many_peak_rss_mib", ours, round, server.PeakMemoryMib());
  r.Add("many_slowest_first_byte_s", ours, round, m.slowestFirstByte);
  // Our streams close 100 ms after their last byte; the next round must not meet them.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

void MeasureFile(const Options& o, Recorder& r, int round, bool ours, bool still) {
  const FileAsk ask = still ? FileAsk{MediaKind::kPhoto, "still.jpg", "/photo/still.jpg"}
                            : FileAsk{MediaKind::kFirmware, "", "/firmware.bin"};
  Transfer t = FetchOne(ours ? o.oursPort : o.httpPort, ours, ask, o.verify, o.receiveBuffer);
  Check(t.ok, still ? "the still image" : "the firmware image", ours);
  r.Add(still ? "still_gbps" : "firmware_gbps", ours, round, t.fileBytes / t.seconds / 1e9);
}

void MeasureListing(const Options& o, Recorder& r, int round, bool ours) {
  Listing l = ours ? FetchListing(o.oursPort) : BareWalk(o.media);
  Check(l.ok, "the listing", ours);
  r.Add("listing_records_per_s", ours, round, l.records / l.seconds);
}

void MeasureDiscovery(const Options& o, Recorder& r, int round, bool ours) {
  // The server answers a burst and then a steady rate, to keep an echo loop or a flood from
  // taking it over, each sender half of it; back-to-back rounds would drain the burst. Wait for
  // it to refill.
  if (ours) {
    std::this_thread::sleep_for(std::chrono::milliseconds(
        1000 * int64_t{o.probes} / rureza::kDiscoverySenderAnswersPerSecond + 100));
  }
  Probes p = ProbeMany(static_cast<uint16_t>(ours ? o.oursPort + 3 : o.echoPort), o.probes);
  Check(p.ok, "discovery", ours);
  r.Add("discovery_probes_per_s", ours, round, p.perSecond);
  r.Add("discovery_p50_us", ours, round, p.p50Us);
  r.Add("discovery_p99_us", ours, round, p.p99Us);
}

void MeasureConnections(const Options& o, Recorder& r, int round, bool ours) {
  std::string request = ours ? rureza::Block("<2") : HttpRequest("/no-such-file");
  Connections c = Connect(ours ? o.oursPort : o.httpPort, request, 8, o.connectSeconds);
  Check(c.ok, "the short requests", ours);
  r.Add("connections_per_s", ours, round, c.perSecond);
}

// No peer: nginx has no control port.
void MeasureSlowAdapters(const Options& o, Recorder& r, int round, bool ours) {
  if (!ours) return;
  bench::SlowRound s = bench::SteerSlowStreams(o.oursPort, o.slowAdapters, o.seeks, round);
  Check(s.ok, "the slow adapters", ours);
  r.Add("slow_reaction_p50_ms", ours, round, bench::Percentile(s.reactionsMs, 0.50));
  r.Add("slow_reaction_p99_ms", ours, round, bench::Percentile(s.reactionsMs, 0.99));
  r.Add("slow_stop_to_close_ms", ours, round, s.stopToCloseMs);
  r.Add("slow_old_kib_p50", ours, round, bench::Percentile(s.oldKib, 0.50));
  // The streams of the round must be gone, with their claims on control connections, before
  // the next round's steered stream waits for its own.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

// Adapters reading at a playing pace through a 16 KiB receive buffer (no peer: nginx has no
// control port): what each still hears of the old position after it steers its stream, and what
// many of them hold in the server's send queues. Not in the warm-up pass: it takes its seconds.
void MeasurePacedAdapters(const Options& o, Recorder& r, int round, bool ours) {
  if (!ours || round == 0) return;
  const std::pair<const char*, bench::StaleCase> cases[] = {
      {"stale_audio_40", {MediaKind::kAudio, 40e3}},
      {"stale_audio_400", {MediaKind::kAudio, 400e3}},
      {"stale_avi_40", {MediaKind::kAvi, 40e3}},
      {"stale_avi_400", {MediaKind::kAvi, 400e3}},
      {"stale_mpeg_40", {MediaKind::kMpeg, 40e3}},
      {"stale_mpeg_400", {MediaKind::kMpeg, 400e3}}};
  std::vector<bench::StaleCase> adapters;
  for (const auto& [metric, c] : cases) adapters.push_back(c);
  // A paced adapter reads in bursts; each round steers at another point of their cycle.
  std::mt19937 random(static_cast<unsigned>(round));
  const double seconds = o.pacedSeconds + std::uniform_real_distribution<double>(0, 1)(random);
  std::vector<std::optional<uint64_t>> stale =
      bench::MeasureStaleBytes(o.oursPort, adapters, seconds);
  for (size_t i = 0; i < adapters.size(); ++i) {
    Check(stale[i].has_value(), "a paced adapter's steering", ours);
    const std::string metric = cases[i].first;
    r.Add((metric + "_kib").c_str(), ours, round, *stale[i] / 1024.0);
    r.Add((metric + "_s").c_str(), ours, round, *stale[i] / adapters[i].bytesPerSecond);
  }
  // The streams must be gone, with their claims on control connections, before more come.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::optional<uint64_t> queued =
      bench::SendQueuesOfSlowAdapters(o.oursPort, o.pacedAdapters, 40e3, o.pacedSeconds);
  Check(queued.has_value(), "the paced adapters' send queues", ours);
  r.Add("paced_send_queues_mib", ours, round, *queued / 1048576.0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

int Measure(const Options& o) {
  Recorder recorder(o.results);
  recorder.Info("client", "the adapter library's connection and receive loop for both sides, " +
                              std::to_string(o.receiveBuffer / 1024) +
                              " KiB receives, timed to the last payload byte");
  using Step = std::function<void(const Options&, Recorder&, int, bool)>;
  const std::vector<std::pair<const char*, Step>> scenarios = {
      {"single stream", MeasureSingleStream},
      {"concurrent streams", MeasureManyStreams},
      {"still image",
       [](const Options& o, Recorder& r, int n, bool ours) { MeasureFile(o, r, n, ours, true); }},
      {"firmware image",
       [](const Options& o, Recorder& r, int n, bool ours) { MeasureFile(o, r, n, ours, false); }},
      {"listing", MeasureListing},
      {"discovery", MeasureDiscovery},
      {"connections", MeasureConnections},
      {"slow adapters", MeasureSlowAdapters},
      {"paced adapters", MeasurePacedAdapters},
  };
  for (const auto& [name, step] : scenarios) {
    if (!o.only.empty() && o.only != name) continue;
    std::printf("%s\n", name);
    // One unrecorded pass each warms the page cache, the folder and both servers.
    Recorder scratch("/dev/null");
    if (o.warmUp) {
      step(o, scratch, 0, true);
      step(o, scratch, 0, false);
    }
    for (int round = 1; round <= o.rounds; ++round) {
      step(o, recorder, round, true);
      step(o, recorder, round, false);
    }
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// The report.

struct Series {
  std::map<int, double> ours;
  std::map<int, double> peer;
};

double Median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::vector<double> Values(const std::map<int, double>& m) {
  std::vector<double> v;
  for (const auto& [round, value] : m) v.push_back(value);
  return v;
}

// count: a whole number, shown without decimals.
std::string Number(double v, bool count = false) {
  char text[32];
  if (std::isnan(v)) return "n/a";
  double a = std::fabs(v);
  const char* format = a >= 1000 || count ? "%.0f" : a >= 100 ? "%.1f" : a >= 10 ? "%.2f" : "%.3f";
  std::snprintf(text, sizeof text, format, v);
  std::string s = text;
  if (a >= 10000) {  // thousands separators
    std::string digits = s;
    s.clear();
    int count = 0;
    for (size_t i = digits.size(); i-- > 0;) {
      s.insert(s.begin(), digits[i]);
      if (++count % 3 == 0 && i > 0 && digits[i - 1] != '-') s.insert(s.begin(), ',');
    }
  }
  return s;
}

std::string Spread(const std::vector<double>& v, bool count = false) {
  if (v.empty()) return "n/a";
  if (v.size() == 1) return Number(v[0], count);
  auto [low, high] = std::minmax_element(v.begin(), v.end());
  return Number(Median(v), count) + " (" + Number(*low, count) + "–" + Number(*high, count) + ")";
}

// A goal: on the median ratio ours/peer (kAtLeastRatio, kAtMostRatio), or on our own figure
// in every round (kAtMost, kAtLeast).
struct Goal {
  enum Kind { kAtLeastRatio, kAtMostRatio, kAtMost, kAtLeast };
  const char* metric;
  Kind kind;
  double bound;
  const char* text;
  const char* whyMissed;  // what limits the figure, shown when the goal is missed
};

const std::vector<Goal>& Goals() {
  static const std::vector<Goal> goals = {
      {"stream_gbps", Goal::kAtLeastRatio, 0.95, "single stream ≥ 0.95 × nginx",
       "passes of up to 2 MiB to a sendfile, as nginx's, with a look at the adapter's pace "
       "(tcp_info) and at the commands between them; the first passes are small until the "
       "pace is known"},
      {"stream_cpu_s_per_gib", Goal::kAtMostRatio, 1.0,
       "single stream: server CPU per byte ≤ 1.0 × nginx's worker",
       "a look at the adapter's pace per pass, and the small first passes"},
      {"many_gbps", Goal::kAtLeastRatio, 0.95, "100 streams ≥ 0.95 × nginx",
       "100 client threads each send their own passes, up to 2 MiB to a sendfile, and sleep on "
       "their own sockets: about twice nginx's CPU per byte (one worker, 2 MiB sendfile "
       "chunks), on two cores shared with the client that copies every byte"},
      {"many_cpu_s_per_gib", Goal::kAtMostRatio, 1.25,
       "100 streams: server CPU per byte ≤ 1.25 × nginx's worker",
       "half the gap is the loopback's softirq work (delivery to the client, pacing timers), "
       "charged to whichever of our 100 sending threads runs when it comes, where nginx's one "
       "worker mostly sleeps in epoll_wait (the machine's softirq time per byte is within 10% "
       "of nginx's); the rest is blocking waits for socket space and, until each stream's pace "
       "is known, its small first passes"},
      {"many_peak_rss_mib", Goal::kAtMost, 32, "server resident memory ≤ 32 MiB (every round)",
       "one thread stack and one pipe per stream"},
      {"many_slowest_first_byte_s", Goal::kAtMost, 1.0, "slowest first byte ≤ 1 s (every round)",
       "the listener and the new client threads compete for the CPU with the streams "
       "already running"},
      {"still_gbps", Goal::kAtLeastRatio, 0.95, "still image ≥ 0.95 × nginx",
       "32,767-byte chunks through a pipe, eight to a splice in and out, where nginx sends up to "
       "2 MiB per sendfile; the chunks are not page-aligned"},
      {"firmware_gbps", Goal::kAtLeastRatio, 0.95, "firmware ≥ 0.95 × nginx",
       "4,096-byte chunks through a pipe, 64 to a splice in and out, where nginx sends up to "
       "2 MiB per sendfile"},
      {"listing_records_per_s", Goal::kAtLeastRatio, 0.5, "listing ≥ 0.5 × readdir+stat",
       "each record is built field by field and the records go out in 16 KiB batches"},
      {"library_listing_records_per_s", Goal::kAtLeastRatio, 0.5,
       "listing with subfolders ≥ 0.5 × a bare recursive walk",
       "each folder is opened by name inside its parent and its identity read, so a folder "
       "reached twice is walked once"},
      {"library_first_record_ms", Goal::kAtMost, 50,
       "first record of that listing ≤ 50 ms (every round)",
       "the walk reaches its first file late"},
      {"shortname_cold_resolve_ms", Goal::kAtMost, 500,
       "short name after a restart (index empty) ≤ 0.5 s (every round)",
       "the whole media folder is walked for the files that share the name's prefix"},
      {"shortname_warm_resolve_ms", Goal::kAtMost, 1,
       "short name from the index ≤ 1 ms (every round)",
       "a stat of the name as a file comes first"},
      {"shortname_index_mib", Goal::kAtMost, 16,
       "index of 100,000 short names ≤ 16 MiB (every round)", "long file names"},
      {"stalled_listing_mib", Goal::kAtMost, 4,
       "a stalled listing of 100,000 short names ≤ 4 MiB resident (every round)",
       "the walk's open folders and the names given so far"},
      {"stalled_left_mib", Goal::kAtMost, 8,
       "after 40 stalled listings end ≤ 8 MiB more resident than before (every round)",
       "freed memory the allocator keeps in the arenas of the threads that ended (about 3.5 MiB "
       "stays with one arena)"},
      {"discovery_probes_per_s", Goal::kAtLeastRatio, 0.9, "discovery ≥ 0.9 × bare responder",
       "the responder polls its socket and its stop descriptor before each receive: one "
       "system call more per probe than a bare blocking receive"},
      {"discovery_p99_us", Goal::kAtMostRatio, 1.5, "discovery p99 ≤ 1.5 × bare responder",
       "scheduling noise"},
      {"connections_per_s", Goal::kAtLeastRatio, 0.8, "connections ≥ 0.8 × nginx",
       "each connection is handed from the listener to a client thread (a wake-up and a "
       "context switch) and writes three log lines"},
      {"slow_reaction_p99_ms", Goal::kAtMost, 50,
       "slow adapters: control block to the stream's reaction p99 ≤ 50 ms (every round)",
       "a stream takes up a command between its passes, which its adapter's pace keeps to a "
       "few blocks"},
      {"busy_slow_reaction_p99_ms", Goal::kAtMost, 50,
       "slow adapters while six converters are busy: reaction p99 ≤ 50 ms (every round)",
       "the converters run at a lower priority than the server (nice 10): its threads come "
       "first on a busy machine"},
      {"stale_audio_40_kib", Goal::kAtMost, 64,
       "MP3 seek at 40 KB/s: old position heard after Play ≤ 64 KiB (every round)",
       "what the adapter's own receive buffer holds, the unsent bytes the pace allows and the "
       "rest of the block on its way"},
      {"stale_audio_400_s", Goal::kAtMost, 0.5,
       "MP3 seek at 400 KB/s: old position heard after Play ≤ 0.5 s of its pace (every round)",
       "the same, with a bound of a fraction of a second of the pace"},
      {"stale_avi_40_kib", Goal::kAtMost, 64,
       "AVI resume at 40 KB/s: old position heard after Play ≤ 64 KiB (every round)", "as for MP3"},
      {"stale_avi_400_s", Goal::kAtMost, 0.5,
       "AVI resume at 400 KB/s: old position heard after Play ≤ 0.5 s of its pace (every round)",
       "as for MP3"},
      {"stale_mpeg_40_kib", Goal::kAtMost, 64,
       "MPEG backward at 40 KB/s: old position heard after the command ≤ 64 KiB (every round)",
       "as for MP3"},
      {"stale_mpeg_400_s", Goal::kAtMost, 0.5,
       "MPEG backward at 400 KB/s: old position heard after the command ≤ 0.5 s of its pace "
       "(every round)",
       "as for MP3"},
      {"console_lines_per_s", Goal::kAtLeast, 20000, "console ≥ 20,000 lines/s (every round)",
       "every line waits until the window thread has added it"},
      {"console_longest_tick_gap_ms", Goal::kAtMost, 400,
       "window responsive: its 200 ms timer never more than one tick late (every round)",
       "the window thread is busy adding lines"},
      {"convert_song_first_byte_ms", Goal::kAtMost, 1000,
       "song never played: first byte ≤ 1 s (every round)",
       "a converter process starts (loading FFmpeg's and libvips's libraries) to measure the "
       "song, then another to convert it"},
      {"convert_seek_first_byte_ms", Goal::kAtMost, 1000,
       "song never played, seek to three quarters: first byte ≤ 1 s (every round)",
       "a second converter process starts and seeks in the source"},
      {"convert_songs_per_min", Goal::kAtLeastRatio, 1.0,
       "4-minute FLAC to MP3 ≥ 1.0 × the ffmpeg command line", "LAME's encoding dominates both"},
      {"convert_photos_per_s", Goal::kAtLeastRatio, 1.0,
       "12-megapixel JPEG to the photo size ≥ 1.0 × vips thumbnail", "the same library's work"},
      {"convert_photo_first_byte_ms", Goal::kAtMost, 500,
       "12-megapixel JPEG: first byte ≤ 0.5 s (every round)", "the converter's start"},
      {"convert_heic_first_byte_ms", Goal::kAtMost, 1000,
       "12-megapixel HEIC: first byte ≤ 1 s (every round)",
       "libheif decodes the whole picture before it is scaled, on one core when it is not "
       "tiled (heif-enc cannot tile; phones do); vips thumbnail takes as long"},
      {"convert_song_peak_mib", Goal::kAtMost, 64, "converter's peak memory for a song ≤ 64 MiB",
       "the libraries' own data"},
      {"convert_photo_peak_mib", Goal::kAtMost, 200,
       "converter's peak memory for a 12-megapixel photo ≤ 200 MiB", "a HEIC is decoded whole"},
      {"convert_measured_songs_per_s", Goal::kAtLeast, 167,
       "measuring 10,000 songs ≤ 60 s (≥ 167 songs/s)", "each file's header is opened and read"},
      {"cache_song_gbps", Goal::kAtLeastRatio, 0.95,
       "song from the cache ≥ 0.95 × an MP3 file of the same size",
       "the cache entry is found (a stat of the source, a look in the store's memory) and "
       "marked as played (in memory; the store is written 64 plays at a time) before its first "
       "byte"},
      {"cache_photo_gbps", Goal::kAtLeastRatio, 0.95,
       "photo from the cache ≥ 0.95 × the still image of a JPEG file of the same size",
       "a photo of a few hundred KB is mostly its request: the cache's look-up (the source's "
       "stat, the entry found in memory, opened and measured) weighs against the JPEG file's "
       "check (a stat and a look in memory)"},
      {"heic_eight_at_once_ratio", Goal::kAtMost, 1.5,
       "eight adapters asking at once for one new 24-megapixel HEIC: the last within 1.5 × one "
       "alone (every round)",
       "one conversion serves them all; the others wait for it"},
      {"slideshow_worst_ms", Goal::kAtMost, 100,
       "a slideshow of HEICs at 5 s intervals: the second to the tenth each within 0.1 s",
       "the next two photos are converted ahead, in the background at the lowest priority"},
      {"flac_first_listing_records_per_s", Goal::kAtLeastRatio, 0.5,
       "first listing of the FLAC library (nothing remembered, estimated sizes) ≥ 0.5 × the "
       "same library of MP3s",
       "each song's path is made and looked up in the store's memory, and noted for the "
       "background pass"},
      {"flac_background_pass_s", Goal::kAtMost, 60,
       "background pass measuring 10,000 songs ≤ 60 s (every round)",
       "each file's header is opened and read by the one converter"},
      {"flac_later_listing_records_per_s", Goal::kAtLeastRatio, 0.8,
       "later listings of the FLAC library (exact sizes) ≥ 0.8 × the MP3s",
       "each song's path is made and looked up in the store's memory"},
      {"status_stream_gbps", Goal::kAtLeastRatio, 0.97,
       "single stream while a browser polls /status.json 10 times a second ≥ 0.97 × without",
       "the page's threads share the two cores with the stream's"},
      {"status_streams_gbps", Goal::kAtLeastRatio, 0.97,
       "10 streams while a browser polls /status.json 10 times a second ≥ 0.97 × without",
       "the page's threads share the two cores with the streams'"},
      {"status_json_median_ms", Goal::kAtMost, 5,
       "/status.json with 100 adapters playing ≤ 5 ms (every round's median)",
       "the report of 100 connections is built and written as JSON"},
      {"status_rss_growth_mib", Goal::kAtMost, 2,
       "the server's memory grows by ≤ 2 MiB while the page answers", ""},
      {"video_h264_realtime", Goal::kAtLeastRatio, 1.0,
       "1080p H.264/AAC to the PAL stream ≥ 1.0 × the ffmpeg command line",
       "decoding the 1080p picture and encoding MPEG-2 dominate both"},
      {"video_first_32k_ms", Goal::kAtMost, 2000,
       "video never played: first 32 KiB ≤ 2 s (every round)",
       "the converter starts, opens the source and waits for its first pictures and sound"},
      {"video_h264_peak_mib", Goal::kAtMost, 256,
       "converter's peak memory for a 1080p video ≤ 256 MiB (every round)",
       "the decoder's two threads each hold their frames"},
      {"video_hevc_realtime", Goal::kAtLeast, 1.0,
       "1080p HEVC converted at ≥ 1.0 × real time (every round)", "HEVC's decoding"},
      {"video_two_h264_realtime", Goal::kAtLeast, 1.0,
       "two 1080p H.264 conversions at once both ≥ 1.0 × real time (every round)",
       "they share the two cores"},
      {"videoplay_first_block_ms", Goal::kAtMost, 2000,
       "video never played nor measured: its first block over the MPEG path ≤ 2 s (every "
       "round)",
       "the source's header is read by a converter, then another starts converting and its "
       "first 32 KiB are waited for"},
      {"videoplay_pace_mbps", Goal::kAtLeastRatio, 0.95,
       "1080p H.264 fed at the MPEG path's full pace from its first block ≥ 0.95 × an .mpg file",
       "the conversion must run at 2.2 × real time (the path's 1.6 MB/s against the stream's "
       "0.75 MB/s); on a busy machine it falls behind and the stream waits for it"},
      {"videoplay_cache_mbps", Goal::kAtLeastRatio, 0.95,
       "video from the cache ≥ 0.95 × an .mpg file of the same size",
       "both are paced at a block per 20 ms; the cache's look-up comes before the first block"},
      {"videoplay_listing_records_per_s", Goal::kAtLeastRatio, 0.5,
       "first listing of 1,000 videos in 100 folders (nothing remembered) ≥ 0.5 × the same "
       "listing of .mpg files",
       "each video's path is made, looked up in the store's memory and noted for the "
       "background pass"},
      {"videoplay_background_pass_s", Goal::kAtMost, 60,
       "background pass measuring 1,000 videos ≤ 60 s (every round)",
       "each file's container is opened and its streams' parameters found by the one "
       "converter"},
  };
  return goals;
}

struct Row {
  const char* metric;
  const char* label;
  const char* unit;  // empty for a count
  bool hasPeer;
};

const std::vector<std::pair<const char*, std::vector<Row>>>& Sections() {
  static const std::vector<std::pair<const char*, std::vector<Row>>> sections = {
      {"1. One MP3 stream of a 1 GiB file (peer: nginx, sendfile on)",
       {{"stream_gbps", "throughput", "GB/s", true},
        {"stream_cpu_s_per_gib", "server CPU", "s/GiB", true},
        {"stream_client_cpu_s_per_gib", "client CPU (the same code for both)", "s/GiB", true}}},
      {"2. 100 streams of a 64 MiB MP3 at once (peer: 100 concurrent nginx fetches)",
       {{"many_gbps", "aggregate throughput", "GB/s", true},
        {"many_cpu_s_per_gib", "server CPU", "s/GiB", true},
        {"many_client_cpu_s_per_gib", "client CPU (the same code for both)", "s/GiB", true},
        {"many_peak_rss_mib", "peak resident memory of the server", "MiB", true},
        {"many_slowest_first_byte_s", "first byte of the slowest connection", "s", true}}},
      {"3. Still image and firmware image of 256 MiB (peer: nginx)",
       {{"still_gbps", "still image", "GB/s", true},
        {"firmware_gbps", "firmware image", "GB/s", true}}},
      {"4. Listing, library options off (peer: a bare readdir+fstatat loop over the same folders)",
       {{"listing_records_per_s", "records", "records/s", true}}},
      {"4b. Library: 100,000 files in 1,000 folders, subfolders and short names on (peer: a bare "
       "recursive openat/readdir/fstatat walk of the same tree; bench/library_bench)",
       {{"library_listing_records_per_s", "listing with subfolders, names that fit", "records/s",
         true},
        {"library_first_record_ms", "its first record", "ms", false},
        {"shortname_first_record_ms", "first record when every name needs a short name", "ms",
         false},
        {"shortname_cold_resolve_ms", "short name resolved with the index empty (slowest of 3)",
         "ms", false},
        {"shortname_warm_resolve_ms", "short name resolved from the index (mean of 1,000)", "ms",
         false},
        {"shortname_index_mib", "the index after listing 100,000 short names", "MiB", false},
        {"stalled_listing_mib", "resident memory per listing while 40 listings stall", "MiB",
         false},
        {"stalled_left_mib", "resident memory left once they end", "MiB", false}}},
      {"5. Discovery, probes one at a time (peer: bench/echo_responder)",
       {{"discovery_probes_per_s", "probes", "probes/s", true},
        {"discovery_p50_us", "round trip p50", "µs", true},
        {"discovery_p99_us", "round trip p99", "µs", true}}},
      {"6. Short requests on fresh connections, 8 client threads (peer: nginx 404, HTTP/1.0)",
       {{"connections_per_s", "connections", "per s", true}}},
      {"7. Console log, 50 appending threads, offscreen (no peer)",
       {{"console_lines_per_s", "lines into the log list", "lines/s", false},
        {"console_longest_tick_gap_ms", "longest gap of the window's 200 ms timer", "ms", false}}},
      {"8. 20 slow adapters, each reading an MP3 stream at 2 MB/s through a 64 KiB receive "
       "buffer; one seeks (fast forward and Play in one write) and stops over the control port, "
       "and after each command reads what it had buffered at full speed. Its reaction: the "
       "first byte from the new position, or after Stop the stream's last byte (no peer: nginx "
       "has no control port)",
       {{"slow_reaction_p50_ms", "control block to the reaction, p50", "ms", false},
        {"slow_reaction_p99_ms", "control block to the reaction, p99", "ms", false},
        {"slow_stop_to_close_ms", "Stop to the stream's close", "ms", false},
        {"slow_old_kib_p50",
         "bytes of the old position still on their way at a seek, p50 (an adapter that kept its "
         "pace would play them first, at 2 MB/s)",
         "KiB", false},
        {"busy_slow_reaction_p50_ms",
         "the same reaction, p50, while six adapters play songs never converted (six converters "
         "busy; bench/conversion_bench)",
         "ms", false},
        {"busy_slow_reaction_p99_ms", "the same, p99", "ms", false}}},
      {"8b. Adapters reading at a playing pace (40 KB/s, an MP3's; 400 KB/s) through a 16 KiB "
       "receive buffer steer their stream 8 s in: an MP3 fast forward with Play, an AVI fast "
       "forward and Play with a resume, an MPEG backward step. The bytes of the old position "
       "each reads after its Play (or backward command) before the first of the new one, and "
       "what they take to play at its pace; the server's send queues for 100 such MP3 "
       "adapters at 40 KB/s (no peer)",
       {{"stale_audio_40_kib", "MP3 seek at 40 KB/s", "KiB", false},
        {"stale_audio_40_s", "MP3 seek at 40 KB/s, in the adapter's time", "s", false},
        {"stale_audio_400_kib", "MP3 seek at 400 KB/s", "KiB", false},
        {"stale_audio_400_s", "MP3 seek at 400 KB/s, in the adapter's time", "s", false},
        {"stale_avi_40_kib", "AVI resume at 40 KB/s", "KiB", false},
        {"stale_avi_40_s", "AVI resume at 40 KB/s, in the adapter's time", "s", false},
        {"stale_avi_400_kib", "AVI resume at 400 KB/s", "KiB", false},
        {"stale_avi_400_s", "AVI resume at 400 KB/s, in the adapter's time", "s", false},
        {"stale_mpeg_40_kib", "MPEG backward step at 40 KB/s", "KiB", false},
        {"stale_mpeg_40_s", "MPEG backward step at 40 KB/s, in the adapter's time", "s", false},
        {"stale_mpeg_400_kib", "MPEG backward step at 400 KB/s", "KiB", false},
        {"stale_mpeg_400_s", "MPEG backward step at 400 KB/s, in the adapter's time", "s", false},
        {"paced_send_queues_mib", "send queues of 100 MP3 adapters at 40 KB/s, summed", "MiB",
         false}}},
      {"9. rureza-probe load: 8 adapters fetching a library of 16 songs and 8 photos whole for "
       "10 s, from a second server (its own figures, one run; no peer)",
       {{"probe_load_mbps", "throughput", "MB/s", false},
        {"probe_load_first_byte_p50_ms", "first byte p50", "ms", false},
        {"probe_load_first_byte_p99_ms", "first byte p99", "ms", false},
        {"probe_load_first_byte_max_ms", "first byte max", "ms", false},
        {"probe_load_requests", "requests served", "", false},
        {"probe_load_errors", "errors", "", false}}},
      {"10. Songs and photos converted on the fly, through the conversion layer and its converter "
       "processes (peers: the ffmpeg and vips command lines with the same output settings, "
       "process start included for both; bench/conversion_bench)",
       {{"convert_song_first_byte_ms", "4-minute FLAC never played: first 32 KiB ready", "ms",
         false},
        {"convert_seek_first_byte_ms", "the same after a seek to three quarters", "ms", false},
        {"convert_songs_per_min", "4-minute FLAC converted whole", "songs/min", true},
        {"convert_photos_per_s", "12-megapixel JPEG to 1920 x 1080", "photos/s", true},
        {"convert_photo_first_byte_ms", "its first byte ready", "ms", false},
        {"convert_heic_first_byte_ms", "12-megapixel HEIC: first byte ready (peer: the whole JPEG)",
         "ms", true},
        {"convert_song_peak_mib", "converter's peak resident memory, songs", "MiB", false},
        {"convert_photo_peak_mib", "converter's peak resident memory, photos", "MiB", false},
        {"convert_measured_songs_per_s", "songs measured by one converter", "songs/s", false},
        {"cache_song_gbps",
         "10-minute song from the cache through the server (peer: an MP3 file of its size)", "GB/s",
         true},
        {"cache_photo_gbps",
         "the photo from the cache through the server (peer: a JPEG file of its size)", "GB/s",
         true},
        {"flac_first_listing_records_per_s",
         "listing of the FLAC library, nothing remembered (peer: the same library of MP3s)",
         "records/s", true},
        {"flac_background_pass_s", "the background pass it starts, until every song is measured",
         "s", false},
        {"heic_eight_at_once_ratio",
         "eight adapters at once for one new 24-megapixel HEIC: the last, against one alone", "×",
         false},
        {"slideshow_worst_ms",
         "a slideshow of ten HEICs at 5 s intervals: the slowest after the first", "ms", false},
        {"flac_later_listing_records_per_s", "later listings, exact sizes (peer: the MP3s)",
         "records/s", true}}},
      {"11. The status page (peer: the same without a browser polling it; bench/status_bench)",
       {{"status_stream_gbps", "one stream, a browser polling /status.json 10 times a second",
         "GB/s", true},
        {"status_streams_gbps", "10 streams of the 64 MiB song at once, polled alike", "GB/s",
         true},
        {"status_json_median_ms", "/status.json with 100 adapters playing, fresh, median", "ms",
         false},
        {"status_json_max_ms", "the same, slowest", "ms", false},
        {"status_json_kib", "its size", "KiB", false},
        {"status_rss_static_mib",
         "resident memory of a server with the page, less one without (both fresh)", "MiB", false},
        {"status_rss_growth_mib",
         "growth of the server's resident memory while the page answers (100 adapters playing, "
         "1,000 requests and more)",
         "MiB", false}}},
      {"12. Videos converted to the adapter's MPEG-2 program stream by the converter process "
       "(peer: the ffmpeg command line making the same kind of stream, process start included "
       "for both; bench/video_bench)",
       {{"video_h264_realtime", "30 s of 1080p30 H.264/AAC to the PAL stream", "× real time", true},
        {"video_first_32k_ms", "its first 32 KiB on the pipe", "ms", false},
        {"video_h264_peak_mib", "converter's peak resident memory, 1080p", "MiB", false},
        {"video_hevc_realtime", "10 s of 1080p30 HEVC", "× real time", false},
        {"video_4k_hevc_realtime", "4 s of 2160p30 HEVC", "× real time", false},
        {"video_two_h264_realtime", "two 1080p H.264 at once, the slower", "× real time", false}}},
      {"13. Videos of other formats played through the server over the MPEG path (peer: an .mpg "
       "file of the same length; bench/video_play_bench)",
       {{"videoplay_first_block_ms",
         "20 s of 1080p30 H.264/AAC never played nor measured: its first block", "ms", true},
        {"videoplay_pace_mbps",
         "its stream while it is converted, from the first block to the last byte", "MB/s", true},
        {"videoplay_cache_mbps", "the same from the cache", "MB/s", true},
        {"videoplay_listing_records_per_s",
         "1,000 videos in 100 folders listed, nothing remembered (peer: .mpg files)", "records/s",
         true},
        {"videoplay_background_pass_s",
         "the background pass it starts, until every video is "
         "measured",
         "s", false}}},
  };
  return sections;
}

int Report(const std::string& resultsPath, const std::string& markdownPath) {
  std::ifstream in(resultsPath);
  if (!in) Fail("cannot read " + resultsPath);
  std::map<std::string, Series> series;
  std::vector<std::pair<std::string, std::string>> info;
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> f;
    std::stringstream fields(line);
    for (std::string field; std::getline(fields, field, '\t');) f.push_back(field);
    if (f.size() == 3 && f[0] == "info") info.emplace_back(f[1], f[2]);
    if (f.size() != 4) continue;
    Series& s = series[f[0]];
    (f[1] == "ours" ? s.ours : s.peer)[std::atoi(f[2].c_str())] = std::atof(f[3].c_str());
  }

  auto ratios = [&](const std::string& metric) {
    std::vector<double> r;
    const Series& s = series[metric];
    for (const auto& [round, value] : s.ours) {
      auto peer = s.peer.find(round);
      if (peer != s.peer.end() && peer->second != 0) r.push_back(value / peer->second);
    }
    return r;
  };

  std::ostringstream md;
  md << "# Benchmarks\n\n"
     << "Written by `bench/run` from its last run; do not edit by hand. Every figure is the "
        "median of the rounds, with the lowest and highest in brackets. The two sides are "
        "measured in turn, ours then the peer, round after round, on 127.0.0.1, and read by "
        "the same client code (the adapter library's connection and receive loop, the same "
        "receive size; only the header in front of the payload is parsed differently). "
        "Transfers are timed from connect to the last byte of the payload (our audio stream "
        "closes its connection 100 ms later, a pause of its protocol); server CPU time comes "
        "from /proc "
        "in 10 ms ticks; peak resident memory is VmHWM, reset before each round. A goal on a "
        "ratio is judged on the median of the per-round ratios, a goal on our own figure on "
        "its worst round.\n\n";
  for (const auto& [key, value] : info) md << "- " << key << ": " << value << "\n";

  md << "\n## Goals\n\n| Goal | Result | Met |\n|---|---|---|\n";
  for (const Goal& g : Goals()) {
    std::vector<double> ours = Values(series[g.metric].ours);
    std::string result;
    bool met = false;
    double by = 0;  // how far off, as a fraction of the bound
    if (g.kind == Goal::kAtLeastRatio || g.kind == Goal::kAtMostRatio) {
      double r = Median(ratios(g.metric));
      result = "ours/peer " + Number(r);
      met = g.kind == Goal::kAtLeastRatio ? r >= g.bound : r <= g.bound;
      by = std::fabs(r - g.bound) / g.bound;
    } else if (!ours.empty()) {
      double worst = g.kind == Goal::kAtMost ? *std::max_element(ours.begin(), ours.end())
                                             : *std::min_element(ours.begin(), ours.end());
      result = "worst round " + Number(worst);
      met = g.kind == Goal::kAtMost ? worst <= g.bound : worst >= g.bound;
      by = std::fabs(worst - g.bound) / g.bound;
    }
    std::string verdict = "no data";
    if (!ours.empty()) {
      char text[64];
      std::snprintf(text, sizeof text, "missed by %.0f%%", by * 100);
      verdict = met ? "met" : std::string(text) + (*g.whyMissed ? ": " : "") + g.whyMissed;
    }
    md << "| " << g.text << " | " << result << " | " << verdict << " |\n";
  }

  for (const auto& [title, rows] : Sections()) {
    md << "\n## " << title << "\n\n"
       << "| Figure | Ours | Peer | Ratio ours/peer per round | Median ratio |\n"
       << "|---|---|---|---|---|\n";
    for (const Row& row : rows) {
      const Series& s = series[row.metric];
      std::string perRound;
      std::vector<double> r = row.hasPeer ? ratios(row.metric) : std::vector<double>{};
      for (double x : r) {
        if (!perRound.empty()) perRound += ' ';
        perRound += Number(x);
      }
      md << "| " << row.label << (*row.unit ? std::string(" (") + row.unit + ")" : "") << " | "
         << Spread(Values(s.ours), !*row.unit) << " | "
         << (row.hasPeer ? Spread(Values(s.peer)) : "—") << " | " << (r.empty() ? "—" : perRound)
         << " | " << (r.empty() ? "—" : Number(Median(r))) << " |\n";
    }
  }
  std::ofstream out(markdownPath, std::ios::trunc);
  out << md.str();
  if (!out) Fail("cannot write " + markdownPath);
  std::fputs(md.str().c_str(), stdout);
  return 0;
}

// ---------------------------------------------------------------------------------------------

int Main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  auto option = [&](const std::string& name) -> std::optional<std::string> {
    for (size_t i = 0; i + 1 < args.size(); ++i) {
      if (args[i] == name) return args[i + 1];
    }
    return std::nullopt;
  };
  auto number = [&](const std::string& name, double fallback) {
    std::optional<std::string> v = option(name);
    return v ? std::atof(v->c_str()) : fallback;
  };
  auto flag = [&](const std::string& name) {
    return std::find(args.begin(), args.end(), name) != args.end();
  };
  if (args.size() >= 2 && args[0] == "media") {
    return MakeMedia(MediaLayout{args[1]}, static_cast<uint64_t>(number("--stream-mib", 1024)),
                     static_cast<uint64_t>(number("--many-mib", 64)),
                     static_cast<uint64_t>(number("--file-mib", 256)),
                     static_cast<int>(number("--files", 100000)),
                     static_cast<uint64_t>(number("--load-mib", 8)));
  }
  if (args.size() >= 3 && args[0] == "measure") {
    Options o;
    o.media.root = args[1];
    o.results = args[2];
    o.oursPort = static_cast<uint16_t>(number("--ours-port", 0));
    o.httpPort = static_cast<uint16_t>(number("--http-port", 0));
    o.echoPort = static_cast<uint16_t>(number("--echo-port", 0));
    o.ours.pid = static_cast<pid_t>(number("--ours-pid", 0));
    o.http.pid = static_cast<pid_t>(number("--http-pid", 0));
    o.rounds = static_cast<int>(number("--rounds", 5));
    o.streams = static_cast<int>(number("--streams", 100));
    o.probes = static_cast<int>(number("--probes", 10000));
    o.connectSeconds = number("--connect-seconds", 3);
    o.slowAdapters = static_cast<int>(number("--slow-adapters", 20));
    o.seeks = static_cast<int>(number("--seeks", 10));
    o.pacedSeconds = number("--paced-seconds", 8);
    o.pacedAdapters = static_cast<int>(number("--paced-adapters", 100));
    o.receiveBuffer = static_cast<size_t>(number("--receive-kib", 1024)) * 1024;
    o.verify = flag("--verify");
    o.warmUp = !flag("--no-warm-up");
    o.only = option("--only").value_or("");
    if (!o.oursPort || !o.httpPort || !o.echoPort || !o.ours.pid || !o.http.pid) {
      Fail("measure needs --ours-port, --http-port, --echo-port, --ours-pid and --http-pid");
    }
    return Measure(o);
  }
  if (args.size() >= 3 && args[0] == "report") return Report(args[1], args[2]);
  std::fprintf(stderr, "usage: peer_bench media|measure|report ... (see bench/peer_bench.cpp)\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) { return Main(argc, argv); }
