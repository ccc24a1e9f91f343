#include "settings/settings_file.h"

#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <mutex>

#include "platform/file.h"
#include "settings/library_tail.h"

namespace rureza {
namespace {

std::mutex g_rememberedMutex;
std::string g_rememberedPath;  // guarded by g_rememberedMutex

// The record, then the library tail behind it.
Status ReadImage(File* file, const std::string& path, ServerSettings* settings, std::string* note) {
  SettingsImage image{};
  int64_t n = file->Read(image.data(), image.size());
  if (n < 0) return Status::FromErrno(errno);
  std::string after(kMostLibraryTailBytes, '\0');
  int64_t tailBytes =
      n == static_cast<int64_t>(image.size()) ? file->Read(after.data(), after.size()) : 0;
  if (tailBytes < 0) return Status::FromErrno(errno);
  after.resize(static_cast<size_t>(tailBytes));
  LibraryTail tail = ReadLibraryTail(after);
  DecodeSettings(image.data(), static_cast<size_t>(n), settings);
  settings->library = tail.options;
  if (note) *note = tail.problem.empty() ? std::string() : path + ": " + tail.problem;
  return Status::Ok();
}

// Writes whatever beyond the record the old file holds, from its position on.
bool CopyRest(File& old, File& next) {
  char chunk[8192];
  for (;;) {
    int64_t n = old.Read(chunk, sizeof chunk);
    if (n < 0) return false;
    if (n == 0) return true;
    if (!next.Write(chunk, static_cast<size_t>(n))) return false;
  }
}

// $HOME/Videos and the like, as the desktop's user-dirs file names them.
std::string UserFolder(const char* key, const char* fallback) {
  const char* home = std::getenv("HOME");
  std::string homeText = home ? home : "";
  std::string configHome;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
    configHome = xdg;
  } else if (!homeText.empty()) {
    configHome = homeText + "/.config";
  }
  std::string folder;
  if (!configHome.empty()) {
    std::ifstream dirs(configHome + "/user-dirs.dirs");
    std::string line;
    std::string prefix = std::string(key) + "=\"";
    while (std::getline(dirs, line)) {
      if (line.rfind(prefix, 0) != 0 || line.size() < prefix.size() + 1) continue;
      std::string value = line.substr(prefix.size(), line.size() - prefix.size() - 1);
      if (value.rfind("$HOME", 0) == 0) value = homeText + value.substr(5);
      folder = value;
    }
  }
  if (folder.empty() && !homeText.empty()) folder = homeText + "/" + fallback;
  if (folder.size() >= kPathFieldSize || !IsFolder(folder)) return {};
  return folder;
}

}  // namespace

Status LoadSettingsFile(const std::string& path, ServerSettings* settings, std::string* note) {
  Status error;
  File file = File::OpenExclusive(path, /*forWriting=*/true, &error);
  if (!file.valid()) return error;
  return ReadImage(&file, path, settings, note);
}

Status SaveSettingsFile(const std::string& path, const ServerSettings& settings) {
  Status error;
  // Holding the old file keeps a second saver (or loader) out until the rename is done.
  File old = File::OpenExclusive(path, /*forWriting=*/true, &error);
  if (!old.valid()) return error;

  std::string temporary = path + ".saving";
  RemoveFile(temporary);  // a leftover of a save that was cut short
  File next = File::CreateNew(temporary, 0600, &error);
  if (!next.valid()) return error;

  auto fail = [&](int err) {
    next.Close();
    RemoveFile(temporary);
    return Status::FromErrno(err);
  };
  SettingsImage image = EncodeSettings(settings);
  if (!next.Write(image.data(), image.size())) return fail(errno);
  // Whatever the old file held beyond the image is kept; only an old tail that says other
  // options is replaced. A file without a tail gets one only for options that are on.
  if (old.Seek(kSettingsImageSize) >= 0) {
    std::string after(kMostLibraryTailBytes, '\0');
    int64_t n = old.Read(after.data(), after.size());
    if (n < 0) return fail(errno);
    after.resize(static_cast<size_t>(n));
    LibraryTail tail = ReadLibraryTail(after);
    size_t replaced = 0;  // bytes of the old tail that the new one takes the place of
    if (tail.found ? tail.options != settings.library : settings.library != LibraryOptions{}) {
      std::string text = WriteLibraryTail(settings.library, tail.otherLines);
      if (!next.Write(text.data(), text.size())) return fail(errno);
      replaced = tail.length;
    }
    if (old.Seek(static_cast<int64_t>(kSettingsImageSize + replaced)) < 0 || !CopyRest(old, next)) {
      return fail(errno);
    }
  } else if (settings.library != LibraryOptions{}) {
    std::string text = WriteLibraryTail(settings.library);
    if (!next.Write(text.data(), text.size())) return fail(errno);
  }
  if (!next.SetPermissions(old.Permissions())) return fail(errno);
  if (!next.Sync()) return fail(errno);
  next.Close();
  Status renamed = RenameFile(temporary, path);
  if (!renamed.ok()) {
    RemoveFile(temporary);
    return renamed;
  }
  return Status::Ok();
}

Status LoadSettingsWithPathChoice(ServerSettings* settings, std::string* note) {
  Status error;
  File file = File::OpenExclusive(kSettingsFileName, /*forWriting=*/true, &error);
  std::string path;
  if (file.valid()) {
    std::string directory = CurrentDirectory();
    std::lock_guard<std::mutex> lock(g_rememberedMutex);
    g_rememberedPath = directory == "/" ? "/sv.dat" : directory + "/sv.dat";
    path = g_rememberedPath;
  } else {
    path = RememberedSettingsPath();
    if (path.empty()) return error;
    file = File::OpenExclusive(path, /*forWriting=*/true, &error);
    if (!file.valid()) return error;
  }
  return ReadImage(&file, path, settings, note);
}

std::string RememberedSettingsPath() {
  std::lock_guard<std::mutex> lock(g_rememberedMutex);
  return g_rememberedPath;
}

ServerSettings DefaultSettings() {
  ServerSettings settings;
  settings.port = kDefaultPort;
  settings.clientLimit = kNewInstallClientLimit;
  settings.logLineLimit = kDefaultLogLineLimit;
  SetPathText(&settings.videoFolder, UserFolder("XDG_VIDEOS_DIR", "Videos"));
  SetPathText(&settings.audioFolder, UserFolder("XDG_MUSIC_DIR", "Music"));
  SetPathText(&settings.photoFolder, UserFolder("XDG_PICTURES_DIR", "Pictures"));
  settings.library = NewInstallLibraryOptions();
  return settings;
}

Status LoadOrCreateSettingsFile(const std::string& path, ServerSettings* settings,
                                std::string* note) {
  Status error;
  File created = File::CreateNew(path, 0644, &error);
  if (created.valid()) {
    const ServerSettings defaults = DefaultSettings();
    SettingsImage image = EncodeSettings(defaults);
    std::string tail = WriteLibraryTail(defaults.library);
    bool written = created.Write(image.data(), image.size()) &&
                   created.Write(tail.data(), tail.size()) && created.Sync();
    int err = errno;
    created.Close();
    if (!written) {
      RemoveFile(path);
      return Status::FromErrno(err);
    }
  } else if (error.code != EEXIST) {
    return error;
  }
  return LoadSettingsFile(path, settings, note);
}

}  // namespace rureza
