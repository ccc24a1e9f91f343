// The media folders as the operator needs to hear of them: a folder that is missing or cannot
// be read costs one activity-log line naming it and the reason when a run starts and when a
// listing finds it so, and one more when it can be read again; never the same news twice in a
// row. The status page asks how each folder is now and how many files the last listing that
// went through it whole found there.
// Thread safety: any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "settings/server_settings.h"

namespace rureza {

// Looks at every media folder of settings, each reported afresh (a run starts).
void CheckMediaFolders(const ServerSettings& settings);

// Looks at one media folder (videoFolder, audioFolder or photoFolder of settings) and logs a
// change since the last look.
void CheckMediaFolder(const ServerSettings& settings, PathField ServerSettings::*folder);

// A listing went through folder (a field as above) and found files in it.
void NoteFolderListed(PathField ServerSettings::*folder, int64_t files);

struct MediaFolderState {
  std::string kind;          // "video", "audio", "photo"
  std::string path;          // as set, "~/" made the home folder
  std::string problem;       // empty when it can be read: "is not set", "cannot be read: <why>"
  int64_t filesListed = -1;  // by the last whole listing; -1: none yet
};
// Each media folder of settings as it is now (looked at afresh, nothing logged).
std::vector<MediaFolderState> MediaFolderStates(const ServerSettings& settings);

}  // namespace rureza
