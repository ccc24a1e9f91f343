// Photos in the formats the server converts, to baseline sRGB JPEG that fits the adapter's
// photo size (libvips, with libheif for HEIC and lcms for colour). Runs in the converter
// process only.
// Thread safety: each call uses objects of its own; InitPhotos once first.
#pragma once

#include <cstdint>
#include <string>

#include "conversion/converter_protocol.h"

namespace rureza {

// Pictures larger than these are refused from their header, before any decoding.
inline constexpr uint64_t kMostPhotoPixels = 100'000'000;
inline constexpr uint32_t kMostPhotoSide = 16384;

// Starts libvips: few worker threads and no cache of operations, so a conversion's memory is
// its own picture's.
void InitPhotos(const char* program);

// Reads the photo's header: its dimensions as shown (EXIF rotation applied) and whether it can
// go to the adapter as it is (its size aside). Empty on success, else why it cannot be shown.
std::string ProbePhoto(const std::string& path, PhotoFacts* facts);

// Writes the photo to descriptor out as a baseline JPEG: scaled down to fit box (never up),
// EXIF rotation applied, colour converted to sRGB, transparency on white, metadata left out.
// *bytes: the JPEG's length. Empty on success, else what failed.
std::string ConvertPhoto(const std::string& path, PhotoBox box, int out, uint64_t* bytes);

}  // namespace rureza
