// The status page's HTTP server on TCP P+2 (libmicrohttpd): "/" the page, "/status.json" the
// report as JSON, "/metrics" the Prometheus text; read-only, GET and HEAD only (405 otherwise),
// every response with "Connection: close". The library answers on a thread of its own (event
// driven, at a lower priority) and a second thread ends overdue connections, with limits of their
// own, so nothing sent to the page can hold up the adapters' ports: at most
// kStatusMostConnections connections at once (more wait in the backlog), a request's head of at
// most kStatusRequestBytes (431 beyond), StatusRequestTimeLimitMs from the connection to the end
// of the head (408 and a close after it; a second while every connection waits for a head),
// 400 for what is no HTTP. The reports are built at most every kStatusReportReuseMs; a flood of
// requests gets the last one.
// Thread safety: StartStatusPage and StopStatusPage from one thread (the front-end's);
// StatusPageUrl from any.
#pragma once

#include <cstdint>
#include <string>

namespace rureza {

inline constexpr unsigned kStatusMostConnections = 256;
inline constexpr size_t kStatusRequestBytes = 16 * 1024;
inline constexpr uint32_t kStatusReportReuseMs = 100;

// How long a connection may take to send its request's head: 10 s; tests shorten it.
uint32_t StatusRequestTimeLimitMs();
void SetStatusRequestTimeLimitMs(uint32_t ms);

// Serves the page on address (IPv4, "0.0.0.0": every address) and port until StopStatusPage;
// a page already served is stopped first. One activity-log line says where, or why it cannot
// be served ("TCP port 4569 is already in use by ..."); the server runs on either way. False
// when it cannot be served.
bool StartStatusPage(const std::string& address, uint16_t port);

// Stops serving and closes every connection of the page; waits for its thread.
void StopStatusPage();

// "http://127.0.0.1:4569/" while the page is served (the machine's address when it is served
// on every address), else empty.
std::string StatusPageUrl();

}  // namespace rureza
