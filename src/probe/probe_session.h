// What every rureza-probe command shares: the server as the user named it, the connection to
// its request port, the listing read as it streams, and the messages on standard error.
// Thread safety: each function uses only its arguments; any thread may call them.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "adapter/connection.h"
#include "adapter/exchange.h"
#include "adapter/replies.h"

namespace rureza {

// Writes "rureza-probe: text" as one line to standard error.
void Complain(const std::string& text);

// A server: the host as given (for messages), its address and its base port P.
struct ProbeTarget {
  std::string host;
  in_addr address{};
  uint16_t port = 0;

  sockaddr_in RequestAddress() const { return Ipv4Address(address, port); }
  sockaddr_in DiscoveryAddress() const { return Ipv4Address(address, uint16_t(port + 3)); }
  // "HOST port P", where messages say something went wrong.
  std::string Where() const;
};

// nullopt (and a message) when host cannot be resolved.
std::optional<ProbeTarget> ResolveTarget(const std::string& host, uint16_t port);

// Connects to the request port; false and *error when it is refused or does not answer. Every
// reply read on the connection must bring kLeastProgressBytes in each timeoutMs of waiting.
bool ConnectTo(const ProbeTarget& target, int timeoutMs, AdapterConnection* connection,
               std::string* error);

// Requests the listing and reads it to its end block, handing on each entry as it arrives and,
// with raw, each piece of the reply's bytes before it is checked. Empty when the listing was
// whole and well formed; kListingCutAtDeadline at `until`; else what went wrong, with the
// reply offset.
std::string StreamListing(
    const ProbeTarget& target, int timeoutMs, const ListingReader::OnEntry& onEntry,
    const std::function<void(const char*, size_t)>& raw = {},
    std::chrono::steady_clock::time_point until = std::chrono::steady_clock::time_point::max());

// The word the listing table shows for a name's kind: video, audio, photo or other.
const char* KindWord(std::string_view name);

// A listing's entries counted by kind, and their total size.
struct ListingSummary {
  uint64_t entries = 0, video = 0, audio = 0, photo = 0, other = 0, folders = 0, bytes = 0;
  void Add(const ListingEntry& entry);
  // "5 entries: 2 video, 2 audio, 1 photo; 1.2 MB in all".
  std::string Text(bool exactBytes = false) const;
};

class NameDecoder;
struct ProbeOptions;

// How the commands that show names begin: the --charset decoder opened into *names, then the
// server named by the first operand resolved into *target. kProbeOk, or the exit code once a
// message has said why.
int OpenNamesAndTarget(const ProbeOptions& options, NameDecoder* names, ProbeTarget* target);

// "12 ms", "0.4 ms".
std::string MillisecondsText(double seconds);

}  // namespace rureza
