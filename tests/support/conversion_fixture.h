// Test support for conversions: fixtures made by the codec command-line tools, the tone an MP3
// holds, and the live server with conversion on, its conversions in a cache of the test's own.
#pragma once

#include <sys/types.h>
#include <filesystem>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "conversion/conversion_settings.h"
#include "support/fixture.h"

namespace rureza::test {

// Runs a tool to make a fixture; its output lands in dir/out.
void RunTool(const std::filesystem::path& dir, const std::string& program,
             const std::vector<std::string>& args);
std::string Slurp(const std::filesystem::path& path);
// The tone's frequency where the MP3 bytes begin (past the first, possibly cut, frame): decoded
// by ffmpeg in dir, zero crossings over 0.2 s. One caller at a time per dir.
double ToneAt(const std::filesystem::path& dir, const std::string& mp3);

// The converter processes this process has running now, oldest first.
std::vector<pid_t> ConverterPids();
// The bytes of the disk that files in folder (or taken from it, without a name, and open here)
// hold: what a cache in folder keeps on the disk.
uint64_t DiskBytesIn(const std::filesystem::path& folder);

// The live server with conversion on (subfolders and short names too, as a new install has
// them), its conversions in a cache of the test's own.
class ConvertedPlayTest : public ServerTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  void Start();
  // A song or photo made by ffmpeg from a lavfi source, at path in the media tree.
  void Make(const std::string& path, const std::string& source, std::vector<std::string> args);
  // The listed sizes by name; the names in order in order_.
  std::map<std::string, uint32_t> Listed();
  // The whole reply to playing name as type: the length block's number, then what followed.
  std::pair<std::string, std::string> Fetch(char type, const std::string& name);

  ConversionSettings conversion_;
  std::vector<std::string> order_;
};

}  // namespace rureza::test
