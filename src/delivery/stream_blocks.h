// The fixed-size blocks of the three streams (audio, AVI, MPEG) and the rules they share: the
// data block size, the largest file they serve, file offsets as the adapter's signed 32-bit
// values, and the MPEG backward step.
// Thread safety: pure functions, except that OpenStreamFile and SeekToOffset act on a File the
// caller owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "delivery/media_path.h"
#include "platform/file.h"

namespace rureza {

// The unit in which streams read and send file data.
inline constexpr uint32_t kDataBlockSize = 32768;
// Length, filesize, start, position-reply, tail-position and zero blocks, and every block the
// adapter sends (request, command, answers).
inline constexpr size_t kSmallBlockSize = 256;
// Offsets and lengths travel as signed 32-bit decimal text, so a stream file must be shorter.
inline constexpr int64_t kStreamFileLimit = int64_t{1} << 31;

using SmallBlock = std::string;  // always kSmallBlockSize bytes

// Opens a media file for streaming; invalid when it cannot be opened or is 2 GiB or longer.
File OpenStreamFile(const MediaPath& path);

// Seeks to an offset the adapter named (or derived from one): as in the adapter's 32-bit
// arithmetic, an offset of 2^31 or more is negative and the seek fails. False on failure.
bool SeekToOffset(File& file, uint32_t offset);

// text, then zero bytes up to kSmallBlockSize.
SmallBlock TextBlock(const std::string& text);
// Three zero bytes, then text: the AVI start block and position reply.
SmallBlock TextBlockFromByte3(const std::string& text);

// The length of an audio file: "%d".
SmallBlock LengthBlock(int32_t length);
// The AVI handshake's "%ldfilesize" block.
SmallBlock FilesizeBlock(int32_t length);
// The AVI start block: the filesize text from byte 3.
SmallBlock StartBlock(int32_t length);
// The AVI position reply: "%dftell" from byte 3.
SmallBlock PositionReply(int32_t streamPosition);
// The MPEG tail position: the offset of the file's last data block, unsigned.
SmallBlock TailPositionBlock(uint32_t tailPosition);

// How many data blocks one MPEG backward pass moves back, from the adapter's scale value:
// the step grows with the scale so that fast scales skip more.
uint32_t BackwardStep(uint32_t scaleValue);

}  // namespace rureza
