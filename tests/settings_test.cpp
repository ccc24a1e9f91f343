// The settings image field by field and the settings file: short and long files, read-only
// files, the defaults, the setup dialog's path choice and saves that never half-write.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <iterator>

#include "settings/settings_file.h"
#include "support/faults.h"
#include "support/fixture.h"

namespace rureza::test {
namespace {

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Text(const SettingsImage& image) { return std::string(image.begin(), image.end()); }

unsigned Mode(const std::string& path) {
  struct stat info {};
  ::stat(path.c_str(), &info);
  return info.st_mode & 0777;
}

ServerSettings Sample(uint16_t port = 40000) {
  ServerSettings s;
  s.port = port;
  s.clientLimit = 100;
  s.logLineLimit = -2;
  SetPathText(&s.videoFolder, "C:\\Video");
  SetPathText(&s.audioFolder, "/srv/music");
  SetPathText(&s.photoFolder, std::string(254, 'p'));
  SetPathText(&s.firmwareFile, "/srv/fw.bin");
  return s;
}

TEST(SettingsImageTest, FieldsArePackedLittleEndianInOrder) {
  auto field = [](std::string text) { return text + std::string(255 - text.size(), '\0'); };
  SettingsImage image = EncodeSettings(Sample());
  EXPECT_EQ(Text(image), std::string("\x40\x9C\x64\0\xFE\xFF", 6) + field("C:\\Video") +
                             field("/srv/music") + field(std::string(254, 'p')) +
                             field("/srv/fw.bin"));  // 40000, 100, -2, then four paths
  ServerSettings back;
  DecodeSettings(image.data(), image.size(), &back);
  EXPECT_EQ(EncodeSettings(back), image);
  PathField path;
  path.fill('z');
  EXPECT_EQ(PathText(path), std::string(255, 'z'));  // unterminated
  SetPathText(&path, std::string(300, 'q'));
  EXPECT_EQ(PathText(path), std::string(254, 'q'));  // cut to leave the last byte zero
}

TEST(SettingsFileTest, MissingAndReadOnlyFilesAreRefused) {
  TempDir dir;
  std::string path = dir.Write("sv.dat", std::string(1026, '\0')).string();
  ServerSettings s = Sample();
  std::string none = (dir.path() / "none.dat").string();
  EXPECT_EQ(LoadSettingsFile(none, &s).text, "No such file or directory");
  EXPECT_FALSE(SaveSettingsFile(none, s).ok());
  EXPECT_FALSE(std::filesystem::exists(none));
  ::chmod(path.c_str(), 0444);  // owner write bit clear: both refused
  EXPECT_EQ(LoadSettingsFile(path, &s).text, "Permission denied");
  EXPECT_EQ(s.port, 40000);  // unchanged by the failed load
  std::string before = ReadAll(path);
  EXPECT_FALSE(SaveSettingsFile(path, s).ok());
  EXPECT_EQ(ReadAll(path), before);
}

class SettingsSaveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // An old file with bytes beyond the image and its own permission bits.
    ::chmod(dir_.Write("sv.dat", std::string(1026, '\0') + tail_).c_str(), 0640);
    ASSERT_TRUE(SaveSettingsFile(path_, Sample()).ok());
    before_ = ReadAll(path_);
  }
  void TearDown() override { ResetFaults(); }

  TempDir dir_;
  const std::string tail_ = std::string(20000, 't'), path_ = (dir_.path() / "sv.dat").string();
  std::string before_;
};

TEST_F(SettingsSaveTest, EveryFailedStepLeavesTheOldFileWholeAndLoadable) {
  const std::pair<std::function<void(bool)>, std::string> steps[] = {
      {[](bool on) { FailOpens(on ? ".saving" : "", on ? EDQUOT : 0); }, "Disk quota exceeded"},
      {[](bool on) { FailWrite(on ? 0 : -1, ENOSPC); }, "No space left on device"},  // the image
      {[](bool on) { FailWrite(on ? 1 : -1, ENOSPC); }, "No space left on device"},  // the tail
      {[](bool on) { FailFileReadsAfter(on ? 0 : -1); }, "Input/output error"}};     // the tail
  for (const auto& [fail, text] : steps) {
    fail(true);
    Status status = SaveSettingsFile(path_, Sample(1234));
    fail(false);
    EXPECT_EQ(status.text, text);
    EXPECT_EQ(ReadAll(path_), before_) << text;
    EXPECT_EQ(Mode(path_), 0640u);
    EXPECT_FALSE(std::filesystem::exists(path_ + ".saving")) << text;
    ServerSettings loaded;
    ASSERT_TRUE(LoadSettingsFile(path_, &loaded).ok());
    EXPECT_EQ(EncodeSettings(loaded), EncodeSettings(Sample()));
  }
}

