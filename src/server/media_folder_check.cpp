#include "server/media_folder_check.h"

#include <iterator>
#include <mutex>
#include <string>

#include "platform/file.h"
#include "server/activity_log.h"

namespace rureza {
namespace {

struct MediaFolder {
  const char* label;
  PathField ServerSettings::*field;
};

constexpr MediaFolder kMediaFolders[] = {{"Video", &ServerSettings::videoFolder},
                                         {"Audio", &ServerSettings::audioFolder},
                                         {"Photo", &ServerSettings::photoFolder}};

std::mutex g_statesMutex;
// What was last said of each folder (in kMediaFolders' order): empty while it could be read.
std::string g_problems[3];  // guarded by g_statesMutex

}  // namespace

void CheckMediaFolder(const ServerSettings& settings, PathField ServerSettings::*folder) {
  for (size_t i = 0; i < std::size(kMediaFolders); ++i) {
    if (kMediaFolders[i].field != folder) continue;
    const std::string path = PathText(settings.*folder);
    const Status status = CheckFolderReadable(path);
    const std::string problem = path.empty()  ? "is not set"
                                : status.ok() ? ""
                                              : path + " cannot be read: " + status.text;
    std::string line;
    {
      std::lock_guard<std::mutex> lock(g_statesMutex);
      if (problem == g_problems[i]) return;
      line = std::string(kMediaFolders[i].label) + " folder " +
             (problem.empty() ? path + " can be read again" : problem);
      g_problems[i] = problem;
    }
    AppendLog(line);
  }
}

void CheckMediaFolders(const ServerSettings& settings) {
  {
    std::lock_guard<std::mutex> lock(g_statesMutex);
    for (std::string& problem : g_problems) problem.clear();
  }
  for (const MediaFolder& folder : kMediaFolders) CheckMediaFolder(settings, folder.field);
}

}  // namespace rureza
