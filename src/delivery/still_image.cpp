#include <cstdint>

#include "conversion/process_conversions.h"
#include "delivery/delivery.h"
#include "delivery/file_reply.h"
#include "names/library_walk.h"
#include "names/media_endings.h"
#include "server/activity_log.h"
#include "server/server_run.h"

namespace rureza {
namespace {

// The adapter reads photos in chunks of 32,767 bytes (not 32,768), the last one padded.
constexpr ChunkShape kStillImageChunks{32767, /*padLastChunk=*/true};
// The length travels as signed 32-bit decimal text; a longer photo cannot be announced.
constexpr int64_t kLongestStillImage = INT32_MAX;

// A slideshow shows the folder's photos in listing order: the next ones are converted ahead,
// in the background, so that they are ready when asked for.
constexpr size_t kPhotosAhead = 2;

void PrefetchNextPhotos(const std::shared_ptr<Conversions>& conversions, const MediaPath& path,
                        PhotoBox box) {
  const std::string native = path.open.empty() ? NativePath(path.text) : path.open;
  const size_t slash = native.rfind('/');
  if (slash == std::string::npos) return;
  auto next = [conversions, path, native, slash, box] {
    std::vector<SourceFile> sources;
    const std::string folder = native.substr(0, slash);
    for (const std::string& name :
         NextListedFiles(folder, std::string_view(native).substr(slash + 1), ListingFolder::kPhoto,
                         true, kPhotosAhead)) {
      MediaPath next = path;
      next.open = folder + "/" + name;
      next.converted = EndingOf(ListingFolder::kPhoto, name, true).converted;
      SourceFile source = ConversionSource(next, OpenMediaFile(next));
      bool unplayable = false;
      if (source.file.valid() &&
          (next.converted || conversions->JpegNeedsConversion(source, box, &unplayable))) {
        sources.push_back(std::move(source));
      }
    }
    return sources;
  };
  conversions->PrefetchPhotos(std::move(next), box);
}

}  // namespace

// The stop flag is not consulted: once a photo is announced it is sent whole.
void SendStillImage(const Socket& socket, ServerRun& run, const MediaPath& path) {
  File file = OpenMediaFile(path);
  int64_t length = file.valid() ? file.Length() : -1;
  // A photo of another format, or a .jpg the adapter cannot show well, goes as the baseline JPEG
  // it is converted to; a .jpg that is fine goes untouched.
  const std::shared_ptr<Conversions> conversions = ConversionsFor(run.settings().library);
  if (conversions && path.servable) {
    SourceFile source = ConversionSource(path, file);
    const PhotoBox box = BoxOf(run.settings().library.photoSize);
    if (path.converted && !source.file.valid()) {
      AppendLogUncounted(Format("Can Not Convert File : %s", path.open.c_str()));
      return;
    }
    bool unplayable = false;
    const bool needs = !path.converted && source.file.valid() &&
                       conversions->JpegNeedsConversion(source, box, &unplayable);
    const bool convert = path.converted || needs;
    if (unplayable) length = -1;  // no picture: never sent as it is
    if (convert) {
      Conversions::Photo photo = conversions->OpenPhoto(std::move(source), box);
      if (!photo.file.valid()) return;  // the conversion said why
      file = std::move(photo.file);
      length = photo.length;
    }
    PrefetchNextPhotos(conversions, path, box);
  }
  if (length < 0 || length > kLongestStillImage) {
    AppendLogUncounted(Format("Can Not Play File : %s", path.text.c_str()));
    return;
  }
  // Below 2^31 the unsigned text the reply writes is the signed text the adapter reads.
  SendLengthAndFile(socket, file, static_cast<uint32_t>(length), kStillImageChunks, path.text);
}

}  // namespace rureza
