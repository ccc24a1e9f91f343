#include "status/status_page.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>

#include "platform/event.h"
#include "platform/poll.h"
#include "platform/port_holder.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "server/activity_log.h"
#include "server/local_address.h"
#include "status/status_page_html.h"
#include "status/status_report.h"

namespace rureza {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<uint32_t> g_requestTimeLimitMs{10000};
constexpr int kListenBacklog = 1024;
// The page's thread yields to the adapters' threads when the processor is short.
constexpr int kNiceness = 10;
// A connection that answers nothing after its response (or never reads it) goes after this.
constexpr unsigned kIdleSeconds = 10;
// With every connection taken by heads that have not come, the ones waiting longer than this go
// first: a browser sends its head at once, and the crowd behind them waits in the backlog.
constexpr uint32_t kCrowdedLimitMs = 1000;

// What a connection whose head did not come in time is told before it is closed. The library
// answers only complete heads; this is the one reply the page writes itself.
constexpr char kTimeoutReply[] =
    "HTTP/1.1 408 Request Timeout\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";

std::string Nonce() {
  static const char kDigits[] = "0123456789abcdef";
  thread_local std::mt19937_64 random(std::random_device{}());
  std::string nonce;
  for (int i = 0; i < 32; ++i) nonce += kDigits[random() & 15];
  return nonce;
}

// One server of the page: its listening socket, the library's daemon over it (which answers on
// a thread of its own) and the gate, a thread that ends the connections whose head is overdue.
class PageServer {
 public:
  PageServer(Socket listener, std::string url, std::string address)
      : listener_(std::move(listener)), url_(std::move(url)), address_(std::move(address)) {}
  ~PageServer() {
    if (daemon_) {
      // The listening socket is ours to close, once, after the daemon has let go of it.
      MHD_quiesce_daemon(daemon_);
      MHD_stop_daemon(daemon_);
    }
    listener_.Close();
  }
  PageServer(const PageServer&) = delete;
  PageServer& operator=(const PageServer&) = delete;

  // The daemon over the listening socket; false with *why when it cannot be made.
  bool Open(std::string* why);
  // The gate's body: until Stop(), shuts down each connection whose head is overdue.
  void RunGate();
  void Stop() {
    stopping_.store(true);
    stop_.Notify();
  }
  bool WaitUntilEnded(uint32_t ms) { return ended_.WaitFor(ms); }
  void Ended() { ended_.Set(); }
  const std::string& url() const { return url_; }

 private:
  struct Pending {
    int fd;
    Clock::time_point arrived;
  };

  static MHD_Result Answer(void* self, MHD_Connection* connection, const char* url,
                           const char* method, const char* version, const char* uploadData,
                           size_t* uploadDataSize, void** requestContext);
  static void Notify(void* self, MHD_Connection* connection, void** socketContext,
                     MHD_ConnectionNotificationCode code);
  MHD_Result Respond(MHD_Connection* connection, unsigned status, const std::string& body,
                     const char* type, const char* security = nullptr, const char* allow = nullptr);
  // Tells each connection whose head is overdue so, and shuts it down (the daemon closes it);
  // returns the milliseconds until the next one is due, -1 when none waits.
  int CloseOverdue();
  void Arrived(MHD_Connection* connection, int fd);
  void HeadCame(MHD_Connection* connection);
  const std::string& Report(bool json);

