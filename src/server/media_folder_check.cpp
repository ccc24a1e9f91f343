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
std::string g_problems[3];           // guarded by g_statesMutex
int64_t g_listed[3] = {-1, -1, -1};  // guarded by g_statesMutex: files the last listing found

// What to say of a folder now: empty when it can be read.
std::string ProblemOf(const std::string& path) {
  if (path.empty()) return "is not set";
  const Status status = CheckFolderReadable(path);
  return status.ok() ? "" : "cannot be read: " + status.text;
}

}  // namespace

void CheckMediaFolder(const ServerSettings& settings, PathField ServerSettings::*folder) {
  for (size_t i = 0; i < std::size(kMediaFolders); ++i) {
    if (kMediaFolders[i].field != folder) continue;
    const std::string path = PathText(settings.*folder);
    std::string problem = ProblemOf(path);
    if (!path.empty() && !problem.empty()) problem = path + " " + problem;
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

void NoteFolderListed(PathField ServerSettings::*folder, int64_t files) {
  for (size_t i = 0; i < std::size(kMediaFolders); ++i) {
    if (kMediaFolders[i].field != folder) continue;
    std::lock_guard<std::mutex> lock(g_statesMutex);
    g_listed[i] = files;
  }
}

std::vector<MediaFolderState> MediaFolderStates(const ServerSettings& settings) {
  std::vector<MediaFolderState> states;
  for (size_t i = 0; i < std::size(kMediaFolders); ++i) {
    MediaFolderState state;
    state.kind = kMediaFolders[i].label;
    state.kind[0] = static_cast<char>(state.kind[0] - 'A' + 'a');
    state.path = PathText(settings.*kMediaFolders[i].field);
    state.problem = ProblemOf(state.path);
    {
      std::lock_guard<std::mutex> lock(g_statesMutex);
      state.filesListed = g_listed[i];
    }
    states.push_back(std::move(state));
  }
  return states;
}

void CheckMediaFolders(const ServerSettings& settings) {
  {
    std::lock_guard<std::mutex> lock(g_statesMutex);
    for (std::string& problem : g_problems) problem.clear();
    for (int64_t& files : g_listed) files = -1;
  }
  for (const MediaFolder& folder : kMediaFolders) CheckMediaFolder(settings, folder.field);
}

}  // namespace rureza
