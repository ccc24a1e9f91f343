// The names the adapter sees with the library options on: depth first in natural order, every
// depth once and nothing outside the media folder listed or played, short names with folder
// tags that stay, never clash, are listed in place and play also after a restart or from an
// older list, and names in the adapter's character set.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <atomic>
#include <cstring>
#include <set>

#include "adapter/replies.h"
#include "conversion/process_conversions.h"
#include "names/adapter_charset.h"
#include "names/short_name_index.h"
#include "platform/syscalls.h"
#include "server/server.h"
#include "support/faults.h"
#include "support/fixture.h"
#include "support/reliability.h"

namespace rureza::test {
namespace {

class LibraryTest : public ServerTest {
 protected:
  void Start(bool subfolders, bool shortNames, const std::string& charset = "stored") {
    settings_.library = LibraryOptions{subfolders, shortNames, charset};
    ServerTest::Start();
  }
  // The listed names in order.
  std::vector<std::string> Listed() {
    std::vector<std::string> names;
    ListingReader reader([&](const ListingEntry& e) { names.push_back(e.name); });
    std::optional<std::string> reply = Exchange(Block("<1"));
    EXPECT_TRUE(reply && reader.Feed(reply->data(), reply->size()) && reader.Finish());
    return names;
  }
  // Each name played as MP3: the file's bytes, or nothing for "".
  void ExpectPlays(const std::vector<std::pair<std::string, std::string>>& plays) {
    for (const auto& [name, content] : plays) {
      const std::string want =
          content.empty() ? "" : Block(std::to_string(content.size())) + content;
      EXPECT_EQ(Exchange(Block("<31" + name)), want) << Printable(name);
    }
  }
};

TEST_F(LibraryTest, DepthFirstInNaturalOrderEveryFolderOnceToDepth16) {
  std::string deep;
  for (int i = 0; i < 16; ++i) deep += "a/";
  for (std::string path : std::vector<std::string>{
           "Track 10.mp3", "track 2.mp3", "Track 01.mp3", "Song 2.mp3", "song.mp3", "Été.mp3",
           "étude.mp3", "album a/10.mp3", "album a/2.mp3", "Album B/01.mp3", "Artist/cover.jpg",
           "Artist/Album/01 Title.mp3", ".hidden/h.mp3", "clips.mp3/in.mp3", "locked/l.mp3",
           "bad\xff.mp3", deep + "x.mp3", deep + "a/y.mp3"}) {
    Media("audio/" + path, path);
  }
  for (auto [link, target] : {std::pair{"loop", "."}, {"Artist/up", ".."}, {"twin", "Artist"}}) {
    std::filesystem::create_symlink(target, audio() / link);
  }
  FailOpens("locked", EACCES);  // an unreadable folder
  Start(/*subfolders=*/true, /*shortNames=*/false);
  std::vector<std::string> top = {"song.mp3",     "Song 2.mp3", "Track 01.mp3", "track 2.mp3",
                                  "Track 10.mp3", "étude.mp3",  "Été.mp3"};
  std::vector<std::string> all = {"bad\xff.mp3"};
  all.insert(all.end(), top.begin(), top.end());
  all.insert(all.end(), {deep + "x.mp3", "album a/2.mp3", "album a/10.mp3", "Album B/01.mp3",
                         "Artist/Album/01 Title.mp3", "clips.mp3/in.mp3"});
  EXPECT_EQ(Listed(), all);
  ExpectPlays({{deep + "x.mp3", deep + "x.mp3"},
               {deep + "a/y.mp3", ""},
               {".hidden/h.mp3", ""},
               {"Artist/cover.jpg", ""}});
  Stop();
  Start(/*subfolders=*/false, /*shortNames=*/false);  // one level: sorted the same way
  top.insert(top.begin(), {"bad\xff.mp3", "clips.mp3"});
  EXPECT_EQ(Listed(), top);
}

TEST_F(LibraryTest, CompanionsAndSystemFoldersAreNeitherListedNorPlayedWithSubfolders) {
  const std::vector<std::string> junk = {"._top.mp3",
                                         "Album/._01.mp3",
                                         "Album/@eaDir/01.mp3",
                                         "#recycle/r.mp3",
                                         "#snapshot/s.mp3",
                                         "$Recycle.Bin/b.mp3",
                                         "System Volume Information/v.mp3",
                                         "LOST+FOUND/l.mp3",
                                         ".Trashes/t.mp3"};
  for (const std::string& path : junk) Media("audio/" + path, "junk");
  Media("audio/Album/01.mp3", "01");
  Media("audio/recycle/a._b.mp3", "in");  // alike, but not the same
  Start(/*subfolders=*/true, /*shortNames=*/true);
  EXPECT_EQ(Listed(), (std::vector<std::string>{"Album/01.mp3", "recycle/a._b.mp3"}));
  for (const std::string& path : junk) ExpectPlays({{path, ""}});
  Stop();
  // One level, as it always was: a companion at the top is listed and plays.
  Start(/*subfolders=*/false, /*shortNames=*/true);
  EXPECT_EQ(Listed(), std::vector<std::string>{"._top.mp3"});
  ExpectPlays({{"._top.mp3", "junk"}});
}

// Swaps audio/sub/flip for a link out of the media folder when anything but a lookup opens it:
// after the walk has looked at the link, before it enters the folder.
int (*g_realOpen)(int, const char*, int, unsigned) = nullptr;
std::string g_flip, g_flipOut;
int SwappingOpen(int dir, const char* path, int flags, unsigned mode) {
  if (std::strstr(path, "flip") && !(flags & O_PATH))
    std::rename(g_flipOut.c_str(), g_flip.c_str());
  return g_realOpen(dir, path, flags, mode);
}

TEST_F(LibraryTest, NothingOutsideTheFolderIsListedOrPlayedEvenThroughLinksSwappedWhenOpened) {
  Media("outside/s.mp3", "secret");
  Media("outside/i.mp3", "secret");
  Media("audio-private/p.mp3", "private");  // a sibling whose name begins like the folder's
  Media("audio/zin/i.mp3", "inside");
  Media("audio/sub/a.mp3", "a");
  const std::string outside = (media_.path() / "outside").string(), far = outside + "/s.mp3";
  for (auto [link, target] : {std::pair{"near.mp3", "../outside/s.mp3"},
                              {"out", "../outside"},
                              {"sub/far.mp3", far.c_str()},
                              {"sub/private", "../../audio-private"},
                              {"sub/flip", "../zin"}}) {
    std::filesystem::create_symlink(target, audio() / link);
  }
  g_flip = (audio() / "sub/flip").string(), g_flipOut = (media_.path() / "flip-out").string();
  std::filesystem::create_symlink(outside, g_flipOut);
  g_realOpen = Sys().open;
  Sys().open = SwappingOpen;
  Start(/*subfolders=*/true, /*shortNames=*/false);
  // A link directly in the folder to a file plays where it always did.
  EXPECT_EQ(Listed(), (std::vector<std::string>{"near.mp3", "sub/a.mp3", "zin/i.mp3"}));
  ExpectPlays({{"near.mp3", "secret"},
               {"zin/i.mp3", "inside"},
               {"out/s.mp3", ""},
               {"sub/far.mp3", ""},
               {"sub/private/p.mp3", ""},
               {"sub/flip/i.mp3", ""}});
}

TEST_F(LibraryTest, ShortNamesKeepFolderTagsAreListedInPlaceAndPlayAfterARestart) {
  const std::string same = "Same long name that needs a s", liv = "Liv01-Same long name that nee";
  Media("audio/Artist/Album/01 A title far too long for the record.mp3", "1");
  Media("audio/Artist/short.mp3", "");
  Media("audio/" + same + "hort one.mp3", "top");
  Media("audio/" + same + "~1P43H.mp3", "as is");  // the name the file above would make
  // Listed before it, a file of the top takes the name the first file in a folder makes, whose
  // next name is taken as well.
  Media("audio/Live 01/" + same + "hort one 7303.mp3", "first");
  Media("audio/" + liv + "ds a short one 31031608.mp3", "clash");
  Media("audio/" + liv + "~RQC5A.mp3", "taken");
  // Beside the first's folder, one whose tag was the same before tags minded the folders
  // beside them: its name then took the first's hash again twice.
  Media("audio/Live 01!/" + same + "hort one 1389.mp3", "later");
  // Its eighth rehash has the digits of the clash's name, its own other ones.
  Media("audio/Aaa whatever title that is far too long 37951543.mp3", "other");
  Start(/*subfolders=*/true, /*shortNames=*/true);
  const std::vector<std::pair<std::string, std::string>> plays = {
      {"Artis-Album-01 A title far to~SA1C3.mp3", "1"},
      {"01 A title far too long for t~SA1C3.mp3", "1"},
      {same + "~Z3YPD.mp3", "top"},
      {same + "~1P43H.mp3", "as is"},
      {liv + "~7M3E7.mp3", "first"},
      {liv + "~P25D5.mp3", "clash"},
      {liv + "~RQC5A.mp3", "taken"},
      {"L01+2-Same long name that nee~P25D5.mp3", "later"},
      {"Aaa whatever title that is fa~V93GN.mp3", "other"},
      {liv + "~T71SA.mp3", "later"},
      {"Live 01!/" + same + "hort one 1389.mp3", "later"},
      {"Anything~P25D5.mp3", "clash"},
      {same + "~ZJ503.mp3", "later"},
      {"Nothing here~ABCDE.mp3", ""}};
  // By the rule before tags minded the folders beside them, by the rule before tags (once
  // rehashed), by the hash part alone, and before any listing: found by walking, as after a
  // restart.
  ListedShortNames().Clear();
  ExpectPlays(plays);
  EXPECT_EQ(Listed(), (std::vector<std::string>{plays[8].first, plays[5].first, plays[6].first,
                                                plays[2].first, plays[3].first, "Artist/short.mp3",
                                                plays[0].first, plays[4].first, plays[7].first}));
  ExpectPlays(plays);  // from the index the listing filled
  EXPECT_EQ(log_->Count("Can Not Open File : " + audio().string() + "\\Nothing here~ABCDE.mp3"), 2);
}

TEST_F(LibraryTest, ShortNamesTellEveryTrackOfALibraryApartWithoutTheirHash) {
  // Artists that begin alike, each with albums that begin alike.
  const std::vector<std::string> artists = {"The Roots",
                                            "The Ronettes",
                                            "The Rolling Stones",
                                            "The Ramones",
                                            "Queen",
                                            "Queensrÿche",
                                            "Bach Collegium Japan",
                                            "Bach Choir of Bethlehem",
                                            "The Beatles",
                                            "The Beach Boys",
                                            "The Bee Gees",
                                            "The Byrds",
                                            "The Doors",
                                            "The Doobie Brothers",
                                            "The Damned",
                                            "The Kinks",
                                            "The Killers",
                                            "The Kills",
                                            "Pink Floyd",
                                            "Pink Martini",
                                            "Metallica",
                                            "Megadeth",
                                            "Motörhead",
                                            "Mötley Crüe",
                                            "AC DC",
                                            "AC-DC",
                                            "Simon & Garfunkel",
                                            "Simply Red",
                                            "Sigur Rós",
                                            "ABBA",
                                            "Abba Tribute Band"};
  const std::string albums[] = {"Album One", "Album Two", "Album Three"};
  for (const std::string& artist : artists) {
    for (const std::string& album : albums) {
      for (int track = 1; track <= 10; ++track) {
        media_.Write("audio/" + artist + "/" + album + "/" + (track < 10 ? "0" : "") +
                         std::to_string(track) + " A track title that goes on and on.mp3",
                     "");
      }
    }
  }
  Start(/*subfolders=*/true, /*shortNames=*/true, "CP1252");
  std::set<std::string> prefixes;
  for (const std::string& name : Listed()) prefixes.insert(name.substr(0, name.size() - 10));
  EXPECT_EQ(prefixes.size(), 930u);
  for (const char* tag :
       {"TheRo", "TheRn", "TheRS", "TheRa", "Queen", "Quees", "BacCJ", "BaCoB", "ACDC", "ACD+2"}) {
    const std::string start = tag + std::string("-AlbTw-01 A track title");
    EXPECT_EQ(std::count_if(prefixes.begin(), prefixes.end(),
                            [&](const std::string& prefix) { return prefix.starts_with(start); }),
              1)
        << tag;
  }
}

TEST_F(LibraryTest, ShortNamesFitTheAdaptersBytesWhateverTheCharactersTake) {
  const std::string artist = "歌手/長いアルバム/";
  const std::vector<std::string> paths = {"日本語の歌手/とても長いアルバムの名前/01 最初の曲.mp3",
                                          artist + "01 とても長い曲の名前がここに続きます.mp3",
                                          artist + "01 一二三四五六七.mp3",    // 39 bytes in the
                                          artist + "01x 一二三四五六七.mp3"};  // double-byte sets
  for (const std::string& path : paths) Media("audio/" + path, path);
  // A tag takes 5 bytes: one of these characters as stored (UTF-8), two in the others.
  const std::vector<std::vector<std::string>> expected = {
      {"日-と-01 最初の曲~CEYA7.mp3", "歌-長-01 とても長い曲~37TP0.mp3",
       "歌-長-01 一二三四五六~PCFW3.mp3", "歌-長-01x 一二三四五~485KY.mp3"},
      {"日本-とて-01 最初の曲~CEYA7.mp3", "歌手-長い-01 とても長い曲の名~37TP0.mp3", paths[2],
       "歌手-長い-01x 一二三四五六七~485KY.mp3"}};
  for (const char* charset : {"stored", "CP932", "GB18030"}) {
    Start(/*subfolders=*/true, /*shortNames=*/true, charset);
    AdapterCharset adapter(charset);
    std::vector<std::pair<std::string, std::string>> plays;
    for (size_t i = 0; i < paths.size(); ++i) {
      plays.emplace_back("", paths[i]);
      ASSERT_TRUE(
          adapter.ToAdapter(expected[charset != std::string("stored")][i], &plays.back().first));
    }
    std::vector<std::string> names;
    for (const auto& play : plays) names.push_back(play.first);
    EXPECT_EQ(Listed(), names) << charset;
    ExpectPlays(plays);
    ListedShortNames().Clear();
    ExpectPlays(plays);
    Stop();
  }
}

TEST_F(LibraryTest, BackslashesInAFilesOwnNameArePartOfIt) {
  Media("audio/AC\\DC - Back In Black.mp3", "top");
  Media("audio/AC\\DC Tribute Band/01 Song.mp3", "band");
  Media("audio/Artist/Album/01.mp3", "deep");
  for (bool subfolders : {false, true}) {
    Start(subfolders, /*shortNames=*/false);
    std::vector<std::string> listed = {"AC\\DC - Back In Black.mp3"};
    if (subfolders)
      listed.insert(listed.end(), {"AC\\DC Tribute Band/01 Song.mp3", "Artist/Album/01.mp3"});
    EXPECT_EQ(Listed(), listed);
    // Folders named the old way, with backslashes between them, only where a listing has folders.
    ExpectPlays({{"AC\\DC - Back In Black.mp3", "top"},
                 {"AC\\DC Tribute Band/01 Song.mp3", subfolders ? "band" : ""},
                 {"Artist\\Album\\01.mp3", subfolders ? "deep" : ""}});
    Stop();
  }
  EXPECT_EQ(log_->Count(audio().string() + "\\AC\\DC - Back In Black.mp3"), 2);
}

TEST_F(LibraryTest, NamesGoOutInTheAdaptersCharacterSetOrShortenedOrRefused) {
  Media("audio/Café.mp3", "cafe");
  Media("audio/日本語.mp3", "nihongo");
  Media("audio/bad\xff.mp3", "bad");
  Media("audio/\xfe.mp3", "fe");  // shorter than a failed conversion's leftovers
  // 39 and 40 bytes in CP1252, 74 and 76 as stored.
  std::string fits, oneMore;
  for (int i = 0; i < 35; ++i) fits += "É";
  Media("audio/" + fits + ".mp3", "");
  Media("audio/" + (oneMore = fits + "É") + ".mp3", "");
  const std::string tooLong = "Artist/Album/01 A title far too long for the record.mp3";
  Media("audio/" + tooLong, "");
  Start(/*subfolders=*/true, /*shortNames=*/false, "CP1252");
  EXPECT_EQ(Listed(), (std::vector<std::string>{"Caf\xe9.mp3", std::string(35, '\xc9') + ".mp3"}));
  // Names from disk reach the log as text: a byte of no character as \xNN.
  for (std::string refused : std::vector<std::string>{"日本語.mp3", "bad\\xff.mp3", "\\xfe.mp3",
                                                      tooLong, oneMore + ".mp3"}) {
    EXPECT_EQ(log_->Count("System Warming 3003! FileName :: " + refused + " ."), 1) << refused;
  }
  Stop();
  // 17 x "Ä" is 38 bytes as stored but 72 in GB18030: it does not fit.
  std::string wide;
  for (int i = 0; i < 17; ++i) wide += "Ä";
  Media("video/" + wide + ".avi", "");
  Start(/*subfolders=*/false, /*shortNames=*/false, "GB18030");
  EXPECT_EQ(Listed().front(), "Caf\xa8\xa6.mp3");
  EXPECT_EQ(log_->Count("System Warming 3003! FileName :: " + wide + ".avi ."), 1);
  Stop();
  Start(/*subfolders=*/false, /*shortNames=*/true, "CP1252");
  ListedShortNames().Clear();
  ExpectPlays({{"Caf\xe9.mp3", "cafe"},
               {"_~CG34T.mp3", "nihongo"},
               {"bad_~1KKVM.mp3", "bad"},
               {"_~3Z24Z.mp3", "fe"},
               {"x", ""}});
  EXPECT_EQ(Listed(), (std::vector<std::string>{std::string(17, '\xc4') + ".avi", "bad_~1KKVM.mp3",
                                                "Caf\xe9.mp3", std::string(35, '\xc9') + ".mp3",
                                                std::string(29, '\xc9') + "~P6HRH.mp3",
                                                "_~CG34T.mp3", "_~3Z24Z.mp3"}));
}

// Counts the opens of g_folder as a folder to read.
std::string g_folder;
std::atomic<int> g_folderReads{0};
int CountingOpen(int dir, const char* path, int flags, unsigned mode) {
  if ((flags & O_DIRECTORY) && path == g_folder) ++g_folderReads;
  return g_realOpen(dir, path, flags, mode);
}

TEST_F(LibraryTest, AConvertedNameFindsTheSourceAListingGivesItWithoutReadingItsFolder) {
  Media("photo/pic.webp", "webp");
  Media("photo/pic.png", "png");  // less in bytes: the name is its
  g_folder = photo().string() + "/";
  g_realOpen = Sys().open;
  Sys().open = CountingOpen;
  ConversionSettings conversion;
  conversion.cacheFolder = (media_.path() / "cache").string();
  conversion.converterProgram = RUREZA_CONVERTER_BINARY;
  StartProcessConversions(conversion);
  settings_.library = {true, true, "stored", true, {800, 600}};
  ServerTest::Start();
  // The path line names the source (what the converter makes of these bytes does not matter).
  auto source = [&](const std::string& name) {
    log_->Reset();
    Exchange(Block("<33" + name));
    for (const std::string& line : log_->AllLines()) {
      if (line.starts_with(photo().string() + "\\"))
        return line.substr(photo().string().size() + 1);
    }
    return std::string();
  };
  // Read while the folder is new (a change to come might keep its times), then no more.
  EXPECT_TRUE(WaitUntil([&] {
    const int before = g_folderReads;
    return source("pic.jpg") == "pic.png" && g_folderReads == before;
  }));
  const int reads = g_folderReads;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(source("pic.jpg"), "pic.png");
  EXPECT_EQ(g_folderReads, reads);
  // Any change to the folder is seen at once: a source less in bytes, one gone, a real .jpg.
  Media("photo/pic.PNG", "PNG");
  EXPECT_EQ(source("pic.jpg"), "pic.PNG");
  std::filesystem::remove(photo() / "pic.PNG");
  std::filesystem::remove(photo() / "pic.png");
  EXPECT_EQ(source("pic.jpg"), "pic.webp");
  Media("photo/pic.jpg", "jpg");
  EXPECT_EQ(source("pic.jpg"), "pic.jpg");
  EXPECT_EQ(source("nothing.jpg"), "nothing.jpg");
  // With subfolders a folder is entered, not listed: the source takes its name.
  std::filesystem::create_directory(photo() / "dir.jpg");
  Media("photo/dir.heic", "heic");
  EXPECT_EQ(source("dir.jpg"), "dir.heic");
  StopServer();
  EndProcessConversions();
}

}  // namespace
}  // namespace rureza::test
