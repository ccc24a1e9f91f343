// Helpers for protocol tests of the delivery routines: files of any length (sparse), one
// request answered to its end, the traffic counters, and faults in the server's file reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "support/adapter_client.h"
#include "support/test_server.h"

namespace rureza::test {

// Creates (or cuts) path as a sparse file of size bytes.
void MakeSparseFile(const std::filesystem::path& path, uint64_t size);

// Connects, sends the 256-byte block of text, and returns everything up to the server's
// close; nullopt when the time limit passes or more than maxBytes arrive.
std::optional<std::string> Fetch(uint16_t port, std::string_view text, size_t maxBytes = 64u << 20);

// Waits until every client thread has been counted out (its lines and counters are final).
bool WaitForClientsToLeave();

// TrafficCounters().sendCalls now.
int32_t SendCalls();

// The part of the server's file reads tests can disturb; both take effect from the next
// server start and are undone by ResetSysCalls() and ClearFileReadFaults().
// Reads fail with EIO once bytes bytes have been read.
void FailFileReadsAfter(int64_t bytes);
// action runs once, on the server's thread, just before its first file read.
void BeforeFirstFileRead(std::function<void()> action);
void ClearFileReadFaults();

// ServerTest that also undoes injected faults when the test ends.
class DeliveryTest : public ServerTest {
 protected:
  void TearDown() override;
};

}  // namespace rureza::test
