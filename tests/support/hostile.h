// The fixture of the hostile-adapter tests: the live server with an ordinary file to serve, and
// the check every case ends with (the server alive, the next ordinary request served, no client
// left, descriptors and threads back where they were), plus the adapter's side of the AVI and
// MPEG handshakes for adapters that do not play fair.
#pragma once

#include <cstdint>
#include <future>
#include <string>
#include <string_view>

#include "support/reliability_record.h"
#include "support/stream_test.h"

namespace rureza::test {

// Loops run fewer times where the sanitizers make every call slow.
#ifdef RUREZA_SANITIZED
inline constexpr int kSlowdown = 10;
#else
inline constexpr int kSlowdown = 1;
#endif

class HostileTest : public StreamTest {
 protected:
  void TearDown() override;

  // Starts the server (with settings_ as the test left them) and notes the baseline.
  void Begin();
  // The server survived: no client left, every thread of the test's adapters gone, the next
  // ordinary request served byte for byte, descriptors and threads back at the baseline.
  void ExpectRecovered();

  // One connection: raw, then everything until the server closes it, once its client thread
  // has ended. nullopt when the reply does not end in time.
  std::optional<std::string> Exchange(std::string_view raw);

  // The adapter's side of the AVI handshake, as far as the server goes along: the length and
  // header blocks, the probe block for probe, then the movie end and start. The connection is
  // left at the movie data (or closed by the server).
  AdapterClient PlayAvi(const std::string& name, const std::string& probe, const std::string& end,
                        const std::string& start);
  // The MPEG handshake of an adapter that wants the end, with its scale value.
  AdapterClient PlayMpeg(const std::string& name, const std::string& scale);

  const std::string& ordinary() const { return ordinary_; }

 private:
  std::string ordinary_;
  int descriptors_ = 0;
  int tasks_ = 0;
};

// Reads everything from client on another thread until the server closes it (or the time
// limit passes); the future gives the bytes. Keep client open until the future has been read.
std::future<std::string> DrainInBackground(AdapterClient& client, int timeoutMs = kLongReadMs);

}  // namespace rureza::test
