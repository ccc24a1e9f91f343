// peer_bench: the measuring half of bench/run. It talks to a running rureza-server and to a
// running peer (nginx with sendfile, the bare echo responder, a bare readdir+stat loop) on
// 127.0.0.1 and measures both sides in interleaved rounds: ours, peer, ours, peer, ...
//
//   peer_bench media DIR [--stream-mib N] [--many-mib N] [--file-mib N] [--files N]
//   peer_bench measure DIR RESULTS --ours-port P --http-port P --echo-port P
//              --ours-pid PID --http-pid PID [--rounds N] [--streams N] [--probes N]
//              [--connect-seconds S] [--verify] [--only SCENARIO]
//   peer_bench report RESULTS MARKDOWN
//
// RESULTS is a text file of lines "metric<TAB>side<TAB>round<TAB>value" (side: ours or peer)
// and "info<TAB>key<TAB>value"; bench/run adds the console's lines and the machine's facts,
// and report turns the file into BENCHMARKS.md. Every wait has a time limit and every loop a
// count or a deadline, so a server that stops answering ends the run with a failure instead of
// a hang.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr size_t kReceiveBuffer = 256 * 1024;
constexpr int kTransferTimeoutMs = 120000;
constexpr size_t kBlock = 256;
constexpr uint64_t kStillChunk = 32767;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "peer_bench: %s\n", what.c_str());
  std::exit(1);
}

// ---------------------------------------------------------------------------------------------
// Media files. Every byte is a function of its offset, so a reply can be checked as it arrives.

uint8_t PatternByte(uint64_t offset) {
  return static_cast<uint8_t>(offset * 31 + (offset >> 20) * 7 + 5);
}

void WritePatternFile(const fs::path& path, uint64_t length) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<char> block(1 << 20);
  for (uint64_t at = 0; at < length;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(length - at, block.size()));
    for (size_t i = 0; i < n; ++i) block[i] = static_cast<char>(PatternByte(at + i));
    out.write(block.data(), static_cast<std::streamsize>(n));
    at += n;
  }
  if (!out) Fail("cannot write " + path.string());
}

struct MediaLayout {
  fs::path root;
  fs::path Video() const { return root / "video"; }
  fs::path Audio() const { return root / "audio"; }
  fs::path Photo() const { return root / "photo"; }
  fs::path Stream() const { return Audio() / "stream.mp3"; }
  fs::path Many() const { return Audio() / "many.mp3"; }
  fs::path Still() const { return Photo() / "still.jpg"; }
  fs::path Firmware() const { return root / "firmware.bin"; }
};

