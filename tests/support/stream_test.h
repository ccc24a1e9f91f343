// Helpers for the streaming tests: media files whose every 4-byte word holds its own offset (so
// a misplaced byte shows), command blocks, and a fixture that plays files through the live
// server and drives the control port as an adapter would.
#pragma once

#include <string>
#include <string_view>

#include "support/adapter_client.h"
#include "support/test_server.h"

namespace rureza::test {

inline constexpr size_t kBlock = 32768;
// For reads of whole streams, which take a while under the sanitizers on a loaded machine.
inline constexpr int kLongReadMs = 60000;

// n bytes; the aligned 4-byte word at offset w holds w, little-endian.
std::string OffsetBytes(size_t n);
// A 256-byte command block: head in bytes 0 to 2 ("<8", "<59"), number from byte 3.
std::string Command(std::string_view head, std::string_view number = "");
// Reads until nothing has arrived for quietMs or the connection ends.
std::string ReadUntilQuiet(AdapterClient& client, int quietMs = 300);

class StreamTest : public ServerTest {
 protected:
  static constexpr int kRunThreads = 2;  // listener and discovery

  // Writes a media file (relative to the media tree) and returns its content.
  std::string Media(const std::string& relative, const std::string& content) {
    media_.Write(relative, content);
    return content;
  }
  // Asks to play name with media type digit type.
  AdapterClient Play(char type, const std::string& name);
  AdapterClient Control();
  // Waits until exactly n server threads are left.
  bool WaitForThreads(int n);
};

}  // namespace rureza::test
