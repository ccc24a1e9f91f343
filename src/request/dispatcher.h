// The request dispatcher: one client thread per request connection reads the 256-byte request
// block, logs it, asks the name layer (names/) which file a requested name stands for, and
// calls the delivery routine. The listener (server/) hands it each connection.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "delivery/media_path.h"
#include "platform/socket.h"
#include "server/server.h"  // RequestTimeLimitMs

namespace rureza {

class ServerRun;
struct ServerSettings;

inline constexpr size_t kRequestBlockSize = 256;

struct AdapterRequest {
  enum class Kind { kNone, kList, kPlay, kFirmware, kUnknownCommand, kUnknownFormat };
  Kind kind = Kind::kNone;  // kNone: the block does not start with "<"
  char mediaType = 0;       // '1' MP3, '2' AVI, '3' JPEG, '4' MPEG (kPlay only)
  std::string name;         // to the first zero byte or the end of the block (kPlay only)
};

// Reads a request block (zero bytes where nothing arrived).
AdapterRequest ParseRequestBlock(const uint8_t (&block)[kRequestBlockSize]);

// The folder of a media type digit, empty for an unknown digit.
std::string MediaFolder(const ServerSettings& settings, char mediaType);

// The path of a play request: the name resolved by the name layer (ResolvePlayName), written
// as the folder, one backslash and the name (or the path a short name stood for). Unservable
// when the folder is not set or the name stands for nothing a listing could list; a file in a
// subfolder must also resolve inside its media folder. With conversion on (and the process's
// conversions started), a source it converts is played through a conversion (converted).
MediaPath PlayPath(const ServerSettings& settings, char mediaType, const std::string& name);

// The client thread's body: serves one connection and closes it. The caller counts the
// client out afterwards.
void ServeClient(ServerRun& run, Socket connection, const sockaddr_in& peer);

}  // namespace rureza
