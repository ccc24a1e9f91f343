// What the status page costs, against a running rureza-server and its page, for bench/run:
//   status_bench RESULTS --port P --status-port S --pid PID --plain-pid PID [--rounds N]
//                [--adapters N] [--requests N] [--stream NAME] [--many NAME] [--streams N]
// - transfer: the stream NAME fetched whole, once alone and once with a browser polling
//   /status.json ten times a second (the sides, "peer" and "ours", measured in turn, the order
//   alternating by round), and --streams fetches of the song --many at once alike;
// - the page with --adapters adapters playing (each has read a block and reads no more, so its
//   stream waits, paced): the time of /status.json from connect to its last byte, fresh reports
//   (a request every 110 ms), and its size;
// - the server's resident memory: against a server of the same settings serving no page
//   (--plain-pid), both fresh; and how much it grows while the page answers (the adapters
//   playing all the while): the requests above and a thousand more.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "adapter/exchange.h"
#include "round_recorder.h"

namespace rureza {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void Fail(const std::string& why) {
  std::fprintf(stderr, "status_bench: %s\n", why.c_str());
  std::exit(1);
}

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// The page's reply to path, whole; empty when it failed.
std::string Get(uint16_t port, const char* path) {
  AdapterConnection connection;
  if (!connection.Connect(LoopbackAddress(port), 5000)) return {};
  connection.Send(std::string("GET ") + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  std::string reply = connection.ReadToClose(10000).value_or("");
  return reply.rfind("HTTP/1.1 200", 0) == 0 ? reply : std::string();
}

double ResidentMib(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  }
  Fail("no VmRSS for pid " + std::to_string(pid));
}

// count fetches of name at once; GB/s of them all, from the first connect to the last byte.
double Transfer(uint16_t port, const std::string& name, int count) {
  std::vector<std::thread> threads;
  std::atomic<uint64_t> bytes{0};
  std::atomic<bool> failed{false};
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&] {
      AdapterConnection connection;
      FetchOptions options;
      options.bufferSize = 1 << 20;
      FetchResult result;
      if (connection.Connect(LoopbackAddress(port))) {
        result = Fetch(
            connection, MediaKind::kAudio, name, [](const char*, size_t) { return true; }, options);
      }
      if (!result.ok) failed.store(true);
      bytes.fetch_add(result.mediaBytes);
    });
  }
  for (std::thread& t : threads) t.join();
  if (failed.load()) Fail("a fetch of " + name + " failed");
  return static_cast<double>(bytes.load()) / Seconds(start) / 1e9;
}

// A browser's script: /status.json every 100 ms while it runs.
class Poller {
 public:
  explicit Poller(uint16_t page) {
    thread_ = std::thread([this, page] {
      for (Clock::time_point next = Clock::now(); !stop_.load();) {
        if (Get(page, "/status.json").empty()) failed_.store(true);
        next += std::chrono::milliseconds(100);
        std::this_thread::sleep_until(next);
      }
    });
  }
  ~Poller() {
    stop_.store(true);
    thread_.join();
    if (failed_.load()) Fail("the page did not answer the poller");
  }

 private:
  std::atomic<bool> stop_{false}, failed_{false};
  std::thread thread_;
};

}  // namespace

int Main(int argc, char** argv) {
  if (argc < 2) Fail("usage: status_bench RESULTS --port P --status-port S --pid PID ...");
  std::vector<std::string> args(argv + 2, argv + argc);
  auto number = [&](const char* name, double fallback) {
    for (size_t i = 0; i + 1 < args.size(); ++i) {
      if (args[i] == name) return std::atof(args[i + 1].c_str());
    }
    return fallback;
  };
  auto text = [&](const char* name, const char* fallback) {
    for (size_t i = 0; i + 1 < args.size(); ++i) {
      if (args[i] == name) return args[i + 1];
    }
    return std::string(fallback);
  };
  const auto port = static_cast<uint16_t>(number("--port", 0));
  const auto page = static_cast<uint16_t>(number("--status-port", port + 2));
  const int pid = static_cast<int>(number("--pid", 0));
  const int plainPid = static_cast<int>(number("--plain-pid", 0));
  const int rounds = static_cast<int>(number("--rounds", 3));
  const int adapters = static_cast<int>(number("--adapters", 100));
  const int requests = static_cast<int>(number("--requests", 20));
  const int streams = static_cast<int>(number("--streams", 10));
  const std::string stream = text("--stream", "stream.mp3");
  const std::string many = text("--many", "many.mp3");
  if (port == 0 || pid == 0 || plainPid == 0) Fail("--port, --pid and --plain-pid are needed");
  RoundRecorder results(argv[1]);
  if (Get(page, "/status.json").empty()) Fail("no status page on port " + std::to_string(page));

  // Both servers fresh: what the page's library and thread add.
  results.Add("status_rss_static_mib", true, 1, ResidentMib(pid) - ResidentMib(plainPid));

  // Round 0 warms the page cache and the server's threads up.
  for (int round = 0; round <= rounds; ++round) {
    for (int side = 0; side < 2; ++side) {
      const bool polled = (side + round) % 2 == 1;
      std::unique_ptr<Poller> poller = polled ? std::make_unique<Poller>(page) : nullptr;
      results.Add("status_stream_gbps", polled, round, Transfer(port, stream, 1));
      results.Add("status_streams_gbps", polled, round, Transfer(port, many, streams));
    }
  }

  // The page with adapters playing: each has its first block and reads no more.
  std::vector<AdapterConnection> playing(static_cast<size_t>(adapters));
  for (AdapterConnection& adapter : playing) {
    if (!adapter.Connect(LoopbackAddress(port)) ||
        !SendRequest(adapter, MediaKind::kAudio, stream).error.empty() ||
        !adapter.ReadExact(256 + kStreamBlockSize)) {
      Fail("an adapter could not start playing " + stream);
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const double beforeMib = ResidentMib(pid);
  for (int round = 1; round <= rounds; ++round) {
    std::vector<double> ms;
    size_t bytes = 0;
    for (int i = 0; i < requests; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(110));  // a report made afresh
      const Clock::time_point start = Clock::now();
      const std::string reply = Get(page, "/status.json");
      ms.push_back(Seconds(start) * 1000);
      if (reply.find("\"streams\":" + std::to_string(adapters)) == std::string::npos) {
        Fail("the report does not show the " + std::to_string(adapters) + " streams");
      }
      bytes = reply.size();
    }
    std::sort(ms.begin(), ms.end());
    results.Add("status_json_median_ms", true, round, ms[ms.size() / 2]);
    results.Add("status_json_max_ms", true, round, ms.back());
    results.Add("status_json_kib", true, round, static_cast<double>(bytes) / 1024);
  }
  // A thousand more at once, as a browser left open for a day would not manage.
  for (int i = 0; i < 1000; ++i) {
    if (Get(page, i % 2 ? "/metrics" : "/").empty()) Fail("the page stopped answering");
  }
  results.Add("status_rss_growth_mib", true, 1, ResidentMib(pid) - beforeMib);
  playing.clear();
  return 0;
}

}  // namespace rureza

int main(int argc, char** argv) { return rureza::Main(argc, argv); }
