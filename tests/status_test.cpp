// The status page through the live server: the page, /status.json and /metrics (read by a
// Prometheus text parser of the test's own) while an adapter plays; hostile HTTP clients while
// an adapter's song streams beside them, which must arrive whole; a port the page cannot have.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <future>
#include <map>
#include <regex>
#include <thread>

#include "server/activity_log.h"
#include "server/transfer.h"
#include "status/status_page.h"
#include "support/fixture.h"
#include "support/process.h"

namespace rureza::test {
namespace {

struct HttpReply {
  int status = 0;  // 0: no status line came
  std::string head, body, raw;
};

HttpReply ParseReply(const std::string& raw) {
  HttpReply reply;
  reply.raw = raw;
  if (raw.rfind("HTTP/1.1 ", 0) == 0) reply.status = std::atoi(raw.c_str() + 9);
  const size_t end = raw.find("\r\n\r\n");
  reply.head = raw.substr(0, end);
  if (end != std::string::npos) reply.body = raw.substr(end + 4);
  return reply;
}

// Samples of a Prometheus text exposition, by name and labels ("name{a=\"b\"}"); every sample's
// family must have come with its HELP and TYPE lines first, and counters end in _total.
std::map<std::string, double> ParseMetrics(const std::string& text) {
  static const std::regex kComment(R"(# (HELP|TYPE) ([a-zA-Z_:][a-zA-Z0-9_:]*) (.+))");
  static const std::regex kSample(
      R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[a-zA-Z_][a-zA-Z0-9_]*="[^"\\\n]*"(,[a-zA-Z_][a-zA-Z0-9_]*="[^"\\\n]*")*\})? (\S+))");
  std::map<std::string, std::string> types;
  std::map<std::string, bool> helped;
  std::map<std::string, double> samples;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    EXPECT_NE(end, std::string::npos) << "the last line has no end";
    const std::string line = text.substr(at, end - at);
    at = end == std::string::npos ? text.size() : end + 1;
    std::smatch m;
    if (std::regex_match(line, m, kComment)) {
      if (m[1] == "HELP") helped[m[2]] = true;
      if (m[1] == "TYPE") types[m[2]] = m[3];
      continue;
    }
    if (!std::regex_match(line, m, kSample)) {
      ADD_FAILURE() << "not a sample: " << line;
      continue;
    }
    const std::string name = m[1];
    EXPECT_TRUE(helped[name] && types.count(name)) << name << " without HELP or TYPE";
    EXPECT_TRUE(types[name] == "gauge" || (types[name] == "counter" && name.ends_with("_total")))
        << name << " is a " << types[name];
    char* rest = nullptr;
    const std::string value = m[4];
    samples[name + m[2].str()] = std::strtod(value.c_str(), &rest);
    EXPECT_TRUE(rest && *rest == '\0') << line;
  }
  return samples;
}

class StatusPageTest : public ServerTest {
 protected:
  void TearDown() override {
    StopStatusPage();
    SetStatusRequestTimeLimitMs(10000);
    ServerTest::TearDown();
  }

  void StartWithPage() {
    Start();
    ASSERT_TRUE(StartStatusPage("127.0.0.1", page()));
    ASSERT_TRUE(
        log_->WaitForLine("Status page on http://127.0.0.1:" + std::to_string(page()) + "/"));
  }
  uint16_t page() const { return static_cast<uint16_t>(port() + 2); }

