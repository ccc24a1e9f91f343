// The settings image (field by field, little-endian) and the settings file: short and long
// files, read-only files, the setup dialog's path choice and saves that never half-write.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/syscalls.h"
#include "settings/settings_file.h"
#include "support/reliability_record.h"
#include "support/test_server.h"

namespace rureza {
namespace {

using test::TempDir;

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

ServerSettings Sample() {
  ServerSettings s;
  s.port = 40000;
  s.clientLimit = 100;
  s.logLineLimit = -2;
  SetPathText(&s.videoFolder, "C:\\Video");
  SetPathText(&s.audioFolder, "/srv/music");
  SetPathText(&s.photoFolder, std::string(254, 'p'));
  SetPathText(&s.firmwareFile, "/srv/fw.bin");
  return s;
}

TEST(SettingsImageTest, FieldsArePackedLittleEndianInOrder) {
  SettingsImage image = EncodeSettings(Sample());
  ASSERT_EQ(image.size(), 1026u);
  EXPECT_EQ(image[0], 0x40);  // 40000 = 0x9C40
  EXPECT_EQ(image[1], 0x9C);
  EXPECT_EQ(image[2], 100);
  EXPECT_EQ(image[3], 0);
  EXPECT_EQ(image[4], 0xFE);  // -2
  EXPECT_EQ(image[5], 0xFF);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&image[6])), "C:\\Video");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&image[261])), "/srv/music");
  EXPECT_EQ(image[516 + 253], 'p');
  EXPECT_EQ(image[516 + 254], 0);  // a 254-byte path ends in the field's last byte
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&image[771])), "/srv/fw.bin");

  ServerSettings back;
  DecodeSettings(image.data(), image.size(), &back);
  EXPECT_EQ(back.port, 40000);
  EXPECT_EQ(back.logLineLimit, -2);
  EXPECT_EQ(PathText(back.photoFolder), std::string(254, 'p'));
  EXPECT_EQ(EncodeSettings(back), image);
}

TEST(SettingsImageTest, ShortImageChangesOnlyWhatItCovers) {
  ServerSettings s = Sample();
  const uint8_t six[] = {0xD7, 0x11, 5, 0, 0xE8, 0x03};
  DecodeSettings(six, sizeof six, &s);
  EXPECT_EQ(s.port, 4567);
  EXPECT_EQ(s.clientLimit, 5);
  EXPECT_EQ(s.logLineLimit, 1000);
  EXPECT_EQ(PathText(s.videoFolder), "C:\\Video");
  const uint8_t one[] = {0x01};
  DecodeSettings(one, 1, &s);
  EXPECT_EQ(s.port, 0x1101);  // only the low byte was covered
}

TEST(SettingsImageTest, UnterminatedAndOverlongPaths) {
  PathField field;
  field.fill('z');
  EXPECT_EQ(PathText(field).size(), 255u);
  SetPathText(&field, std::string(300, 'q'));
  EXPECT_EQ(PathText(field), std::string(254, 'q'));
}

TEST(SettingsFileTest, SaveAndLoadRoundTripKeepingBytesBeyondTheImage) {
  TempDir dir;
  std::string tail = "trailing bytes";
  std::string path = dir.Write("sv.dat", std::string(1026, '\0') + tail).string();
  ::chmod(path.c_str(), 0640);
  ASSERT_TRUE(SaveSettingsFile(path, Sample()).ok());
  std::string bytes = ReadAll(path);
  ASSERT_EQ(bytes.size(), 1026u + tail.size());
  EXPECT_EQ(bytes.substr(1026), tail);
  struct stat info {};
  ::stat(path.c_str(), &info);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  EXPECT_FALSE(std::filesystem::exists(path + ".saving"));

  ServerSettings loaded;
  ASSERT_TRUE(LoadSettingsFile(path, &loaded).ok());
  EXPECT_EQ(EncodeSettings(loaded), EncodeSettings(Sample()));
}

TEST(SettingsFileTest, ShortFileGrowsOnSave) {
  TempDir dir;
  std::string path = dir.Write("sv.dat", "\x01\x02").string();
  ServerSettings s = Sample();
  ASSERT_TRUE(LoadSettingsFile(path, &s).ok());
  EXPECT_EQ(s.port, 0x0201);
  EXPECT_EQ(s.clientLimit, 100);  // beyond the file: kept
  ASSERT_TRUE(SaveSettingsFile(path, s).ok());
  EXPECT_EQ(ReadAll(path).size(), 1026u);
}

