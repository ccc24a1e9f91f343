// Helpers for protocol tests of the delivery routines: sparse files, one request answered to
// its end, and faults in the server's file reads.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "support/adapter_client.h"
#include "support/test_server.h"

namespace rureza::test {

// Creates (or cuts) path as a sparse file of size bytes.
void MakeSparseFile(const std::filesystem::path& path, uint64_t size);

// Sends text on a new connection; everything up to the server's close (nullopt on time-out or
// more than maxBytes), once its client thread has ended.
std::optional<std::string> Fetch(uint16_t port, std::string_view text, size_t maxBytes = 64u << 20);

int32_t SendCalls();

// Injected into the server's file reads (read and file-to-pipe splice): they fail with EIO once
// bytes bytes have been read (-1: no limit, so a test can set one while the server runs), or
// files grow while they are read. Install before the server starts.
void FailFileReadsAfter(int64_t bytes);
void MakeFilesGrowWhileRead();
// Back to plain reads (the injected calls stay in place).
void ResetFileFaults();

// ServerTest that also undoes injected faults when the test ends.
class DeliveryTest : public ServerTest {
 protected:
  void TearDown() override;
};

}  // namespace rureza::test
