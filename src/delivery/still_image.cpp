#include <cstdint>

#include "conversion/process_conversions.h"
#include "delivery/delivery.h"
#include "delivery/file_reply.h"
#include "server/activity_log.h"
#include "server/server_run.h"

namespace rureza {
namespace {

// The adapter reads photos in chunks of 32,767 bytes (not 32,768), the last one padded.
constexpr ChunkShape kStillImageChunks{32767, /*padLastChunk=*/true};
// The length travels as signed 32-bit decimal text; a longer photo cannot be announced.
constexpr int64_t kLongestStillImage = INT32_MAX;

}  // namespace

// The stop flag is not consulted: once a photo is announced it is sent whole.
void SendStillImage(const Socket& socket, ServerRun& run, const MediaPath& path) {
  File file = OpenMediaFile(path);
  int64_t length = file.valid() ? file.Length() : -1;
  // A photo of another format, or a .jpg the adapter cannot show well, goes as the baseline JPEG
  // it is converted to; a .jpg that is fine goes untouched.
  const std::shared_ptr<Conversions> conversions = ConversionsFor(run.settings().library);
  if (conversions && path.servable) {
    const std::string source = ConversionSource(path, file);
    const PhotoBox box = BoxOf(run.settings().library.photoSize);
    if (path.converted && source.empty()) {
      AppendLogUncounted(Format("Can Not Convert File : %s", path.open.c_str()));
      return;
    }
    if (path.converted || (!source.empty() && conversions->JpegNeedsConversion(source, box))) {
      Conversions::Photo photo = conversions->OpenPhoto(source, box);
      if (!photo.file.valid()) return;  // the conversion said why
      file = std::move(photo.file);
      length = photo.length;
    }
  }
  if (length < 0 || length > kLongestStillImage) {
    AppendLogUncounted(Format("Can Not Play File : %s", path.text.c_str()));
    return;
  }
  // Below 2^31 the unsigned text the reply writes is the signed text the adapter reads.
  SendLengthAndFile(socket, file, static_cast<uint32_t>(length), kStillImageChunks, path.text);
}

}  // namespace rureza
