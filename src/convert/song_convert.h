// Songs in any format FFmpeg reads, to constant-bitrate MP3 frames (libavformat, libavcodec,
// libswresample, LAME). Runs in the converter process only.
// Thread safety: each call uses objects of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "conversion/converter_protocol.h"

namespace rureza {

// What the song's headers say, without decoding it (a format that states no length has its
// packets counted). Empty on success, else why the file is no song.
std::string ProbeSong(const std::string& path, SongFacts* facts);

// Writes frames [request.firstFrame, request.frameCount) to descriptor out: the song resampled
// to request.sampleRate, mixed to stereo, encoded at request.bitRate; a source that ends early
// (or cannot be read on) is followed by silence, a longer one is cut. Calls written with the
// bytes written so far after every batch of frames. Empty on success, else what failed.
std::string ConvertSong(const SongRequest& request, int out,
                        const std::function<void(uint64_t)>& written);

}  // namespace rureza
