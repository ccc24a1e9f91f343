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
  if (end == AdapterConnection::kTooSlow) {
    return "the reply trickled: less than " + std::to_string(kLeastProgressBytes) +
           " bytes came in " + SecondsText(timeoutMs);
  }
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

FetchResult ReadReply(AdapterConnection& connection, MediaReplyReader& reader,
                      const MediaReplyReader::Sink& sink, const FetchOptions& options,
                      std::string_view handshakeRest) {
  FetchResult result;
  const Clock::time_point since = options.since.value_or(Clock::now());
  auto fail = [&](const std::string& what) {
    result.error = what;
    result.seconds = SecondsSince(since);
    return result;
  };
  bool told = false;  // onAnnounced
  auto tell = [&] {
    if (!told && reader.headerDone()) {
      told = true;
      result.announced = reader.announced();
      if (options.onAnnounced) options.onAnnounced(result.announced);
    }
  };
  bool full = false;  // options.limit reached
  auto deliver = [&](const char* data, size_t n) {
    tell();
    n = static_cast<size_t>(std::min<uint64_t>(n, options.limit - result.mediaBytes));
    result.mediaBytes += n;
    if (n > 0 && sink && !sink(data, n)) return false;
    full = result.mediaBytes >= options.limit;
    return !full;
  };
  auto take = [&](const char* data, size_t n) {
    bool more = reader.Feed(data, n, deliver);
    tell();
    if (reader.complete()) result.lastByteSeconds = SecondsSince(since);
    return more;
  };

  // Why a piece ended the reading short.
  auto stopped = [&] {
    return fail(reader.stopped()
                    ? "the fetch was ended at offset " + std::to_string(reader.offset())
                    : reader.error());
  };
  full = reader.headerDone() && options.limit == 0;
  if (!full && !take(handshakeRest.data(), handshakeRest.size()) && !full) return stopped();
  static thread_local std::vector<char> buffer;
  buffer.resize(std::max<size_t>(options.bufferSize, 1));
  while (!full) {
    ssize_t n = connection.Receive(buffer.data(), buffer.size(), options.idleTimeoutMs);
    if (n == AdapterConnection::kClosed) break;
    if (n < 0) {
      return fail(ReadEndText(n, options.idleTimeoutMs) +
                  (reader.headerDone() ? "" : std::string(" in ") + reader.headerName()) +
                  " at offset " + std::to_string(reader.offset()));
    }
    if (reader.offset() == 0) result.firstByteSeconds = SecondsSince(since);
    if (!take(buffer.data(), static_cast<size_t>(n)) && !full) return stopped();
  }
  if (!full && reader.offset() == 0) {
    result.nothingSent = true;
    return fail(std::string(kNothingSent) + " at offset 0");
  }
  if (!full && !reader.Finish()) return fail(reader.error());
  tell();
  result.ok = true;
  result.seconds = SecondsSince(since);
  return result;
}

FetchResult Fetch(AdapterConnection& connection, MediaKind kind, std::string_view name,
                  const std::function<bool(const char*, size_t)>& sink,
                  const FetchOptions& options) {
  const Clock::time_point called = Clock::now();
  FetchOptions timed = options;
  timed.since = options.since.value_or(called);
  const double lead = std::chrono::duration<double>(called - *timed.since).count();

  HandshakeAnswers answers;
  answers.listedSize = options.listedSize;
  Handshake handshake =
      SendRequest(connection, kind, name, answers, nullptr, options.idleTimeoutMs);
  if (!handshake.error.empty()) {
    FetchResult result;
    result.nothingSent = handshake.nothingSent;
    result.error = (result.nothingSent ? kNothingSent : handshake.error) + " at offset " +
                   std::to_string(handshake.errorOffset);
    result.seconds = SecondsSince(*timed.since);
    return result;
  }
  MediaReplyReader reader(kind == MediaKind::kPhoto ? kPhotoChunkSize : 0);
  std::string_view rest;
  if (kind == MediaKind::kAvi) {
    // The stream sends whole data blocks from the start and, once less than a block is left
    // before the movie's end, the rest up to it; movie data shorter than a block is thus one
    // whole block (or the rest of the file).
    const uint64_t from = handshake.movieStart, file = handshake.fileLength;
    reader.Expect(from >= file ? 0
                  : from + kStreamBlockSize <= handshake.movieEnd
                      ? std::min<uint64_t>(handshake.movieEnd, file) - from
                      : std::min<uint64_t>(kStreamBlockSize, file - from),
                  3 * kAdapterBlockSize + 3 * uint64_t{kStreamBlockSize} + kAdapterBlockSize);
  } else if (kind == MediaKind::kMpeg) {
    // Only an MPEG stream's length is not exact: a RIFF file streams from 64 KiB on and the
    // stream's last piece may repeat bytes; but a stream of the announced file never brings
    // more than its length. Its first block, repeated at the handshake's end, is its first media.
    reader.Expect(handshake.fileLength, 2 * kAdapterBlockSize + 2 * uint64_t{kStreamBlockSize},
                  kRiffStreamStart);
    rest = handshake.firstBlock;
  }
  FetchResult result = ReadReply(connection, reader, sink, timed, rest);
  if (kind == MediaKind::kAvi || kind == MediaKind::kMpeg) {
    result.firstByteSeconds = lead + handshake.firstByteSeconds;
  }
  return result;
}

std::string ReadListing(AdapterConnection& connection, int timeoutMs,
                        const ListingReader::OnEntry& onEntry,
                        const std::function<void(const char*, size_t)>& raw,
                        Clock::time_point until) {
  if (!connection.SendBlock("<1")) return "the listing request could not be sent";
  ListingReader reader(onEntry);
  std::vector<char> buffer(64 * 1024);
  uint64_t received = 0;
  for (;;) {
    const int64_t leftMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    if (leftMs <= 0) return kListingCutAtDeadline;
    ssize_t n = connection.Receive(buffer.data(), buffer.size(),
                                   static_cast<int>(std::min<int64_t>(timeoutMs, leftMs)));
    if (n == AdapterConnection::kTimedOut && Clock::now() >= until) return kListingCutAtDeadline;
    if (n == AdapterConnection::kClosed) break;
    if (n < 0) return ReadEndText(n, timeoutMs) + " at offset " + std::to_string(received);
    if (raw) raw(buffer.data(), static_cast<size_t>(n));
    received += static_cast<uint64_t>(n);
    if (!reader.Feed(buffer.data(), static_cast<size_t>(n))) return reader.error();
  }
  return reader.Finish() ? "" : reader.error();
}

std::string ControlBlock(std::string_view command, std::string_view number) {
  std::string block(kAdapterBlockSize, '\0');
  block.replace(0, std::min(command.size(), size_t{3}), command.substr(0, 3));
  block.replace(3, std::min(number.size(), kAdapterBlockSize - 3), number.substr(0, 253));
  return block;
}

}  // namespace rureza
