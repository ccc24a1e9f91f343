// The messages between the server and its converter process (rureza-convert): requests on the
// converter's stdin, replies on its stdout, the converted bytes on its descriptor 3. A message
// is one kind byte, its payload's length as 4 bytes little-endian, then the payload: the kind's
// fixed fields (little-endian u32 and u64) and, last, a byte string that fills the rest (a path
// or an error text). The server reads what a process of decoders says, so the reply side is
// strict: an unknown kind, a payload of the wrong size or one over kMostPayload breaks the
// stream for good.
// Thread safety: values, and a reader that one thread owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "conversion/mpeg_layout.h"

namespace rureza {

inline constexpr size_t kMessageHeaderSize = 5;
inline constexpr size_t kMostPayload = 8192;

enum class RequestKind : uint8_t {
  kProbeSong = 'a',   // path -> kSongFacts or kFailed
  kProbePhoto = 'p',  // path -> kPhotoFacts or kFailed
  kSong = 'm',        // SongRequest -> kWritten..., then kDone or kFailed
  kPhoto = 'j',       // box, path -> kDone or kFailed
  kProbeVideo = 'v',  // name -> kVideoFacts or kFailed
  kVideo = 'g',       // VideoRequest, name -> kWritten..., then kDone or kFailed
};

enum class ReplyKind : uint8_t {
  kSongFacts = 'A',
  kPhotoFacts = 'P',
  kVideoFacts = 'V',
  kWritten = 'W',  // converted bytes written to descriptor 3 so far
  kDone = 'D',     // the conversion is complete: all its bytes
  kFailed = 'E',   // why the request cannot be served
  // Something the server should know about the converter itself, once: its very first message
  // where it runs without its system-call filter (and why). Not an answer to any request.
  kNotice = 'N',
};

// The largest picture shown in full: what the adapter's photo size allows.
struct PhotoBox {
  uint32_t width = 0;
  uint32_t height = 0;
};

// Convert frames [firstFrame, frameCount) of a song to MP3 at sampleRate and bitRate. The
// converter writes exactly frameCount - firstFrame frames, whatever the source holds.
struct SongRequest {
  std::string path;
  uint32_t sampleRate = 0;
  uint32_t bitRate = 0;
  uint64_t firstFrame = 0;
  uint64_t frameCount = 0;
};

// Convert a video to the stream PlanMpeg makes of durationMs and standard: exactly its length
// in bytes, whatever the source holds.
struct VideoRequest {
  uint64_t durationMs = 0;
  VideoStandard standard = VideoStandard::kPal;
  // Burn in the subtitles: the file given with the request, else the source's default or forced
  // text track.
  bool subtitles = true;
  std::string codePage;  // a subtitle file that is not UTF-8 is read in it ("CP1252")
  std::string language;  // preferred for sound and subtitles: "en", "deu" (at most 15 bytes)
};

struct ConverterRequest {
  RequestKind kind = RequestKind::kProbeSong;
  std::string path;    // the source's name: its ending tells the kind
  PhotoBox box;        // kPhoto
  SongRequest song;    // kSong (its path is path)
  VideoRequest video;  // kVideo
};

// What a song's header says.
struct SongFacts {
  uint64_t samples = 0;  // per channel, at sampleRate
  uint32_t sampleRate = 0;
  uint32_t channels = 0;
};

// What a photo's header says, with the EXIF rotation applied to the dimensions.
struct PhotoFacts {
  uint32_t width = 0;
  uint32_t height = 0;
  // It cannot go to the adapter as it is, whatever its size: not a baseline 8-bit sRGB JPEG,
  // or turned by its EXIF orientation.
  bool needsConversion = true;
};

// What a video's container says, its duration bounded by the packets the file holds.
struct VideoFacts {
  uint64_t durationMs = 0;
  uint32_t width = 0;  // 0 without a picture
  uint32_t height = 0;
  uint32_t sampleAspectNum = 1;  // the shape of a pixel: num / den
  uint32_t sampleAspectDen = 1;
  uint32_t frameRateNum = 0;  // 0 when the container does not say
  uint32_t frameRateDen = 1;
  bool hasVideo = false;
  bool hasAudio = false;
  bool hasSubtitles = false;  // a default or forced text track
  // The adapter plays the file as it is: MPEG-1/2 video with MP2, AC-3 or LPCM sound in a
  // program stream, or MPEG-4 part 2 video with MP3 or AC-3 sound in an AVI.
  bool playable = false;
};

struct Reply {
  ReplyKind kind = ReplyKind::kFailed;
  SongFacts song;      // kSongFacts
  PhotoFacts photo;    // kPhotoFacts
  VideoFacts video;    // kVideoFacts
  uint64_t bytes = 0;  // kWritten, kDone
  std::string text;    // kFailed, kNotice
};

std::string EncodeRequest(const ConverterRequest& request);
std::string EncodeReply(const Reply& reply);

// Splits a byte stream into messages.
class MessageReader {
 public:
  // Takes the next bytes of the stream.
  void Add(std::string_view bytes);
  // The next whole message's kind and payload; false when none is complete, or the stream is
  // broken (a payload longer than kMostPayload).
  bool Next(uint8_t* kind, std::string* payload);
  bool broken() const { return broken_; }
  // Bytes taken and not yet returned as a message.
  size_t pending() const { return buffer_.size() - start_; }

 private:
  std::string buffer_;
  size_t start_ = 0;
  bool broken_ = false;
};

// False when the message is not a well-formed request (or reply): unknown kind, fields cut
// short or left over, a path with a zero byte in it.
bool DecodeRequest(uint8_t kind, std::string_view payload, ConverterRequest* request);
bool DecodeReply(uint8_t kind, std::string_view payload, Reply* reply);

}  // namespace rureza
