// Adapters that read a stream at a playing pace through a small receive buffer, as a set-top
// box does, for peer_bench: the slow adapters of bench/run (one steered among many), the bytes
// of the old position an adapter still hears after it steers a stream (audio seek, AVI resume
// after fast forward, MPEG backward step), and the kernel memory that many such adapters hold
// in the server's send queues. Every 4-byte word of the media files holds its own offset
// (little-endian), so a reader sees where a stream jumps to. Every wait has a time limit.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "adapter/connection.h"
#include "adapter/exchange.h"

namespace bench {

using Clock = std::chrono::steady_clock;

// The paced adapters' files (audio/slow.mp3, video/slow.avi, video/slow.mpg): long enough in
// every mode that the server, however far ahead of them it sends, never reaches their end.
inline constexpr uint32_t kSlowFileBytes = 64u << 20;

// One adapter's stream, read at its pace. Watched, it follows the words of the file in the bytes
// and notices where the stream jumps to.
class PacedStream {
 public:
  PacedStream(double bytesPerSecond, int receiveBuffer, bool watched = false)
      : bytesPerSecond_(bytesPerSecond), receiveBuffer_(receiveBuffer), watched_(watched) {}

  // Connects, requests name and speaks the handshake up to the media data (for audio, reads the
  // length block); false when that fails. AVI: the movie from 2048 up to two blocks before the
  // end of the file. MPEG: with its end, backward steps of three blocks.
  bool Open(uint16_t port, rureza::MediaKind kind, const std::string& name);
  // The same from another loopback address (127.0.0.2, say): another adapter's, so that the
  // control port never hands this stream's connection to one of those of 127.0.0.1.
  bool Open(uint16_t port, rureza::MediaKind kind, const std::string& name, in_addr from) {
    connection_.SetLocalAddress(from);
    return Open(port, kind, name);
  }

  // Reads at the adapter's pace (each read when the bytes before it have played) until `until`;
  // false when the stream ended or failed.
  bool PlayUntil(Clock::time_point until);

  // After a seek: reads until the stream jumps, at the adapter's pace up to pacedUntil and then
  // as fast as the bytes come (the adapter drops what it had buffered, of the old position).
  // The offset it jumped to, when its first byte came and how many bytes of the old position
  // came before it; nullopt when the stream ends or `until` passes first.
  std::optional<uint32_t> DrainToJump(Clock::time_point until, Clock::time_point* when,
                                      uint64_t* oldBytes, Clock::time_point pacedUntil = {});

  // After Stop: reads as fast as the bytes come until the server closes. When the last byte
  // and the close came; false when the connection failed.
  bool DrainToClose(Clock::time_point* lastByte, Clock::time_point* closed);

  uint32_t length() const { return length_; }
  // The file offset the stream has come to.
  uint32_t position() const { return lastWord_ + 4; }

 private:
  ssize_t Receive();
  // When the next read is due: the bytes read since the pace began take their time to play.
  Clock::time_point Due() const;
  void Watch(const char* data, size_t n);
  void Repace() {
    paceStart_ = Clock::now();
    paced_ = 0;
  }

  const double bytesPerSecond_;
  const int receiveBuffer_;
  const bool watched_;
  rureza::AdapterConnection connection_;
  char buffer_[32 * 1024];  // a data block a read
  uint32_t length_ = 0;
  Clock::time_point paceStart_, lastByte_;
  double paced_ = 0;  // bytes read since paceStart_
  uint32_t word_ = 0, wordBytes_ = 0, lastWord_ = 0;
  bool seenWord_ = false, jumped_ = false;
  uint32_t jumpedTo_ = 0;
  Clock::time_point jumpTime_;
  uint64_t watchedBytes_ = 0, jumpAt_ = 0;  // payload bytes watched; where the jump came
};

// One adapter of the stale-bytes measurement: its stream kind and pace.
struct StaleCase {
  rureza::MediaKind kind;
  double bytesPerSecond;
};

// Each case's adapter (a 16 KiB receive buffer) plays its stream for `seconds`, all at once,
// then steers it: an audio fast forward far ahead with Play in the same write, an AVI fast
// forward and then Play with a resume far ahead, an MPEG backward step. For each, the bytes of
// the old position it reads after the Play (or the backward command) before the first byte of
// the new one; nullopt when the stream did not go where it was sent.
std::vector<std::optional<uint64_t>> MeasureStaleBytes(uint16_t port,
                                                       const std::vector<StaleCase>& cases,
                                                       double seconds);

// `adapters` adapters (16 KiB receive buffers) read audio streams at bytesPerSecond for
// `seconds`; then the sum of the send queues of the server's connections on port (the bytes not
// yet acknowledged by the adapters, /proc/net/tcp's tx_queue). nullopt when a stream failed.
std::optional<uint64_t> SendQueuesOfSlowAdapters(uint16_t port, int adapters, double bytesPerSecond,
                                                 double seconds);

// The media files' bytes: every 4-byte word holds its own offset (little-endian), so a reply can
// be checked as it arrives and a stream's position read from its bytes. WritePatternFile makes
// such a file of length bytes; false when it cannot be written.
uint8_t PatternByte(uint64_t offset);
bool WritePatternFile(const std::filesystem::path& path, uint64_t length);

// The p-th fraction's value of values (nearest rank); 0 for none.
double Percentile(std::vector<double> values, double p);

// Slow adapters: audio streams of slow.mp3 read at 2 MB/s through a 64 KiB receive buffer. One
// steered adapter and adapters - 1 others; the steered one seeks `seeks` times (fast forward to
// a target, then Play, in one write) and then stops.
struct SlowRound {
  bool ok = false;
  std::vector<double> reactionsMs;  // each seek's, then Stop's (to the stream's last byte)
  std::vector<double> oldKib;       // each seek's bytes of the old position on their way
  double stopToCloseMs = 0;
};
SlowRound SteerSlowStreams(uint16_t port, int adapters, int seeks, int round);

}  // namespace bench
