// Replays a fuzz target's corpus as an ordinary test: every file named on the command line, and
// every file in every folder named there, goes through LLVMFuzzerTestOneInput once. Builds with
// any compiler (no libFuzzer), so the sanitizer builds run it too.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_check.h"

namespace {

bool Replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  // Like libFuzzer, never a null pointer, also for an empty input.
  static const uint8_t kEmpty[1] = {};
  LLVMFuzzerTestOneInput(bytes.empty() ? kEmpty : bytes.data(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    if (std::filesystem::is_directory(argv[i], error)) {
      for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());
    } else {
      files.push_back(argv[i]);
    }
    for (const auto& file : files) {
      if (!Replay(file)) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return 1;
      }
      ++replayed;
    }
  }
  if (replayed == 0) {
    std::fprintf(stderr, "no input replayed\n");
    return 1;
  }
  std::printf("%zu inputs replayed\n", replayed);
  return 0;
}