  // raw on a new connection to the page; what came back up to its close.
  HttpReply Ask(std::string_view raw, int timeoutMs = kLongReadMs) {
    AdapterConnection connection;
    if (!connection.Connect(LoopbackAddress(page()))) return {};
    connection.Send(raw);
    return ParseReply(connection.ReadToClose(timeoutMs).value_or(""));
  }
  HttpReply Get(const std::string& path) {
    return Ask("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  }
  std::map<std::string, double> Metrics() { return ParseMetrics(Get("/metrics").body); }
};

TEST_F(StatusPageTest, PageJsonAndMetricsShowWhatAPlayingAdapterDoes) {
  const std::string song = Media("audio/Song <b>.mp3", PatternBytes(40 * kBlock));
  StartWithPage();
  const auto before = Metrics();
  AdapterConnection playing = Play('1', "Song <b>.mp3");
  ASSERT_TRUE(playing.ReadExact(256 + kBlock));  // the length block and a block: it plays on

  // The JSON names the adapter, the file (escaped for a page) and how far it is.
  std::string json;
  ASSERT_TRUE(WaitUntil([&] {
    json = Get("/status.json").body;
    return json.find("\"doing\":\"mp3\"") != std::string::npos &&
           json.find("\"position\":null") == std::string::npos;
  })) << json;
  EXPECT_NE(json.find("{\"address\":\"127.0.0.1\",\"doing\":\"mp3\",\"activity\":\"playing\","
                      "\"file\":\"" +
                      audio().string() + "\\\\Song \\u003cb\\u003e.mp3\""),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"length\":" + std::to_string(song.size()) + ","), std::string::npos);
  EXPECT_NE(json.find("\"running\":true"), std::string::npos);
  EXPECT_NE(json.find("{\"kind\":\"audio\",\"path\":\"" + audio().string() +
                      "\",\"found\":true,\"problem\":\"\",\"files_listed\":null}"),
            std::string::npos);

  // The metrics count the play and show the stream; every family is well formed.
  auto after = Metrics();
  EXPECT_EQ(
      after["rureza_plays_total{format=\"mp3\"}"] - before.at("rureza_plays_total{format=\"mp3\"}"),
      1);
  EXPECT_EQ(after["rureza_requests_total{kind=\"play\"}"] -
                before.at("rureza_requests_total{kind=\"play\"}"),
            1);
  EXPECT_EQ(after["rureza_streams"], 1);
  EXPECT_GE(after["rureza_clients"], 1);
  EXPECT_GE(after["rureza_bytes_sent_total"] - before.at("rureza_bytes_sent_total"), 256 + kBlock);
  EXPECT_EQ(after["rureza_up"], 1);
  for (const char* name :
       {"rureza_conversions_started_total", "rureza_conversions_failed_total",
        "rureza_cache_hits_total", "rureza_cache_misses_total", "rureza_discovery_answers_total",
        "rureza_bytes_received_total", "rureza_conversions_running", "rureza_cache_bytes"}) {
    EXPECT_EQ(after.count(name), 1u) << name;
  }
  playing.Close();
  EXPECT_TRUE(WaitUntil([&] { return Metrics()["rureza_streams"] == 0; }));

  // The page runs only its own script; HEAD gets the head alone.
  const HttpReply page = Get("/");
  EXPECT_EQ(page.status, 200);
  std::smatch nonce;
  ASSERT_TRUE(std::regex_search(page.head, nonce, std::regex("script-src 'nonce-([0-9a-f]{32})'")));
  EXPECT_NE(page.body.find("<script nonce=\"" + nonce[1].str() + "\">"), std::string::npos);
  EXPECT_NE(page.body.find("<title>Zivevir Media server</title>"), std::string::npos);
  const HttpReply head = Ask("HEAD / HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.body, "");
}

TEST_F(StatusPageTest, HostileClientsGetAClearAnswerAndTheSongStreamsWhole) {
  const std::string song = Media("audio/song.mp3", PatternBytes(60 * kBlock + 123));
  StartWithPage();
  SetStatusRequestTimeLimitMs(500);
  AdapterConnection playing = Play('1', "song.mp3");
  auto streamed = std::async(std::launch::async,
                             [&] { return playing.ReadExact(256 + song.size(), kLongReadMs); });

  EXPECT_EQ(Ask("garbage garbage garbage\r\n\r\n").status, 400);
  EXPECT_EQ(Ask("GET / HTTP/1.1\r\nX: " + std::string(1 << 20, 'a') + "\r\n\r\n").status, 431);
  std::string lines = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 10000; ++i) lines += "X-" + std::to_string(i) + ": a\r\n";
  EXPECT_EQ(Ask(lines + "\r\n").status, 431);
  // The neighbours of the limit: 16 KiB of head is refused, 4 KiB less is answered.
  EXPECT_EQ(Ask("GET /status.json HTTP/1.1\r\nX: " + std::string(kStatusRequestBytes - 4096, 'a') +
                "\r\n\r\n")
                .status,
            200);
  EXPECT_EQ(
      Ask("GET /status.json HTTP/1.1\r\nX: " + std::string(kStatusRequestBytes, 'a') + "\r\n\r\n")
          .status,
      431);
  const HttpReply post = Ask("POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc");
  EXPECT_EQ(post.status, 405);
  EXPECT_NE(post.head.find("Allow: GET, HEAD"), std::string::npos);
  const HttpReply up = Get("/../../../../etc/passwd");
  EXPECT_EQ(up.status, 404);
  EXPECT_EQ(up.body.find("root:"), std::string::npos);

  // A request that never ends: a byte every 50 ms is no head; it is told so after the limit.
  {
    AdapterConnection slow;
    ASSERT_TRUE(slow.Connect(LoopbackAddress(page())));
    std::string got;
    for (int i = 0; i < 400 && got.empty(); ++i) {
      slow.Send(i == 0 ? "GET / HTTP/1.1\r\n" : "X");
      if (!slow.SilentFor(50)) got = slow.ReadToClose().value_or("closed");
    }
    EXPECT_EQ(got.rfind("HTTP/1.1 408 Request Timeout\r\n", 0), 0u) << got;
  }

  // 1,000 connections at once, each silent: the page takes what it may at once and ends those
  // that send no head to make room for the others; then it answers the next browser.
  const int crowd = 1000 / kSlowdown;
  const int before = OpenDescriptorCount();
  std::vector<AdapterConnection> connections(crowd);
  for (AdapterConnection& c : connections) c.Connect(LoopbackAddress(page()));
  // The server's side of them (in this process) never holds more than the bound.
  int most = 0;
  WaitUntil([&] { return (most = std::max(most, OpenDescriptorCount())), false; }, 300);
  EXPECT_LE(most, before + crowd + static_cast<int>(kStatusMostConnections) + 8);
  for (AdapterConnection& c : connections) {
    if (c.connected()) {
      EXPECT_TRUE(c.ReadToClose(kLongReadMs).has_value());
    }
  }
  connections.clear();
  EXPECT_EQ(Get("/status.json").status, 200);

  // A name in the log with control characters and markup: in the JSON as the log shows it,
  // escaped so that it cannot become part of a page.
  Play('1', "<script>alert(1)</script>\x1b[2J.mp3").ReadToClose();
  std::string json;
  EXPECT_TRUE(WaitUntil([&] {
    json = Get("/status.json").body;
    return json.find("\\\\\\u003cscript\\u003ealert(1)\\u003c/script\\u003e\\\\x1b[2J.mp3\"") !=
           std::string::npos;
  })) << json;
  EXPECT_EQ(json.find("<script"), std::string::npos);
  EXPECT_EQ(json.find('\x1b'), std::string::npos);

  const std::optional<std::string> got = streamed.get();
  ASSERT_TRUE(got);
  EXPECT_TRUE(got->substr(256) == song) << "the song did not arrive as it is";
}

// The page in a real browser (headless Chromium from Debian): once its script has run, it shows
// a playing adapter's address and file name, as text. With RUREZA_PAGE_SCREENSHOT set, the
// browser also saves a picture of it there (scripts/screenshots).
TEST_F(StatusPageTest, ABrowserShowsThePlayingAdapterOnceThePageScriptRan) {
  const char* kChromium = "/usr/bin/chromium";
  if (::access(kChromium, X_OK) != 0) {
    GTEST_SKIP() << "chromium is not installed here (scripts/lib/common.sh installs it for CI)";
  }
  Media("audio/<b>Blue Monday.mp3", PatternBytes(40 * kBlock));
  StartWithPage();
  AdapterConnection playing = Play('1', "<b>Blue Monday.mp3");
  ASSERT_TRUE(playing.ReadExact(256 + kBlock));
  TempDir profile;
  const std::string url = "http://127.0.0.1:" + std::to_string(page()) + "/";
  std::vector<std::string> args = {"--headless",
                                   "--no-sandbox",
                                   "--disable-gpu",
                                   "--disable-quic",
                                   "--no-first-run",
                                   "--disable-background-networking",
                                   "--disable-component-update",
                                   "--disable-sync",
                                   "--user-data-dir=" + (profile.path() / "profile").string(),
                                   "--virtual-time-budget=4000"};
  auto browse = [&](const std::vector<std::string>& more) {
    std::vector<std::string> all = args;
    all.insert(all.end(), more.begin(), more.end());
    all.push_back(url);
    ChildProcess browser(kChromium, all, profile.path());
    EXPECT_EQ(browser.Wait(60000), 0) << browser.Output("err");
    return browser.Output();
  };
  const std::string dom = browse({"--dump-dom"});
  EXPECT_NE(dom.find("<td>127.0.0.1</td><td>playing MP3</td><td>" + audio().string() +
                     "\\&lt;b&gt;Blue Monday.mp3</td>"),
            std::string::npos)
      << dom;
  EXPECT_EQ(dom.find("<b>Blue"), std::string::npos);  // text, never markup
  if (const char* picture = std::getenv("RUREZA_PAGE_SCREENSHOT")) {
    browse({"--hide-scrollbars", "--window-size=1100,860", std::string("--screenshot=") + picture});
  }
}

TEST_F(StatusPageTest, APortThePageCannotHaveCostsALineAndAdaptersAreServed) {
  Socket holder = Socket::NewTcp(nullptr);
  ASSERT_TRUE(holder.Bind(page()).ok() && holder.Listen(1).ok());
  Start();
  EXPECT_FALSE(StartStatusPage("127.0.0.1", page()));
  EXPECT_TRUE(log_->WaitFor([&](const std::string& line) {
    return line.rfind(
               "Status page not served: TCP port " + std::to_string(page()) + " is already in use",
               0) == 0 &&
           line.ends_with("; the server runs without it");
  }));
  EXPECT_EQ(StatusPageUrl(), "");
  EXPECT_TRUE(Send("<1").ReadToClose().has_value());
}

}  // namespace
}  // namespace rureza::test
