// SHA-256 (FIPS 180-4), for tests that check large transfers end to end.
// Thread safety: one object per thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace rureza::test {

class Sha256 {
 public:
  Sha256();
  void Update(std::string_view bytes);
  // The digest as 64 lower-case hex digits. The object must not be updated afterwards.
  std::string HexDigest();

 private:
  void Compress(const uint8_t* block);

  std::array<uint32_t, 8> state_;
  uint8_t buffer_[64];
  size_t buffered_ = 0;
  uint64_t length_ = 0;  // bytes
};

std::string Sha256Hex(std::string_view bytes);

}  // namespace rureza::test
