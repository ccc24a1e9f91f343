// Videos in the containers of today (MP4, MKV, MOV, WebM, TS, AVI, ...) to the adapter's MPEG-2
// program stream (libavformat, libavcodec, libavfilter, libswscale, libswresample, libass).
// Runs in the converter process only. The source comes as a descriptor the converter reads on
// its own (pread: its offset is never used), the stream goes out sequentially to a pipe.
// Thread safety: each call uses objects of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "conversion/converter_protocol.h"

namespace rureza {

// What the container says of the video on fd (name: its file name, whose ending counts), its
// duration bounded by the last timestamp the file actually holds (a header's claim beyond the
// file is not believed). Empty on success, else why it is no video the converter can read.
std::string ProbeVideo(int fd, std::string_view name, VideoFacts* facts);

// Writes the stream PlanMpeg makes of request.durationMs and request.standard to out: exactly
// its length in bytes, the last kMpegTailBytes being MpegTail. The source's picture is scaled to
// the standard's size with its shape kept (black bars; the 4:3 or 16:9 flag whichever fits
// better), its frame rate converted by showing each picture at its time; the default sound
// track resampled to 48 kHz stereo MPEG-1 layer II. Where the source has no picture the stream
// is black, where it has no sound silent; what lies beyond the duration is cut, what it lacks
// is padded. Subtitles (with request.subtitles) come from subtitleFd (-1: none), else from the
// source's default or forced text track. The same request on the same file gives the same
// bytes. Calls written with the bytes written so far after every write. Empty on success, else
// what failed.
std::string ConvertVideo(const VideoRequest& request, int fd, int subtitleFd, int out,
                         const std::function<void(uint64_t)>& written);

}  // namespace rureza
