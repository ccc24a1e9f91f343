// The converter's codec functions called directly: what they make of the files a household
// keeps, and of files that lie about themselves. Fixtures are made at run time with ffmpeg.
#include <gtest/gtest.h>

#include "conversion/converter_protocol.h"

namespace rureza::test {
namespace {

TEST(CodecTest, RequestsSurviveTheirEncoding) {
  ConverterRequest request;
  request.kind = RequestKind::kPhoto;
  request.path = "a/b.png";
  request.box = {640, 480};
  const std::string bytes = EncodeRequest(request);
  MessageReader reader;
  reader.Add(bytes);
  uint8_t kind = 0;
  std::string payload;
  ASSERT_TRUE(reader.Next(&kind, &payload));
  ConverterRequest decoded;
  ASSERT_TRUE(DecodeRequest(kind, payload, &decoded));
  EXPECT_EQ(decoded.path, "a/b.png");
  EXPECT_EQ(decoded.box.width, 640u);
}

}  // namespace
}  // namespace rureza::test
