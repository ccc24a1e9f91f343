// The settings file: the 1026-byte image of ServerSettings (no header, no checksum), then the
// library tail with the library options (settings/library_tail.h), which a file of 1026 bytes
// lacks: all of them off. Loads and saves open the existing file for reading and writing, held
// by nobody else; a file whose owner-write bit is clear therefore refuses both.
// A tail that cannot be read (garbage, cut short, an unknown character set) does not fail a
// load: what it cannot say is off, and the load's note (one line for the activity log) says so.
// A save never leaves a half-written file: it writes a temporary file beside the old one and
// renames it over the old one.
// Errors carry the platform's text for the file error (Status::text), for the operator.
// Thread safety: call from one thread (the front-end's main thread).
#pragma once

#include <string>

#include "platform/status.h"
#include "settings/server_settings.h"

namespace rureza {

// The settings file's name, relative to the current directory.
inline constexpr char kSettingsFileName[] = ".//sv.dat";

// Lays the file's first 1026 bytes (or all of a shorter file) over *settings and sets its
// library options from the tail. *note (when given): empty, or the tail's problem. On failure
// *settings is unchanged.
Status LoadSettingsFile(const std::string& path, ServerSettings* settings,
                        std::string* note = nullptr);

// Writes the 1026-byte image at the file's start, then the library tail: the old one when it
// says the same options, a new one in its place when not, none when the old file has none and
// every option is off. Whatever else the old file held beyond 1026 bytes and its permission
// bits are kept. The file must exist. On failure the old file is unchanged.
Status SaveSettingsFile(const std::string& path, const ServerSettings& settings);

// The setup dialog's load: .//sv.dat in the current directory when it can be opened (its
// absolute path then becomes the remembered settings path), else the remembered path.
Status LoadSettingsWithPathChoice(ServerSettings* settings, std::string* note = nullptr);

// The absolute path of the file the last LoadSettingsWithPathChoice opened; empty before.
std::string RememberedSettingsPath();

// Port 4567, client limit 8, log-line limit 1000, the user's standard Videos, Music and
// Pictures folders where they exist (else empty), no firmware image, and the library options
// of a new install (NewInstallLibraryOptions).
ServerSettings DefaultSettings();

// Creates a missing settings file with DefaultSettings() (its library tail included) and loads
// it; an existing file is just loaded.
Status LoadOrCreateSettingsFile(const std::string& path, ServerSettings* settings,
                                std::string* note = nullptr);

}  // namespace rureza
