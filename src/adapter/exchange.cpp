#include "adapter/exchange.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "adapter/replies.h"
#include "delivery/decimal.h"

namespace rureza {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kShortBlockQuietMs = 300;
constexpr char kNothingSent[] = "the server closed the connection without a byte";
constexpr uint32_t kRiffStreamStart = 65536;  // where an MPEG stream of a RIFF file starts

struct Ending {
  std::string_view ending;
  MediaKind kind;
};
constexpr Ending kEndings[] = {{".mp3", MediaKind::kAudio}, {".avi", MediaKind::kAvi},
                               {".mpg", MediaKind::kMpeg},  {".vob", MediaKind::kMpeg},
                               {".dat", MediaKind::kMpeg},  {".jpg", MediaKind::kPhoto}};

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string SecondsText(int ms) {
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
  char text[32];
  std::snprintf(text, sizeof text, "%.3g s", ms / 1000.0);
  return text;
}

// What ended a read short, for the error text.
std::string ReadEndText(ssize_t end, int timeoutMs) {
  if (end == AdapterConnection::kClosed) return "the reply ended";
  if (end == AdapterConnection::kTimedOut) return "no byte came for " + SecondsText(timeoutMs);
  return "the connection failed";
}

// Reads the reply of one request, keeping count of its offset for error reports.
class ReplyReader {
 public:
  ReplyReader(AdapterConnection& connection, std::string* copy, int timeoutMs)
      : connection_(connection), copy_(copy), timeoutMs_(timeoutMs), start_(Clock::now()) {}

  // Exactly n bytes (or, with quietMs, fewer once the server pauses); nullopt and error set when
  // the reply ends first.
  std::optional<std::string> Take(size_t n, const char* what, int quietMs = 0) {
    AdapterConnection::ShortRead why;
    std::optional<std::string> bytes = quietMs ? connection_.ReadUpTo(n, quietMs, timeoutMs_, &why)
                                               : connection_.ReadExact(n, timeoutMs_, &why);
    if (!bytes) {
      nothingSent = offset == 0 && why.got == 0 && why.end == AdapterConnection::kClosed;
      Fail(ReadEndText(why.end, timeoutMs_) + " in " + what, offset + why.got);
      return std::nullopt;
    }
    if (offset == 0) firstByteSeconds = SecondsSince(start_);
    offset += bytes->size();
    if (copy_) *copy_ += *bytes;
    return bytes;
  }
  bool Fail(const std::string& what, uint64_t at = UINT64_MAX) {
    if (error.empty()) {
      error = what;
      errorOffset = at == UINT64_MAX ? offset : at;
    }
    return false;
  }

  uint64_t offset = 0;
  double firstByteSeconds = 0;
  std::string error;
  uint64_t errorOffset = 0;
  bool nothingSent = false;

