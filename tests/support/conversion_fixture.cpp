#include "support/conversion_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>

#include "adapter/replies.h"
#include "conversion/process_conversions.h"
#include "server/server.h"
#include "support/process.h"

namespace rureza::test {

namespace fs = std::filesystem;

void RunTool(const fs::path& dir, const std::string& program,
             const std::vector<std::string>& args) {
  ChildProcess tool(program, args, dir);
  ASSERT_EQ(tool.Wait(120000), 0) << program << " " << args.back();
}

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

double ToneAt(const fs::path& dir, const std::string& mp3) {
  std::ofstream(dir / "part.mp3", std::ios::binary) << mp3;
  RunTool(dir, "/usr/bin/ffmpeg",
          {"-v", "error", "-f", "mp3", "-i", (dir / "part.mp3").string(), "-ss", "0.1", "-t", "0.2",
           "-ac", "1", "-ar", "48000", "-f", "s16le", "-y", (dir / "part.pcm").string()});
  const std::string pcm = Slurp(dir / "part.pcm");
  int crossings = 0;
  for (size_t i = 2; i + 1 < pcm.size(); i += 2) {
    const int16_t a = int16_t(uint8_t(pcm[i - 2]) | pcm[i - 1] << 8);
    const int16_t b = int16_t(uint8_t(pcm[i]) | pcm[i + 1] << 8);
    crossings += (a < 0) != (b < 0);
  }
  return crossings / 2.0 / (pcm.size() / 2 / 48000.0);
}

std::vector<pid_t> ConverterPids() {
  std::vector<pid_t> pids;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = Slurp(entry.path() / "stat");
    const size_t paren = stat.rfind(')');
    pid_t parent = 0;
    char state = 0;
    if (paren == std::string::npos || stat.find("(rureza-convert)") == std::string::npos ||
        std::sscanf(stat.c_str() + paren + 1, " %c %d", &state, &parent) != 2 ||
        parent != ::getpid()) {
      continue;
    }
    pids.push_back(std::stoi(name));
  }
  std::sort(pids.begin(), pids.end());
  return pids;
}

uint64_t DiskBytesIn(const fs::path& folder) {
  std::set<ino_t> counted;
  uint64_t bytes = 0;
  auto count = [&](const fs::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        counted.insert(info.st_ino).second) {
      bytes += uint64_t(info.st_blocks) * 512;
    }
  };
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(folder, ignored)) {
    const std::string name = entry.path().filename();
    if (!name.starts_with("store.db") && name != "lock") count(entry.path());
  }
  // Files without a name (a conversion's seek) show only among the descriptors holding them.
  const std::string prefix = fs::canonical(folder, ignored).string() + "/";
  for (const auto& fd : fs::directory_iterator("/proc/self/fd", ignored)) {
    const std::string target = fs::read_symlink(fd, ignored).string();
    if (target.starts_with(prefix) && target.find("store.db") == std::string::npos) count(fd);
  }
  return bytes;
}

void ConvertedPlayTest::SetUp() {
  ServerTest::SetUp();
  settings_.library = {true, true, "stored", true, {800, 600}};
  conversion_.cacheFolder = (media_.path() / "cache").string();
  conversion_.converterProgram = RUREZA_CONVERTER_BINARY;
}

void ConvertedPlayTest::TearDown() {
  StopServer();
  EndProcessConversions();
  ServerTest::TearDown();
}

void ConvertedPlayTest::Start() {
  StartProcessConversions(conversion_);
  ServerTest::Start();
}

void ConvertedPlayTest::Make(const std::string& path, const std::string& source,
                             std::vector<std::string> args) {
  fs::create_directories((media_.path() / path).parent_path());
  args.insert(args.begin(), {"-v", "error", "-f", "lavfi", "-i", source});
  args.insert(args.end(), {"-y", (media_.path() / path).string()});
  RunTool(media_.path(), "/usr/bin/ffmpeg", args);
}

std::map<std::string, uint32_t> ConvertedPlayTest::Listed() {
  std::map<std::string, uint32_t> sizes;
  order_.clear();
  ListingReader reader([&](const ListingEntry& e) {
    sizes[e.name] = e.size;
    order_.push_back(e.name);
  });
  std::optional<std::string> reply = Exchange(Block("<1"));
  EXPECT_TRUE(reply && reader.Feed(reply->data(), reply->size()) && reader.Finish());
  return sizes;
}

std::pair<std::string, std::string> ConvertedPlayTest::Fetch(char type, const std::string& name) {
  std::string reply = Exchange(Block(std::string("<3") + type + name)).value_or("");
  const std::string length = reply.substr(0, std::min<size_t>(reply.size(), 256));
  return {length.substr(0, length.find('\0')), reply.substr(length.size())};
}

}  // namespace rureza::test
