// The fixture of the hostile-adapter and fault tests: the live server with an ordinary file, the
// adapter's side of each request, and the recovery check every case ends with.
#pragma once

#include <functional>
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

// Audio, AVI, MPEG, still image, firmware image: song.mp3, movie.avi, movie.mpg, image.jpg.
inline const std::string kKinds = "avmsf";
std::string KindName(char kind);
// The adapter's side of the AVI handshake up to the movie data, and of the MPEG one that asks
// for the end, on a connection that has sent its request. What they read is appended to *got;
// held runs before the MPEG adapter's last answer.
void AviHandshake(AdapterClient& client, const std::string& probe, const std::string& end,
                  const std::string& start, std::string* got = nullptr);
void MpegHandshake(AdapterClient& client, const std::string& scale, std::string* got = nullptr,
                   const std::function<void()>& held = {});
// The request of kind for a file of size bytes as a fair adapter makes it, through its
// handshake (the AVI stream from 2048 to 50000 bytes before the end); and its whole reply.
void Request(AdapterClient& client, char kind, size_t size, std::string* got = nullptr,
             const std::function<void()>& held = {});
std::string ReplyTo(char kind, const std::string& file);

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
  AdapterClient PlayAvi(const std::string& probe, const std::string& end, const std::string& start);
  AdapterClient PlayMpeg(const std::string& scale);
  // Media of every kind (the MPEG file in blocks), then Request and ReplyTo for them; Fetch
  // gives the reply as it arrives, after a half-close if asked, once its client has gone.
  void UseFiles(size_t song, size_t movie, size_t mpegBlocks, size_t image, size_t firmware);
  AdapterClient Open(char kind, std::string* got = nullptr);
  std::string Reply(char kind) const { return ReplyTo(kind, *files_[kKinds.find(kind)]); }
  std::string Fetch(char kind, bool halfClose = false);

  std::string served_;  // the whole reply to the ordinary request
  std::string song_, movie_, mpeg_, image_, firmware_;

 private:
  const std::string* files_[5] = {&song_, &movie_, &mpeg_, &image_, &firmware_};
  int descriptors_ = 0, tasks_ = 0;
};

}  // namespace rureza::test
