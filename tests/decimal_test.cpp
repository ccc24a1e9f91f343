// The number readers and the fixed stream blocks, fed what broken adapters send: junk, signs,
// overflow, blocks without a terminating zero.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "delivery/decimal.h"
#include "delivery/stream_blocks.h"

namespace rureza {
namespace {

TEST(DecimalTest, ParseDecimalCountsEveryByteUpToTheZeroAsADigitAndWraps) {
  // Junk is worth its code minus 48 (bytes above 127 negative): (10^20 - 1) mod 2^32 = 1661992959.
  const std::pair<std::string, uint32_t> cases[] = {{"", 0},
                                                    {"950000", 950000},
                                                    {"12a", 169},
                                                    {"-1", 4294967267},
                                                    {"\xff", 4294967247},
                                                    {"4294967296", 0},
                                                    {"99999999999999999999", 1661992959}};
  for (const auto& [text, value] : cases) EXPECT_EQ(ParseDecimal(text.data(), text.size()), value);
  EXPECT_EQ(ParseDecimal("2048\0009", 6), 2048u);
  EXPECT_EQ(ParseDecimal("7777", 3), 777u);  // a block without its zero byte
}

TEST(DecimalTest, ParseSignedDecimalReadsLikeTheCLibraryAndWrapsBeyondItsRange) {
  for (std::string text : {"", " \t\n\v\f\r42", "+7", "-7", "12ab34", "+-1", "- 1", "6666ftell",
                           "-2147483648", "0x10", "-0012"}) {
    EXPECT_EQ(ParseSignedDecimal(text.data(), text.size()), std::strtol(text.c_str(), nullptr, 10))
        << text;
  }
  // (10^23 - 1) mod 2^32 = -159383553 as a signed value.
  const std::pair<std::string, int32_t> wrapped[] = {
      {"2147483648", INT32_MIN}, {"4294967295", -1}, {"99999999999999999999999", -159383553}};
  for (const auto& [text, value] : wrapped) {
    EXPECT_EQ(ParseSignedDecimal(text.data(), text.size()), value) << text;
  }
  EXPECT_EQ(ParseSignedDecimal((std::string(250, ' ') + "-12345").c_str(), 253), -12);
}

TEST(DecimalTest, BlocksAndTheBackwardStepTable) {
  std::string zeros(256, '\0');
  EXPECT_EQ(FilesizeBlock(1000000), "1000000filesize" + zeros.substr(15));
  EXPECT_EQ(PositionReply(1048576), zeros.substr(0, 3) + "1048576ftell" + zeros.substr(15));
  EXPECT_EQ(TailPositionBlock(4294967295u), "4294967295" + zeros.substr(10));
  const std::pair<uint32_t, uint32_t> steps[] = {
      {199999, 1},    {200000, 3},    {399999, 5},          {400000, 11},   {899999, 23},
      {900000, 35},   {1150000, 43},  {1400000, 69},        {1900000, 113}, {2400000, 167},
      {2899999, 195}, {2900000, 231}, {4294967295u, 343591}};
  for (const auto& [scale, step] : steps) EXPECT_EQ(BackwardStep(scale), step) << scale;
}

}  // namespace
}  // namespace rureza
