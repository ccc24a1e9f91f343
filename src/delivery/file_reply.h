// The reply of the still image and of the firmware image: a 256-byte length block, then the
// file's contents in fixed-size chunks, each sent by one SendAll call.
// Thread safety: each call uses its own buffer; any number may run at once.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file.h"
#include "platform/socket.h"

namespace rureza {

struct ChunkShape {
  uint32_t chunkSize;
  // A short last chunk is filled up to chunkSize with '0' bytes (else it is sent short).
  bool padLastChunk;
};

// Sends the length block carrying length as decimal text, then exactly length bytes of file
// from its current position in chunks of shape.chunkSize. The reply never carries more or
// other file bytes than the length block announced: when the file cannot be read up to length
// (a read error, or the file shrank), the reply ends at once without padding and the
// uncounted line "Can Not Read File : <path>" is appended. A failed send also ends it, since
// nothing more can reach the adapter. Reuses one chunk buffer for the whole file.
void SendLengthAndFile(const Socket& socket, File& file, uint32_t length, ChunkShape shape,
                       const std::string& path);

}  // namespace rureza
