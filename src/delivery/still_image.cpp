#include <cstdint>

#include "delivery/delivery.h"
#include "delivery/file_reply.h"
#include "server/activity_log.h"

namespace rureza {
namespace {

// The adapter reads photos in chunks of 32,767 bytes (not 32,768), the last one padded.
constexpr ChunkShape kStillImageChunks{32767, /*padLastChunk=*/true};
// The length travels as signed 32-bit decimal text; a longer photo cannot be announced.
constexpr int64_t kLongestStillImage = INT32_MAX;

}  // namespace

// The stop flag is not consulted: once a photo is announced it is sent whole.
void SendStillImage(const Socket& socket, ServerRun& /*run*/, const MediaPath& path) {
  File file = OpenMediaFile(path);
  const int64_t length = file.valid() ? file.Length() : -1;
  if (length < 0 || length > kLongestStillImage) {
    AppendLogUncounted(Format("Can Not Play File : %s", path.text.c_str()));
    return;
  }
  // Below 2^31 the unsigned text the reply writes is the signed text the adapter reads.
  SendLengthAndFile(socket, file, static_cast<uint32_t>(length), kStillImageChunks, path.text);
}

}  // namespace rureza
