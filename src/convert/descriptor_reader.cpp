#include "convert/descriptor_reader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

namespace rureza {

int DescriptorReader::Read(void* opaque, uint8_t* buffer, int size) {
  auto* self = static_cast<DescriptorReader*>(opaque);
  ssize_t n;
  do {
    n = ::pread(self->fd, buffer, static_cast<size_t>(size), self->position);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return AVERROR(errno);
  if (n == 0) return AVERROR_EOF;
  self->position += n;
  return static_cast<int>(n);
}

int64_t DescriptorReader::Seek(void* opaque, int64_t offset, int whence) {
  auto* self = static_cast<DescriptorReader*>(opaque);
  whence &= ~AVSEEK_FORCE;
  struct stat status {};
  if ((whence == AVSEEK_SIZE || whence == SEEK_END) && ::fstat(self->fd, &status) != 0) {
    return AVERROR(errno);
  }
  if (whence == AVSEEK_SIZE) return status.st_size;
  const int64_t base = whence == SEEK_SET   ? 0
                       : whence == SEEK_CUR ? self->position
                       : whence == SEEK_END ? static_cast<int64_t>(status.st_size)
                                            : -1;
  if (base < 0 || base + offset < 0) return AVERROR(EINVAL);
  return self->position = base + offset;
}

}  // namespace rureza
