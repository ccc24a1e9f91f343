// ConvertedStream: a song as delivery streams it when its bytes come from a conversion. It has
// a length known before the first byte, and hands out its bytes as spans of an open File
// ("this file, from this file offset, this many bytes are ready"), so that the stream sends
// them the way it sends a file's (sendfile, from the span's file offset). Where the bytes come
// from (the cache, the conversion writing the cache entry, or a conversion started at a seek)
// is the stream's own business; delivery sees no codec.
// Thread safety: one thread (the stream's client thread) uses an object at a time; it may
// share conversions with the streams of other plays behind the scenes.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file.h"

namespace rureza {

class ConvertedStream {
 public:
  virtual ~ConvertedStream() = default;

  // The exact number of bytes of the whole stream; the same for the object's whole life.
  virtual int64_t length() const = 0;

  struct Span {
    enum class State {
      kReady,    // bytes from fileOffset of *file are the stream's bytes from the offset asked
      kWaiting,  // not yet: ask again (the caller checks its own stop conditions in between)
      kEnd,      // the offset is at or beyond length()
      kFailed,   // the conversion failed; the stream cannot go on ("Can Not Convert File" is
                 // logged once by the object)
    };
    State state = State::kWaiting;
    File* file = nullptr;    // kReady: owned by the stream object, valid until the next call
    int64_t fileOffset = 0;  // kReady: where the bytes lie in *file
    int64_t bytes = 0;       // kReady: at least min(wanted, length() - offset), often more
  };

  // The bytes from offset on. Ready when at least min(wanted, length() - offset) of them are;
  // otherwise waits for them up to waitMs and then says kWaiting. Any offset may be asked at
  // any time (the adapter seeks by byte offset): one far beyond what is converted starts a
  // conversion at that point, whose first bytes are ready within a second.
  // The caller positions *file itself (File::Seek to fileOffset) and may read or sendfile from
  // it up to the span's end; it must not write to it.
  virtual Span BytesAt(int64_t offset, int64_t wanted, int waitMs) = 0;

  // Why the stream failed (empty unless a span said kFailed): for tests and diagnostics.
  virtual std::string failure() const = 0;
};

}  // namespace rureza
