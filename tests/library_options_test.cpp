// The library options outside the listing: the settings file's tail (read, fallen back from,
// saved around what follows it), rureza-server's options and its refusal of a character set it
// cannot use, and the bound of the short-name index.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <iterator>

#include "app/server_options.h"
#include "names/short_name_index.h"
#include "settings/settings_file.h"
#include "support/fixture.h"
#include "support/process.h"

namespace rureza::test {
namespace {

std::string ReadAll(const std::string& path) {
  return std::string(std::istreambuf_iterator<char>(std::ifstream(path).rdbuf()), {});
}

TEST(LibraryTailTest, ReadFallenBackFromAndSavedAroundWhatFollows) {
  TempDir dir;
  const std::string path = (dir.path() / "sv.dat").string(), record(1026, '\0');
  const std::string good =
      "RUREZA-LIBRARY 1\r\ncharset=cp1252\nsubfolders=on\nshort-names=off\nmine=kept\nEND\n";
  for (auto [tail, options, problem] :
       std::vector<std::tuple<std::string, LibraryOptions, std::string>>{
           {"", {}, ""},
           {good + "someone else's", {true, false, "CP1252"}, ""},
           {"\x01garbage", {}, "are not library options"},
           {"RUREZA-LIBRARY 1\nsubfolders=on\n", {}, "are cut short"},
           {"RUREZA-LIBRARY 2\nEND\n", {}, "of another version"},
           {"RUREZA-LIBRARY 1\nsubfolders=on\ncharset=NO-SUCH\nEND\n", {true}, "NO-SUCH cannot"},
           {"RUREZA-LIBRARY 1\nshort-names=yes\nEND\n", {}, "neither on nor off"},
           // The largest photo size, and one pixel over it; a tail of before conversion is off.
           {"RUREZA-LIBRARY 1\nconvert=on\nphoto-size=16384x1\nEND\n",
            {false, false, "stored", true, {16384, 1}},
            ""},
           {"RUREZA-LIBRARY 1\nconvert=on\nphoto-size=1x16385\nEND\n",
            {false, false, "stored", true},
            "photo-size=1x16385 is not WIDTHxHEIGHT of 1-16384 each; 1920x1080 is used"},
           {"RUREZA-LIBRARY 1\nphoto-size=0x1\nEND\n", {}, "0x1 is not"},
           // The status page: on, on 127.0.0.1, unless the tail says otherwise.
           {"RUREZA-LIBRARY 1\nstatus=off\nstatus-address=0.0.0.0\nEND\n",
            {false, false, "stored", false, {}, false, "0.0.0.0"},
            ""},
           {"RUREZA-LIBRARY 1\nstatus-address=255.255.255.256\nEND\n",
            {},
            "status-address=255.255.255.256 is no IPv4 address; 127.0.0.1 is used"},
           // Videos: PAL with subtitles unless the tail says otherwise.
           {"RUREZA-LIBRARY 1\nvideo-standard=NTSC\nsubtitles=off\nEND\n",
            {false, false, "stored", false, {}, true, "127.0.0.1", TvStandard::kNtsc, false},
            ""},
           {"RUREZA-LIBRARY 1\nvideo-standard=secam\nsubtitles=no\nEND\n",
            {},
            "video-standard=secam is neither pal nor ntsc; pal is used"}}) {
    dir.Write("sv.dat", record + tail);
    ServerSettings s;
    std::string note;
    ASSERT_TRUE(LoadSettingsFile(path, &s, &note).ok());
    EXPECT_EQ(s.library, options) << tail;
    EXPECT_TRUE(problem.empty() ? note.empty() : note.find(problem) != std::string::npos) << note;
    ASSERT_TRUE(SaveSettingsFile(path, s).ok());  // the same options: the file as it was
    EXPECT_EQ(ReadAll(path), record + tail);
  }
  // Other options replace our tail only; what follows it, or what is not ours, stays behind.
  ServerSettings s;
  s.library = {true, true, "CP1252"};
  const std::string ours =
      "RUREZA-LIBRARY 1\nsubfolders=on\nshort-names=on\ncharset=CP1252\nconvert=off\n"
      "photo-size=1920x1080\n";
  for (auto [before, after] : {std::pair{good + "x", ours + "mine=kept\nEND\nx"},
                               {std::string("\x01garbage"), ours + "END\n\x01garbage"}}) {
    dir.Write("sv.dat", record + before);
    ASSERT_TRUE(SaveSettingsFile(path, s).ok());
    EXPECT_EQ(ReadAll(path), record + after);
  }
}

TEST(LibraryOptionsTest, ServerOptionsOverrideTheFileAndAnUnusableCharsetIsBadUsage) {
  std::string error;
  auto options = ParseServerOptions(
      {"--subfolders", "--no-short-names", "--name-charset", "cp1252", "--convert", "--photo-size",
       "1X16384", "--cache-size=64T", "--video-standard", "Ntsc", "--no-subtitles"},
      &error);
  ASSERT_TRUE(options) << error;
  ServerSettings s;
  s.library.shortNames = true;
  ApplyOverrides(*options, &s);
  EXPECT_EQ(
      s.library,
      (LibraryOptions{
          true, false, "CP1252", true, {1, 16384}, true, "127.0.0.1", TvStandard::kNtsc, false}));
  EXPECT_FALSE(ParseServerOptions({"--video-standard", "secam"}, &error));
  EXPECT_EQ(options->cacheBytes, uint64_t{64} << 40);
  EXPECT_FALSE(ParseServerOptions({"--subfolders=yes"}, &error) ||
               ParseServerOptions({"--name-charset"}, &error));
  // Sizes at and beside their limits.
  for (auto [text, ok, bytes] :
       std::vector<std::tuple<const char*, bool, uint64_t>>{{"0", true, 0},
                                                            {"1536k", true, 1536 << 10},
                                                            {"65536G", true, uint64_t{64} << 40},
                                                            {"65537G", false, 0},
                                                            {"70368744177665", false, 0},
                                                            {"2GB", false, 0},
                                                            {"G", false, 0}}) {
    uint64_t parsed = 7;
    EXPECT_EQ(ParseCacheSize(text, &parsed), ok) << text;
    EXPECT_EQ(parsed, ok ? bytes : 7) << text;
  }
  for (const char* size : {"0x1080", "16385x1", "1920x", "x1080", "1920*1080", "1920x1080x1"}) {
    EXPECT_FALSE(ParseServerOptions({"--photo-size", size}, &error)) << size;
  }
  for (const char* charset : {"UTF-16", "CP1252//TRANSLIT"}) {
    EXPECT_FALSE(ParseServerOptions({"--name-charset", charset}, &error)) << charset;
  }
  TempDir dir;
  ChildProcess refused(RUREZA_SERVER_BINARY, {"--name-charset", "NO-SUCH"}, dir.path());
  EXPECT_EQ(refused.Wait(), 2);
  EXPECT_NE(refused.Output("err").find("'NO-SUCH' is not known"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "sv.dat"));  // found before the file
  // A tail naming a character set this machine lacks: one line, and the server runs.
  dir.Write("sv.dat", std::string(1026, '\0') + "RUREZA-LIBRARY 1\ncharset=NO-SUCH\nEND\n");
  ChildProcess server(RUREZA_SERVER_BINARY, {"--port", std::to_string(FreeBasePort())}, dir.path());
  EXPECT_TRUE(server.WaitForLine(
      ".//sv.dat: character set NO-SUCH cannot be used here; names go out as stored"));
  EXPECT_TRUE(server.WaitForLine("Start Running Media Server..."));
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(), 0);
}

TEST(ShortNameIndexTest, FindsWhatListingsGaveWithinItsBudget) {
  ShortNameIndex index;
  const auto yes = [](std::string_view, int) { return true; };
  std::vector<ShortNameIndex::Given> given;
  for (int i = 0; i < 100000; ++i) {  // a library's worth, with paths of 80 bytes
    given.push_back({"n~" + std::to_string(i), std::string(74, 'p') + std::to_string(1000000 + i)});
  }
  index.Remember("audio", given);
  EXPECT_EQ(index.size(), 100000u);
  EXPECT_EQ(index.Find("audio", "n~7", yes), given[7].path);
  EXPECT_FALSE(index.Find("video", "n~7", yes) ||
               index.Find("audio", "n~7", [](std::string_view, int) { return false; }));
  for (int round = 0; round < 3; ++round) index.Remember("video" + std::to_string(round), given);
  EXPECT_LE(index.BytesUsed(), ShortNameIndex::kBudgetBytes);
  EXPECT_EQ(index.Find("video2", "n~99999", yes), given[99999].path);  // the latest stays
}

}  // namespace
}  // namespace rureza::test