TEST(SettingsFileTest, MissingAndReadOnlyFilesFailWithThePlatformText) {
  TempDir dir;
  ServerSettings s = Sample();
  Status status = LoadSettingsFile((dir.path() / "none.dat").string(), &s);
  EXPECT_EQ(status.text, "No such file or directory");
  EXPECT_FALSE(SaveSettingsFile((dir.path() / "none.dat").string(), s).ok());
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "none.dat"));

  std::string path = dir.Write("ro.dat", std::string(1026, '\0')).string();
  ::chmod(path.c_str(), 0444);
  status = LoadSettingsFile(path, &s);
  EXPECT_EQ(status.text, "Permission denied");
  EXPECT_EQ(s.port, 40000);  // unchanged by the failed load
  EXPECT_FALSE(SaveSettingsFile(path, s).ok());
  EXPECT_EQ(ReadAll(path), std::string(1026, '\0'));
}

TEST(SettingsFileTest, FailedWriteLeavesTheOldFileLoadable) {
  TempDir dir;
  std::string path = dir.Write("sv.dat", "").string();
  ASSERT_TRUE(SaveSettingsFile(path, Sample()).ok());
  std::string before = ReadAll(path);
  Sys().write = [](int, const void*, size_t) -> ssize_t {
    errno = ENOSPC;
    return -1;
  };
  ServerSettings changed = Sample();
  changed.port = 1;
  Status status = SaveSettingsFile(path, changed);
  ResetSysCalls();
  EXPECT_EQ(status.text, "No space left on device");
  EXPECT_EQ(ReadAll(path), before);
  EXPECT_FALSE(std::filesystem::exists(path + ".saving"));
}

std::atomic<int> g_writes{0};
std::atomic<int> g_failWrite{-1};  // the write call (from 0) that fails
std::atomic<bool> g_oneByteWrites{false};
std::atomic<bool> g_failReads{false};
std::atomic<bool> g_failCreate{false};
std::string g_created;  // the path of the last file created; one thread only

ssize_t InjectedWrite(int fd, const void* data, size_t length) {
  if (g_writes++ == g_failWrite.load()) {
    errno = ENOSPC;
    return -1;
  }
  return ::write(fd, data, g_oneByteWrites ? std::min<size_t>(length, 1) : length);
}

ssize_t InjectedRead(int fd, void* buffer, size_t length) {
  if (g_failReads) {
    errno = EIO;
    return -1;
  }
  return ::read(fd, buffer, length);
}

int InjectedOpen(const char* path, int flags, unsigned mode) {
  if (flags & O_CREAT) {
    g_created = path;
    if (g_failCreate) {
      errno = EDQUOT;
      return -1;
    }
  }
  return ::open(path, flags, static_cast<mode_t>(mode));
}

class SettingsSaveFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Sys().write = InjectedWrite;
    Sys().read = InjectedRead;
    Sys().open = InjectedOpen;
    // An old file with bytes beyond the image and its own permission bits.
    path_ = dir_.Write("sv.dat", std::string(1026, '\0') + tail_).string();
    ::chmod(path_.c_str(), 0640);
    ASSERT_TRUE(SaveSettingsFile(path_, Sample()).ok());
    before_ = ReadAll(path_);
    g_writes = 0;
  }
  void TearDown() override {
    ResetSysCalls();
    g_failWrite = -1;
    g_oneByteWrites = g_failReads = g_failCreate = false;
  }
  // The save failed with text and left the old file as it was, loadable, with no temporary.
  void ExpectOldFileWhole(const Status& status, const std::string& text) {
    EXPECT_FALSE(status.ok());
    EXPECT_EQ(status.text, text);
    EXPECT_EQ(ReadAll(path_), before_);
    struct stat info {};
    ::stat(path_.c_str(), &info);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_FALSE(std::filesystem::exists(path_ + ".saving"));
    ServerSettings loaded;
    ASSERT_TRUE(LoadSettingsFile(path_, &loaded).ok());
    EXPECT_EQ(EncodeSettings(loaded), EncodeSettings(Sample()));
  }
  static ServerSettings Changed() {
    ServerSettings s = Sample();
    s.port = 1234;
    return s;
  }

  TempDir dir_;
  const std::string tail_ = std::string(20000, 't');
  std::string path_, before_;
};

