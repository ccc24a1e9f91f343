// The playback-control channel: one control thread per stream takes the next connection that
// the control port hands out and turns the adapter's 256-byte command blocks into writes to the
// stream's playback state, which the streaming loop polls between data blocks. The AVI control
// thread also sends the position reply, the index region and keyframes on that connection.
//
// Ownership and threads: a playback state is made by its streaming routine and shared (by
// shared_ptr) with its control thread, so neither can release it under the other. Fields that
// change while both run are atomics, written in the orders stated on them; the const fields are
// fixed before the control thread starts. The stream ends the control side by ending
// controlSocket, which also wakes a pending receive; a control thread that ends on its own sets
// controlEnded, which no one clears.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "delivery/media_path.h"
#include "delivery/stream_blocks.h"
#include "server/server_run.h"

namespace rureza {

struct AudioPlaybackState {
  explicit AudioPlaybackState(std::shared_ptr<ControlWait> control)
      : controlSocket(std::move(control)) {}

  // The claim on the control connection and, once handed over, the connection itself.
  const std::shared_ptr<ControlWait> controlSocket;
  // Written before seekRequest; read after it.
  std::atomic<int32_t> seekTarget{0};
  // 0 none, 1 fast forward, 2 backward, 3 cancelled. The stream clears it after playLatch.
  std::atomic<int32_t> seekRequest{0};
  std::atomic<int32_t> stopRequested{0};
  // 1 once Play has come.
  std::atomic<int32_t> playLatch{0};
  std::atomic<bool> controlEnded{false};
};

struct AviPlaybackState {
  AviPlaybackState(std::shared_ptr<ControlWait> control, MediaPath path, int32_t length,
                   uint32_t start, uint32_t end)
      : controlSocket(std::move(control)),
        filePath(std::move(path)),
        fileLength(length),
        movieStart(start),
        movieEnd(end),
        streamPosition(start),
        lastReadEnd(start) {}

  const std::shared_ptr<ControlWait> controlSocket;
  const MediaPath filePath;
  const int32_t fileLength;
  const uint32_t movieStart;
  // Where the movie data ends and the index region begins.
  const uint32_t movieEnd;
  // 0 playing, 1 fast forward, 2 backward.
  std::atomic<int32_t> mode{0};
  std::atomic<int32_t> stopRequested{0};
  // Set after streamPosition and before mode goes back to 0; the stream, taking it up, clears
  // stopRequested, then mode, then resumeRequested.
  std::atomic<int32_t> resumeRequested{0};
  // Where the streaming loop reads its next data block.
  std::atomic<uint32_t> streamPosition;
  std::atomic<uint32_t> lastReadEnd;
  // An AVI stream never outlives its control thread, also when a resume it takes up clears
  // stopRequested.
  std::atomic<bool> controlEnded{false};
};

struct MpegPlaybackState {
  explicit MpegPlaybackState(std::shared_ptr<ControlWait> control)
      : controlSocket(std::move(control)) {}

  const std::shared_ptr<ControlWait> controlSocket;
  std::atomic<int32_t> stopRequested{0};
  // 0 forward, 1 backward; written by the control thread only.
  std::atomic<int32_t> mode{0};
  std::atomic<bool> controlEnded{false};
};

// A 256-byte command block as it arrived (zero bytes where nothing did).
using CommandBlock = char[kSmallBlockSize];

// What a control thread does after a command has changed the playback state: the log line it
// appends (none when null), then the pause the adapter's pacing expects.
struct CommandEffect {
  const char* line = nullptr;
  uint32_t pauseMs = 0;
};

// The audio and MPEG command sets applied to a playback state, with no I/O, no sleep and no log
// line of their own; a block that does not start with "<" changes nothing.
CommandEffect ApplyAudioCommand(const CommandBlock& block, AudioPlaybackState& state);
CommandEffect ApplyMpegCommand(const CommandBlock& block, MpegPlaybackState& state);

// The AVI command set. Stop, Abort, fast forward and backward change the state here; every kind
// but Stop and Abort then has its exchange on the control connection.
struct AviCommand {
  enum class Kind { kNone, kPlay, kStop, kFastForward, kBackward, kNextIndex, kAbort, kKeyframe };
  Kind kind = Kind::kNone;   // kNone: byte 1 is zero, the block is skipped
  int32_t keyframe = 0;      // kKeyframe: offset from the movie data, signed text at byte 3
  int32_t keyframeSize = 0;  // kKeyframe: signed text at byte 236
};
AviCommand ApplyAviCommand(const CommandBlock& block, AviPlaybackState& state);

// Where a keyframe's data starts in the file: as the adapter counts, modulo 2^32.
uint32_t KeyframeOffset(int32_t keyframe, uint32_t movieStart);

// The control threads' bodies.
void AudioControlThread(ServerRun& run, const std::shared_ptr<AudioPlaybackState>& state);
void AviControlThread(ServerRun& run, const std::shared_ptr<AviPlaybackState>& state);
void MpegControlThread(ServerRun& run, const std::shared_ptr<MpegPlaybackState>& state);

// Start the control thread of a stream. When it cannot be started the state looks as if the
// thread had ended at once (for AVI that ends the stream) and false is returned.
bool StartAudioControl(ServerRun& run, const std::shared_ptr<AudioPlaybackState>& state);
bool StartAviControl(ServerRun& run, const std::shared_ptr<AviPlaybackState>& state);
bool StartMpegControl(ServerRun& run, const std::shared_ptr<MpegPlaybackState>& state);

}  // namespace rureza
