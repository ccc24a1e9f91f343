#include "status/status_report.h"

#include <chrono>
#include <cstdio>
#include <mutex>

#include "conversion/conversion_stats.h"
#include "conversion/process_conversions.h"
#include "platform/text.h"
#include "server/discovery.h"
#include "server/local_address.h"
#include "server/server.h"
#include "server/server_run.h"
#include "server/transfer.h"
#include "settings/server_settings.h"

namespace rureza {
namespace {

// The rate as the console measures it: over the last sample of at least a second.
class RateSampler {
 public:
  double Sample(uint64_t total) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    const std::chrono::duration<double> elapsed = now - sampledAt_;
    if (elapsed >= std::chrono::seconds(1)) {
      if (sampled_) rate_ = static_cast<double>(total - total_) * 8 / elapsed.count() / 1048576.0;
      sampled_ = true;
      sampledAt_ = now;
      total_ = total;
    }
    return rate_;
  }

 private:
  std::mutex mutex_;
  std::chrono::steady_clock::time_point sampledAt_;  // guarded by mutex_
  uint64_t total_ = 0;                               // guarded by mutex_
  double rate_ = 0;                                  // guarded by mutex_
  bool sampled_ = false;                             // guarded by mutex_
};

// Text for JSON: shown as in the log, then escaped so that it can also sit inside a page.
std::string JsonString(std::string_view raw) {
  const std::string shown = ShowableText(raw);
  std::string out = "\"";
  for (char c : shown) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '<':
        out += "\\u003c";
        break;
      case '>':
        out += "\\u003e";
        break;
      case '&':
        out += "\\u0026";
        break;
      default:
        // ShowableText leaves no control byte; this keeps the JSON valid whatever it becomes.
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4f", value);
  return text;
}

std::string TimeOrNull(std::time_t time) {
  if (time == 0) return "null";
  std::string quoted = "\"";
  quoted.append(IsoTime(time)).push_back('"');
  return quoted;
}

// A JSON object's members, written in order.
class JsonObject {
 public:
  JsonObject& Raw(const char* key, const std::string& json) {
    if (text_.size() > 1) text_.push_back(',');
    text_.append("\"").append(key).append("\":").append(json);
    return *this;
  }
  JsonObject& Text(const char* key, std::string_view value) { return Raw(key, JsonString(value)); }
  template <typename T>
  JsonObject& Int(const char* key, T value) {
    return Raw(key, std::to_string(value));
  }
  JsonObject& Bool(const char* key, bool value) { return Raw(key, value ? "true" : "false"); }
  std::string Close() { return text_ + "}"; }

 private:
  std::string text_ = "{";
};

std::string JsonArray(const std::vector<std::string>& items) {
  std::string text = "[";
  for (size_t i = 0; i < items.size(); ++i) text += (i ? "," : "") + items[i];
  return text + "]";
}

std::string AdapterJson(const ClientView& c, std::time_t now) {
  return JsonObject()
      .Text("address", c.address)
      .Text("doing", ClientDoingName(c.doing))
      .Text("activity", ClientDoingText(c.doing))
      .Text("file", c.file)
      .Raw("position", c.position < 0 ? "null" : std::to_string(c.position))
      .Raw("length", c.length < 0 ? "null" : std::to_string(c.length))
      .Int("bytes_sent", c.bytesSent)
      .Raw("rate_bytes_per_second", Number(c.bytesPerSecond))
      .Raw("connected", TimeOrNull(c.connected))
      .Raw("since", TimeOrNull(c.since))
      .Int("seconds", now > c.since ? now - c.since : 0)
      .Close();
}

// One metric: its HELP and TYPE lines and its samples ("" or "{label=\"...\"}" each).
class Metrics {
 public:
  void Add(const char* name, const char* type, const char* help,
           const std::vector<std::pair<std::string, double>>& samples) {
    text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    for (const auto& [labels, value] : samples) {
      char number[40];
      std::snprintf(number, sizeof number, "%.17g", value);
      text_ += name + labels + " " + number + "\n";
    }
  }
  void Add(const char* name, const char* type, const char* help, double value) {
    Add(name, type, help, {{"", value}});
  }
  std::string text() const { return text_; }

 private:
  std::string text_;
};

std::string Plural(int64_t count, const char* one) {
  return std::to_string(count) + " " + one + (count == 1 ? "" : "s");
}

std::string Gib(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / (1024.0 * 1024 * 1024));
  return text;
}

}  // namespace