TEST_F(SettingsSaveTest, SaveWritesBesideTheFileAndSurvivesShortWritesAndLeftovers) {
  dir_.Write("sv.dat.saving", "left by a save that was cut short");
  ShortTransfers(1);  // writes and reads a byte at a time, some interrupted
  ASSERT_TRUE(SaveSettingsFile(path_, Sample(1234)).ok());
  ShortTransfers(0);
  EXPECT_EQ(ReadAll(path_), Text(EncodeSettings(Sample(1234))) + tail_);
  EXPECT_FALSE(std::filesystem::exists(path_ + ".saving"));
  EXPECT_EQ(Mode(path_), 0640u);
}

TEST(SettingsFileTest, MissingFileIsCreatedWithDefaults) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "home/Music");
  std::string home = (dir.path() / "home").string(), path = (dir.path() / "sv.dat").string();
  ::setenv("HOME", home.c_str(), 1);
  ::unsetenv("XDG_CONFIG_HOME");
  ::setenv("LC_ALL", "el_GR.UTF-8", 1);
  ServerSettings s;
  ASSERT_TRUE(LoadOrCreateSettingsFile(path, &s).ok());
  EXPECT_EQ(std::vector<int>({s.port, s.clientLimit, s.logLineLimit}),
            std::vector<int>({4567, 8, 1000}));
  EXPECT_EQ(PathText(s.audioFolder), home + "/Music");
  EXPECT_EQ(PathText(s.videoFolder) + PathText(s.firmwareFile), "");  // no Videos folder
  EXPECT_EQ(ReadAll(path).substr(1026),
            "RUREZA-LIBRARY 1\nsubfolders=on\nshort-names=on\ncharset=CP1253\nconvert=on\n"
            "photo-size=1920x1080\nEND\n");
  s.port = 9;
  ASSERT_TRUE(SaveSettingsFile(path, s).ok());
  ASSERT_TRUE(LoadOrCreateSettingsFile(path, &s).ok());  // an existing file is loaded, not replaced
  EXPECT_EQ(s.port, 9);
}

TEST(SettingsValuesTest, LocaleCodePagesAndValuesThatCannotWork) {
  std::string charsets;
  for (const char* locale : {"de_DE.UTF-8", "pl_PL.UTF-8", "ru_RU.KOI8-R", "sr_RS", "sr_RS@latin",
                             "el_GR", "tr_TR.UTF-8", "ja_JP.eucJP", "zh_CN.GB18030", "zh_TW.UTF-8",
                             "ko_KR.UTF-8", "C", "POSIX", "C.UTF-8", ""}) {
    charsets += AdapterCharsetForLocale(locale) + ' ';
  }
  EXPECT_EQ(charsets,
            "CP1252 CP1250 CP1251 CP1251 CP1250 CP1253 CP1254 CP932 CP936 CP950 CP949 "
            "CP1252 CP1252 CP1252 CP1252 ");
  std::string standards;
  for (const char* locale : {"en_US.UTF-8", "en_GB.UTF-8", "ja_JP", "pt_BR", "es_MX@euro", "C"}) {
    standards += TvStandardText(TvStandardForLocale(locale));
  }
  EXPECT_EQ(standards, "ntscpalntscpalntscpal");
  // Each limit and its neighbours: only what cannot work is replaced, one line each.
  std::string after;
  for (ServerSettings s : {ServerSettings{1, 1, 1}, ServerSettings{65532, 100, 32767},
                           ServerSettings{65533, 101, -1}, ServerSettings{65535, -22987, -32768}}) {
    const size_t lines = ReplaceUnworkableValues(&s).size();
    after += std::to_string(s.port) + ' ' + std::to_string(s.clientLimit) + ' ' +
             std::to_string(s.logLineLimit) + ' ' + std::to_string(lines) + '|';
  }
  EXPECT_EQ(after, "1 1 1 0|65532 100 32767 0|4567 1 1000 3|4567 1 1000 3|");
  ServerSettings garbage{0, -22987, 0};
  EXPECT_EQ(ReplaceUnworkableValues(&garbage),
            std::vector<std::string>(
                {"Settings: port 0 cannot work (1-65532 can); 4567 is used instead",
                 "Settings: client limit -22987 cannot work (1-100 can); 1 is used instead",
                 "Settings: log-line limit 0 cannot work (1 or more can); 1000 is used instead"}));
}

}  // namespace
}  // namespace rureza::test
