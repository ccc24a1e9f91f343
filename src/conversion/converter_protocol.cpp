#include "conversion/converter_protocol.h"

namespace rureza {
namespace {

class FieldWriter {
 public:
  void U32(uint32_t value) { Bytes(value, 4); }
  void U64(uint64_t value) { Bytes(value, 8); }
  void Text(std::string_view text) { payload_.append(text); }
  // A text of at most 255 bytes with its length in front.
  void ShortText(std::string_view text) {
    text = text.substr(0, 255);
    Bytes(text.size(), 1);
    payload_.append(text);
  }
  std::string Message(uint8_t kind) const {
    FieldWriter header;
    header.payload_.push_back(static_cast<char>(kind));
    header.U32(static_cast<uint32_t>(payload_.size()));
    return header.payload_ + payload_;
  }

 private:
  void Bytes(uint64_t value, int count) {
    for (int i = 0; i < count; ++i)
      payload_.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
  }
  std::string payload_;
};

// The flags of VideoFacts, as one field.
constexpr uint32_t kHasVideo = 1, kHasAudio = 2, kHasSubtitles = 4, kPlayable = 8;

class FieldReader {
 public:
  explicit FieldReader(std::string_view payload) : rest_(payload) {}
  bool U32(uint32_t* value) {
    uint64_t wide;
    if (!Bytes(4, &wide)) return false;
    *value = static_cast<uint32_t>(wide);
    return true;
  }
  bool U64(uint64_t* value) { return Bytes(8, value); }
  bool Flag(bool* value) {
    uint64_t byte;
    if (!Bytes(1, &byte) || byte > 1) return false;
    *value = byte == 1;
    return true;
  }
  bool ShortText(std::string* text, size_t most) {
    uint64_t size;
    if (!Bytes(1, &size) || size > most || size > rest_.size()) return ok_ = false;
    text->assign(rest_.substr(0, size));
    rest_.remove_prefix(size);
    if (text->find('\0') != std::string::npos) return ok_ = false;
    return true;
  }
  bool AtEnd() const { return ok_ && rest_.empty(); }
  // The rest as a text; false when it holds a zero byte (a path could not be opened as sent).
  bool Text(std::string* text) {
    if (!ok_ || rest_.find('\0') != std::string_view::npos) return false;
    text->assign(rest_);
    rest_ = {};
    return true;
  }