std::string IsoTime(std::time_t time) {
  std::tm utc{};
  gmtime_r(&time, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

StatusReport TakeStatusReport(const std::string& statusUrl, const std::string& address) {
  static RateSampler rates;
  StatusReport r;
  r.now = std::time(nullptr);
  r.host = HostName();
  r.address = address;
  r.statusUrl = statusUrl;
  const std::shared_ptr<ServerRun> run = CurrentRun();
  const ServerSettings settings = run ? run->settings() : CurrentSettings();
  r.running = run != nullptr;
  r.started = run ? run->started() : 0;
  r.port = settings.port;
  r.clientLimit = settings.clientLimit;
  r.clients = ClientCount();
  const TrafficCounters& traffic = Traffic();
  r.bytesSent = traffic.bytesSentTotal.load(std::memory_order_relaxed);
  r.bytesReceived = traffic.bytesReceivedTotal.load(std::memory_order_relaxed);
  r.sendCalls = traffic.sendCalls.load(std::memory_order_relaxed);
  r.receiveCalls = traffic.receiveCalls.load(std::memory_order_relaxed);
  r.rateMbits = rates.Sample(r.bytesSent + r.bytesReceived);
  r.adapters = ClientActivitySnapshot();
  for (const ClientView& client : r.adapters) r.streams += IsStream(client.doing) ? 1 : 0;
  r.conversionOn = ConversionsFor(settings.library) != nullptr;
  const ConversionStats& stats = ProcessConversionStats();
  r.conversionsRunning = stats.running.load(std::memory_order_relaxed);
  r.conversionsStarted = stats.started.load(std::memory_order_relaxed);
  r.conversionsFailed = stats.failed.load(std::memory_order_relaxed);
  r.cacheEntries = stats.cacheEntries.load(std::memory_order_relaxed);
  r.cacheBytes = stats.cacheBytes.load(std::memory_order_relaxed);
  r.cacheBound = stats.cacheBound.load(std::memory_order_relaxed);
  r.cacheHits = stats.cacheHits.load(std::memory_order_relaxed);
  r.cacheMisses = stats.cacheMisses.load(std::memory_order_relaxed);
  r.folders = MediaFolderStates(WithHomeFolders(settings));
  r.requests = RequestCounts();
  r.discoveryAnswers = DiscoveryAnswers();
  r.log = RecentLogLines();
  return r;
}

std::string StatusJson(const StatusReport& r) {
  std::vector<std::string> adapters, folders, log;
  for (const ClientView& client : r.adapters) adapters.push_back(AdapterJson(client, r.now));
  for (const MediaFolderState& f : r.folders) {
    folders.push_back(
        JsonObject()
            .Text("kind", f.kind)
            .Text("path", f.path)
            .Bool("found", f.problem.empty())
            .Text("problem", f.problem)
            .Raw("files_listed", f.filesListed < 0 ? "null" : std::to_string(f.filesListed))
            .Close());
  }
  for (const RecentLogLine& line : r.log) {
    log.push_back(JsonObject().Raw("time", TimeOrNull(line.time)).Text("text", line.text).Close());
  }
  JsonObject requests;
  for (size_t i = 1; i < std::size(r.requests.byDoing); ++i) {
    requests.Int(ClientDoingName(static_cast<ClientDoing>(i)), r.requests.byDoing[i]);
  }
  return JsonObject()
             .Text("version", "1.0.0")
             .Raw("time", TimeOrNull(r.now))
             .Text("host", r.host)
             .Bool("running", r.running)
             .Raw("started", TimeOrNull(r.started))
             .Int("uptime_seconds", r.started && r.now > r.started ? r.now - r.started : 0)
             .Text("address", r.address)
             .Int("port", r.port)
             .Text("status_url", r.statusUrl)
             .Int("client_limit", r.clientLimit)
             .Int("clients", r.clients)
             .Int("streams", r.streams)
             .Int("bytes_sent", r.bytesSent)
             .Int("bytes_received", r.bytesReceived)
             .Int("send_calls", r.sendCalls)
             .Int("receive_calls", r.receiveCalls)
             .Raw("rate_mbit_per_second", Number(r.rateMbits))
             .Raw("adapters", JsonArray(adapters))
             .Raw("conversion", JsonObject()
                                    .Bool("on", r.conversionOn)
                                    .Int("running", r.conversionsRunning)
                                    .Int("started", r.conversionsStarted)
                                    .Int("failed", r.conversionsFailed)
                                    .Int("cache_entries", r.cacheEntries)
                                    .Int("cache_bytes", r.cacheBytes)
                                    .Int("cache_bound", r.cacheBound)
                                    .Int("cache_hits", r.cacheHits)
                                    .Int("cache_misses", r.cacheMisses)
                                    .Close())
             .Raw("folders", JsonArray(folders))
             .Raw("requests", requests.Close())
             .Int("discovery_answers", r.discoveryAnswers)
             .Raw("log", JsonArray(log))
             .Close() +
         "\n";
}

std::string StatusMetrics(const StatusReport& r) {
  Metrics m;
  auto byDoing = [&](ClientDoing doing) {
    return static_cast<double>(r.requests.byDoing[static_cast<size_t>(doing)]);
  };
  m.Add("rureza_up", "gauge", "1 while the server runs (serves adapters), 0 while stopped.",
        r.running ? 1 : 0);
  m.Add("rureza_start_time_seconds", "gauge", "When the running server started, Unix time.",
        static_cast<double>(r.started));
  m.Add("rureza_bytes_sent_total", "counter", "Bytes sent to adapters.",
        static_cast<double>(r.bytesSent));
  m.Add("rureza_bytes_received_total", "counter", "Bytes received from adapters.",
        static_cast<double>(r.bytesReceived));
  m.Add("rureza_requests_total", "counter", "Adapter requests, by what they asked for.",
        {{"{kind=\"list\"}", byDoing(ClientDoing::kListing)},
         {"{kind=\"play\"}", byDoing(ClientDoing::kMp3) + byDoing(ClientDoing::kAvi) +
                                 byDoing(ClientDoing::kPhoto) + byDoing(ClientDoing::kMpeg)},
         {"{kind=\"firmware\"}", byDoing(ClientDoing::kFirmware)},
         {"{kind=\"other\"}", byDoing(ClientDoing::kOther)}});
  m.Add("rureza_plays_total", "counter", "Play requests, by the format asked for.",
        {{"{format=\"mp3\"}", byDoing(ClientDoing::kMp3)},
         {"{format=\"avi\"}", byDoing(ClientDoing::kAvi)},
         {"{format=\"jpeg\"}", byDoing(ClientDoing::kPhoto)},
         {"{format=\"mpeg\"}", byDoing(ClientDoing::kMpeg)}});
  m.Add("rureza_discovery_answers_total", "counter", "Discovery probes answered.",
        static_cast<double>(r.discoveryAnswers));
  m.Add("rureza_conversions_started_total", "counter", "Conversions started.",
        static_cast<double>(r.conversionsStarted));
  m.Add("rureza_conversions_failed_total", "counter",
        "Plays that ended because their file could not be converted.",
        static_cast<double>(r.conversionsFailed));
  m.Add("rureza_cache_hits_total", "counter", "Plays whose conversion was found in the cache.",
        static_cast<double>(r.cacheHits));
  m.Add("rureza_cache_misses_total", "counter", "Plays whose conversion was not in the cache.",
        static_cast<double>(r.cacheMisses));
  m.Add("rureza_clients", "gauge", "Adapter connections being served.", r.clients);
  m.Add("rureza_client_limit", "gauge", "The most adapter connections served at once.",
        r.clientLimit);
  m.Add("rureza_streams", "gauge", "MP3, AVI and MPEG streams playing.", r.streams);
  m.Add("rureza_conversions_running", "gauge", "Conversions running.",
        static_cast<double>(r.conversionsRunning));
  m.Add("rureza_cache_entries", "gauge", "Converted files kept in the cache.",
        static_cast<double>(r.cacheEntries));
  m.Add("rureza_cache_bytes", "gauge", "Bytes of converted files kept in the cache.",
        static_cast<double>(r.cacheBytes));
  m.Add("rureza_cache_bound_bytes", "gauge", "The most bytes the cache keeps (0: none on disk).",
        static_cast<double>(r.cacheBound));
  return m.text();
}

std::string CurrentStatusSummary() {
  StatusReport r;
  const std::shared_ptr<ServerRun> run = CurrentRun();
  r.running = run != nullptr;
  r.clients = ClientCount();
  for (const ClientView& client : ClientActivitySnapshot()) {
    r.streams += IsStream(client.doing) ? 1 : 0;
  }
  r.conversionOn = run && ConversionsFor(run->settings().library) != nullptr;
  r.cacheBytes = ProcessConversionStats().cacheBytes.load(std::memory_order_relaxed);
  r.cacheBound = ProcessConversionStats().cacheBound.load(std::memory_order_relaxed);
  return StatusSummary(r);
}

std::string StatusSummary(const StatusReport& r) {
  if (!r.running) return "stopped";
  std::string text = Plural(r.clients, "adapter") + ", " + Plural(r.streams, "stream");
  if (r.conversionOn && r.cacheBound > 0) {
    text +=
        ", cache " + Gib(static_cast<uint64_t>(r.cacheBytes)) + " of " + Gib(r.cacheBound) + " GiB";
  }
  return text;
}

}  // namespace rureza
