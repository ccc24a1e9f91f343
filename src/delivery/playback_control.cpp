#include "delivery/playback_control.h"

#include <cstring>
#include <vector>

#include "delivery/decimal.h"
#include "delivery/stream_blocks.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/thread.h"
#include "server/activity_log.h"
#include "server/transfer.h"

namespace rureza {
namespace {

constexpr const char* kAviAcceptFailed = "System Error 2003! Please Contact to Developers!";
constexpr const char* kAcceptFailed = "System Error 2004! Please Contact to Developers!";
// The adapter's answer to Play that asks for the index region once more.
constexpr int32_t kResendCode = 6666;
// Where a keyframe request carries the keyframe's size.
constexpr size_t kKeyframeSizeOffset = 236;

// The stream's control connection, or null when the stream ended first (the thread gives up
// without a word and never takes a later stream's connection) or the server stopped.
std::shared_ptr<Socket> AwaitConnection(ServerRun& run, const std::shared_ptr<ControlWait>& wait,
                                        const char* stoppedLine) {
  switch (run.AwaitControlConnection(wait)) {
    case ControlWait::Outcome::kConnected:
      return wait->connection();
    case ControlWait::Outcome::kServerStopped:
      AppendLog(stoppedLine);
      return nullptr;
    case ControlWait::Outcome::kEnded:
      break;
  }
  return nullptr;
}

// Receives one command block into a zeroed block. False when the adapter has closed the
// connection or it failed: what arrived is still acted on, and then the thread ends rather
// than read a dead connection again and again.
bool ReceiveCommand(const Socket& socket, CommandBlock& block) {
  std::memset(block, 0, sizeof block);
  return ReceiveAll(socket, block, sizeof block) >= 0;
}

int32_t NumberAt(const CommandBlock& block, size_t offset) {
  return ParseSignedDecimal(block + offset, sizeof block - offset);
}

// AviControlThread's own state: a read handle of its own, whose position never moves the
// stream's, a data buffer, and where in the index region it returns to after a keyframe.
class AviControl {
 public:
  AviControl(ServerRun& run, AviPlaybackState& state)
      : run_(run), state_(state), buffer_(kDataBlockSize, '\0'), savedIndex_(state.movieEnd) {}

  // Serves commands until one ends the thread, the stream or the server stops, or the
  // connection or the file fails.
  void Run();

 private:
  bool Command(const CommandBlock& block);
  bool Play();
  // The mode is already set.
  bool FastForwardOrBackward(const char* line);
  bool NextIndexBlock();
  bool Keyframe(const AviCommand& command);
  // Reads up to a data block at the own position and sends the whole buffer; what lies past
  // the end of the file is what the buffer held before. *readCount: the bytes read.
  bool SendDataBlock(int64_t* readCount = nullptr);
  // The bytes from movieEnd to the end of the file, at least one block.
  bool SendIndexRegion();
  bool Send(const void* data, uint32_t length) { return SendAll(*socket_, data, length) >= 0; }