TEST_F(SettingsSaveFaultTest, EveryFailedStepLeavesTheOldFileWhole) {
  g_failCreate = true;  // the temporary file cannot be made
  Status status = SaveSettingsFile(path_, Changed());
  g_failCreate = false;
  ExpectOldFileWhole(status, "Disk quota exceeded");
  g_writes = 0;
  g_failWrite = 1;  // the image is written; copying the old tail fails
  status = SaveSettingsFile(path_, Changed());
  g_failWrite = -1;
  ExpectOldFileWhole(status, "No space left on device");
  g_failReads = true;  // the old tail cannot be read
  status = SaveSettingsFile(path_, Changed());
  g_failReads = false;
  ExpectOldFileWhole(status, "Input/output error");
  for (const char* step : {"creating the temporary file (EDQUOT)", "writing the old tail (ENOSPC)",
                           "reading the old tail (EIO)"}) {
    test::RecordFault("settings save fails", step,
                      "old file whole and loadable, no temporary left");
  }
}

TEST_F(SettingsSaveFaultTest, SaveWritesBesideTheFileAndSurvivesShortWritesAndLeftovers) {
  dir_.Write("sv.dat.saving", "left by a save that was cut short");
  g_oneByteWrites = true;
  ASSERT_TRUE(SaveSettingsFile(path_, Changed()).ok());
  EXPECT_EQ(g_created, path_ + ".saving");  // beside the settings file: the rename stays there
  SettingsImage image = EncodeSettings(Changed());
  EXPECT_EQ(ReadAll(path_), std::string(image.begin(), image.end()) + tail_);
  EXPECT_FALSE(std::filesystem::exists(path_ + ".saving"));
  struct stat info {};
  ::stat(path_.c_str(), &info);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  test::RecordFault("settings save: 1-byte writes, a leftover temporary", "the whole save",
                    "saved whole beside the file, old tail and mode bits kept");
}

TEST(SettingsFileTest, MissingFileIsCreatedWithDefaults) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "home/Music");
  std::string home = (dir.path() / "home").string();
  ::setenv("HOME", home.c_str(), 1);
  ::unsetenv("XDG_CONFIG_HOME");
  std::string path = (dir.path() / "sv.dat").string();
  ServerSettings s;
  ASSERT_TRUE(LoadOrCreateSettingsFile(path, &s).ok());
  EXPECT_EQ(s.port, 4567);
  EXPECT_EQ(s.clientLimit, 1);
  EXPECT_EQ(s.logLineLimit, 1000);
  EXPECT_EQ(PathText(s.audioFolder), home + "/Music");
  EXPECT_EQ(PathText(s.videoFolder), "");  // no Videos folder
  EXPECT_EQ(PathText(s.firmwareFile), "");
  EXPECT_EQ(ReadAll(path).size(), 1026u);
  // An existing file is loaded, not replaced.
  s.port = 9;
  ASSERT_TRUE(SaveSettingsFile(path, s).ok());
  ServerSettings again;
  ASSERT_TRUE(LoadOrCreateSettingsFile(path, &again).ok());
  EXPECT_EQ(again.port, 9);
}

TEST(SettingsFileTest, PathChoicePrefersTheCurrentDirectoryThenTheRememberedFile) {
  TempDir dir;
  std::filesystem::path first = dir.path() / "first";
  std::filesystem::path empty = dir.path() / "empty";
  std::filesystem::path second = dir.path() / "second";
  std::filesystem::create_directories(empty);
  ServerSettings s = Sample();
  dir.Write("first/sv.dat", std::string(1026, '\0'));
  ASSERT_TRUE(SaveSettingsFile((first / "sv.dat").string(), s).ok());
  s.port = 2222;
  dir.Write("second/sv.dat", std::string(1026, '\0'));
  ASSERT_TRUE(SaveSettingsFile((second / "sv.dat").string(), s).ok());

  std::filesystem::path home = std::filesystem::current_path();
  std::filesystem::current_path(first);
  ServerSettings loaded;
  ASSERT_TRUE(LoadSettingsWithPathChoice(&loaded).ok());
  EXPECT_EQ(loaded.port, 40000);
  EXPECT_EQ(RememberedSettingsPath(), (first / "sv.dat").string());

  std::filesystem::current_path(empty);  // no settings file here: the remembered one is used
  loaded.port = 0;
  ASSERT_TRUE(LoadSettingsWithPathChoice(&loaded).ok());
  EXPECT_EQ(loaded.port, 40000);
  EXPECT_EQ(RememberedSettingsPath(), (first / "sv.dat").string());

  std::filesystem::current_path(second);  // a file here becomes the remembered one
  ASSERT_TRUE(LoadSettingsWithPathChoice(&loaded).ok());
  EXPECT_EQ(loaded.port, 2222);
  EXPECT_EQ(RememberedSettingsPath(), (second / "sv.dat").string());
  std::filesystem::current_path(home);
}

}  // namespace
}  // namespace rureza