 private:
  AdapterConnection& connection_;
  std::string* copy_;
  int timeoutMs_;
  Clock::time_point start_;
};

bool AviHandshake(AdapterConnection& connection, ReplyReader& reply, HandshakeAnswers& answers,
                  Handshake* out) {
  constexpr size_t kSmall = kAdapterBlockSize, kBlock = kStreamBlockSize;
  std::optional<std::string> opening = reply.Take(3 * kSmall + 2 * kBlock, "the AVI handshake");
  if (!opening) return false;
  const std::string_view blocks(*opening);
  const std::string_view filesize = blocks.substr(0, kSmall);
  std::optional<uint32_t> length = ReadNumberBlock(filesize, "filesize");
  if (!length) return reply.Fail("a filesize block that is not \"<length>filesize\"", 0);
  for (size_t at : {kSmall + kBlock, 2 * (kSmall + kBlock)}) {
    if (blocks.substr(at, kSmall) != filesize) return reply.Fail("filesize blocks that differ", at);
  }
  out->fileLength = *length;
  if (answers.aviBoundsFromHeader) {
    // An adapter reads the bounds from the header and probes the index that follows them.
    MovieBounds bounds =
        FindMovieData(blocks.substr(kSmall, kBlock)).value_or(MovieBounds{0, *length});
    answers.aviProbe = std::to_string(bounds.end < *length ? bounds.end : 0);
    answers.aviEnd = std::to_string(bounds.end);
    answers.aviStart = std::to_string(bounds.start);
  }
  if (!connection.SendBlock(answers.aviProbe)) return reply.Fail("the server stopped listening");
  // The server serves the probe block only for an offset it can seek to.
  if (ParseSignedDecimal(answers.aviProbe.data(), answers.aviProbe.size()) >= 0 &&
      !reply.Take(kBlock, "the AVI probe block")) {
    return false;
  }
  if (answers.beforeLastAnswer) answers.beforeLastAnswer();
  if (!connection.SendBlock(answers.aviEnd) || !connection.SendBlock(answers.aviStart)) {
    return reply.Fail("the server stopped listening");
  }
  out->movieEnd = ParseDecimal(answers.aviEnd.data(), answers.aviEnd.size());
  out->movieStart = ParseDecimal(answers.aviStart.data(), answers.aviStart.size());
  const uint64_t at = reply.offset;
  std::optional<std::string> start = reply.Take(kSmall, "the AVI start block");
  if (!start) return false;
  if (ReadNumberBlock(*start, "filesize", 3) != out->fileLength) {
    return reply.Fail("a start block that does not carry the filesize", at);
  }
  return true;
}

bool MpegHandshake(AdapterConnection& connection, ReplyReader& reply, HandshakeAnswers& answers,
                   Handshake* out) {
  constexpr size_t kBlock = kStreamBlockSize;
  std::optional<std::string> zero = reply.Take(kAdapterBlockSize, "the MPEG zero block");
  if (!zero) return false;
  if (zero->find_first_not_of('\0') != std::string::npos) {
    return reply.Fail("a zero block that is not zero", 0);
  }
  // A first block shorter than a data block is the whole (short) file; its length is known for
  // certain only from the listing.
  const std::optional<uint32_t> listed = answers.listedSize;
  std::optional<std::string> first =
      listed && *listed < kBlock ? reply.Take(*listed, "the MPEG first block")
      : listed && *listed >= kRiffStreamStart + kBlock
          ? reply.Take(kBlock, "the MPEG first block")
          : reply.Take(kBlock, "the MPEG first block", kShortBlockQuietMs);
  if (!first) return false;
  out->fileLength = static_cast<uint32_t>(first->size());
  if (!connection.SendBlock(answers.mpegAnswer)) return reply.Fail("the server stopped listening");
  const bool wantsEnd = answers.mpegAnswer.empty() || answers.mpegAnswer[0] != '0';
  if (wantsEnd && (listed ? *listed >= kBlock : first->size() == kBlock)) {
    const uint64_t at = reply.offset;
    std::optional<std::string> tail = reply.Take(kAdapterBlockSize, "the MPEG tail position");
    if (!tail) return false;
    std::optional<uint32_t> position = ReadNumberBlock(*tail);
    if (!position || *position > UINT32_MAX - kBlock) {
      return reply.Fail("a tail position that is not a number", at);
    }
    out->fileLength = *position + kBlock;
    if (!reply.Take(kBlock, "the MPEG last block")) return false;
  }
  std::optional<std::string> again = reply.Take(first->size(), "the MPEG first block's repeat");
  if (!again) return false;
  out->firstBlock = std::move(*again);
  if (answers.beforeLastAnswer) answers.beforeLastAnswer();
  if (!connection.SendBlock(answers.mpegScale)) return reply.Fail("the server stopped listening");
  return true;
}

}  // namespace

const char* KindName(MediaKind kind) {
  switch (kind) {
    case MediaKind::kAudio:
      return "audio";
    case MediaKind::kAvi:
      return "avi";
    case MediaKind::kMpeg:
      return "mpeg";
    case MediaKind::kPhoto:
      return "photo";
    case MediaKind::kFirmware:
      return "firmware";
  }
  return "";
}

std::optional<MediaKind> KindNamed(std::string_view name) {
  for (MediaKind kind : {MediaKind::kAudio, MediaKind::kAvi, MediaKind::kMpeg, MediaKind::kPhoto,
                         MediaKind::kFirmware}) {
    if (name == KindName(kind)) return kind;
  }
  return std::nullopt;
}

std::optional<MediaKind> KindOfListedName(std::string_view name) {
  if (name.size() <= 4) return std::nullopt;
  std::string last4(name.substr(name.size() - 4));
  std::transform(last4.begin(), last4.end(), last4.begin(), Lower);
  for (const Ending& e : kEndings) {
    if (last4 == e.ending) return e.kind;
  }
  return std::nullopt;
}

std::string RequestText(MediaKind kind, std::string_view name) {
  switch (kind) {
    case MediaKind::kAudio:
      return "<31" + std::string(name);
    case MediaKind::kAvi:
      return "<32" + std::string(name);
    case MediaKind::kPhoto:
      return "<33" + std::string(name);
    case MediaKind::kMpeg:
      return "<34" + std::string(name);
    case MediaKind::kFirmware:
      return "<7";
  }
  return {};
}

Handshake SendRequest(AdapterConnection& connection, MediaKind kind, std::string_view name,
                      HandshakeAnswers answers, std::string* received, int timeoutMs) {
  Handshake handshake;
  ReplyReader reply(connection, received, timeoutMs);
  if (!connection.SendBlock(RequestText(kind, name))) {
    reply.Fail("the request could not be sent");
  } else if (kind == MediaKind::kAvi) {
    AviHandshake(connection, reply, answers, &handshake);
  } else if (kind == MediaKind::kMpeg) {
    MpegHandshake(connection, reply, answers, &handshake);
  }
  handshake.error = reply.error;
  handshake.errorOffset = reply.errorOffset;
  handshake.nothingSent = reply.nothingSent;
  handshake.firstByteSeconds = reply.firstByteSeconds;
  return handshake;
}