 private:
  bool Bytes(size_t count, uint64_t* value) {
    if (!ok_ || rest_.size() < count) return ok_ = false;
    *value = 0;
    for (size_t i = 0; i < count; ++i) {
      *value |= uint64_t{static_cast<unsigned char>(rest_[i])} << (8 * i);
    }
    rest_.remove_prefix(count);
    return true;
  }
  std::string_view rest_;
  bool ok_ = true;
};

}  // namespace

std::string EncodeRequest(const ConverterRequest& request) {
  FieldWriter fields;
  switch (request.kind) {
    case RequestKind::kProbeSong:
    case RequestKind::kProbePhoto:
    case RequestKind::kProbeVideo:
      break;
    case RequestKind::kVideo:
      fields.U64(request.video.durationMs);
      fields.U32(static_cast<uint32_t>(request.video.standard));
      fields.U32(request.video.subtitles ? 1 : 0);
      fields.ShortText(request.video.codePage);
      fields.ShortText(request.video.language);
      break;
    case RequestKind::kPhoto:
      fields.U32(request.box.width);
      fields.U32(request.box.height);
      break;
    case RequestKind::kSong:
      fields.U32(request.song.sampleRate);
      fields.U32(request.song.bitRate);
      fields.U64(request.song.firstFrame);
      fields.U64(request.song.frameCount);
      break;
  }
  fields.Text(request.path);
  return fields.Message(static_cast<uint8_t>(request.kind));
}

std::string EncodeReply(const Reply& reply) {
  FieldWriter fields;
  switch (reply.kind) {
    case ReplyKind::kSongFacts:
      fields.U64(reply.song.samples);
      fields.U32(reply.song.sampleRate);
      fields.U32(reply.song.channels);
      break;
    case ReplyKind::kPhotoFacts:
      fields.U32(reply.photo.width);
      fields.U32(reply.photo.height);
      fields.Text(std::string_view(reply.photo.needsConversion ? "\1" : "\0", 1));
      break;
    case ReplyKind::kVideoFacts: {
      const VideoFacts& video = reply.video;
      fields.U64(video.durationMs);
      for (uint32_t value : {video.width, video.height, video.sampleAspectNum,
                             video.sampleAspectDen, video.frameRateNum, video.frameRateDen}) {
        fields.U32(value);
      }
      fields.U32((video.hasVideo ? kHasVideo : 0) | (video.hasAudio ? kHasAudio : 0) |
                 (video.hasSubtitles ? kHasSubtitles : 0) | (video.playable ? kPlayable : 0));
      break;
    }
    case ReplyKind::kWritten:
    case ReplyKind::kDone:
      fields.U64(reply.bytes);
      break;
    case ReplyKind::kFailed:
    case ReplyKind::kNotice:
      fields.Text(reply.text.substr(0, kMostPayload));
      break;
  }
  return fields.Message(static_cast<uint8_t>(reply.kind));
}

void MessageReader::Add(std::string_view bytes) {
  if (broken_) return;
  if (start_ > 0 && start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  }
  buffer_.append(bytes);
}

bool MessageReader::Next(uint8_t* kind, std::string* payload) {
  if (broken_ || pending() < kMessageHeaderSize) return false;
  const auto byte = [this](size_t i) {
    return static_cast<uint32_t>(static_cast<unsigned char>(buffer_[start_ + i]));
  };
  const uint32_t length = byte(1) | byte(2) << 8 | byte(3) << 16 | byte(4) << 24;
  if (length > kMostPayload) {
    broken_ = true;
    return false;
  }
  if (pending() < kMessageHeaderSize + length) return false;
  *kind = static_cast<uint8_t>(byte(0));
  payload->assign(buffer_, start_ + kMessageHeaderSize, length);
  start_ += kMessageHeaderSize + length;
  // Keep the buffer from growing with every message the stream carries.
  if (start_ > kMostPayload) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  return true;
}

bool DecodeRequest(uint8_t kind, std::string_view payload, ConverterRequest* request) {
  FieldReader fields(payload);
  request->kind = static_cast<RequestKind>(kind);
  switch (request->kind) {
    case RequestKind::kProbeSong:
    case RequestKind::kProbePhoto:
    case RequestKind::kProbeVideo:
      break;
    case RequestKind::kVideo: {
      uint32_t standard, subtitles;
      if (!fields.U64(&request->video.durationMs) || !fields.U32(&standard) || standard > 1 ||
          !fields.U32(&subtitles) || subtitles > 1 ||
          !fields.ShortText(&request->video.codePage, 64) ||
          !fields.ShortText(&request->video.language, 15)) {
        return false;
      }
      request->video.standard = static_cast<VideoStandard>(standard);
      request->video.subtitles = subtitles == 1;
      break;
    }
    case RequestKind::kPhoto:
      if (!fields.U32(&request->box.width) || !fields.U32(&request->box.height)) return false;
      break;
    case RequestKind::kSong:
      if (!fields.U32(&request->song.sampleRate) || !fields.U32(&request->song.bitRate) ||
          !fields.U64(&request->song.firstFrame) || !fields.U64(&request->song.frameCount)) {
        return false;
      }
      break;
    default:
      return false;
  }
  if (!fields.Text(&request->path) || request->path.empty()) return false;
  request->song.path = request->path;
  return true;
}

bool DecodeReply(uint8_t kind, std::string_view payload, Reply* reply) {
  FieldReader fields(payload);
  *reply = Reply{};
  reply->kind = static_cast<ReplyKind>(kind);
  switch (reply->kind) {
    case ReplyKind::kSongFacts:
      return fields.U64(&reply->song.samples) && fields.U32(&reply->song.sampleRate) &&
             fields.U32(&reply->song.channels) && fields.AtEnd();
    case ReplyKind::kPhotoFacts:
      return fields.U32(&reply->photo.width) && fields.U32(&reply->photo.height) &&
             fields.Flag(&reply->photo.needsConversion) && fields.AtEnd();
    case ReplyKind::kVideoFacts: {
      VideoFacts& video = reply->video;
      uint32_t flags;
      if (!fields.U64(&video.durationMs) || !fields.U32(&video.width) ||
          !fields.U32(&video.height) || !fields.U32(&video.sampleAspectNum) ||
          !fields.U32(&video.sampleAspectDen) || !fields.U32(&video.frameRateNum) ||
          !fields.U32(&video.frameRateDen) || !fields.U32(&flags) || flags > 15 ||
          !fields.AtEnd()) {
        return false;
      }
      video.hasVideo = flags & kHasVideo;
      video.hasAudio = flags & kHasAudio;
      video.hasSubtitles = flags & kHasSubtitles;
      video.playable = flags & kPlayable;
      return true;
    }
    case ReplyKind::kWritten:
    case ReplyKind::kDone:
      return fields.U64(&reply->bytes) && fields.AtEnd();
    case ReplyKind::kFailed:
    case ReplyKind::kNotice:
      return fields.Text(&reply->text);
  }
  return false;
}

}  // namespace rureza
