#include "delivery/media_path.h"

namespace rureza {

File OpenMediaFile(const MediaPath& path) {
  if (!path.servable) return File();
  return File::OpenShared(path.text);
}

}  // namespace rureza
