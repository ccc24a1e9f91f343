#include "paced_adapters.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <thread>

#include "adapter/replies.h"

namespace bench {
namespace {

using rureza::AdapterConnection;
using rureza::ControlBlock;
using rureza::MediaKind;

double SecondsOf(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

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

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t at = static_cast<size_t>(std::ceil(p * static_cast<double>(values.size()))) - 1;
  return values[std::min(at, values.size() - 1)];
}

// ---------------------------------------------------------------------------------------------
// Slow adapters: audio streams read at an adapter's pace, one of them steered over the control
// port.

constexpr double kSlowBytesPerSecond = 2e6;
constexpr int kAdapterReceiveBuffer = 64 * 1024;
constexpr auto kBetweenSeeks = std::chrono::milliseconds(100);

// One steered adapter and adapters - 1 others, all reading slow.mp3 at their pace; the
// steered one seeks `seeks` times (fast forward to a target, then Play, in one write) and then
// stops.
SlowRound SteerSlowStreams(uint16_t port, int adapters, int seeks, int round) {
  SlowRound result;
  PacedStream steered(kSlowBytesPerSecond, kAdapterReceiveBuffer, true);
  if (!steered.Open(port, MediaKind::kAudio, "slow.mp3")) return result;
  // The control port hands a connection to the stream that has waited longest: this one, the
  // only stream yet. Its first seek, before the others start, shows that the connection is its.
  AdapterConnection control;
  if (!control.Connect(rureza::LoopbackAddress(static_cast<uint16_t>(port + 1)),
                       kConnectTimeoutMs)) {
    return result;
  }
  std::mt19937 random(static_cast<unsigned>(round));
  uint64_t oldBytes = 0;
  auto seek = [&]() -> std::optional<double> {
    // Whole blocks in the file's first quarter, at least 1 MiB from where the stream is.
    const uint32_t blocks = steered.length() / 4 / 32768;
    uint32_t target;
    do {
      target = static_cast<uint32_t>(random() % blocks) * 32768;
    } while (std::max(target, steered.position()) - std::min(target, steered.position()) <
             (1u << 20));
    const Clock::time_point sent = Clock::now();
    Clock::time_point reacted;
    if (!control.Send(rureza::ControlBlock("<8", std::to_string(target)) +
                      rureza::ControlBlock("<3"))) {
      return std::nullopt;
    }
    std::optional<uint32_t> to =
        steered.DrainToJump(sent + std::chrono::seconds(5), &reacted, &oldBytes);
    if (to != target) return std::nullopt;
    return SecondsOf(reacted - sent) * 1000;
  };
  if (!steered.PlayUntil(Clock::now() + kBetweenSeeks) || !seek()) {
    std::fprintf(stderr, "peer_bench: the first seek was not taken up\n");
    return result;
  }

  std::atomic<bool> stop{false};
  std::atomic<int> started{0}, broken{0};
  std::vector<std::thread> others;
  for (int i = 1; i < adapters; ++i) {
    others.emplace_back([&] {
      PacedStream stream(kSlowBytesPerSecond, kAdapterReceiveBuffer);
      bool ok = stream.Open(port, MediaKind::kAudio, "slow.mp3");
      started.fetch_add(1);
      while (ok && !stop.load()) ok = stream.PlayUntil(Clock::now() + kBetweenSeeks);
      if (!ok) broken.fetch_add(1);
    });
  }
  const Clock::time_point limit = Clock::now() + std::chrono::seconds(10);
  bool ok = steered.PlayUntil(Clock::now() + kBetweenSeeks);
  while (ok && started.load() < adapters - 1 && Clock::now() < limit) {
    ok = steered.PlayUntil(Clock::now() + std::chrono::milliseconds(10));
  }
  for (int i = 0; ok && i < seeks; ++i) {
    std::optional<double> ms = seek();
    result.oldKib.push_back(oldBytes / 1024.0);
    ok = ms && steered.PlayUntil(Clock::now() + kBetweenSeeks);
    if (ms) result.reactionsMs.push_back(*ms);
  }
  Clock::time_point lastByte, closed;
  const Clock::time_point sent = Clock::now();
  ok = ok && control.Send(rureza::ControlBlock("<4")) && steered.DrainToClose(&lastByte, &closed);
  // A stream that had sent all its file before Stop tells nothing of Stop.
  if (steered.position() >= steered.length()) {
    std::fprintf(stderr, "peer_bench: the steered stream came to its end before Stop\n");
    ok = false;
  }
  result.reactionsMs.push_back(SecondsOf(std::max(lastByte, sent) - sent) * 1000);
  result.stopToCloseMs = SecondsOf(closed - sent) * 1000;
  stop = true;
  for (std::thread& t : others) t.join();
  result.ok = ok && broken.load() == 0 && started.load() == adapters - 1;
  return result;
}

uint8_t PatternByte(uint64_t offset) {
  return static_cast<uint8_t>((offset & ~uint64_t{3}) >> (8 * (offset & 3)));
}

bool WritePatternFile(const std::filesystem::path& path, uint64_t length) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<char> block(1 << 20);
  for (uint64_t at = 0; at < length;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(length - at, block.size()));
    for (size_t i = 0; i < n; ++i) block[i] = static_cast<char>(PatternByte(at + i));
    out.write(block.data(), static_cast<std::streamsize>(n));
    at += n;
  }
  return static_cast<bool>(out);
}

}  // namespace bench
