#include "probe/probe_session.h"

#include <cstdio>

#include "probe/probe_options.h"
#include "probe/probe_text.h"

namespace rureza {

void Complain(const std::string& text) {
  std::fflush(stdout);  // what was printed before the failure stays before its message
  std::fprintf(stderr, "rureza-probe: %s\n", text.c_str());
}

std::string ProbeTarget::Where() const { return host + " port " + std::to_string(port); }

std::optional<ProbeTarget> ResolveTarget(const std::string& host, uint16_t port) {
  std::string error;
  std::optional<in_addr> address = ResolveIpv4(host, &error);
  if (!address) {
    Complain(host + ": " + error);
    return std::nullopt;
  }
  return ProbeTarget{host, *address, port};
}

bool ConnectTo(const ProbeTarget& target, int timeoutMs, AdapterConnection* connection,
               std::string* error) {
  Status status;
  // A reply that trickles fails as one that stalls: --timeout bounds both.
  connection->RequireProgress(timeoutMs, kLeastProgressBytes);
  if (connection->Connect(target.RequestAddress(), timeoutMs, &status)) return true;
  *error = "cannot connect: " + status.text;
  return false;
}

std::string StreamListing(const ProbeTarget& target, int timeoutMs,
                          const ListingReader::OnEntry& onEntry,
                          const std::function<void(const char*, size_t)>& raw,
                          std::chrono::steady_clock::time_point until) {
  AdapterConnection connection;
  std::string error;
  if (!ConnectTo(target, timeoutMs, &connection, &error)) return error;
  return ReadListing(connection, timeoutMs, onEntry, raw, until);
}

const char* KindWord(std::string_view name) {
  switch (KindOfListedName(name).value_or(MediaKind::kFirmware)) {
    case MediaKind::kAvi:
    case MediaKind::kMpeg:
      return "video";
    case MediaKind::kAudio:
      return "audio";
    case MediaKind::kPhoto:
      return "photo";
    default:
      return "other";
  }
}

void ListingSummary::Add(const ListingEntry& entry) {
  ++entries;
  const std::string_view kind = KindWord(entry.name);
  ++(kind == "video" ? video : kind == "audio" ? audio : kind == "photo" ? photo : other);
  folders += entry.isFolder();
  bytes += entry.size;
}

std::string ListingSummary::Text(bool exactBytes) const {
  std::string text = std::to_string(entries) + (entries == 1 ? " entry (" : " entries (") +
                     std::to_string(video) + " video, " + std::to_string(audio) + " audio, " +
                     std::to_string(photo) + " photo";
  if (other) text += ", " + std::to_string(other) + " other";
  if (folders) text += "; " + std::to_string(folders) + (folders == 1 ? " folder" : " folders");
  return text + "), " + (exactBytes ? std::to_string(bytes) + " bytes" : ReadableSize(bytes)) +
         " in all";
}

std::string MillisecondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, seconds < 0.01 ? "%.1f ms" : "%.0f ms", seconds * 1000);
  return text;
}

int OpenNamesAndTarget(const ProbeOptions& options, NameDecoder* names, ProbeTarget* target) {
  std::string error;
  if (!options.charset.empty() && !names->Open(options.charset, &error)) {
    Complain(error);
    return kProbeUsage;
  }
  std::optional<ProbeTarget> resolved = ResolveTarget(options.operands[0], options.port);
  if (!resolved) return kProbeFailed;
  *target = std::move(*resolved);
  return kProbeOk;
}

}  // namespace rureza
