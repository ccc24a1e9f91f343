// A test media adapter on 127.0.0.1: request and control connections that send 256-byte blocks
// and read exact byte counts, every read with a time limit so that no test hangs.
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
  ~AdapterClient() { Close(); }
  AdapterClient(AdapterClient&& other) noexcept;
  AdapterClient& operator=(AdapterClient&& other) noexcept;

  bool Connect(uint16_t port, int timeoutMs = kDefaultTimeoutMs);
  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  bool SendBlock(std::string_view text);  // text, then zero bytes up to 256
  bool SendRaw(std::string_view bytes);
  // Exactly n bytes; nullopt when the connection ends or the time passes first.
  std::optional<std::string> ReadExact(size_t n, int timeoutMs = kDefaultTimeoutMs);
  // Everything until the server closes; nullopt on time-out or more than maxBytes.
  std::optional<std::string> ReadToClose(int timeoutMs = kDefaultTimeoutMs,
                                         size_t maxBytes = 64u << 20);
  bool ClosedWithoutData(int timeoutMs = kDefaultTimeoutMs);  // closed, nothing more sent
  bool SilentFor(int ms);                                     // nothing arrives for ms
  void ShutdownWrite();                                       // the server sees the end
  void Reset();                                               // the server sees a reset
  void Close();

 private:
  int fd_ = -1;
};

// A 256-byte block: text then zero bytes.
std::string Block(std::string_view text);

// Sends payload to UDP 127.0.0.1:port; the first answer within timeoutMs.
std::optional<std::string> Probe(uint16_t port, std::string_view payload, int timeoutMs);

}  // namespace rureza::test
