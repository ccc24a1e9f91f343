#include <cstdint>

#include "delivery/delivery.h"
#include "delivery/file_reply.h"
#include "server/activity_log.h"

namespace rureza {
namespace {

// The image goes out in chunks of 4,096 bytes, the last one short.
constexpr ChunkShape kFirmwareChunks{4096, /*padLastChunk=*/false};
// The length travels as unsigned 32-bit decimal text; a longer image cannot be announced.
constexpr int64_t kLongestFirmwareImage = UINT32_MAX;

}  // namespace

// The exclusive open is what serialises firmware transfers: while one adapter fetches the
// image, another request fails at once instead of waiting. The stop flag is not consulted:
// an adapter must never be left with part of an image because the operator pressed Stop.
void SendFirmwareImage(const Socket& socket, ServerRun& /*run*/, const MediaPath& path) {
  File file = path.servable ? File::OpenExclusive(path.text, /*forWriting=*/false) : File();
  const int64_t length = file.valid() ? file.Length() : -1;
  if (length < 0 || length > kLongestFirmwareImage) {
    AppendLogUncounted(Format("Can Not Open File : %s", path.text.c_str()));
    return;
  }
  SendLengthAndFile(socket, file, static_cast<uint32_t>(length), kFirmwareChunks, path.text);
}

}  // namespace rureza
