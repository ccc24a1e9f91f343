#include "delivery/stream_blocks.h"

#include <algorithm>

#include "server/activity_log.h"

namespace rureza {

File OpenStreamFile(const MediaPath& path) {
  File file = OpenMediaFile(path);
  int64_t length = file.valid() ? file.Length() : -1;
  if (length < 0 || length >= kStreamFileLimit) return File();
  return file;
}

bool SeekToOffset(File& file, uint32_t offset) {
  if (static_cast<int32_t>(offset) < 0) return false;
  return file.Seek(offset) == static_cast<int64_t>(offset);
}

SmallBlock TextBlock(const std::string& text) {
  SmallBlock block(kSmallBlockSize, '\0');
  block.replace(0, std::min(text.size(), kSmallBlockSize - 1), text, 0, kSmallBlockSize - 1);
  return block;
}

SmallBlock TextBlockFromByte3(const std::string& text) {
  return TextBlock(std::string(3, '\0') + text);
}

SmallBlock LengthBlock(int32_t length) { return TextBlock(Format("%d", length)); }

SmallBlock FilesizeBlock(int32_t length) {
  return TextBlock(Format("%ldfilesize", static_cast<long>(length)));
}

SmallBlock StartBlock(int32_t length) {
  return TextBlockFromByte3(Format("%ldfilesize", static_cast<long>(length)));
}

SmallBlock PositionReply(int32_t streamPosition) {
  return TextBlockFromByte3(Format("%dftell", streamPosition));
}

SmallBlock TailPositionBlock(uint32_t tailPosition) {
  return TextBlock(Format("%u", tailPosition));
}

uint32_t BackwardStep(uint32_t scaleValue) {
  uint32_t q = scaleValue / 100000;
  if (q == 0) return 1;
  uint32_t factor = q <= 3    ? 2
                    : q <= 8  ? 3
                    : q <= 13 ? 4
                    : q <= 18 ? 5
                    : q <= 23 ? 6
                    : q <= 28 ? 7
                              : 8;
  return factor * q - 1;
}

}  // namespace rureza
