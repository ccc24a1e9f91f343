#include "delivery/media_path.h"

#include "names/library_walk.h"

namespace rureza {

File OpenMediaFile(const MediaPath& path) {
  if (!path.servable) return File();
  File file = path.open.empty() ? File::OpenShared(path.text) : File::OpenSharedNative(path.open);
  // Checked on what was opened, so a link swapped in after any earlier check changes nothing.
  if (file.valid() && !path.insideOf.empty() && !IsInsideFolder(file.RealPath(), path.insideOf)) {
    return File();
  }
  return file;
}

SourceFile ConversionSource(const MediaPath& path, const File& file) {
  if (!file.valid()) return {};
  return {file.Duplicate(), path.insideOf.empty() ? path.open : file.RealPath()};
}

bool MeasuredVideoCheck::MustConvert(std::string_view path,
                                     const EntryAttributes& attributes) const {
  if (!conversions_) return false;
  const SourceStamp stamp{static_cast<int64_t>(attributes.size), attributes.mtimeNs,
                          attributes.ctimeNs, attributes.device, attributes.inode};
  bool measured;
  return conversions_->VideoMustConvert(base_ + std::string(path), stamp, &measured);
}

}  // namespace rureza
