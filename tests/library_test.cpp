// The names the adapter sees with the library options on: every depth listed once and nothing
// outside the media folder listed or played, short names that stay, never clash and play also
// after a restart, and names in the adapter's character set.
#include <gtest/gtest.h>

#include <algorithm>

#include "adapter/replies.h"
#include "names/short_name_index.h"
#include "support/faults.h"
#include "support/fixture.h"
#include "support/reliability.h"

namespace rureza::test {
namespace {

const std::string kLong = "Same long name that needs a s";  // a short name's 29-byte prefix

class LibraryTest : public ServerTest {
 protected:
  void Start(bool subfolders, bool shortNames, const std::string& charset = "stored") {
    settings_.library = LibraryOptions{subfolders, shortNames, charset};
    ServerTest::Start();
  }
  // The listed names, sorted, with "twin/" read as "Artist/"; the numbers count by 4 throughout.
  std::vector<std::string> Listed() {
    std::vector<std::string> names;
    ListingReader reader([&](const ListingEntry& e) {
      EXPECT_EQ(e.number, 4 * names.size()) << e.name;
      names.push_back(e.name.starts_with("twin/") ? "Artist/" + e.name.substr(5) : e.name);
    });
    std::optional<std::string> reply = Exchange(Block("<1"));
    EXPECT_TRUE(reply && reader.Feed(reply->data(), reply->size()) && reader.Finish());
    std::sort(names.begin(), names.end());
    return names;
  }
  // Each name played as MP3 (names and contents in turn): the file's bytes, or nothing for "".
  void ExpectPlays(const std::vector<std::string>& plays) {
    for (size_t i = 0; i + 1 < plays.size(); i += 2) {
      const std::string &name = plays[i], &content = plays[i + 1];
      const std::string want =
          content.empty() ? "" : Block(std::to_string(content.size())) + content;
      EXPECT_EQ(Exchange(Block("<31" + name)), want) << Printable(name);
    }
  }
};

TEST_F(LibraryTest, SubfoldersAreListedToDepth16OnceEachAndNeverOutsideTheFolder) {
  std::string deep;
  for (int i = 0; i < 16; ++i) deep += "a/";
  for (std::string path : {"top.mp3", "Artist/Album/01 Title.mp3", "Artist/cover.jpg",
                           ".hidden/h.mp3", "clips.mp3/in.mp3", "locked/l.mp3", "bad\xff.mp3"}) {
    Media("audio/" + path, path);
  }
  Media("audio/" + deep + "x.mp3", "16 down");
  Media("audio/" + deep + "a/y.mp3", "17 down");
  Media("video/v/clip.avi", "");
  Media("outside/s.mp3", "secret");
  const std::string secret = (media_.path() / "outside/s.mp3").string(),
                    links[] = {
                        "loop",           ".",   "Artist/up",  "..",       "twin",
                        "Artist",         "out", "../outside", "near.mp3", "../outside/s.mp3",
                        "Artist/far.mp3", secret};
  for (int i = 0; i < 12; i += 2) std::filesystem::create_symlink(links[i + 1], audio() / links[i]);
  FailOpens("locked", EACCES);  // an unreadable folder
  Start(/*subfolders=*/true, /*shortNames=*/false);
  EXPECT_EQ(Listed(),
            (std::vector<std::string>{"Artist/Album/01 Title.mp3", deep + "x.mp3", "bad\xff.mp3",
                                      "clips.mp3/in.mp3", "near.mp3", "top.mp3", "v/clip.avi"}));
  // A link out of the folder plays only where the one-level listing always took it.
  ExpectPlays({"Artist/Album/01 Title.mp3", "Artist/Album/01 Title.mp3", deep + "x.mp3", "16 down",
               "near.mp3", "secret", "out/s.mp3", "", "Artist/far.mp3", ""});
}

TEST_F(LibraryTest, ShortNamesAreStableUniqueAndPlayAlsoAfterARestart) {
  Media("audio/Artist/Album/01 A title far too long for the record.mp3", "1");
  // A name that fits and is that file's own short name: the file takes its next one.
  Media("audio/01 A title far too long for t~SA1C3.mp3", "listed");
  // The same prefix, and the same hash for both paths: c1380 comes first in byte order.
  Media("audio/c1380/" + kLong + "hort one.mp3", "first");
  Media("audio/c9878/" + kLong + "hort one.mp3", "later");
  // A name that fits takes what would be the later one's next name.
  Media("audio/" + kLong + "~T4FFF.mp3", "taken");
  Media("audio/Artist/short.mp3", "");
  Start(/*subfolders=*/true, /*shortNames=*/true);
  const std::vector<std::string> plays = {"01 A title far too long for t~DEESP.mp3",
                                          "1",
                                          kLong + "~DH5K9.mp3",
                                          "first",
                                          kLong + "~EY8CK.mp3",
                                          "later",
                                          kLong + "~T4FFF.mp3",
                                          "taken",
                                          "c9878/" + kLong + "hort one.mp3",
                                          "later",  // the full name plays too
                                          "Nothing here~ABCDE.mp3",
                                          "",
                                          "01 A title far too long for t~SA1C3.mp3",
                                          "listed"};
  ListedShortNames().Clear();
  ExpectPlays(plays);  // before any listing: found by walking, as after a restart
  EXPECT_EQ(Listed(), (std::vector<std::string>{plays[0], plays[12], "Artist/short.mp3", plays[2],
                                                plays[4], plays[6]}));
  ExpectPlays(plays);  // from the index the listing filled
  EXPECT_EQ(log_->Count("Can Not Open File : " + audio().string() + "\\Nothing here~ABCDE.mp3"), 2);
}

TEST_F(LibraryTest, NamesGoOutInTheAdaptersCharacterSetOrShortenedOrRefused) {
  Media("audio/Café.mp3", "cafe");
  Media("audio/日本語.mp3", "nihongo");
  Media("audio/bad\xff.mp3", "bad");
  Media("audio/\xfe.mp3", "fe");  // shorter than a failed conversion's leftovers
  const std::string tooLong = "Artist/Album/01 A title far too long for the record.mp3";
  Media("audio/" + tooLong, "");
  Start(/*subfolders=*/true, /*shortNames=*/false, "CP1252");
  EXPECT_EQ(Listed(), std::vector<std::string>{"Caf\xe9.mp3"});
  // Names from disk reach the log as text: a byte of no character as \xNN.
  for (std::string refused : {"日本語.mp3", "bad\\xff.mp3", "\\xfe.mp3", tooLong.c_str()}) {
    EXPECT_EQ(log_->Count("System Warming 3003! FileName :: " + refused + " ."), 1) << refused;
  }
  Stop();
  Start(/*subfolders=*/false, /*shortNames=*/true, "CP1252");
  ListedShortNames().Clear();
  ExpectPlays({"Caf\xe9.mp3", "cafe", "_~CG34T.mp3", "nihongo", "bad_~1KKVM.mp3", "bad",
               "_~3Z24Z.mp3", "fe", "x", ""});
  EXPECT_EQ(Listed(), (std::vector<std::string>{"Caf\xe9.mp3", "_~3Z24Z.mp3", "_~CG34T.mp3",
                                                "bad_~1KKVM.mp3"}));
}

}  // namespace
}  // namespace rureza::test