  Socket listener_;
  const std::string url_;
  const std::string address_;
  MHD_Daemon* daemon_ = nullptr;
  std::atomic<bool> stopping_{false};
  Notifier stop_;
  Notifier arrived_;  // a connection came while the gate waited for none
  ManualResetEvent ended_;
  // Connections whose head has not come whole. The daemon tells of a connection's end before it
  // closes the descriptor, so one found here is open.
  std::mutex pendingMutex_;
  std::map<MHD_Connection*, Pending> pending_;  // guarded by pendingMutex_
  // The daemon's thread only:
  std::string json_, metrics_;
  Clock::time_point reportedAt_{};
};

bool PageServer::Open(std::string* why) {
  if (!stop_.valid() || !arrived_.valid()) {
    *why = "its wake-up descriptor cannot be made";
    return false;
  }
  const unsigned idle = std::max(kIdleSeconds, StatusRequestTimeLimitMs() / 1000 + 1);
  daemon_ = MHD_start_daemon(
      MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ITC, 0, nullptr, nullptr, &PageServer::Answer, this,
      MHD_OPTION_LISTEN_SOCKET, listener_.fd(), MHD_OPTION_CONNECTION_LIMIT, kStatusMostConnections,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, kStatusRequestBytes, MHD_OPTION_CONNECTION_TIMEOUT, idle,
      MHD_OPTION_NOTIFY_CONNECTION, &PageServer::Notify, this, MHD_OPTION_END);
  if (!daemon_) *why = "the HTTP library cannot serve on it";
  return daemon_ != nullptr;
}

void PageServer::RunGate() {
  // A new connection comes with a full time limit, so waiting for the one due first is enough;
  // the limit itself may shrink meanwhile (tests), so no wait is longer than a second.
  while (!stopping_.load()) {
    const int dueMs = CloseOverdue();
    PollItem items[2] = {{stop_.fd(), false}, {arrived_.fd(), false}};
    PollReadable(items, 2, dueMs < 0 ? 1000 : std::min(dueMs, 1000));
    arrived_.Drain();
  }
}

void PageServer::Arrived(MHD_Connection* connection, int fd) {
  // The daemon's thread yields to the adapters' threads when the processor is short.
  thread_local bool niced = false;
  if (!niced) niced = setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kNiceness) == 0;
  std::lock_guard<std::mutex> lock(pendingMutex_);
  // The gate may be waiting for nothing but the next time to look; this one is due sooner.
  if (pending_.empty() || pending_.size() + 1 >= kStatusMostConnections) arrived_.Notify();
  pending_[connection] = Pending{fd, Clock::now()};
}

void PageServer::HeadCame(MHD_Connection* connection) {
  std::lock_guard<std::mutex> lock(pendingMutex_);
  pending_.erase(connection);
}

int PageServer::CloseOverdue() {
  const Clock::time_point now = Clock::now();
  int nextMs = -1;
  std::lock_guard<std::mutex> lock(pendingMutex_);
  const bool crowded = pending_.size() >= kStatusMostConnections;
  const auto limit = std::chrono::milliseconds(
      crowded ? std::min(kCrowdedLimitMs, StatusRequestTimeLimitMs()) : StatusRequestTimeLimitMs());
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (now - it->second.arrived >= limit) {
      // Open while it is listed: the daemon closes it only after Notify has unlisted it.
      (void)::send(it->second.fd, kTimeoutReply, sizeof kTimeoutReply - 1,
                   MSG_NOSIGNAL | MSG_DONTWAIT);
      ::shutdown(it->second.fd, SHUT_RDWR);
      it = pending_.erase(it);
      continue;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(it->second.arrived + limit - now);
    const int leftMs = static_cast<int>(left.count()) + 1;
    nextMs = nextMs < 0 ? leftMs : std::min(nextMs, leftMs);
    ++it;
  }
  return nextMs;
}

void PageServer::Notify(void* self, MHD_Connection* connection, void**,
                        MHD_ConnectionNotificationCode code) {
  auto* server = static_cast<PageServer*>(self);
  if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
    server->HeadCame(connection);
    return;
  }
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  if (info) server->Arrived(connection, info->connect_fd);
}

const std::string& PageServer::Report(bool json) {
  const Clock::time_point now = Clock::now();
  if (json_.empty() || now - reportedAt_ >= std::chrono::milliseconds(kStatusReportReuseMs)) {
    const StatusReport report = TakeStatusReport(url_, address_);
    json_ = StatusJson(report);
    metrics_ = StatusMetrics(report);
    reportedAt_ = now;
  }
  return json ? json_ : metrics_;
}

MHD_Result PageServer::Respond(MHD_Connection* connection, unsigned status, const std::string& body,
                               const char* type, const char* security, const char* allow) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (!response) return MHD_NO;
  MHD_add_response_header(response, "Content-Type", type);
  MHD_add_response_header(response, "Cache-Control", "no-store");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "Connection", "close");
  if (security) MHD_add_response_header(response, "Content-Security-Policy", security);
  if (allow) MHD_add_response_header(response, "Allow", allow);
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

