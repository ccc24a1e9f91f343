// The fixture of the hostile-adapter and fault tests: the live server with an ordinary file, the
// adapter's side of each request, and the recovery check every case ends with.
#pragma once

#include <string>
#include <string_view>

#include "support/reliability_record.h"
#include "support/stream_test.h"

namespace rureza::test {

// Loops run a tenth as often where the sanitizers make every call slow.
#ifdef RUREZA_SANITIZED
inline constexpr int kSlowdown = 10;
#else
inline constexpr int kSlowdown = 1;
#endif

// Audio, AVI, MPEG, still image, firmware image.
inline const std::string kKinds = "avmsf";
std::string KindName(char kind);

class HostileTest : public StreamTest {
 protected:
  void TearDown() override;
  void Begin();        // starts the server and notes descriptors and threads
  void ExpectEnded();  // no client left, no thread but the run's own
  // The next ordinary request served byte for byte, descriptors and threads back at the start.
  void ExpectRecovered();
  // raw on a new connection; the reply up to the server's close, once its client has gone.
  std::optional<std::string> Exchange(std::string_view raw);
  AdapterClient Send(std::string_view block);  // a connection that has sent block
  // The adapter's side of the AVI handshake up to the movie data, and of the MPEG one that asks
  // for the end; what they read is appended to *got.
  AdapterClient PlayAvi(const std::string& name, const std::string& probe, const std::string& end,
                        const std::string& start, std::string* got = nullptr);
  AdapterClient PlayMpeg(const std::string& name, const std::string& scale,
                         std::string* got = nullptr);

  // Media of every kind (the MPEG file in blocks) and the firmware image.
  void UseFiles(size_t song, size_t movie, size_t mpegBlocks, size_t image, size_t firmware);
  // A request of kind (see kKinds) as a fair adapter makes it, through its handshake, which is
  // appended to *got; the whole reply it gets; and that reply as it arrives, once its client
  // has gone, after a half-close if asked.
  AdapterClient Open(char kind, std::string* got = nullptr);
  std::string Reply(char kind) const;
  std::string Fetch(char kind, bool halfClose = false);

  std::string served_;  // the whole reply to the ordinary request
  std::string song_, movie_, mpeg_, image_, firmware_;

 private:
  int descriptors_ = 0, tasks_ = 0;
};

}  // namespace rureza::test
