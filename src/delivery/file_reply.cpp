#include "delivery/file_reply.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "server/activity_log.h"
#include "server/transfer.h"

namespace rureza {
namespace {

constexpr size_t kLengthBlockSize = 256;

}  // namespace

void SendLengthAndFile(const Socket& socket, File& file, uint32_t length, ChunkShape shape,
                       const std::string& path) {
  char lengthBlock[kLengthBlockSize] = {};
  std::snprintf(lengthBlock, sizeof lengthBlock, "%u", length);
  if (SendAll(socket, lengthBlock, sizeof lengthBlock) < 0) return;

  std::vector<uint8_t> chunk(shape.chunkSize);
  uint32_t left = length;
  while (left > 0) {
    const uint32_t wanted = std::min(left, shape.chunkSize);
    if (file.Read(chunk.data(), wanted) != wanted) {
      AppendLogUncounted(Format("Can Not Read File : %s", path.c_str()));
      return;
    }
    left -= wanted;
    uint32_t toSend = wanted;
    if (wanted < shape.chunkSize && shape.padLastChunk) {
      std::memset(chunk.data() + wanted, '0', shape.chunkSize - wanted);
      toSend = shape.chunkSize;
    }
    if (SendAll(socket, chunk.data(), toSend) < 0) return;
  }
}

}  // namespace rureza
