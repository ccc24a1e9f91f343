// Songs in any format FFmpeg reads, to constant-bitrate MP3 frames (libavformat, libavcodec,
// libswresample, LAME). Runs in the converter process only.
// Thread safety: each call uses objects of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "conversion/converter_protocol.h"

namespace rureza {

// The song is read through fd (a regular file open for reading, its offset this code's to move;
// never opened again by a path), from its first byte; out is written sequentially (a pipe).

// What the song's headers say, without decoding it, held to what the file can hold (see
// song_bounds.h): a header that claims more is not believed, one that claims less is. A format
// that states no length has it measured, or its packets counted. name (the file's name) only
// words the reason. Empty on success, else why the file is no song.
std::string ProbeSong(int fd, std::string_view name, SongFacts* facts);

// Writes frames [request.firstFrame, request.frameCount) to descriptor out: the song resampled
// to request.sampleRate, mixed to stereo, encoded at request.bitRate; a source that ends early
// (or cannot be read on) is followed by silence, a longer one is cut. The same request on the
// same file gives the same bytes every time. Calls written with the bytes written so far after
// every batch of frames. Empty on success, else what failed.
std::string ConvertSong(const SongRequest& request, int fd, int out,
                        const std::function<void(uint64_t)>& written);

}  // namespace rureza
