#include "paced_adapters.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>

#include "adapter/replies.h"

namespace bench {
namespace {

using rureza::AdapterConnection;
using rureza::ControlBlock;
using rureza::MediaKind;

constexpr int kConnectTimeoutMs = 5000;
constexpr int kReadTimeoutMs = 120000;
constexpr int kSmallReceiveBuffer = 16 * 1024;
constexpr uint32_t kBlock = 32768;
// The AVI movie's index region: the file's last two blocks.
constexpr uint32_t kAviIndexBytes = 2 * kBlock;
// Where an audio seek and an AVI resume go: far ahead of where any paced adapter has come, and
// a block further for each adapter, which so tells that its command steered its own stream.
constexpr uint32_t kFarAhead = 40000000;

// Sends kind's steering commands on the control connection, speaking the AVI control exchange
// (the position reply and an index block for fast forward; the index region twice around the
// resend code for Play, then where to resume), to target. False when the adapter could not.
bool Steer(MediaKind kind, AdapterConnection& control, uint32_t to) {
  const std::string target = std::to_string(to);
  if (kind == MediaKind::kAudio) {
    return control.Send(ControlBlock("<8", target) + ControlBlock("<3"));
  }
  if (kind == MediaKind::kMpeg) return control.Send(ControlBlock("<59"));
  return control.Send(ControlBlock("<8")) && control.ReadExact(256 + kBlock, kReadTimeoutMs) &&
         control.Send(ControlBlock("<3")) && control.ReadExact(kAviIndexBytes, kReadTimeoutMs) &&
         control.SendBlock("6666") && control.ReadExact(kAviIndexBytes, kReadTimeoutMs) &&
         control.Send(ControlBlock("", target));
}

// The bytes the server's established connections on port hold unacknowledged or unsent.
uint64_t SendQueueBytes(uint16_t port) {
  std::ifstream in("/proc/net/tcp");
  uint64_t total = 0;
  std::string line;
  std::getline(in, line);  // the heading
  while (std::getline(in, line)) {
    unsigned localPort = 0, state = 0;
    unsigned long txQueue = 0;
    if (std::sscanf(line.c_str(), " %*u: %*x:%x %*x:%*x %x %lx:%*x", &localPort, &state,
                    &txQueue) == 3 &&
        localPort == port && state == 1) {  // 1: established
      total += txQueue;
    }
  }
  return total;
}

}  // namespace

bool PacedStream::Open(uint16_t port, MediaKind kind, const std::string& name) {
  connection_.SetReceiveBuffer(receiveBuffer_);
  if (!connection_.Connect(rureza::LoopbackAddress(port), kConnectTimeoutMs)) return false;
  rureza::HandshakeAnswers answers;
  answers.aviBoundsFromHeader = false;
  answers.aviEnd = std::to_string(kSlowFileBytes - kAviIndexBytes);
  answers.aviStart = "2048";
  answers.mpegScale = "200000";  // backward steps of three blocks
  answers.listedSize = kSlowFileBytes;
  rureza::Handshake handshake =
      rureza::SendRequest(connection_, kind, name, answers, nullptr, kReadTimeoutMs);
  if (!handshake.error.empty()) return false;
  length_ = handshake.fileLength;
  if (kind == MediaKind::kAudio) {
    std::optional<std::string> block =
        connection_.ReadExact(rureza::kAdapterBlockSize, kReadTimeoutMs);
    length_ = block ? rureza::ReadNumberBlock(*block).value_or(0) : 0;
  }
  Repace();
  return length_ > 0;
}

bool PacedStream::PlayUntil(Clock::time_point until) {
  for (;;) {
    std::this_thread::sleep_until(std::min(Due(), until));
    if (Clock::now() >= until) return true;
    if (Receive() <= 0) return false;
  }
}

Clock::time_point PacedStream::Due() const {
  return paceStart_ + std::chrono::duration_cast<Clock::duration>(
                          std::chrono::duration<double>(paced_ / bytesPerSecond_));
}

std::optional<uint32_t> PacedStream::DrainToJump(Clock::time_point until, Clock::time_point* when,
                                                 uint64_t* oldBytes, Clock::time_point pacedUntil) {
  const uint64_t from = watchedBytes_;
  jumped_ = false;
  while (!jumped_) {
    if (Clock::now() < pacedUntil) std::this_thread::sleep_until(std::min(Due(), pacedUntil));
    if (Clock::now() > until || Receive() <= 0) return std::nullopt;
  }
  *when = jumpTime_;
  *oldBytes = jumpAt_ - from;
  Repace();
  return jumpedTo_;
}

bool PacedStream::DrainToClose(Clock::time_point* lastByte, Clock::time_point* closed) {
  ssize_t n;
  while ((n = Receive()) > 0) {
  }
  *lastByte = lastByte_;
  *closed = Clock::now();
  return n == AdapterConnection::kClosed;
}

ssize_t PacedStream::Receive() {
  ssize_t n = connection_.Receive(buffer_, sizeof buffer_, kReadTimeoutMs);
  if (n <= 0) return n;
  lastByte_ = Clock::now();
  paced_ += static_cast<double>(n);
  if (watched_) Watch(buffer_, static_cast<size_t>(n));
  return n;
}

// Every 4-byte word of the payload holds its file offset: the first one that does not follow
// the one before is where the stream jumped to.
void PacedStream::Watch(const char* data, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    word_ |= uint32_t{static_cast<uint8_t>(data[i])} << (8 * wordBytes_);
    if (++wordBytes_ < 4) continue;
    if (seenWord_ && word_ != lastWord_ + 4 && !jumped_) {
      jumped_ = true;
      jumpedTo_ = word_;
      jumpTime_ = lastByte_;
      jumpAt_ = watchedBytes_ + i - 3;
    }
    seenWord_ = true;
    lastWord_ = word_;
    word_ = 0;
    wordBytes_ = 0;
  }
  watchedBytes_ += n;
}

