// Photos through the codec functions: a JPEG of any size comes out fitted, other formats keep
// their refusal from the header, a file is read for what it is, and the JPEG goes to a pipe.
#include <unistd.h>

#include "codec/codec_fixture.h"
#include "convert/photo_convert.h"

namespace rureza::test {
namespace {

class PhotoTest : public CodecTest {
 protected:
  // The photo converted to fit 1920 x 1080; the count it reported is the bytes it wrote.
  Converted Convert(const std::string& path) {
    InitPhotos("codec_tests");
    SourceFd source(path);
    uint64_t bytes = 0;
    Converted converted = ThroughPipe([&](int out) {
      return ConvertPhoto(source.fd(), path, {1920, 1080}, out, &bytes);
    });
    EXPECT_EQ(bytes, converted.bytes.size()) << path;
    return converted;
  }
};

TEST_F(PhotoTest, AJpegOfAnySizeIsFittedByShrinkingWhileItLoads) {
  const struct {
    std::string name;
    int width, height, fittedWidth, fittedHeight;
  } photos[] = {
      {"108mp.jpg", 12000, 9000, 1440, 1080},     // over 100 megapixels
      {"panorama.jpg", 18000, 3000, 1920, 320},   // wider than 16,384
      {"screenshot.jpg", 1080, 20000, 58, 1080},  // taller than 16,384
      {"portrait.jpg", 1000, 1200, 900, 1080},    // too tall only
      {"landscape.jpg", 2000, 1000, 1920, 960},   // too wide only
      {"fits.jpg", 1920, 1080, 1920, 1080},
  };
  for (const auto& photo : photos) {
    Tool("/usr/bin/vips", {"black", Path(photo.name), std::to_string(photo.width),
                           std::to_string(photo.height), "--bands", "3"});
    const PhotoFacts facts = Facts(Path(photo.name));
    EXPECT_EQ(facts.width, uint32_t(photo.width)) << photo.name;
    EXPECT_EQ(facts.height, uint32_t(photo.height)) << photo.name;
    const Converted converted = Convert(Path(photo.name));
    EXPECT_EQ(converted.error, "") << photo.name;
    const JpegShape shape = ShapeOf(converted.bytes);
    EXPECT_TRUE(shape.baseline) << photo.name;
    EXPECT_EQ(shape.width, photo.fittedWidth) << photo.name;
    EXPECT_EQ(shape.height, photo.fittedHeight) << photo.name;
  }
}

TEST_F(PhotoTest, OtherFormatsKeepTheirRefusalAndAFileIsReadForWhatItIs) {
  // A BMP (read into memory) whose header claims 10,001 x 10,000 pixels, and a real one.
  Make("small.bmp", "testsrc2=s=320x240", {"-frames:v", "1"});
  std::string bmp = Slurp(Path("small.bmp"));
  EXPECT_EQ(ShapeOf(Convert(Path("small.bmp")).bytes).width, 320);
  bmp.replace(18, 8, std::string("\x11\x27\0\0\x10\x27\0\0", 8));
  std::string error;
  Facts(Write("huge.bmp", bmp), &error);
  EXPECT_EQ(error,
            "too large: 10001 x 10000 pixels (at most 100 megapixels and 16,384 a side, "
            "but for baseline JPEGs)");
  // A progressive JPEG does not shrink while it loads: it keeps the refusal.
  Tool("/usr/bin/vips", {"black", Path("wide.jpg[interlace]"), "16385", "8", "--bands", "3"});
  Facts(Path("wide.jpg"), &error);
  EXPECT_TRUE(error.starts_with("too large: 16385 x 8 pixels")) << error;
  // A text named as a JPEG; a PNG named as one is converted as what it is.
  Facts(Write("receipt.jpg", "Thank you for shopping with us\n"), &error);
  EXPECT_EQ(error, "not a JPEG: its first bytes are not those of a picture");
  Make("png.jpg", "testsrc2=s=320x240", {"-frames:v", "1", "-f", "image2", "-c:v", "png"});
  EXPECT_TRUE(Facts(Path("png.jpg")).needsConversion);
  // The descriptor's offset is wherever something left it.
  SourceFd source(Path("png.jpg"));
  ::lseek(source.fd(), 0, SEEK_END);
  PhotoFacts facts;
  EXPECT_EQ(ProbePhoto(source.fd(), "png.jpg", &facts), "");
  EXPECT_EQ(facts.width, 320u);
  EXPECT_EQ(ShapeOf(Convert(Path("png.jpg")).bytes).height, 240);
}

}  // namespace
}  // namespace rureza::test
