#include "convert/photo_convert.h"

#include <lcms2.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vips/vips.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace rureza {
namespace {

// Only the loaders of the photo formats the server converts, each reading from the descriptor;
// every other loader of libvips is blocked. BMP is ImageMagick's alone, which reads no
// descriptor: a BMP is read into memory, its size checked first.
constexpr const char* kLoaders[] = {"VipsForeignLoadJpegSource",  "VipsForeignLoadPngSource",
                                    "VipsForeignLoadHeifSource",  "VipsForeignLoadWebpSource",
                                    "VipsForeignLoadTiffSource",  "VipsForeignLoadNsgifSource",
                                    "VipsForeignLoadMagickBuffer"};
constexpr char kJpegLoader[] = "VipsForeignLoadJpegSource";
constexpr char kBmpLoader[] = "VipsForeignLoadMagickBuffer";
constexpr int kJpegQuality = 85;
// A BMP's headers and colour table at most, before its pixels.
constexpr uint64_t kBmpHeaders = 14 + 124 + 1024;

struct Unref {
  void operator()(void* object) const { g_object_unref(object); }
};
using ImagePtr = std::unique_ptr<VipsImage, Unref>;
using SourcePtr = std::unique_ptr<VipsSource, Unref>;

std::string VipsError(const char* what) {
  std::string text = what;
  const char* buffer = vips_error_buffer();
  if (buffer != nullptr && *buffer != '\0') {
    text += ": ";
    text += buffer;
    while (!text.empty() && text.back() == '\n') text.pop_back();
  }
  vips_error_clear();
  return text;
}

// count bytes from offset at; fewer at the end.
std::string ReadAt(int fd, uint64_t at, size_t count) {
  std::string bytes(count, '\0');
  size_t got = 0;
  while (got < count) {
    const ssize_t n = ::pread(fd, bytes.data() + got, count - got, static_cast<off_t>(at + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  bytes.resize(got);
  return bytes;
}

// The descriptor as a libvips source from its first byte (the source reads at the descriptor's
// offset, which whatever read it before has moved).
SourcePtr SourceOf(int fd) {
  if (::lseek(fd, 0, SEEK_SET) != 0) return nullptr;
  return SourcePtr(vips_source_new_from_descriptor(fd));
}

// What the name's ending says the file is, for a reason's words.
std::string KindOf(std::string_view name) {
  std::string ending(
      name.substr(name.rfind('.') == std::string_view::npos ? name.size() : name.rfind('.') + 1));
  for (char& c : ending) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ending == "jpg" || ending == "jpeg" || ending == "jpe") return "JPEG";
  if (ending == "heic" || ending == "heif") return "HEIF";
  if (ending == "webp") return "WebP";
  if (ending == "tif" || ending == "tiff") return "TIFF";
  for (char& c : ending) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return ending.empty() ? "picture" : ending;
}

int Orientation(VipsImage* image) {
  int orientation = 1;
  if (vips_image_get_typeof(image, VIPS_META_ORIENTATION) != 0 &&
      vips_image_get_int(image, VIPS_META_ORIENTATION, &orientation) != 0) {
    vips_error_clear();
    orientation = 1;
  }
  return orientation;
}

bool Flagged(VipsImage* image, const char* field) {
  int value = 0;
  if (vips_image_get_typeof(image, field) == 0) return false;
  if (vips_image_get_int(image, field, &value) != 0) {
    vips_error_clear();
    return false;
  }
  return value != 0;
}

// True when the image carries a colour profile that is not sRGB (a phone's Display P3, say).
bool HasForeignProfile(VipsImage* image) {
  if (vips_image_get_typeof(image, VIPS_META_ICC_NAME) == 0) return false;
  const void* data = nullptr;
  size_t length = 0;
  if (vips_image_get_blob(image, VIPS_META_ICC_NAME, &data, &length) != 0) {
    vips_error_clear();
    return true;
  }
  cmsHPROFILE profile = cmsOpenProfileFromMem(data, static_cast<cmsUInt32Number>(length));
  if (profile == nullptr) return true;
  char description[256] = {};
  cmsGetProfileInfoASCII(profile, cmsInfoDescription, "en", "US", description, sizeof description);
  cmsCloseProfile(profile);
  return std::strstr(description, "sRGB") == nullptr;
}

std::string TooLarge(uint64_t width, uint64_t height) {
  if (width > kMostPhotoSide || height > kMostPhotoSide || width * height > kMostPhotoPixels) {
    return "too large: " + std::to_string(width) + " x " + std::to_string(height) +
           " pixels (at most 100 megapixels and 16,384 a side, but for baseline JPEGs)";
  }
  return {};
}

// A photo's header (nothing decoded yet), and for a BMP the bytes it is read from.
struct Header {
  std::string loader;
  ImagePtr image;
  std::string bmp;
  uint32_t width = 0, height = 0;
};

// A BMP's whole file in memory, once its header's dimensions are within the limits.
std::string OpenBmp(int fd, Header* header) {
  const std::string head = ReadAt(fd, 0, 26);
  if (head.size() < 26) return "not a BMP: cut short";
  const auto le = [&](size_t at, int count) {
    uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(head[at + i]);
    return value;
  };
  const bool core = le(14, 4) == 12;  // the oldest header's dimensions are 16-bit
  const int64_t width = core ? le(18, 2) : static_cast<int32_t>(le(18, 4));
  const int64_t height = core ? le(20, 2) : static_cast<int32_t>(le(22, 4));  // < 0: top-down
  std::string error =
      TooLarge(static_cast<uint64_t>(std::abs(width)), static_cast<uint64_t>(std::abs(height)));
  if (!error.empty()) return error;
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::string("cannot read it: ") + std::strerror(errno);
  // No more than its headers and 32-bit pixels need (what follows them is not the picture's).
  const uint64_t most = kBmpHeaders + 4 * static_cast<uint64_t>(std::abs(width) * std::abs(height));
  header->bmp = ReadAt(fd, 0, static_cast<size_t>(std::min<uint64_t>(st.st_size, most)));
  VipsImage* raw = nullptr;
  if (vips_magickload_buffer(header->bmp.data(), header->bmp.size(), &raw, NULL) != 0) {
    return VipsError("cannot read the picture");
  }
  header->image.reset(raw);
  return {};
}

// Opens the header and refuses what is not ours or too large to decode.
std::string OpenHeader(int fd, std::string_view name, Header* header) {
  std::string error;
  SourcePtr source = SourceOf(fd);
  if (!source) return VipsError("cannot read the picture");
  const char* found = vips_foreign_find_load_source(source.get());
  vips_error_clear();
  const std::string magic = ReadAt(fd, 0, 2);
  if (found != nullptr) {
    header->loader = found;
    header->image.reset(
        vips_image_new_from_source(source.get(), "", "access", VIPS_ACCESS_SEQUENTIAL, NULL));
    if (!header->image) return VipsError("cannot read the picture");
  } else if (magic == "BM") {
    header->loader = kBmpLoader;
    if (!(error = OpenBmp(fd, header)).empty()) return error;
  } else {
    return "not a " + KindOf(name) + ": its first bytes are not those of a picture";
  }
  header->width = static_cast<uint32_t>(vips_image_get_width(header->image.get()));
  header->height = static_cast<uint32_t>(vips_image_get_height(header->image.get()));
  // A baseline JPEG shrinks while it loads (by up to 8 a side), so that any size is cheap; a
  // progressive one is held whole while it loads (6 bytes a pixel), as other formats are.
  const bool shrinks = header->loader == kJpegLoader && !Flagged(header->image.get(), "interlaced");
  if (!shrinks && !(error = TooLarge(header->width, header->height)).empty()) return error;
  if (header->width == 0 || header->height == 0) return "no pixels";
  return {};
}

// The JPEG's bytes, written to a descriptor in turn (a pipe: nothing is sought), and counted.
struct Sink {
  int fd = -1;
  uint64_t bytes = 0;
  int error = 0;
};

gint64 WriteToSink(VipsTargetCustom*, const void* data, gint64 length, gpointer user) {
  auto* sink = static_cast<Sink*>(user);
  const char* p = static_cast<const char*>(data);
  for (gint64 left = length; left > 0;) {
    const ssize_t n = ::write(sink->fd, p, static_cast<size_t>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      sink->error = n < 0 ? errno : EIO;
      return -1;
    }
    p += n;
    left -= n;
  }
  sink->bytes += static_cast<uint64_t>(length);
  return length;
}

}  // namespace

void InitPhotos(const char* program) {
  VIPS_INIT(program);
  vips_concurrency_set(2);
  vips_cache_set_max(0);
  // Whatever a file's first bytes look like, no other loader ever reads it.
  vips_operation_block_set("VipsForeignLoad", TRUE);
  for (const char* loader : kLoaders) vips_operation_block_set(loader, FALSE);
}

std::string ProbePhoto(int fd, std::string_view name, PhotoFacts* facts) {
  Header header;
  std::string error = OpenHeader(fd, name, &header);
  if (!error.empty()) return error;
  const int orientation = Orientation(header.image.get());
  const bool turned = orientation >= 5 && orientation <= 8;
  facts->width = turned ? header.height : header.width;
  facts->height = turned ? header.width : header.height;
  VipsImage* image = header.image.get();
  facts->needsConversion = header.loader != kJpegLoader || Flagged(image, "interlaced") ||
                           vips_image_get_interpretation(image) == VIPS_INTERPRETATION_CMYK ||
                           vips_image_get_format(image) != VIPS_FORMAT_UCHAR || orientation > 1 ||
                           HasForeignProfile(image);
  return {};
}

std::string ConvertPhoto(int fd, std::string_view name, PhotoBox box, int out, uint64_t* bytes) {
  if (box.width == 0 || box.height == 0 || box.width > kMostPhotoSide ||
      box.height > kMostPhotoSide) {
    return "no photo size";
  }
  Header header;
  std::string error = OpenHeader(fd, name, &header);
  if (!error.empty()) return error;
  const bool profiled = vips_image_get_typeof(header.image.get(), VIPS_META_ICC_NAME) != 0;
  // Shrinks while it loads where the format allows (JPEG) and turns the picture upright. A
  // picture with a colour profile has its colours taken from it to sRGB (one without is sRGB
  // already, and a CMYK one is taken to sRGB either way).
  VipsImage* raw = nullptr;
  const int width = static_cast<int>(box.width), height = static_cast<int>(box.height);
  // Without a profile, the options end before "export_profile".
  const char* profile = profiled ? "export_profile" : nullptr;
  int failed;
  if (header.loader == kBmpLoader) {
    failed = vips_thumbnail_image(header.image.get(), &raw, width, "height", height, "size",
                                  VIPS_SIZE_DOWN, profile, "srgb", NULL);
  } else {
    header.image.reset();  // its source reads at the descriptor's offset, as the next one does
    SourcePtr source = SourceOf(fd);
    failed = !source || vips_thumbnail_source(source.get(), &raw, width, "height", height, "size",
                                              VIPS_SIZE_DOWN, profile, "srgb", NULL);
  }
  if (failed != 0) return VipsError("cannot convert the picture");
  ImagePtr image(raw);
  if (vips_image_hasalpha(image.get())) {
    VipsArrayDouble* white = vips_array_double_newv(1, 255.0);
    const int failed = vips_flatten(image.get(), &raw, "background", white, NULL);
    vips_area_unref(VIPS_AREA(white));
    if (failed != 0) return VipsError("cannot flatten the picture");
    image.reset(raw);
  }
  const VipsInterpretation kind = vips_image_get_interpretation(image.get());
  if (kind != VIPS_INTERPRETATION_sRGB && kind != VIPS_INTERPRETATION_B_W) {
    if (vips_colourspace(image.get(), &raw, VIPS_INTERPRETATION_sRGB, NULL) != 0) {
      return VipsError("cannot convert the colours");
    }
    image.reset(raw);
  }
  if (vips_image_get_format(image.get()) != VIPS_FORMAT_UCHAR) {
    if (vips_cast_uchar(image.get(), &raw, NULL) != 0) return VipsError("cannot convert");
    image.reset(raw);
  }
  Sink sink;
  sink.fd = out;
  std::unique_ptr<VipsTargetCustom, Unref> target(vips_target_custom_new());
  if (!target) return VipsError("cannot write");
  g_signal_connect(target.get(), "write", G_CALLBACK(WriteToSink), &sink);
  if (vips_jpegsave_target(image.get(), VIPS_TARGET(target.get()), "Q", kJpegQuality,
                           "optimize_coding", TRUE, "interlace", FALSE, "strip", TRUE, NULL) != 0 ||
      sink.error != 0) {
    return sink.error != 0 ? std::string("cannot write the JPEG: ") + std::strerror(sink.error)
                           : VipsError("cannot write the JPEG");
  }
  *bytes = sink.bytes;
  return {};
}

}  // namespace rureza