std::vector<std::optional<uint64_t>> MeasureStaleBytes(uint16_t port,
                                                       const std::vector<StaleCase>& cases,
                                                       double seconds) {
  std::vector<std::optional<uint64_t>> stale(cases.size());
  std::vector<std::thread> adapters;
  for (size_t i = 0; i < cases.size(); ++i) {
    const MediaKind kind = cases[i].kind;
    auto stream = std::make_shared<PacedStream>(cases[i].bytesPerSecond, kSmallReceiveBuffer, true);
    auto control = std::make_shared<AdapterConnection>();
    const std::string name = kind == MediaKind::kAudio ? "slow.mp3"
                             : kind == MediaKind::kAvi ? "slow.avi"
                                                       : "slow.mpg";
    if (!stream->Open(port, kind, name) ||
        !control->Connect(rureza::LoopbackAddress(static_cast<uint16_t>(port + 1)),
                          kConnectTimeoutMs)) {
      std::fprintf(stderr, "peer_bench: a paced %s stream did not start\n", KindName(kind));
      continue;
    }
    const Clock::time_point steerAt = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                         std::chrono::duration<double>(seconds));
    const uint32_t target = kFarAhead + static_cast<uint32_t>(i) * kBlock;
    adapters.emplace_back([&stale, i, kind, stream, control, steerAt, target] {
      if (!stream->PlayUntil(steerAt)) return;
      const uint32_t position = stream->position();
      Clock::time_point jumped;
      uint64_t oldBytes = 0;
      // The adapter plays on at its pace for a few seconds, as a player does, its reads falling
      // where they fall; what may still wait beyond them is read at full speed.
      const Clock::time_point now = Clock::now();
      std::optional<uint32_t> to =
          Steer(kind, *control, target)
              ? stream->DrainToJump(now + std::chrono::seconds(60), &jumped, &oldBytes,
                                    now + std::chrono::seconds(3))
              : std::nullopt;
      // Backward goes to blocks before the last one heard: the old bytes continued the
      // position's words.
      if (to && (kind == MediaKind::kMpeg ? *to < position + oldBytes : *to == target)) {
        stale[i] = oldBytes;
      }
      control->Send(ControlBlock("<4"));
    });
    // The control port hands its next connection to the stream that has waited longest: let
    // this one take its own before the next stream waits.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  for (std::thread& adapter : adapters) adapter.join();
  return stale;
}

std::optional<uint64_t> SendQueuesOfSlowAdapters(uint16_t port, int adapters, double bytesPerSecond,
                                                 double seconds) {
  std::atomic<bool> stop{false};
  std::atomic<int> started{0}, broken{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < adapters; ++i) {
    threads.emplace_back([&] {
      PacedStream stream(bytesPerSecond, kSmallReceiveBuffer);
      bool ok = stream.Open(port, MediaKind::kAudio, "slow.mp3");
      started.fetch_add(1);
      while (ok && !stop.load())
        ok = stream.PlayUntil(Clock::now() + std::chrono::milliseconds(100));
      if (!ok) broken.fetch_add(1);
    });
  }
  const Clock::time_point limit = Clock::now() + std::chrono::seconds(30);
  while (started.load() < adapters && Clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const uint64_t queued = SendQueueBytes(port);
  stop = true;
  for (std::thread& t : threads) t.join();
  if (broken.load() > 0 || started.load() < adapters) return std::nullopt;
  return queued;
}

}  // namespace bench
