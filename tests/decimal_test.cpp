// The number readers and the fixed stream blocks, attacked with what broken adapters send:
// junk, signs, overflow, blocks without a terminating zero.
#include <gtest/gtest.h>

#include <string>

#include "delivery/decimal.h"
#include "delivery/stream_blocks.h"

namespace rureza {
namespace {

TEST(DecimalTest, ParseDecimalCountsEveryByteUpToTheZeroAsADigit) {
  // Junk counts as digits worth their code minus 48 (bytes above 127 as negative ones); the sum
  // wraps modulo 2^32: (10^20 - 1) mod 2^32 = 1661992959.
  const std::pair<std::string, uint32_t> cases[] = {{"", 0},
                                                    {"950000", 950000},
                                                    {std::string("2048\0009", 6), 2048},
                                                    {"12a", 100 + 20 + ('a' - '0')},
                                                    {"-1", uint32_t(('-' - '0') * 10 + 1)},
                                                    {"\xff", uint32_t(-1 - '0')},
                                                    {"4294967296", 0},
                                                    {"99999999999999999999", 1661992959}};
  for (const auto& [text, value] : cases) EXPECT_EQ(ParseDecimal(text.data(), text.size()), value);
  std::string unterminated(256, '7');
  EXPECT_EQ(ParseDecimal(unterminated.data(), 3), 777u);
}

TEST(DecimalTest, ParseSignedDecimalReadsLikeTheCLibraryAndWraps) {
  // (10^23 - 1) mod 2^32 = -159383553 as a signed value.
  const std::pair<std::string, int32_t> cases[] = {{"", 0},
                                                   {" \t\n\v\f\r42", 42},
                                                   {"+7", 7},
                                                   {"-7", -7},
                                                   {"12ab34", 12},
                                                   {"+-1", 0},
                                                   {"6666ftell", 6666},
                                                   {"2147483648", INT32_MIN},
                                                   {"4294967295", -1},
                                                   {"99999999999999999999999", -159383553}};
  for (const auto& [text, value] : cases) {
    EXPECT_EQ(ParseSignedDecimal(text.data(), text.size()), value) << text;
  }
  std::string unterminated = std::string(250, ' ') + "-12345";
  EXPECT_EQ(ParseSignedDecimal(unterminated.data(), 253), -12);
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
