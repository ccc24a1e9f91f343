#include "delivery/media_path.h"

namespace rureza {

File OpenMediaFile(const MediaPath& path) {
  if (!path.servable) return File();
  File file = File::OpenShared(path.text);
  if (file.valid() && !path.insideOf.empty()) {
    // Checked on what was opened, so a link swapped in after any earlier check changes nothing.
    const std::string real = file.RealPath();
    const std::string& folder = path.insideOf;
    const bool inside = real.size() > folder.size() &&
                        real.compare(0, folder.size(), folder) == 0 &&
                        (real[folder.size()] == '/' || folder == "/");
    if (!inside) return File();
  }
  return file;
}

}  // namespace rureza