MHD_Result PageServer::Answer(void* self, MHD_Connection* connection, const char* url,
                              const char* method, const char*, const char*, size_t*, void**) {
  auto* server = static_cast<PageServer*>(self);
  server->HeadCame(connection);
  constexpr char kText[] = "text/plain; charset=utf-8";
  if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0) {
    return server->Respond(connection, MHD_HTTP_METHOD_NOT_ALLOWED,
                           "Only GET and HEAD are answered here.\n", kText, nullptr, "GET, HEAD");
  }
  const std::string_view path = url;
  if (path == "/") {
    const std::string nonce = Nonce();
    std::string page(kStatusPageHtml);
    for (size_t at; (at = page.find(kStatusPageNonce)) != std::string::npos;) {
      page.replace(at, kStatusPageNonce.size(), nonce);
    }
    const std::string policy = "default-src 'none'; script-src 'nonce-" + nonce +
                               "'; style-src 'nonce-" + nonce +
                               "'; connect-src 'self'; img-src data:; base-uri 'none'; "
                               "form-action 'none'; frame-ancestors 'none'";
    return server->Respond(connection, MHD_HTTP_OK, page, "text/html; charset=utf-8",
                           policy.c_str());
  }
  if (path == "/status.json") {
    return server->Respond(connection, MHD_HTTP_OK, server->Report(true),
                           "application/json; charset=utf-8");
  }
  if (path == "/metrics") {
    return server->Respond(connection, MHD_HTTP_OK, server->Report(false),
                           "text/plain; version=0.0.4; charset=utf-8");
  }
  return server->Respond(connection, MHD_HTTP_NOT_FOUND,
                         "Not found. Served here: /, /status.json and /metrics.\n", kText);
}

std::mutex g_mutex;
std::shared_ptr<PageServer> g_server;  // guarded by g_mutex

std::string CannotServe(const std::string& address, uint16_t port, const Status& error) {
  if (error.code != EADDRINUSE) {
    return Format("TCP port %u on %s cannot be opened: %s", port, address.c_str(),
                  error.text.c_str());
  }
  const std::string holder = TcpPortHolder(port);
  return Format("TCP port %u is already in use", port) + (holder.empty() ? "" : " by " + holder);
}

}  // namespace

uint32_t StatusRequestTimeLimitMs() { return g_requestTimeLimitMs.load(); }

void SetStatusRequestTimeLimitMs(uint32_t ms) { g_requestTimeLimitMs.store(ms); }

bool StartStatusPage(const std::string& address, uint16_t port) {
  StopStatusPage();
  in_addr host{};
  Status error;
  std::string why;
  Socket listener;
  if (::inet_pton(AF_INET, address.c_str(), &host) != 1) {
    why = "'" + address + "' is no IPv4 address";
  } else {
    listener = Socket::NewTcp(&error);
    if (listener.valid()) {
      listener.SetReuseAddress();
      error = listener.Bind(host, port);
      if (error.ok()) error = listener.Listen(kListenBacklog);
      if (error.ok()) error = listener.SetNonBlocking(true);
    }
    if (!error.ok()) why = CannotServe(address, port, error);
  }
  std::shared_ptr<PageServer> server;
  if (why.empty()) {
    const std::string shown =
        host.s_addr == htonl(INADDR_ANY) ? LocalAddressText().value_or("127.0.0.1") : address;
    server = std::make_shared<PageServer>(std::move(listener),
                                          "http://" + shown + ":" + std::to_string(port) + "/",
                                          LocalAddressText().value_or(""));
    if (server->Open(&why) && !StartThread([server] {
          server->RunGate();
          server->Ended();
        })) {
      why = "its thread cannot be started";
    }
  }
  if (!why.empty()) {
    AppendLog("Status page not served: " + why + "; the server runs without it");
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_server = server;
  }
  AppendLog("Status page on " + server->url());
  return true;
}

void StopStatusPage() {
  std::shared_ptr<PageServer> server;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    server = std::move(g_server);
  }
  if (!server) return;
  server->Stop();
  // The thread holds the server too; whichever lets go last closes the daemon and the socket.
  server->WaitUntilEnded(5000);
}

std::string StatusPageUrl() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_server ? g_server->url() : std::string();
}

}  // namespace rureza
