// Photos in the formats the server converts, to baseline sRGB JPEG that fits the adapter's
// photo size (libvips, with libheif for HEIC and lcms for colour). Runs in the converter
// process only.
// Thread safety: each call uses objects of its own; InitPhotos once first.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "conversion/converter_protocol.h"

namespace rureza {

// Pictures larger than these are refused from their header, before any decoding; but baseline
// JPEGs, which shrink while they load.
inline constexpr uint64_t kMostPhotoPixels = 100'000'000;
inline constexpr uint32_t kMostPhotoSide = 16384;

// Starts libvips: few worker threads, no cache of operations (so a conversion's memory is its
// own picture's), and no loader but those of the formats converted.
void InitPhotos(const char* program);

// The photo is read through fd (a regular file open for reading, its offset this code's to
// move; never opened again by a path), from its first byte; name (the file's name) only words
// reasons.

// Reads the photo's header: its dimensions as shown (EXIF rotation applied) and whether it can
// go to the adapter as it is (its size aside). Empty on success, else why it cannot be shown
// (a file whose first bytes are no picture's: "not a JPEG: ...", by its name's ending).
std::string ProbePhoto(int fd, std::string_view name, PhotoFacts* facts);

// Writes the photo to descriptor out (a pipe: written in turn, never sought) as a baseline
// JPEG: scaled down to fit box (never up), EXIF rotation applied, colour converted to sRGB,
// transparency on white, metadata left out. *bytes: the bytes written. Empty on success, else
// what failed.
std::string ConvertPhoto(int fd, std::string_view name, PhotoBox box, int out, uint64_t* bytes);

}  // namespace rureza