int MakeMedia(const MediaLayout& media, uint64_t streamMib, uint64_t manyMib, uint64_t fileMib,
              int files) {
  for (const fs::path& folder : {media.Video(), media.Audio(), media.Photo()}) {
    fs::create_directories(folder);
  }
  WritePatternFile(media.Stream(), streamMib << 20);
  WritePatternFile(media.Many(), manyMib << 20);
  WritePatternFile(media.Still(), fileMib << 20);
  WritePatternFile(media.Firmware(), fileMib << 20);
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
// Connections.

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

void SetReceiveTimeout(int fd, int ms) {
  timeval limit{ms / 1000, (ms % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

// A blocking connection whose receives give up after timeoutMs; -1 on failure.
int ConnectBlocking(uint16_t port, int timeoutMs) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address = Loopback(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  SetReceiveTimeout(fd, timeoutMs);
  return fd;
}

bool SendWhole(int fd, const std::string& data) {
  return ::send(fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

// What a client asks and how it reads the answer.
enum class Reply { kAudio, kStill, kFirmware, kHttp };

struct Request {
  Reply reply;
  std::string bytes;  // as sent
};

Request AdapterRequest(Reply reply, const std::string& text) {
  std::string block = text;
  block.resize(kBlock, '\0');
  return Request{reply, block};
}

Request HttpRequest(const std::string& path) {
  return Request{Reply::kHttp, "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"};
}

// Reads one reply as it arrives: the header (our length block, or an HTTP header), then the
// announced payload. Records when the first and the last payload byte came.
class ReplyReader {
 public:
  ReplyReader(Reply reply, bool verify) : reply_(reply), verify_(verify) {}

  // Takes the next bytes of the connection.
  void Feed(const char* data, size_t n, Clock::time_point now) {
    if (n > 0 && !sawFirst_) {
      sawFirst_ = true;
      first_ = now;
    }
    while (n > 0 && !failed_) {
      if (!headerDone_) {
        size_t used = FeedHeader(data, n);
        data += used;
        n -= used;
        continue;
      }
      size_t take = static_cast<size_t>(std::min<uint64_t>(n, expected_ - got_));
      if (take < n) failed_ = true;  // more than announced
      if (verify_) Check(data, take);
      got_ += take;
      if (take > 0 && got_ == expected_) last_ = now;
      n = 0;
    }
  }

  bool complete() const { return headerDone_ && got_ == expected_ && !failed_; }
  bool failed() const { return failed_; }
  uint64_t fileBytes() const { return fileLength_; }
  Clock::time_point first() const { return first_; }
  // The last payload byte; the header's end for an empty payload.
  Clock::time_point last() const { return last_; }

 private:
  size_t FeedHeader(const char* data, size_t n) {
    if (reply_ != Reply::kHttp) {
      size_t take = std::min(n, kBlock - header_.size());
      header_.append(data, take);
      if (header_.size() == kBlock) {
        fileLength_ = std::strtoull(header_.c_str(), nullptr, 10);
        expected_ = fileLength_;
        if (reply_ == Reply::kStill) {
          expected_ = (fileLength_ + kStillChunk - 1) / kStillChunk * kStillChunk;
        }
        EndHeader();
      }
      return take;
    }
    size_t before = header_.size();
    header_.append(data, std::min<size_t>(n, 4096));
    size_t end = header_.find("\r\n\r\n");
    if (end == std::string::npos) {
      if (header_.size() >= 4096) failed_ = true;
      return n;
    }
    header_.resize(end + 4);
    if (header_.compare(0, 12, "HTTP/1.1 200") != 0 && header_.compare(0, 12, "HTTP/1.0 200")) {
      failed_ = true;
    }
    size_t length = header_.find("Content-Length: ");
    if (length == std::string::npos) failed_ = true;
    fileLength_ =
        length == std::string::npos ? 0 : std::strtoull(&header_[length + 16], nullptr, 10);
    expected_ = fileLength_;
    EndHeader();
    return header_.size() - before;
  }

  void EndHeader() {
    headerDone_ = true;
    last_ = Clock::now();
  }

  void Check(const char* data, size_t n) {
    for (size_t i = 0; i < n && !failed_; ++i) {
      uint64_t at = got_ + i;
      uint8_t want = at < fileLength_ ? PatternByte(at) : '0';  // the still image's padding
      if (static_cast<uint8_t>(data[i]) != want) failed_ = true;
    }
  }

  const Reply reply_;
  const bool verify_;
  std::string header_;
  bool headerDone_ = false;
  bool failed_ = false;
  bool sawFirst_ = false;
  uint64_t fileLength_ = 0;
  uint64_t expected_ = 0;
  uint64_t got_ = 0;
  Clock::time_point first_{};
  Clock::time_point last_{};
};

struct Transfer {
  bool ok = false;
  uint64_t fileBytes = 0;
  double seconds = 0;  // from connect to the last payload byte
};

// One request on its own connection, read to the end of its payload and then to the close.
Transfer FetchOne(uint16_t port, const Request& request, bool verify) {
  static thread_local std::vector<char> buffer(kReceiveBuffer);
  Transfer result;
  Clock::time_point start = Clock::now();
  int fd = ConnectBlocking(port, kTransferTimeoutMs);
  if (fd < 0 || !SendWhole(fd, request.bytes)) {
    if (fd >= 0) ::close(fd);
    return result;
  }
  ReplyReader reader(request.reply, verify);
  Clock::time_point deadline = start + std::chrono::milliseconds(kTransferTimeoutMs);
  for (;;) {
    ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (n <= 0 || Clock::now() > deadline) break;
    reader.Feed(buffer.data(), static_cast<size_t>(n), Clock::now());
  }
  ::close(fd);
  result.ok = reader.complete();
  result.fileBytes = reader.fileBytes();
  result.seconds = Seconds(reader.last() - start);
  return result;
}

// ---------------------------------------------------------------------------------------------
// Many connections at once, read by a few threads with epoll.

struct ManyResult {
  bool ok = false;
  uint64_t fileBytes = 0;
  double seconds = 0;           // from the first connect to the last payload byte of all
  double slowestFirstByte = 0;  // from a connection's connect to its first byte
};

ManyResult FetchMany(uint16_t port, const Request& request, int connections, int threads,
                     bool verify) {
  struct Connection {
    int fd = -1;
    bool sent = false;
    bool done = false;
    Clock::time_point start;
    ReplyReader reader;
  };
  std::vector<std::unique_ptr<Connection>> all;
  for (int i = 0; i < connections; ++i) {
    all.push_back(
        std::make_unique<Connection>(Connection{-1, false, false, {}, {request.reply, verify}}));
  }
  const Clock::time_point start = Clock::now();
  std::atomic<bool> failed{false};
  auto serve = [&](int first, int count) {
    int poller = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<char> buffer(kReceiveBuffer);
    int open = 0;
    for (int i = first; i < first + count; ++i) {
      Connection& c = *all[static_cast<size_t>(i)];
      c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      c.start = Clock::now();
      sockaddr_in address = Loopback(port);
      if (c.fd < 0 ||
          (::connect(c.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
           errno != EINPROGRESS)) {
        failed = true;
        continue;
      }
      epoll_event event{EPOLLIN | EPOLLOUT, {.u32 = static_cast<uint32_t>(i)}};
      ::epoll_ctl(poller, EPOLL_CTL_ADD, c.fd, &event);
      ++open;
    }
    const Clock::time_point deadline = start + std::chrono::milliseconds(kTransferTimeoutMs);
    epoll_event events[64];
    while (open > 0 && Clock::now() < deadline) {
      int n = ::epoll_wait(poller, events, 64, 1000);
      for (int e = 0; e < n; ++e) {
        Connection& c = *all[events[e].data.u32];
        if (!c.sent && (events[e].events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
          c.sent = SendWhole(c.fd, request.bytes);
          epoll_event event{EPOLLIN, {.u32 = events[e].data.u32}};
          ::epoll_ctl(poller, EPOLL_CTL_MOD, c.fd, &event);
          if (!c.sent) {
            failed = true;
            c.done = true;
          }
        }
        // One read per event: a connection that always has more must not starve the others,
        // whose first bytes would then seem to come late.
        if (!c.done) {
          ssize_t got = ::recv(c.fd, buffer.data(), buffer.size(), 0);
          if (got > 0) {
            c.reader.Feed(buffer.data(), static_cast<size_t>(got), Clock::now());
          } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
            c.done = true;  // closed by the server, or failed
          }
        }
        if (c.done && c.fd >= 0) {
          ::close(c.fd);
          c.fd = -1;
          --open;
        }
      }
    }
    for (int i = first; i < first + count; ++i) {
      Connection& c = *all[static_cast<size_t>(i)];
      if (c.fd >= 0) ::close(c.fd);
      c.fd = -1;
    }
    ::close(poller);
  };
  std::vector<std::thread> workers;
  int per = (connections + threads - 1) / threads;
  for (int first = 0; first < connections; first += per) {
    workers.emplace_back(serve, first, std::min(per, connections - first));
  }
  for (std::thread& w : workers) w.join();

  ManyResult result;
  result.ok = !failed.load();
  Clock::time_point end = start;
  for (const auto& c : all) {
    if (!c->reader.complete()) result.ok = false;
    result.fileBytes += c->reader.fileBytes();
    end = std::max(end, c->reader.last());
    result.slowestFirstByte =
        std::max(result.slowestFirstByte, Seconds(c->reader.first() - c->start));
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
  std::vector<char> buffer(kReceiveBuffer);
  Listing result;
  Clock::time_point start = Clock::now();
  int fd = ConnectBlocking(port, kTransferTimeoutMs);
  if (fd < 0 || !SendWhole(fd, AdapterRequest(Reply::kAudio, "<1").bytes)) {
    if (fd >= 0) ::close(fd);
    return result;
  }
  uint64_t bytes = 0;
  char tail[kBlock] = {};  // the last bytes, where the end block must be
  for (;;) {
    ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (n <= 0 || Seconds(Clock::now() - start) * 1000 > kTransferTimeoutMs) break;
    size_t got = static_cast<size_t>(n);
    if (got >= kBlock) {
      std::memcpy(tail, buffer.data() + got - kBlock, kBlock);
    } else {
      std::memmove(tail, tail + got, kBlock - got);
      std::memcpy(tail + kBlock - got, buffer.data(), got);
    }
    bytes += got;
  }
  result.seconds = Seconds(Clock::now() - start);
  ::close(fd);
  result.ok = bytes >= kBlock && (bytes - kBlock) % 64 == 0 && tail[0] == '<' && tail[1] == '2';
  result.records = result.ok ? (bytes - kBlock) / 64 : 0;
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

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t at = static_cast<size_t>(std::ceil(p * static_cast<double>(values.size()))) - 1;
  return values[std::min(at, values.size() - 1)];
}

Probes Probe(uint16_t port, int count) {
  Probes result;
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(port);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (fd >= 0) ::close(fd);
    return result;
  }
  std::vector<double> rtts;
  rtts.reserve(static_cast<size_t>(count));
  int lost = 0;
  Clock::time_point start = Clock::now();
  for (int i = 0; i < count && lost < 10; ++i) {
    Clock::time_point sent = Clock::now();
    if (::send(fd, "VE520", 5, 0) != 5) {
      ++lost;
      continue;
    }
    pollfd item{fd, POLLIN, 0};
    char answer[8];
    if (::poll(&item, 1, 1000) != 1 || ::recv(fd, answer, sizeof answer, 0) != 5 ||
        std::memcmp(answer, "VE520", 5) != 0) {
      ++lost;
      continue;
    }
    rtts.push_back(Seconds(Clock::now() - sent) * 1e6);
  }
  double seconds = Seconds(Clock::now() - start);
  ::close(fd);
  result.ok = lost == 0;
  result.perSecond = static_cast<double>(rtts.size()) / seconds;
  result.p50Us = Percentile(rtts, 0.50);
  result.p99Us = Percentile(rtts, 0.99);
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
      char buffer[4096];
      while (Clock::now() < end) {
        int fd = ConnectBlocking(port, 5000);
        bool ok = fd >= 0 && SendWhole(fd, request);
        ssize_t n = 1;
        while (ok && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
        }
        if (fd >= 0) ::close(fd);
        (ok && n == 0 ? done : failed).fetch_add(1);
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
  bool verify = false;
  std::string only;  // one scenario by name, to profile it
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

 private:
  std::ofstream out_;
};

void Check(bool ok, const char* what, bool ours) {
  if (!ok) Fail(std::string(what) + " failed against " + (ours ? "rureza-server" : "the peer"));
}

constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;

void MeasureSingleStream(const Options& o, Recorder& r, int round, bool ours) {
  const ServerProcess& server = ours ? o.ours : o.http;
  Request request =
      ours ? AdapterRequest(Reply::kAudio, "<31stream.mp3") : HttpRequest("/audio/stream.mp3");
  double cpuBefore = server.CpuSeconds();
  Transfer t = FetchOne(ours ? o.oursPort : o.httpPort, request, o.verify);
  // The CPU clock ticks in 10 ms steps; let the last tick land.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  double cpu = server.CpuSeconds() - cpuBefore;
  Check(t.ok, "the single stream", ours);
  r.Add("stream_gbps", ours, round, t.fileBytes / t.seconds / 1e9);
  r.Add("stream_cpu_s_per_gib", ours, round, cpu / (t.fileBytes / kGiB));
}

void MeasureManyStreams(const Options& o, Recorder& r, int round, bool ours) {
  const ServerProcess& server = ours ? o.ours : o.http;
  Request request =
      ours ? AdapterRequest(Reply::kAudio, "<31many.mp3") : HttpRequest("/audio/many.mp3");
  server.ResetPeakMemory();
  double cpuBefore = server.CpuSeconds();
  ManyResult m = FetchMany(ours ? o.oursPort : o.httpPort, request, o.streams, 2, o.verify);
  double cpu = server.CpuSeconds() - cpuBefore;
  Check(m.ok, "the concurrent streams", ours);
  r.Add("many_gbps", ours, round, m.fileBytes / m.seconds / 1e9);
  r.Add("many_cpu_s_per_gib", ours, round, cpu / (m.fileBytes / kGiB));
  r.Add("many_peak_rss_mib", ours, round, server.PeakMemoryMib());
  r.Add("many_slowest_first_byte_s", ours, round, m.slowestFirstByte);
  // Our streams close 100 ms after their last byte; the next round must not meet them.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

void MeasureFile(const Options& o, Recorder& r, int round, bool ours, bool still) {
  Request request =
      still
          ? (ours ? AdapterRequest(Reply::kStill, "<33still.jpg") : HttpRequest("/photo/still.jpg"))
          : (ours ? AdapterRequest(Reply::kFirmware, "<7") : HttpRequest("/firmware.bin"));
  Transfer t = FetchOne(ours ? o.oursPort : o.httpPort, request, o.verify);
  Check(t.ok, still ? "the still image" : "the firmware image", ours);
  r.Add(still ? "still_gbps" : "firmware_gbps", ours, round, t.fileBytes / t.seconds / 1e9);
}

void MeasureListing(const Options& o, Recorder& r, int round, bool ours) {
  Listing l = ours ? FetchListing(o.oursPort) : BareWalk(o.media);
  Check(l.ok, "the listing", ours);
  r.Add("listing_records_per_s", ours, round, l.records / l.seconds);
}

void MeasureDiscovery(const Options& o, Recorder& r, int round, bool ours) {
  Probes p = Probe(static_cast<uint16_t>(ours ? o.oursPort + 3 : o.echoPort), o.probes);
  Check(p.ok, "discovery", ours);
  r.Add("discovery_probes_per_s", ours, round, p.perSecond);
  r.Add("discovery_p50_us", ours, round, p.p50Us);
  r.Add("discovery_p99_us", ours, round, p.p99Us);
}

void MeasureConnections(const Options& o, Recorder& r, int round, bool ours) {
  std::string request =
      ours ? AdapterRequest(Reply::kAudio, "<2").bytes : HttpRequest("/no-such-file").bytes;
  Connections c = Connect(ours ? o.oursPort : o.httpPort, request, 8, o.connectSeconds);
  Check(c.ok, "the short requests", ours);
  r.Add("connections_per_s", ours, round, c.perSecond);
}

int Measure(const Options& o) {
  Recorder recorder(o.results);
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
  };
  for (const auto& [name, step] : scenarios) {
    if (!o.only.empty() && o.only != name) continue;
    std::printf("%s\n", name);
    // One unrecorded pass each warms the page cache, the folder and both servers.
    Recorder scratch("/dev/null");
    step(o, scratch, 0, true);
    step(o, scratch, 0, false);
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

std::string Number(double v) {
  char text[32];
  if (std::isnan(v)) return "n/a";
  double a = std::fabs(v);
  const char* format = a >= 1000 ? "%.0f" : a >= 100 ? "%.1f" : a >= 10 ? "%.2f" : "%.3f";
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

std::string Spread(const std::vector<double>& v) {
  if (v.empty()) return "n/a";
  auto [low, high] = std::minmax_element(v.begin(), v.end());
  return Number(Median(v)) + " (" + Number(*low) + "–" + Number(*high) + ")";
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
       "eight 32 KiB blocks to a sendfile, with the stop and seek checks between them, where "
       "nginx sends up to 2 MiB per sendfile: more CPU per byte, which shows when the client "
       "gets a core of its own"},
      {"many_gbps", Goal::kAtLeastRatio, 0.95, "100 streams ≥ 0.95 × nginx",
       "100 client threads each send their own blocks, eight to a sendfile, and sleep on "
       "their own sockets: about twice nginx's CPU per byte (one worker, 2 MiB sendfile "
       "chunks), on two cores shared with the client that copies every byte"},
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
      {"discovery_probes_per_s", Goal::kAtLeastRatio, 0.9, "discovery ≥ 0.9 × bare responder",
       "the responder polls its socket and its stop descriptor before each receive: one "
       "system call more per probe than a bare blocking receive"},
      {"discovery_p99_us", Goal::kAtMostRatio, 1.5, "discovery p99 ≤ 1.5 × bare responder",
       "scheduling noise"},
      {"connections_per_s", Goal::kAtLeastRatio, 0.8, "connections ≥ 0.8 × nginx",
       "each connection is handed from the listener to a client thread (a wake-up and a "
       "context switch) and writes three log lines"},
      {"console_lines_per_s", Goal::kAtLeast, 20000, "console ≥ 20,000 lines/s (every round)",
       "every line waits until the window thread has added it"},
      {"console_longest_tick_gap_ms", Goal::kAtMost, 400,
       "window responsive: its 200 ms timer never more than one tick late (every round)",
       "the window thread is busy adding lines"},
  };
  return goals;
}

struct Row {
  const char* metric;
  const char* label;
  const char* unit;
  bool hasPeer;
};

const std::vector<std::pair<const char*, std::vector<Row>>>& Sections() {
  static const std::vector<std::pair<const char*, std::vector<Row>>> sections = {
      {"1. One MP3 stream of a 1 GiB file (peer: nginx, sendfile on)",
       {{"stream_gbps", "throughput", "GB/s", true},
        {"stream_cpu_s_per_gib", "server CPU", "s/GiB", true}}},
      {"2. 100 streams of a 64 MiB MP3 at once (peer: 100 concurrent nginx fetches)",
       {{"many_gbps", "aggregate throughput", "GB/s", true},
        {"many_cpu_s_per_gib", "server CPU", "s/GiB", true},
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
        {"shortname_index_mib", "the index after listing 100,000 short names", "MiB", false}}},
      {"5. Discovery, probes one at a time (peer: bench/echo_responder)",
       {{"discovery_probes_per_s", "probes", "probes/s", true},
        {"discovery_p50_us", "round trip p50", "µs", true},
        {"discovery_p99_us", "round trip p99", "µs", true}}},
      {"6. Short requests on fresh connections, 8 client threads (peer: nginx 404, HTTP/1.0)",
       {{"connections_per_s", "connections", "per s", true}}},
      {"7. Console log, 50 appending threads, offscreen (no peer)",
       {{"console_lines_per_s", "lines into the log list", "lines/s", false},
        {"console_longest_tick_gap_ms", "longest gap of the window's 200 ms timer", "ms", false}}},
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
        "measured in turn, ours then the peer, round after round, on 127.0.0.1. Transfers are "
        "timed from connect to the last byte of the payload (our audio stream closes its "
        "connection 100 ms later, a pause of its protocol); server CPU time comes from /proc "
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
      md << "| " << row.label << " (" << row.unit << ") | " << Spread(Values(s.ours)) << " | "
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
                     static_cast<int>(number("--files", 100000)));
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
    o.verify = flag("--verify");
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
