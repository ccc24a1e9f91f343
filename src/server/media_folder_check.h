// The media folders as the operator needs to hear of them: a folder that is missing or cannot
// be read costs one activity-log line naming it and the reason when a run starts and when a
// listing finds it so, and one more when it can be read again; never the same news twice in a
// row.
// Thread safety: any thread.
#pragma once

#include "settings/server_settings.h"

namespace rureza {

// Looks at every media folder of settings, each reported afresh (a run starts).
void CheckMediaFolders(const ServerSettings& settings);

// Looks at one media folder (videoFolder, audioFolder or photoFolder of settings) and logs a
// change since the last look.
void CheckMediaFolder(const ServerSettings& settings, PathField ServerSettings::*folder);

}  // namespace rureza
