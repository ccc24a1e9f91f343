#include "delivery/file_reply.h"

#include <algorithm>
#include <cstdio>

#include "server/activity_log.h"
#include "server/client_activity.h"
#include "server/transfer.h"

namespace rureza {
namespace {

constexpr size_t kLengthBlockSize = 256;

}  // namespace

void SendLengthAndFile(const Socket& socket, File& file, uint32_t length, ChunkShape shape,
                       const std::string& path) {
  char lengthBlock[kLengthBlockSize] = {};
  std::snprintf(lengthBlock, sizeof lengthBlock, "%u", length);
  NoteClientLength(length);
  if (SendAll(socket, lengthBlock, sizeof lengthBlock) < 0) return;

  // The file's bytes go from the page cache to the socket, several chunks to a system call;
  // each chunk still counts as one send, as it did when each was read and sent on its own.
  FileBlockSender chunks;
  const uint32_t chunk = shape.chunkSize;
  const uint32_t perTake = std::max<uint32_t>(1, FileBlockSender::kMostTaken / chunk) * chunk;
  uint32_t left = length;
  while (left > 0) {
    const uint32_t wanted = std::min(left, perTake);
    uint32_t beforeError = 0;
    const int64_t got = chunks.Take(file, wanted, &beforeError);
    // The chunks read whole go out; the one the read failed or came short in does not.
    const uint32_t read = got < 0 ? beforeError : static_cast<uint32_t>(got);
    const uint32_t whole = got == wanted ? wanted : read / chunk * chunk;
    left -= whole;
    const uint32_t pad = got == wanted && left == 0 && shape.padLastChunk && wanted % chunk != 0
                             ? chunk - wanted % chunk
                             : 0;
    if (whole > 0 && !chunks.SendTakenInBlocks(socket, whole, chunk, pad, '0', left > 0)) return;
    NoteClientPosition(length - left);
    if (got != wanted) {
      AppendLogUncounted(Format("Can Not Read File : %s", path.c_str()));
      return;
    }
  }
}

}  // namespace rureza
