// Reading the request block and joining names to folders.
#include <gtest/gtest.h>

#include <cstring>

#include "server/dispatcher.h"
#include "settings/server_settings.h"

namespace rureza {
namespace {

Request Parse(std::string_view text) {
  uint8_t block[kRequestBlockSize] = {};
  std::memcpy(block, text.data(), std::min(text.size(), sizeof block));
  return ParseRequestBlock(block);
}

TEST(RequestBlockTest, CommandsAndFormats) {
  EXPECT_EQ(Parse("<1 anything").kind, Request::Kind::kList);
  EXPECT_EQ(Parse("<7whatever").kind, Request::Kind::kFirmware);
  EXPECT_EQ(Parse("<2").kind, Request::Kind::kUnknownCommand);
  EXPECT_EQ(Parse("<").kind, Request::Kind::kUnknownCommand);
  EXPECT_EQ(Parse("<35x.mp3").kind, Request::Kind::kUnknownFormat);
  EXPECT_EQ(Parse("<3").kind, Request::Kind::kUnknownFormat);
  EXPECT_EQ(Parse(">1").kind, Request::Kind::kNone);
  EXPECT_EQ(Parse("").kind, Request::Kind::kNone);
  Request play = Parse("<34movie.mpg");
  EXPECT_EQ(play.kind, Request::Kind::kPlay);
  EXPECT_EQ(play.mediaType, '4');
  EXPECT_EQ(play.name, "movie.mpg");
}

TEST(RequestBlockTest, OnlyOneDotSlashPrefixIsDropped) {
  EXPECT_EQ(Parse("<31./song.mp3").name, "song.mp3");
  EXPECT_EQ(Parse("<31././song.mp3").name, "./song.mp3");
  EXPECT_EQ(Parse("<31.hidden.mp3").name, ".hidden.mp3");
  EXPECT_EQ(Parse("<31").name, "");
}

TEST(RequestBlockTest, UnterminatedNameRunsToTheEndOfTheBlock) {
  std::string block = "<31" + std::string(253, 'n');
  EXPECT_EQ(Parse(block).name, std::string(253, 'n'));
  std::string prefixed = "<31./" + std::string(251, 'n');
  EXPECT_EQ(Parse(prefixed).name, std::string(251, 'n'));
}

TEST(MediaPathTest, NamesThatCouldLeaveTheFolderAreRefused) {
  for (const char* bad : {"../../etc/passwd", "..\\..\\etc\\passwd", "/etc/passwd", "\\etc\\passwd",
                          "./../x", "..", "a/../../b", "a\\..", "../video_x/y"}) {
    EXPECT_FALSE(NameStaysInsideFolder(bad)) << bad;
  }
  for (const char* good : {"a..b.mp3", "song.mp3", "sub/song.mp3", "...", "..a", "a..", ""}) {
    EXPECT_TRUE(NameStaysInsideFolder(good)) << good;
  }
}

TEST(MediaPathTest, JoinedWithOneBackslash) {
  MediaPath path = JoinMediaPath("/srv/music", "song.mp3");
  EXPECT_EQ(path.text, "/srv/music\\song.mp3");
  EXPECT_TRUE(path.servable);
  EXPECT_EQ(JoinMediaPath("/srv/music", "").text, "/srv/music\\");
  EXPECT_FALSE(JoinMediaPath("/srv/music", "../x.mp3").servable);
  // An empty folder would name a file under the file-system root.
  MediaPath rootless = JoinMediaPath("", "etc/passwd");
  EXPECT_EQ(rootless.text, "\\etc/passwd");
  EXPECT_FALSE(rootless.servable);
  EXPECT_FALSE(OpenMediaFile(rootless).valid());
}

TEST(MediaPathTest, MediaTypesTakeTheirFolders) {
  ServerSettings s;
  SetPathText(&s.videoFolder, "V");
  SetPathText(&s.audioFolder, "A");
  SetPathText(&s.photoFolder, "P");
  EXPECT_EQ(MediaFolder(s, '1'), "A");
  EXPECT_EQ(MediaFolder(s, '2'), "V");
  EXPECT_EQ(MediaFolder(s, '3'), "P");
  EXPECT_EQ(MediaFolder(s, '4'), "V");
  EXPECT_EQ(MediaFolder(s, '5'), "");
}

}  // namespace
}  // namespace rureza
