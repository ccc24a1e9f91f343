// The process's conversions: started once by the front-end when a run first has conversion on,
// used by the listing and by delivery for every run with conversion on, ended when the process
// ends. A run with conversion on and no conversions started lists and plays as with it off.
// Thread safety: every function may be called from any thread.
#pragma once

#include <memory>

#include "conversion/conversions.h"
#include "settings/server_settings.h"

namespace rureza {

// Starts the process's conversions with settings unless they run already; the cache's problem,
// if any, becomes an activity-log line. Returns them (also when they ran already); null, with a
// log line, when the converter program cannot be run (then nothing is converted).
std::shared_ptr<Conversions> StartProcessConversions(const ConversionSettings& settings);

// The process's conversions when a run with these options is to use them: null when conversion
// is off or none were started.
std::shared_ptr<Conversions> ConversionsFor(const LibraryOptions& options);

// Ends every conversion at once: the plays that wait for one fail; nothing new is converted.
void StopProcessConversions();
// Stops them and lets go of them; waits (up to 5 s) until their converters and the cache's
// folder are free. Start may be called again afterwards.
void EndProcessConversions();

// A photo size as the converter takes it.
inline PhotoBox BoxOf(PhotoSize size) { return {size.width, size.height}; }
inline VideoStandard StandardOf(TvStandard standard) {
  return standard == TvStandard::kNtsc ? VideoStandard::kNtsc : VideoStandard::kPal;
}

// What a video is converted to in a run with options: its TV standard and subtitles, subtitle
// files that are not UTF-8 read in the locale's legacy code page (AdapterCharsetForLocale), the
// locale's language preferred for sound and subtitles.
VideoRequest VideoRequestFor(const LibraryOptions& options);

}  // namespace rureza
