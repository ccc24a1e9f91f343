// The tests' SHA-256 against the standard's examples and the system's sha256sum.
#include "support/sha256.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "support/test_server.h"

namespace rureza::test {
namespace {

TEST(Sha256Test, KnownDigestsAndTheSystemTool) {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  // Fed in uneven pieces, a few megabytes, compared with sha256sum where the system has it.
  std::string data = PatternBytes(3 * 1000 * 1000 + 17);
  Sha256 pieces;
  for (size_t at = 0, step = 1; at < data.size(); at += step, step = step * 3 % 1000 + 1) {
    pieces.Update(std::string_view(data).substr(at, step));
  }
  const std::string digest = pieces.HexDigest();
  EXPECT_EQ(digest, Sha256Hex(data));
  TempDir dir;
  std::string file = dir.Write("data.bin", data).string();
  if (FILE* tool = ::popen(("sha256sum " + file + " 2>/dev/null").c_str(), "r")) {
    char line[128] = {};
    bool read = std::fgets(line, sizeof line, tool) != nullptr;
    ::pclose(tool);
    if (read) {
      EXPECT_EQ(std::string(line).substr(0, 64), digest);
    }
  }
}

}  // namespace
}  // namespace rureza::test
