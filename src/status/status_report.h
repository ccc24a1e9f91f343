// StatusReport: the server's state at one moment as the operator's views show it: the run
// (started when, port, address), the console's figures, each adapter connection and what it
// does, the conversions and their cache, the media folders, the last log lines and the
// counters. Rendered as the JSON of /status.json, the Prometheus text of /metrics and the
// one-line summary the service manager shows.
// Thread safety: TakeStatusReport from any thread (it reads atomics and takes short locks);
// the renderers are pure functions.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "server/activity_log.h"
#include "server/client_activity.h"
#include "server/media_folder_check.h"

namespace rureza {

struct StatusReport {
  std::time_t now = 0;
  std::string host;
  bool running = false;
  std::time_t started = 0;  // of the run; 0 when stopped
  uint16_t port = 0;        // P of the run (or of the settings when stopped)
  int clientLimit = 0;
  std::string address;    // the machine's, as the console shows it
  std::string statusUrl;  // empty when no page is served
  int clients = 0;
  int streams = 0;
  uint64_t bytesSent = 0;
  uint64_t bytesReceived = 0;
  int32_t sendCalls = 0;
  int32_t receiveCalls = 0;
  double rateMbits = 0;  // megabits (2^20 bits) a second, as the console shows it
  std::vector<ClientView> adapters;
  bool conversionOn = false;
  int64_t conversionsRunning = 0;
  uint64_t conversionsStarted = 0;
  uint64_t conversionsFailed = 0;
  int64_t cacheEntries = 0;
  int64_t cacheBytes = 0;
  uint64_t cacheBound = 0;
  uint64_t cacheHits = 0;
  uint64_t cacheMisses = 0;
  std::vector<MediaFolderState> folders;
  RequestCountsView requests;
  uint64_t discoveryAnswers = 0;
  std::vector<RecentLogLine> log;
};

// The report now. statusUrl and address are the caller's (the page knows where it is).
StatusReport TakeStatusReport(const std::string& statusUrl, const std::string& address);

// /status.json: one JSON object; every text is shown as in the log (\xNN for what is not
// printable) and JSON-escaped, < > & included.
std::string StatusJson(const StatusReport& report);

// /metrics: Prometheus text exposition format 0.0.4, rureza_* names with HELP and TYPE lines.
std::string StatusMetrics(const StatusReport& report);

// "2 adapters, 1 stream, cache 1.2 of 2.0 GiB" (the cache only with conversion on), or
// "stopped".
std::string StatusSummary(const StatusReport& report);

// StatusSummary of the figures it needs alone: counters and gauges, no file system, no lock
// held long (the listener's loop asks for it).
std::string CurrentStatusSummary();

// "2026-12-07T21:04:03Z"
std::string IsoTime(std::time_t time);

}  // namespace rureza
