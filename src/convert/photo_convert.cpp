#include "convert/photo_convert.h"

#include <fcntl.h>
#include <lcms2.h>
#include <unistd.h>
#include <vips/vips.h>

#include <cstring>
#include <memory>

namespace rureza {
namespace {

// Only the loaders of the photo formats the server converts; ImageMagick only for BMP (it is
// the one libvips has for it), and only for a file that is a BMP.
constexpr const char* kLoaders[] = {"VipsForeignLoadJpegFile", "VipsForeignLoadPngFile",
                                    "VipsForeignLoadHeifFile", "VipsForeignLoadWebpFile",
                                    "VipsForeignLoadTiffFile", "VipsForeignLoadNsgifFile"};
constexpr char kJpegLoader[] = "VipsForeignLoadJpegFile";
constexpr int kJpegQuality = 85;

struct Unref {
  void operator()(void* object) const { g_object_unref(object); }
};
using ImagePtr = std::unique_ptr<VipsImage, Unref>;

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

bool IsBmp(const std::string& path) {
  char magic[2] = {};
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool bmp = ::read(fd, magic, 2) == 2 && magic[0] == 'B' && magic[1] == 'M';
  ::close(fd);
  return bmp;
}

// The loader libvips picks for the file, when it is one of ours.
std::string PickLoader(const std::string& path, std::string* loader) {
  const char* found = vips_foreign_find_load(path.c_str());
  if (found == nullptr) return VipsError("not a picture");
  *loader = found;
  for (const char* allowed : kLoaders) {
    if (*loader == allowed) return {};
  }
  if (loader->starts_with("VipsForeignLoadMagick") && IsBmp(path)) return {};
  return "not a photo format that is converted (" + *loader + ")";
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

// Opens the header (nothing is decoded) and refuses what is too large to decode.
std::string OpenHeader(const std::string& path, ImagePtr* image, std::string* loader,
                       uint32_t* width, uint32_t* height) {
  std::string error = PickLoader(path, loader);
  if (!error.empty()) return error;
  image->reset(vips_image_new_from_file(path.c_str(), "access", VIPS_ACCESS_SEQUENTIAL, NULL));
  if (!*image) return VipsError("cannot read the picture");
  *width = static_cast<uint32_t>(vips_image_get_width(image->get()));
  *height = static_cast<uint32_t>(vips_image_get_height(image->get()));
  if (*width > kMostPhotoSide || *height > kMostPhotoSide ||
      uint64_t{*width} * *height > kMostPhotoPixels) {
    return "too large: " + std::to_string(*width) + " x " + std::to_string(*height) + " pixels";
  }
  if (*width == 0 || *height == 0) return "no pixels";
  return {};
}

}  // namespace

void InitPhotos(const char* program) {
  VIPS_INIT(program);
  vips_concurrency_set(2);
  vips_cache_set_max(0);
}

std::string ProbePhoto(const std::string& path, PhotoFacts* facts) {
  ImagePtr image;
  std::string loader;
  uint32_t width = 0, height = 0;
  std::string error = OpenHeader(path, &image, &loader, &width, &height);
  if (!error.empty()) return error;
  const int orientation = Orientation(image.get());
  const bool turned = orientation >= 5 && orientation <= 8;
  facts->width = turned ? height : width;
  facts->height = turned ? width : height;
  VipsImage* header = image.get();
  facts->needsConversion = loader != kJpegLoader || Flagged(header, "interlaced") ||
                           vips_image_get_interpretation(header) == VIPS_INTERPRETATION_CMYK ||
                           vips_image_get_format(header) != VIPS_FORMAT_UCHAR || orientation > 1 ||
                           HasForeignProfile(header);
  return {};
}

std::string ConvertPhoto(const std::string& path, PhotoBox box, int out, uint64_t* bytes) {
  if (box.width == 0 || box.height == 0 || box.width > kMostPhotoSide ||
      box.height > kMostPhotoSide) {
    return "no photo size";
  }
  bool profiled = false;
  {
    ImagePtr header;
    std::string loader;
    uint32_t width = 0, height = 0;
    std::string error = OpenHeader(path, &header, &loader, &width, &height);
    if (!error.empty()) return error;
    profiled = vips_image_get_typeof(header.get(), VIPS_META_ICC_NAME) != 0;
  }
  // Shrinks while it loads where the format allows (JPEG) and turns the picture upright. A
  // picture with a colour profile has its colours taken from it to sRGB (one without is sRGB
  // already, and a CMYK one is taken to sRGB either way).
  VipsImage* raw = nullptr;
  const int width = static_cast<int>(box.width), height = static_cast<int>(box.height);
  const int failed = profiled ? vips_thumbnail(path.c_str(), &raw, width, "height", height, "size",
                                               VIPS_SIZE_DOWN, "export_profile", "srgb", NULL)
                              : vips_thumbnail(path.c_str(), &raw, width, "height", height, "size",
                                               VIPS_SIZE_DOWN, NULL);
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
  std::unique_ptr<VipsTarget, Unref> target(vips_target_new_to_descriptor(out));
  if (!target) return VipsError("cannot write");
  if (vips_jpegsave_target(image.get(), target.get(), "Q", kJpegQuality, "optimize_coding", TRUE,
                           "interlace", FALSE, "strip", TRUE, NULL) != 0) {
    return VipsError("cannot write the JPEG");
  }
  const off_t end = ::lseek(out, 0, SEEK_CUR);
  if (end <= 0) return "cannot tell the JPEG's length";
  *bytes = static_cast<uint64_t>(end);
  return {};
}

}  // namespace rureza
