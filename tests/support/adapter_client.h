// A test media adapter: opens request and control connections to a server on 127.0.0.1, sends
// 256-byte blocks and reads exact byte counts, every read with a time limit, so no test hangs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace rureza::test {

inline constexpr int kDefaultTimeoutMs = 10000;

class AdapterClient {
 public:
  AdapterClient() = default;
  ~AdapterClient();
  AdapterClient(AdapterClient&& other) noexcept;
  AdapterClient& operator=(AdapterClient&& other) noexcept;
  AdapterClient(const AdapterClient&) = delete;
  AdapterClient& operator=(const AdapterClient&) = delete;

  // Connects to 127.0.0.1:port; false on failure.
  bool Connect(uint16_t port, int timeoutMs = kDefaultTimeoutMs);
  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // text, then zero bytes up to 256.
  bool SendBlock(std::string_view text);
  bool SendRaw(std::string_view bytes);

  // Exactly n bytes, or nullopt when the connection ends or the time limit passes first.
  std::optional<std::string> ReadExact(size_t n, int timeoutMs = kDefaultTimeoutMs);
  // Everything until the server closes the connection. nullopt when the time limit passes
  // first or more than maxBytes arrive.
  std::optional<std::string> ReadToClose(int timeoutMs = kDefaultTimeoutMs,
                                         size_t maxBytes = 64u << 20);
  // True when the server closes within timeoutMs without sending anything more.
  bool ClosedWithoutData(int timeoutMs = kDefaultTimeoutMs);
  // True when nothing at all arrives within ms (the connection stays open and silent).
  bool SilentFor(int ms);

  // Half-close: the server's receive sees the end.
  void ShutdownWrite();
  // Abortive close: the server sees a reset.
  void Reset();
  void Close();

 private:
  int fd_ = -1;
};

// A 256-byte block: text then zero bytes.
std::string Block(std::string_view text);

// Sends payload to 127.0.0.1:port over UDP and returns the first answer within timeoutMs.
std::optional<std::string> Probe(uint16_t port, std::string_view payload, int timeoutMs);

}  // namespace rureza::test