  ServerRun& run_;
  AviPlaybackState& state_;
  File file_;
  std::shared_ptr<Socket> socket_;
  std::vector<char> buffer_;
  // Where keyframe requests return to: set by fast forward, backward and next index block, and
  // the start of the index region before any of them.
  uint32_t savedIndex_;
  // Set by the first keyframe request after Play, fast forward or backward, which only
  // returns to the saved index position; the requests after it send keyframes.
  bool armed_ = false;
};

void AviControl::Run() {
  file_ = OpenMediaFile(state_.filePath);
  if (!file_.valid()) return;
  socket_ = AwaitConnection(run_, state_.controlSocket, kAviAcceptFailed);
  if (!socket_) return;
  CommandBlock block;
  while (!run_.stopping() && state_.stopRequested.load() == 0) {
    bool open = ReceiveCommand(*socket_, block);
    if (!Command(block)) return;
    if (!open) return;
  }
}

bool AviControl::Command(const CommandBlock& block) {
  AviCommand command = ApplyAviCommand(block, state_);
  switch (command.kind) {
    case AviCommand::Kind::kNone:
      return true;
    case AviCommand::Kind::kPlay:
      return Play();
    case AviCommand::Kind::kStop:
    case AviCommand::Kind::kAbort:
      SleepMs(5);
      return false;
    case AviCommand::Kind::kFastForward:
      return FastForwardOrBackward("Fastforward....");
    case AviCommand::Kind::kBackward:
      return FastForwardOrBackward("Backforward....");
    case AviCommand::Kind::kNextIndex:
      return NextIndexBlock();
    case AviCommand::Kind::kKeyframe:
      return Keyframe(command);
  }
  return true;
}

bool AviControl::Play() {
  if (!SendIndexRegion()) return false;
  CommandBlock answer;
  if (!ReceiveCommand(*socket_, answer)) return false;
  if (NumberAt(answer, 0) == kResendCode) {
    if (!SendIndexRegion() || !ReceiveCommand(*socket_, answer)) return false;
    state_.streamPosition.store(static_cast<uint32_t>(NumberAt(answer, 3)));
  }
  SleepMs(5);
  armed_ = false;
  state_.resumeRequested.store(1);
  state_.mode.store(0);
  AppendLog("Play....");
  return true;
}

bool AviControl::FastForwardOrBackward(const char* line) {
  armed_ = false;
  SmallBlock reply = PositionReply(static_cast<int32_t>(state_.streamPosition.load()));
  if (!Send(reply.data(), kSmallBlockSize)) return false;
  if (!SeekToOffset(file_, state_.movieEnd) || !SendDataBlock()) return false;
  savedIndex_ = static_cast<uint32_t>(file_.Position());
  SleepMs(5);
  AppendLog(line);
  return true;
}

bool AviControl::NextIndexBlock() {
  if (file_.Read(buffer_.data(), kDataBlockSize) < 0) return false;
  uint32_t after = static_cast<uint32_t>(file_.Position());
  if (armed_ && state_.mode.load() == 2) {
    // Backward through the index: the next request gets the block before this one.
    savedIndex_ = after - 2 * kDataBlockSize;
    if (!SeekToOffset(file_, savedIndex_)) return false;
  } else {
    savedIndex_ = after;
  }
  if (!Send(buffer_.data(), kDataBlockSize)) return false;
  SleepMs(5);
  return true;
}

bool AviControl::Keyframe(const AviCommand& command) {
  if (!armed_) {
    if (!SeekToOffset(file_, savedIndex_)) return false;
    SleepMs(5);
    armed_ = true;
    return true;
  }
  int64_t size = command.keyframeSize;
  uint32_t offset = KeyframeOffset(command.keyframe, state_.movieStart);
  state_.streamPosition.store(offset);
  if (!SeekToOffset(file_, offset) || !SendDataBlock()) return false;
  SleepMs(5);
  for (int64_t owed = size - kDataBlockSize; owed > 0 && !run_.stopping(); owed -= kDataBlockSize) {
    if (!SendDataBlock()) return false;
    SleepMs(5);
    SleepMs(5);
  }
  if (!SeekToOffset(file_, savedIndex_)) return false;
  SleepMs(5);
  return true;
}

bool AviControl::SendDataBlock(int64_t* readCount) {
  int64_t n = file_.Read(buffer_.data(), kDataBlockSize);
  if (n < 0) return false;
  if (readCount) *readCount = n;
  return Send(buffer_.data(), kDataBlockSize);
}

bool AviControl::SendIndexRegion() {
  if (!SeekToOffset(file_, state_.movieEnd)) return false;
  for (;;) {
    int64_t n = 0;
    if (!SendDataBlock(&n)) return false;
    // A file cut shorter meanwhile ends the region at its new end.
    if (file_.Position() >= state_.fileLength || n < kDataBlockSize) return true;
  }
}

void Act(const CommandEffect& effect) {
  if (effect.line) AppendLog(effect.line);
  if (effect.pauseMs > 0) SleepMs(effect.pauseMs);
}

}  // namespace

CommandEffect ApplyAudioCommand(const CommandBlock& block, AudioPlaybackState& state) {
  if (block[0] != '<') return {};
  switch (block[1]) {
    case '3':
      state.playLatch.store(1);
      return {nullptr, 5};
    case '4':
      state.stopRequested.store(1);
      return {nullptr, 5};
    case '5':
      // A seek the stream has not taken up yet is dropped.
      state.seekRequest.store(3);
      return {nullptr, 5};
    case '8':
    case '9': {
      bool forward = block[1] == '8';
      state.seekTarget.store(NumberAt(block, 3));
      state.seekRequest.store(forward ? 1 : 2);
      return {forward ? "Fastforward...." : "Backforward....", 5};
    }
    default:
      return {};
  }
}

CommandEffect ApplyMpegCommand(const CommandBlock& block, MpegPlaybackState& state) {
  if (block[0] != '<') return {};
  switch (block[1]) {
    case '3':
      if (state.mode.load() != 1) return {};
      state.mode.store(0);
      return {"Play....", 5};
    case '4':
      state.stopRequested.store(1);
      return {nullptr, 20};
    case '5':
      if (block[2] == '9') {
        // A repeated backward while backward is in force changes nothing.
        if (state.mode.load() != 0) return {};
        state.mode.store(1);
        return {"Backforward....", 0};
      }
      if (block[2] == '8') {
        bool wasBackward = state.mode.load() != 0;
        state.mode.store(0);
        return {"Fastforward....", wasBackward ? 5u : 0u};
      }
      return {};
    default:
      return {"Unknow command...", 0};
  }
}

AviCommand ApplyAviCommand(const CommandBlock& block, AviPlaybackState& state) {
  AviCommand command;
  switch (block[1]) {
    case '\0':
      break;
    case '3':
      command.kind = AviCommand::Kind::kPlay;
      break;
    case '4':
      command.kind = AviCommand::Kind::kStop;
      state.stopRequested.store(1);
      state.mode.store(0);
      break;
    case '8':
      command.kind = AviCommand::Kind::kFastForward;
      state.mode.store(1);
      break;
    case '9':
      command.kind = AviCommand::Kind::kBackward;
      state.mode.store(2);
      break;
    case '@':
      command.kind = AviCommand::Kind::kNextIndex;
      break;
    case 'A':
      command.kind = AviCommand::Kind::kAbort;
      state.stopRequested.store(1);
      break;
    default:
      command.kind = AviCommand::Kind::kKeyframe;
      command.keyframe = NumberAt(block, 3);
      command.keyframeSize = NumberAt(block, kKeyframeSizeOffset);
      break;
  }
  return command;
}

uint32_t KeyframeOffset(int32_t keyframe, uint32_t movieStart) {
  return static_cast<uint32_t>(keyframe) + movieStart + 4;
}

void AudioControlThread(ServerRun& run, const std::shared_ptr<AudioPlaybackState>& state) {
  std::shared_ptr<Socket> controlSocket = AwaitConnection(run, state->controlSocket, kAcceptFailed);
  bool open = controlSocket != nullptr;
  CommandBlock block;
  while (open && !run.stopping() && state->stopRequested.load() == 0) {
    open = ReceiveCommand(*controlSocket, block);
    Act(ApplyAudioCommand(block, *state));
  }
  state->controlEnded.store(true);
}

void AviControlThread(ServerRun& run, const std::shared_ptr<AviPlaybackState>& state) {
  AviControl control(run, *state);
  control.Run();
  // Every exit ends the stream, also a failed accept, a failed send or a file that cannot be
  // opened. The own handle closes after the pause, with control.
  state->stopRequested.store(1);
  state->controlEnded.store(true);
  SleepMs(5);
}

void MpegControlThread(ServerRun& run, const std::shared_ptr<MpegPlaybackState>& state) {
  std::shared_ptr<Socket> controlSocket = AwaitConnection(run, state->controlSocket, kAcceptFailed);
  bool open = controlSocket != nullptr;
  CommandBlock block;
  while (open && !run.stopping() && state->stopRequested.load() == 0) {
    open = ReceiveCommand(*controlSocket, block);
    Act(ApplyMpegCommand(block, *state));
  }
  state->controlEnded.store(true);
}

namespace {

template <typename State, typename Body>
bool StartControl(ServerRun& run, const std::shared_ptr<State>& state, Body body) {
  std::shared_ptr<ServerRun> owner = run.weak_from_this().lock();
  if (owner && StartThread([owner, state, body] { body(*owner, state); })) return true;
  state->controlEnded.store(true);
  return false;
}

}  // namespace

bool StartAudioControl(ServerRun& run, const std::shared_ptr<AudioPlaybackState>& state) {
  return StartControl(run, state, AudioControlThread);
}

bool StartAviControl(ServerRun& run, const std::shared_ptr<AviPlaybackState>& state) {
  if (StartControl(run, state, AviControlThread)) return true;
  state->stopRequested.store(1);
  return false;
}

bool StartMpegControl(ServerRun& run, const std::shared_ptr<MpegPlaybackState>& state) {
  return StartControl(run, state, MpegControlThread);
}

}  // namespace rureza