FetchResult Fetch(AdapterConnection& connection, MediaKind kind, std::string_view name,
                  const std::function<bool(const char*, size_t)>& sink,
                  const FetchOptions& options) {
  FetchResult result;
  const Clock::time_point start = Clock::now();
  uint64_t offset = 0;  // of the reply
  auto fail = [&](const std::string& what) {
    result.error = what + " at offset " + std::to_string(offset);
    result.seconds = SecondsSince(start);
    return result;
  };
  auto firstByte = [&] {
    if (offset == 0) result.firstByteSeconds = SecondsSince(start);
  };

  HandshakeAnswers answers;
  answers.listedSize = options.listedSize;
  Handshake handshake =
      SendRequest(connection, kind, name, answers, nullptr, options.idleTimeoutMs);
  uint64_t padding = 0;
  if (!handshake.error.empty()) {
    offset = handshake.errorOffset;
    result.nothingSent = handshake.nothingSent;
    return fail(result.nothingSent ? kNothingSent : handshake.error);
  }
  result.firstByteSeconds = handshake.firstByteSeconds;
  if (kind == MediaKind::kAvi) {
    offset = 3 * kAdapterBlockSize + 3 * uint64_t{kStreamBlockSize} + kAdapterBlockSize;
    // The stream sends whole data blocks from the start and, once less than a block is left
    // before the movie's end, the rest up to it; movie data shorter than a block is thus one
    // whole block (or the rest of the file).
    const uint64_t from = handshake.movieStart, file = handshake.fileLength;
    result.announced = from >= file ? 0
                       : from + kStreamBlockSize <= handshake.movieEnd
                           ? std::min<uint64_t>(handshake.movieEnd, file) - from
                           : std::min<uint64_t>(kStreamBlockSize, file - from);
  } else if (kind == MediaKind::kMpeg) {
    offset = 2 * kAdapterBlockSize + 2 * uint64_t{kStreamBlockSize} + handshake.firstBlock.size();
    result.announced = handshake.fileLength;
  } else {
    AdapterConnection::ShortRead why;
    std::optional<std::string> block =
        connection.ReadExact(kAdapterBlockSize, options.idleTimeoutMs, &why);
    if (!block) {
      offset = why.got;
      result.nothingSent = why.got == 0 && why.end == AdapterConnection::kClosed;
      return fail(result.nothingSent
                      ? kNothingSent
                      : ReadEndText(why.end, options.idleTimeoutMs) + " in the length block");
    }
    firstByte();
    std::optional<uint32_t> length = ReadNumberBlock(*block);
    if (!length) return fail("a length block that is not decimal text");
    offset = kAdapterBlockSize;
    result.announced = *length;
    if (kind == MediaKind::kPhoto)
      padding = (kPhotoChunkSize - *length % kPhotoChunkSize) % kPhotoChunkSize;
  }

  if (options.onAnnounced) options.onAnnounced(result.announced);
  auto deliver = [&](const char* data, size_t n) {
    n = static_cast<size_t>(std::min<uint64_t>(n, options.limit - result.mediaBytes));
    result.mediaBytes += n;
    return n == 0 || !sink || sink(data, n);
  };
  if (kind == MediaKind::kMpeg &&
      !deliver(handshake.firstBlock.data(), handshake.firstBlock.size())) {
    return fail("the fetch was ended");
  }
  // Only an MPEG stream's length is not exact: a RIFF file streams from 64 KiB on and the
  // stream's last piece may repeat bytes.
  const bool exact = kind != MediaKind::kMpeg;
  const uint64_t media = result.announced;
  static thread_local std::vector<char> buffer(256 * 1024);
  uint64_t payload = kind == MediaKind::kMpeg ? handshake.firstBlock.size() : 0;
  while (result.mediaBytes < options.limit) {
    ssize_t n = connection.Receive(buffer.data(), buffer.size(), options.idleTimeoutMs);
    if (n < 0) return fail(ReadEndText(n, options.idleTimeoutMs));
    if (n == 0) break;
    firstByte();
    const char* data = buffer.data();
    size_t size = static_cast<size_t>(n);
    // The media bytes, then the photo's padding, then nothing.
    size_t mediaPart =
        exact ? static_cast<size_t>(std::min<uint64_t>(size, media - std::min(media, payload)))
              : size;
    if (!deliver(data, mediaPart)) return fail("the fetch was ended");
    payload += mediaPart;
    offset += mediaPart;
    for (size_t i = mediaPart; i < size; ++i, ++offset) {
      if (padding == 0) return fail("more bytes than the reply announced");
      if (data[i] != '0') return fail("padding that is not '0'");
      --padding;
    }
  }
  if (result.mediaBytes >= options.limit) {
    result.ok = true;
  } else if (exact && (payload < media || padding > 0)) {
    return fail("the reply ended " + std::to_string(media - payload + padding) + " bytes short");
  } else if (!exact && payload + kRiffStreamStart < media) {
    return fail("the stream ended " + std::to_string(media - payload) + " bytes short");
  } else {
    result.ok = true;
  }
  result.seconds = SecondsSince(start);
  return result;
}

}  // namespace rureza
