// The adapter's side of each request: the request block, the handshake of each stream kind,
// fetching a reply whole while handing on only its media bytes (no blocks, no padding), checked
// against what the reply announced, the listing, and the playback-control commands. Shared by
// rureza-probe, the tests and the benchmarks, so each of them reads the server exactly as the
// others do.
// Thread safety: functions over one connection, which one thread uses at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "adapter/connection.h"
#include "adapter/replies.h"

namespace rureza {

enum class MediaKind { kAudio, kAvi, kMpeg, kPhoto, kFirmware };

inline constexpr uint32_t kStreamBlockSize = 32768;  // the streams' data block
// The least a reply must bring in each timeout's worth of waiting, for a reader that requires
// progress (AdapterConnection::RequireProgress): far below any real transfer's rate.
inline constexpr size_t kLeastProgressBytes = 1024;
inline constexpr uint32_t kPhotoChunkSize = 32767;  // the still image's chunk, '0'-padded

// "audio", "avi", "mpeg", "photo", "firmware" and back.
const char* KindName(MediaKind kind);
std::optional<MediaKind> KindNamed(std::string_view name);
// The kind an adapter plays a listed name as, by its ending (any ASCII case): .mp3 audio, .avi
// AVI, .mpg .vob .dat MPEG, .jpg photo; nullopt for any other.
std::optional<MediaKind> KindOfListedName(std::string_view name);

// The request block's text: "<31name", "<32name", "<34name", "<33name", or "<7" (no name).
std::string RequestText(MediaKind kind, std::string_view name);

// The answers an adapter gives in a stream's handshake, as the text of each 256-byte block.
struct HandshakeAnswers {
  // AVI: as an adapter does, read the movie's bounds from the header's movie list (the whole
  // file when it has none) and probe the index that follows them; or else answer the probe
  // offset, movie end and movie start given here.
  bool aviBoundsFromHeader = true;
  std::string aviProbe = "0", aviEnd, aviStart;
  // MPEG: "0" wants no end (the stream then runs until it is stopped); the scale value.
  std::string mpegAnswer = "1", mpegScale = "0";
  // MPEG: the file's length as listed; it tells the length of the first block of a file shorter
  // than one block. Unknown: a short first block is taken as the whole file.
  std::optional<uint32_t> listedSize;
  // Runs just before the adapter's last handshake answer, while the server waits for it.
  std::function<void()> beforeLastAnswer;
};

// What a handshake told the adapter.
struct Handshake {
  uint32_t fileLength = 0;  // AVI: the filesize block's value; MPEG: the tail position's + 32768
  double firstByteSeconds = 0;  // from the request to the reply's first byte (streams only)
  uint32_t movieStart = 0, movieEnd = 0;  // AVI, as answered
  std::string firstBlock;                 // MPEG: the first block of data
  std::string error;                      // why it failed; empty when it worked
  uint64_t errorOffset = 0;               // of the reply, where it failed
  bool nothingSent = false;  // the server closed without a byte: it could not open the file
};

// Sends kind's request for name, then speaks its handshake up to where the media data flows
// (nothing for the photo and the firmware image, whose reply needs no answer; the length
// block is left unread for them and for audio). Appends what it reads to *received.
Handshake SendRequest(AdapterConnection& connection, MediaKind kind, std::string_view name,
                      HandshakeAnswers answers = {}, std::string* received = nullptr,
                      int timeoutMs = kAdapterTimeoutMs);

// How a fetch went.
struct FetchResult {
  bool ok = false;
  std::string error;        // why it failed, with the reply offset where it went wrong
  uint64_t announced = 0;   // media bytes the reply announced
  uint64_t mediaBytes = 0;  // handed to the sink
  // From the request (or FetchOptions::since): to the reply's first byte, to its last payload
  // byte (media and padding; 0 when it never came) and to the end of the fetch, which for a
  // whole reply is the server's close.
  double firstByteSeconds = 0, lastByteSeconds = 0, seconds = 0;
  bool nothingSent = false;  // the server closed without a byte: it could not open the file
};

struct FetchOptions {
  std::optional<uint32_t> listedSize;     // MPEG, see HandshakeAnswers
  uint64_t limit = UINT64_MAX;            // stop after this many media bytes (and close early)
  int idleTimeoutMs = kAdapterTimeoutMs;  // each read's limit
  size_t bufferSize = 256 * 1024;         // the most bytes one receive takes
  // Where the times count from (e.g. before the connect); the call when unset.
  std::optional<std::chrono::steady_clock::time_point> since;
  // Told the media bytes the reply announced once the handshake is over, before any of them.
  std::function<void(uint64_t)> onAnnounced;
};

// Requests name (ignored for the firmware image) on a connected request connection and reads
// the reply as an adapter does, handing the media bytes to sink as they arrive (a false return
// ends the fetch). Audio, photo and firmware: exactly the file. AVI: the movie data. MPEG: the
// stream from its start offset. Any byte more or less than announced, a malformed block or
// padding other than '0' fails the fetch, which then says where.
FetchResult Fetch(AdapterConnection& connection, MediaKind kind, std::string_view name,
                  const std::function<bool(const char*, size_t)>& sink,
                  const FetchOptions& options = {});

// Fetch's reading of a reply once its request is sent: receives until the server closes (or
// options.limit media bytes came), each piece through reader, which hands the media bytes to
// sink. handshakeRest: the reply's bytes a handshake has already read past its end (the MPEG
// stream's first block). A benchmark reads another protocol's server with the same loop and a
// reader of that protocol's header.
FetchResult ReadReply(AdapterConnection& connection, MediaReplyReader& reader,
                      const MediaReplyReader::Sink& sink, const FetchOptions& options,
                      std::string_view handshakeRest = {});

// Requests the listing on a connected request connection and reads it to its end block,
// handing on each entry as it arrives and, with raw, each piece of the reply's bytes before it
// is checked. Empty when the listing was whole and well formed; kListingCutAtDeadline when
// `until` came first; else what went wrong, with the reply offset.
inline constexpr char kListingCutAtDeadline[] = "the listing was cut short at the time limit";
std::string ReadListing(
    AdapterConnection& connection, int timeoutMs, const ListingReader::OnEntry& onEntry,
    const std::function<void(const char*, size_t)>& raw = {},
    std::chrono::steady_clock::time_point until = std::chrono::steady_clock::time_point::max());

// A playback-control command as an adapter sends it on the control port (P + 1): the command
// ("<3" Play, "<4" Stop, "<8" fast forward, "<9" backward), from byte 3 its number (a seek's
// target), zero bytes to 256.
std::string ControlBlock(std::string_view command, std::string_view number = "");

}  // namespace rureza
