// A source FFmpeg reads through its descriptor: pread at a position of its own, so the
// descriptor (which the server holds too) never moves, and seeks within the file's size now.
#pragma once

#include <cstdint>

namespace rureza {

struct DescriptorReader {
  int fd = -1;
  int64_t position = 0;

  // FFmpeg's read and seek callbacks (avio_alloc_context); opaque is the DescriptorReader.
  static int Read(void* opaque, uint8_t* buffer, int size);
  static int64_t Seek(void* opaque, int64_t offset, int whence);
};

}  // namespace rureza
