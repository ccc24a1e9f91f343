// What each adapter connection is doing now, for the status page, the metrics and the service
// manager's status line. The client thread that serves a connection registers it for its own
// life (ClientActivityScope) and says what the reply is (NoteClientDoing); the transfer
// primitives count the bytes the connection took and the delivery routines say how far into
// its file the reply is. Readers take a snapshot.
// Thread safety: the Note and Count functions act on the calling thread's registration and do
// nothing on a thread without one; progress and bytes are relaxed atomics, so the streams pay
// no lock for them. ClientActivitySnapshot and RequestCounts from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace rureza {

enum class ClientDoing {
  kRequest,  // its request block has not come yet
  kListing,
  kMp3,
  kAvi,
  kPhoto,
  kMpeg,
  kFirmware,
  kOther,  // a request the server does not serve (unknown command or format, garbage)
};

// "waiting for its request", "listing", "playing", "showing a photo", "fetching firmware", ...
const char* ClientDoingText(ClientDoing doing);
// The short name the JSON and the metrics use: "request", "list", "mp3", "avi", "jpeg", "mpeg",
// "firmware", "other".
const char* ClientDoingName(ClientDoing doing);
// A stream the adapter plays and steers (MP3, AVI, MPEG).
bool IsStream(ClientDoing doing);

struct ClientView {
  std::string address;
  ClientDoing doing = ClientDoing::kRequest;
  std::string file;           // the path as the log shows it; empty for a listing
  int64_t position = -1;      // how far into the file the reply is; -1: not told
  int64_t length = -1;        // the file's (or its conversion's) length; -1: not told
  uint64_t bytesSent = 0;     // on this connection
  double bytesPerSecond = 0;  // over the last second or more
  std::time_t connected = 0;
  std::time_t since = 0;  // when the current reply began
};

// Registers the calling thread's connection from address until the scope ends.
class ClientActivityScope {
 public:
  explicit ClientActivityScope(std::string address);
  ~ClientActivityScope();
  ClientActivityScope(const ClientActivityScope&) = delete;
  ClientActivityScope& operator=(const ClientActivityScope&) = delete;
};

// The reply the calling thread's connection gets now: a file's path as the log shows it, or
// none. Counts the request (RequestCounts).
void NoteClientDoing(ClientDoing doing, std::string_view file = {});
// The length of what is sent, and how far the reply is into it.
void NoteClientLength(int64_t length);
void NoteClientPosition(int64_t position);
// Bytes the calling thread's connection took (the transfer primitives call it).
void CountClientBytesSent(uint64_t bytes);

// Every registered connection, oldest first.
std::vector<ClientView> ClientActivitySnapshot();

// Requests since the process started, by what was asked (ClientDoing, kRequest unused).
struct RequestCountsView {
  uint64_t byDoing[8] = {};
};
RequestCountsView RequestCounts();

}  // namespace rureza
