#include "convert/video_convert.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswresample/swresample.h>
}

#include "convert/descriptor_reader.h"
#include "convert/mpeg_mux.h"
#include "convert/subtitle_burner.h"

namespace rureza {
namespace {

// Only the demuxers of the video containers the server converts or checks, reading nothing but
// the descriptor: a file that claims to be a playlist never makes the converter open anything.
constexpr char kDemuxers[] = "mov,matroska,mpegts,mpeg,avi,asf,flv,ogg,mpegvideo";
// Threads of the picture's decoder and encoder, fixed so that the bytes do not depend on the
// machine (the encoder's slices follow its threads). Three decoder threads on two cores keep
// one decoding while this thread scales and encodes, and hold their own frames: about 40 MiB
// more for a 1080p source than two, within the converter's limit.
constexpr int kDecoderThreads = 3;
constexpr int kEncoderThreads = 2;
// The scaler works in slices, one a thread: scaling a 1080p picture is a third of the work.
constexpr int kFilterThreads = 2;
// Packets in a row that fail to decode before the rest of that stream counts as unreadable.
constexpr int kMostBadPackets = 200;
// How far picture and sound of the source may lie apart in the file before the one behind is
// taken as missing there (black or silence): the converter holds that much coded stream.
constexpr int64_t kMostLagUs = 5000000;
// Sound whose timestamps stray further than this from its samples is put back in place (silence
// inserted or samples dropped), so that it cannot drift from the picture.
constexpr int64_t kMostAudioSlipSamples = kMpegAudioRate * 15 / 1000;
// Layer II's filter banks delay the decoded sound by about this much: the stream's sound starts
// that much early, so that it is heard with its picture.
constexpr int64_t kLayerTwoDelaySamples = 481;
constexpr size_t kWriteBytes = 64 * 1024;
// The end of a file whose packets are read to find its last timestamp.
constexpr int64_t kTailWindow = 2 << 20;
constexpr int kMostTailPackets = 50000;
// DVD's picture buffer (in bits), which the encoder's rate control keeps to.
constexpr int kDvdVbvBits = 1835008;
constexpr int kIoBufferSize = 1 << 16;

struct FormatCloser {
  void operator()(AVFormatContext* format) const { avformat_close_input(&format); }
};
struct CodecFreer {
  void operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
};
struct FrameFreer {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFreer {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct GraphFreer {
  void operator()(AVFilterGraph* graph) const { avfilter_graph_free(&graph); }
};
struct SwrFreer {
  void operator()(SwrContext* swr) const { swr_free(&swr); }
};
struct FifoFreer {
  void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
};
struct IoFreer {
  void operator()(AVIOContext* io) const {
    av_freep(&io->buffer);
    avio_context_free(&io);
  }
};
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;

std::string AvError(const char* what, int err) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, text, sizeof text);
  return std::string(what) + ": " + text;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

// Containers tag languages with three letters (ISO 639-2, either form), a locale with two.
bool SameLanguage(const AVStream* stream, const std::string& wanted) {
  static constexpr const char* kCodes[][3] = {
      {"en", "eng", "eng"}, {"de", "deu", "ger"}, {"fr", "fra", "fre"}, {"es", "spa", "spa"},
      {"it", "ita", "ita"}, {"pt", "por", "por"}, {"nl", "nld", "dut"}, {"sv", "swe", "swe"},
      {"da", "dan", "dan"}, {"no", "nor", "nor"}, {"nb", "nob", "nor"}, {"fi", "fin", "fin"},
      {"pl", "pol", "pol"}, {"cs", "ces", "cze"}, {"sk", "slk", "slo"}, {"hu", "hun", "hun"},
      {"ro", "ron", "rum"}, {"sl", "slv", "slv"}, {"hr", "hrv", "hrv"}, {"ru", "rus", "rus"},
      {"uk", "ukr", "ukr"}, {"bg", "bul", "bul"}, {"el", "ell", "gre"}, {"tr", "tur", "tur"},
      {"he", "heb", "heb"}, {"ar", "ara", "ara"}, {"vi", "vie", "vie"}, {"th", "tha", "tha"},
      {"ja", "jpn", "jpn"}, {"zh", "zho", "chi"}, {"ko", "kor", "kor"}, {"lt", "lit", "lit"},
      {"lv", "lav", "lav"}, {"et", "est", "est"}, {"sr", "srp", "srp"}, {"is", "isl", "ice"},
  };
  const AVDictionaryEntry* tag = av_dict_get(stream->metadata, "language", nullptr, 0);
  if (tag == nullptr || wanted.empty()) return false;
  const std::string have = Lower(tag->value);
  const std::string want = Lower(wanted.substr(0, wanted.find_first_of("-_")));
  if (have == want) return true;
  for (const auto& codes : kCodes) {
    if (want == codes[0] || want == codes[1] || want == codes[2]) {
      return have == codes[0] || have == codes[1] || have == codes[2];
    }
  }
  return false;
}

bool IsTextSubtitle(AVCodecID id) {
  return id == AV_CODEC_ID_SUBRIP || id == AV_CODEC_ID_SRT || id == AV_CODEC_ID_ASS ||
         id == AV_CODEC_ID_SSA || id == AV_CODEC_ID_WEBVTT || id == AV_CODEC_ID_MOV_TEXT ||
         id == AV_CODEC_ID_TEXT;
}

// The source, read through its descriptor.
class Source {
 public:
  std::string Open(int fd, std::string_view name, const std::string& language);

  AVFormatContext* format() const { return format_.get(); }
  AVStream* stream(int index) const { return index < 0 ? nullptr : format_->streams[index]; }
  int video() const { return video_; }
  int audio() const { return audio_; }
  int subtitle() const { return subtitle_; }
  // The time every stream is measured from: the container's start.
  int64_t originUs() const { return originUs_; }
  // The duration the file holds: the container's claim, bounded by its last timestamp.
  int64_t DurationUs();

 private:
  void ChooseStreams(const std::string& language);
  // The end of the last packet of the chosen streams that lies in the file; nullopt when no
  // timestamp can be found.
  std::optional<int64_t> LastTimestampUs();

  DescriptorReader reader_;
  std::unique_ptr<AVIOContext, IoFreer> io_;
  std::unique_ptr<AVFormatContext, FormatCloser> format_;
  int video_ = -1, audio_ = -1, subtitle_ = -1;
  int64_t originUs_ = 0;
};

std::string Source::Open(int fd, std::string_view name, const std::string& language) {
  reader_.fd = fd;
  auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
  AVIOContext* io = buffer == nullptr ? nullptr
                                      : avio_alloc_context(buffer, kIoBufferSize, 0, &reader_,
                                                           DescriptorReader::Read, nullptr,
                                                           DescriptorReader::Seek);
  if (io == nullptr) {
    av_free(buffer);
    return "out of memory";
  }
  io_.reset(io);
  struct stat status;
  if (::fstat(fd, &status) == 0 && status.st_size == 0) return "the file is empty";
  // The format is found first, so that a failure can say what the file seemed to be.
  const AVInputFormat* guess = nullptr;
  const std::string url(name);
  const int score = av_probe_input_buffer2(io, &guess, url.c_str(), nullptr, 0, 0);
  if (score < 0 && score != AVERROR_INVALIDDATA) return AvError("cannot read it", score);
  if (score < 0 || guess == nullptr) return "not a video: no container it knows";
  AVFormatContext* raw = avformat_alloc_context();
  if (raw == nullptr) return "out of memory";
  raw->pb = io;
  raw->flags |= AVFMT_FLAG_CUSTOM_IO;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "format_whitelist", kDemuxers, 0);
  // The name only hints at the format: nothing is opened by it.
  int err = avformat_open_input(&raw, url.c_str(), guess, &options);
  av_dict_free(&options);
  if (err < 0 && std::strncmp(guess->name, "mov", 3) == 0 && score > AVPROBE_SCORE_EXTENSION) {
    return "it is an MP4 without its index (moov): cut short while it was written?";
  }
  if (err < 0) return AvError("not a video", err);
  format_.reset(raw);
  // Finding the streams' parameters decodes a frame or two: one thread each is plenty.
  std::vector<AVDictionary*> streamOptions(raw->nb_streams, nullptr);
  for (AVDictionary*& each : streamOptions) av_dict_set(&each, "threads", "1", 0);
  err = avformat_find_stream_info(raw, streamOptions.data());
  for (AVDictionary*& each : streamOptions) av_dict_free(&each);
  if (err < 0) return AvError("not a video", err);
  originUs_ = raw->start_time != AV_NOPTS_VALUE ? raw->start_time : 0;
  ChooseStreams(language);
  if (video_ < 0 && audio_ < 0) return "no picture and no sound in it";
  return {};
}

void Source::ChooseStreams(const std::string& language) {
  int videoScore = -1, audioScore = -1, subtitleScore = -1;
  for (unsigned i = 0; i < format_->nb_streams; ++i) {
    const AVStream* stream = format_->streams[i];
    const AVCodecParameters* params = stream->codecpar;
    const int flags = stream->disposition;
    const int score = (flags & AV_DISPOSITION_DEFAULT ? 2 : 0) +
                      (SameLanguage(stream, language) ? 4 : 0) +
                      (flags & AV_DISPOSITION_FORCED ? 1 : 0);
    // A cover picture is no film; of several pictures, the default one.
    if (params->codec_type == AVMEDIA_TYPE_VIDEO && !(flags & AV_DISPOSITION_ATTACHED_PIC) &&
        params->width > 0 && params->height > 0) {
      if (score > videoScore) {
        videoScore = score;
        video_ = static_cast<int>(i);
      }
    } else if (params->codec_type == AVMEDIA_TYPE_AUDIO && params->sample_rate > 0 &&
               params->ch_layout.nb_channels > 0 && score > audioScore) {
      audioScore = score;
      audio_ = static_cast<int>(i);
    } else if (params->codec_type == AVMEDIA_TYPE_SUBTITLE && IsTextSubtitle(params->codec_id) &&
               (flags & (AV_DISPOSITION_DEFAULT | AV_DISPOSITION_FORCED)) &&
               score > subtitleScore) {
      subtitleScore = score;
      subtitle_ = static_cast<int>(i);
    }
  }
}

std::optional<int64_t> Source::LastTimestampUs() {
  AVFormatContext* format = format_.get();
  const int64_t size = avio_size(format->pb);
  std::optional<int64_t> last;
  auto take = [&](const AVStream* stream, int64_t timestamp, int64_t duration) {
    if (timestamp == AV_NOPTS_VALUE) return;
    const int64_t end =
        av_rescale_q(timestamp + std::max<int64_t>(duration, 0), stream->time_base, AV_TIME_BASE_Q);
    if (!last || end > *last) last = end;
  };
  if (format->iformat->flags & AVFMT_NO_BYTE_SEEK) {
    // An MP4's index lists every sample where it lies: the last one inside the file counts.
    for (int index : {video_, audio_}) {
      if (index < 0) continue;
      AVStream* stream = format->streams[index];
      for (int i = avformat_index_get_entries_count(stream) - 1; i >= 0; --i) {
        const AVIndexEntry* entry = avformat_index_get_entry(stream, i);
        if (entry != nullptr && entry->pos + entry->size <= size) {
          take(stream, entry->timestamp, 0);
          break;
        }
      }
    }
    return last;
  }
  // Elsewhere the packets at the file's end tell. A small file is read whole, from its first
  // packet: a demuxer put at byte 0 would take the file's header for packets.
  const bool whole =
      size <= kTailWindow && av_seek_frame(format, -1, originUs_, AVSEEK_FLAG_BACKWARD) >= 0;
  if (!whole &&
      av_seek_frame(format, -1, std::max<int64_t>(size - kTailWindow, 0), AVSEEK_FLAG_BYTE) < 0) {
    return std::nullopt;
  }
  PacketPtr packet(av_packet_alloc());
  for (int n = 0; packet && n < kMostTailPackets && av_read_frame(format, packet.get()) >= 0; ++n) {
    // A packet the file's end cut short has a time it does not hold.
    if ((packet->stream_index == video_ || packet->stream_index == audio_) &&
        !(packet->flags & AV_PKT_FLAG_CORRUPT)) {
      take(format->streams[packet->stream_index],
           packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts, packet->duration);
    }
    av_packet_unref(packet.get());
  }
  return last;
}

int64_t Source::DurationUs() {
  const AVFormatContext* format = format_.get();
  const int64_t claimed = format->duration != AV_NOPTS_VALUE ? format->duration : 0;
  const std::optional<int64_t> last = LastTimestampUs();
  if (!last) return claimed;
  const int64_t held = *last - originUs_;
  return claimed > 0 ? std::min(claimed, held) : held;
}

// Whether the adapter plays the file as it is: MPEG-1/2 video with MP2, AC-3 or LPCM sound in a
// program stream (.mpg .mpeg .vob .dat), MPEG-4 part 2 video with MP3 or AC-3 sound in an AVI.
bool PlayableAsIs(std::string_view name, const AVFormatContext* format) {
  const size_t dot = name.rfind('.');
  const std::string ending = dot == std::string_view::npos ? "" : Lower(name.substr(dot + 1));
  const std::string container = format->iformat->name;
  bool programStream = false, avi = false;
  if (ending == "avi") {
    avi = container == "avi";
  } else if (ending == "mpg" || ending == "mpeg" || ending == "vob" || ending == "dat") {
    programStream = container == "mpeg";
  }
  if (!avi && !programStream) return false;
  bool video = false;
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    const AVCodecParameters* params = format->streams[i]->codecpar;
    const AVCodecID id = params->codec_id;
    if (params->codec_type == AVMEDIA_TYPE_VIDEO &&
        !(format->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
      const bool known = avi ? id == AV_CODEC_ID_MPEG4
                             : id == AV_CODEC_ID_MPEG1VIDEO || id == AV_CODEC_ID_MPEG2VIDEO;
      if (!known) return false;
      video = true;
    } else if (params->codec_type == AVMEDIA_TYPE_AUDIO) {
      const bool known =
          avi ? id == AV_CODEC_ID_MP3 || id == AV_CODEC_ID_AC3
              : id == AV_CODEC_ID_MP2 || id == AV_CODEC_ID_AC3 || id == AV_CODEC_ID_PCM_DVD;
      if (!known) return false;
    }
  }
  return video;
}

CodecPtr OpenDecoder(const AVStream* stream, int threads, std::string* error) {
  const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
  if (codec == nullptr) {
    *error = std::string("no decoder for its ") +
             av_get_media_type_string(stream->codecpar->codec_type) + " (" +
             avcodec_get_name(stream->codecpar->codec_id) + ")";
    return nullptr;
  }
  CodecPtr decoder(avcodec_alloc_context3(codec));
  if (!decoder) {
    *error = "out of memory";
    return nullptr;
  }
  int err = avcodec_parameters_to_context(decoder.get(), stream->codecpar);
  decoder->pkt_timebase = stream->time_base;
  decoder->thread_count = threads;
  decoder->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  if (err < 0 || (err = avcodec_open2(decoder.get(), codec, nullptr)) < 0) {
    *error = AvError("decoder", err);
    return nullptr;
  }
  return decoder;
}

// The shape of a pixel of the source's picture.
AVRational PixelShape(AVFormatContext* format, AVStream* stream, const AVFrame* frame) {
  AVRational sar = av_guess_sample_aspect_ratio(format, stream, const_cast<AVFrame*>(frame));
  return sar.num > 0 && sar.den > 0 ? sar : AVRational{1, 1};
}

// One conversion: decode, pick a picture for each output frame by its time, scale, burn in the
// subtitles, encode; resample the sound to its place; multiplex; write.
class VideoWriter {
 public:
  VideoWriter(const VideoRequest& request, int out, const std::function<void(uint64_t)>& written)
      : request_(request), out_(out), written_(written) {}
  ~VideoWriter() { av_channel_layout_uninit(&swrLayout_); }
  VideoWriter(const VideoWriter&) = delete;
  VideoWriter& operator=(const VideoWriter&) = delete;

  std::string Run(int fd, int subtitleFd);

 private:
  struct SlotRange {
    uint64_t first;
    uint64_t count;
  };

  std::string OpenEncoders();
  void ChooseShape();
  void StartSubtitles(int subtitleFd);
  std::string DecodeVideo(const AVPacket* packet);
  std::string DecodeAudio(const AVPacket* packet);
  // A decoded picture: the output frames before its time show the one before it.
  std::string TakePicture(FramePtr picture);
  // Output frames up to slot show the held picture (black before the first).
  std::string FillVideo(uint64_t slot);
  std::string Push(const AVFrame* picture, uint64_t first, uint64_t count);
  std::string BuildGraph(const AVFrame* picture);
  std::string Pull(bool flush);
  std::string EncodeSlot(const AVFrame* picture, uint64_t slot);
  std::string EncodeVideo(AVFrame* frame);
  std::string TakeSound(const AVFrame* frame);
  std::string FillAudio(int64_t samples);
  std::string EncodeAudio(bool flush);
  // Hands the encoder's audio packets to the mux.
  std::string TakeAudioPackets(AVPacket* packet);
  // Keeps picture and sound within kMostLagUs of each other, and follows a missing one.
  std::string Balance();
  std::string Write(bool all);

  int64_t SlotUs(uint64_t slot) const {
    return static_cast<int64_t>(slot * 1000000 * plan_.frameRateDen / plan_.frameRateNum);
  }
  // The first slot at or after us.
  uint64_t SlotAt(int64_t us) const {
    if (us <= 0) return 0;
    const uint64_t units = uint64_t{1000000} * plan_.frameRateDen;
    return (static_cast<uint64_t>(us) * plan_.frameRateNum + units - 1) / units;
  }
  int64_t AudioUs() const { return audioPosition_ * 1000000 / kMpegAudioRate; }
  bool videoDone() const { return nextSlot_ >= plan_.videoFrames; }
  bool audioDone() const { return audioFramesMade_ >= plan_.audioFrames; }

  const VideoRequest& request_;
  const int out_;
  const std::function<void(uint64_t)>& written_;
  MpegPlan plan_;
  Source source_;
  std::optional<MpegMux> mux_;
  CodecPtr videoDecoder_, audioDecoder_, videoEncoder_, audioEncoder_;
  std::unique_ptr<SubtitleBurner> subtitles_;
  FramePtr decoded_{av_frame_alloc()};
  FramePtr filtered_{av_frame_alloc()};
  FramePtr black_;
  PacketPtr packet_{av_packet_alloc()};
  // The picture's place in the output: shown at displayAspect_, its picture pictureWidth_ x
  // pictureHeight_ centred in the coded frame.
  AVRational displayAspect_{16, 9};
  std::unique_ptr<AVFilterGraph, GraphFreer> graph_;
  AVFilterContext* graphIn_ = nullptr;
  AVFilterContext* graphOut_ = nullptr;
  int graphWidth_ = 0, graphHeight_ = 0, graphFormat_ = -1;
  std::deque<SlotRange> ranges_;  // pictures in the graph, with the slots each fills
  FramePtr held_;                 // the latest picture, not yet given all its slots
  int64_t lastPictureUs_ = 0;
  uint64_t nextSlot_ = 0;
  int badVideo_ = 0, badAudio_ = 0;
  bool videoEnded_ = false, audioEnded_ = false;
  // Sound: resampled into the FIFO, taken out a frame at a time.
  std::unique_ptr<SwrContext, SwrFreer> swr_;
  std::unique_ptr<AVAudioFifo, FifoFreer> fifo_;
  int swrRate_ = 0, swrFormat_ = -1;
  AVChannelLayout swrLayout_{};
  int64_t audioPosition_ = 0;                    // samples put into the FIFO since the start
  int64_t dropSamples_ = kLayerTwoDelaySamples;  // resampled samples still to drop
  uint64_t audioFramesMade_ = 0;
  uint64_t audioPacketsMade_ = 0;
  uint64_t total_ = 0;
};

std::string VideoWriter::Run(int fd, int subtitleFd) {
  std::string error = PlanMpeg(request_.durationMs, request_.standard, &plan_);
  if (!error.empty()) return error;
  if (!decoded_ || !filtered_ || !packet_) return "out of memory";
  if (!(error = source_.Open(fd, "source", request_.language)).empty()) return error;
  if (source_.video() >= 0) {
    videoDecoder_ = OpenDecoder(source_.stream(source_.video()), kDecoderThreads, &error);
    if (!videoDecoder_) return error;
  }
  if (source_.audio() >= 0) {
    // A sound track that cannot be decoded leaves the film silent rather than unplayable.
    audioDecoder_ = OpenDecoder(source_.stream(source_.audio()), 1, &error);
    error.clear();
  }
  ChooseShape();
  if (!(error = OpenEncoders()).empty()) return error;
  mux_.emplace(plan_);
  if (request_.subtitles) StartSubtitles(subtitleFd);

  while (!(videoDone() && audioDone())) {
    const int err = av_read_frame(source_.format(), packet_.get());
    if (err < 0) break;  // the end, or a file that cannot be read on: padded below
    const int index = packet_->stream_index;
    if (index == source_.video() && videoDecoder_ && !videoEnded_ && !videoDone()) {
      error = DecodeVideo(packet_.get());
    } else if (index == source_.audio() && audioDecoder_ && !audioEnded_ && !audioDone()) {
      error = DecodeAudio(packet_.get());
    } else if (index == source_.subtitle() && subtitles_) {
      subtitles_->AddPacket(packet_.get(), source_.originUs());
    }
    av_packet_unref(packet_.get());
    if (error.empty()) error = Balance();
    if (!error.empty()) return error;
  }
  if (videoDecoder_ && !videoDone() && !videoEnded_ && !(error = DecodeVideo(nullptr)).empty()) {
    return error;
  }
  if (audioDecoder_ && !audioDone() && !audioEnded_ && !(error = DecodeAudio(nullptr)).empty()) {
    return error;
  }
  if (!(error = FillVideo(plan_.videoFrames)).empty() || !(error = Pull(true)).empty() ||
      !(error = EncodeVideo(nullptr)).empty()) {
    return error;
  }
  if (!(error = FillAudio(static_cast<int64_t>(plan_.audioFrames * kMpegAudioFrameSamples)))
           .empty() ||
      !(error = EncodeAudio(true)).empty()) {
    return error;
  }
  mux_->EndVideo();
  mux_->EndAudio();
  mux_->Finish();
  if (!(error = Write(true)).empty()) return error;
  if (total_ != static_cast<uint64_t>(plan_.length)) {
    return "made " + std::to_string(total_) + " bytes instead of " + std::to_string(plan_.length);
  }
  return {};
}

void VideoWriter::ChooseShape() {
  AVStream* stream = source_.stream(source_.video());
  if (stream == nullptr) return;  // black: 16:9, as today's televisions are
  const AVRational sar = PixelShape(source_.format(), stream, nullptr);
  const double shape = static_cast<double>(stream->codecpar->width) * sar.num /
                       (static_cast<double>(stream->codecpar->height) * sar.den);
  // Whichever of 4:3 and 16:9 is nearer by ratio: the one that leaves less of the screen black.
  displayAspect_ = shape * shape >= 4.0 / 3 * 16 / 9 ? AVRational{16, 9} : AVRational{4, 3};
}

std::string VideoWriter::OpenEncoders() {
  const bool pal = plan_.standard == VideoStandard::kPal;
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MPEG2VIDEO);
  if (codec == nullptr) return "no MPEG-2 encoder in this FFmpeg";
  videoEncoder_.reset(avcodec_alloc_context3(codec));
  if (!videoEncoder_) return "out of memory";
  AVCodecContext* video = videoEncoder_.get();
  video->width = static_cast<int>(plan_.width);
  video->height = static_cast<int>(plan_.height);
  video->pix_fmt = AV_PIX_FMT_YUV420P;
  video->time_base = {static_cast<int>(plan_.frameRateDen), static_cast<int>(plan_.frameRateNum)};
  video->framerate = {static_cast<int>(plan_.frameRateNum), static_cast<int>(plan_.frameRateDen)};
  // The pixel shape that makes the coded frame the display shape: the header's aspect flag.
  av_reduce(&video->sample_aspect_ratio.num, &video->sample_aspect_ratio.den,
            int64_t{displayAspect_.num} * plan_.height, int64_t{displayAspect_.den} * plan_.width,
            1 << 16);
  // The plan's rate on average; bursts up to a little more, which the mux's margin still
  // carries in time.
  video->bit_rate = plan_.videoBitRate;
  video->rc_max_rate = plan_.videoBitRate + plan_.muxRate / 100;
  video->rc_buffer_size = std::min<int>(kDvdVbvBits, static_cast<int>(plan_.videoBitRate / 10 * 9));
  // As full as the mux fills it before the first picture is due.
  video->rc_initial_buffer_occupancy =
      std::min<int>(video->rc_buffer_size, static_cast<int>(plan_.videoBitRate / 100 * 45));
  video->gop_size = pal ? 15 : 18;
  video->max_b_frames = 2;
  video->thread_count = kEncoderThreads;
  video->thread_type = FF_THREAD_SLICE;
  video->color_primaries = pal ? AVCOL_PRI_BT470BG : AVCOL_PRI_SMPTE170M;
  video->color_trc = pal ? AVCOL_TRC_GAMMA28 : AVCOL_TRC_SMPTE170M;
  video->colorspace = pal ? AVCOL_SPC_BT470BG : AVCOL_SPC_SMPTE170M;
  video->color_range = AVCOL_RANGE_MPEG;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "video_format", pal ? "pal" : "ntsc", 0);
  // Coarser steps at low rates keep a long film within its rate.
  av_dict_set(&options, "non_linear_quant", "1", 0);
  video->qmax = 28;  // the most FFmpeg's non-linear steps allow
  int err = avcodec_open2(video, codec, &options);
  av_dict_free(&options);
  if (err < 0) return AvError("MPEG-2 encoder", err);

  const AVCodec* mp2 = avcodec_find_encoder(AV_CODEC_ID_MP2);
  if (mp2 == nullptr) return "no MP2 encoder in this FFmpeg";
  audioEncoder_.reset(avcodec_alloc_context3(mp2));
  if (!audioEncoder_) return "out of memory";
  AVCodecContext* audio = audioEncoder_.get();
  audio->sample_rate = kMpegAudioRate;
  audio->sample_fmt = AV_SAMPLE_FMT_S16;
  av_channel_layout_default(&audio->ch_layout, 2);
  audio->bit_rate = plan_.audioBitRate;
  audio->time_base = {1, static_cast<int>(kMpegAudioRate)};
  if ((err = avcodec_open2(audio, mp2, nullptr)) < 0) return AvError("MP2 encoder", err);
  if (audio->frame_size != static_cast<int>(kMpegAudioFrameSamples)) {
    return "the MP2 encoder's frames are not 1152 samples";
  }
  fifo_.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_S16, 2, kMpegAudioRate));
  black_.reset(av_frame_alloc());
  if (!fifo_ || !black_) return "out of memory";
  black_->format = AV_PIX_FMT_YUV420P;
  black_->width = video->width;
  black_->height = video->height;
  if ((err = av_frame_get_buffer(black_.get(), 0)) < 0) return AvError("picture", err);
  for (int plane = 0; plane < 3; ++plane) {
    const int rows = plane == 0 ? video->height : video->height / 2;
    std::memset(black_->data[plane], plane == 0 ? 16 : 128,
                static_cast<size_t>(black_->linesize[plane]) * rows);
  }
  return {};
}

void VideoWriter::StartSubtitles(int subtitleFd) {
  subtitles_ = std::make_unique<SubtitleBurner>(
      static_cast<int>(plan_.width), static_cast<int>(plan_.height), av_q2d(displayAspect_));
  // A subtitle file that cannot be read leaves the source's own track, or none.
  if (subtitleFd >= 0 && subtitles_->LoadFile(subtitleFd, request_.codePage).empty()) return;
  const AVStream* track = source_.stream(source_.subtitle());
  if (track == nullptr || !subtitles_->OpenTrack(source_.format(), track).empty()) {
    subtitles_.reset();
  }
}

std::string VideoWriter::DecodeVideo(const AVPacket* packet) {
  int err = avcodec_send_packet(videoDecoder_.get(), packet);
  if (err < 0 && err != AVERROR_EOF && err != AVERROR(EAGAIN)) {
    // A damaged packet is skipped, as players do; a run of them ends the picture.
    if (++badVideo_ > kMostBadPackets) videoEnded_ = true;
    return {};
  }
  badVideo_ = 0;
  while ((err = avcodec_receive_frame(videoDecoder_.get(), decoded_.get())) >= 0) {
    FramePtr picture(av_frame_alloc());
    if (!picture) return "out of memory";
    av_frame_move_ref(picture.get(), decoded_.get());
    std::string error = TakePicture(std::move(picture));
    if (!error.empty()) return error;
  }
  if (packet == nullptr) videoEnded_ = true;
  return {};
}

std::string VideoWriter::TakePicture(FramePtr picture) {
  if (videoDone()) return {};
  const AVStream* stream = source_.stream(source_.video());
  const int64_t pts = picture->best_effort_timestamp;
  int64_t us;
  if (pts == AV_NOPTS_VALUE) {
    // Without a time: a frame after the last one.
    const AVRational rate =
        av_guess_frame_rate(source_.format(), const_cast<AVStream*>(stream), picture.get());
    us = lastPictureUs_ + (rate.num > 0 ? av_rescale(1000000, rate.den, rate.num) : 40000);
  } else {
    us = av_rescale_q(pts, stream->time_base, AV_TIME_BASE_Q) - source_.originUs();
  }
  lastPictureUs_ = us;
  // Slot n shows the latest picture from before its time plus half a frame.
  const int64_t half = SlotUs(1) / 2;
  uint64_t slot = nextSlot_;
  while (slot < plan_.videoFrames && SlotUs(slot) + half < us) ++slot;
  std::string error = FillVideo(slot);
  held_ = std::move(picture);
  return error;
}

std::string VideoWriter::FillVideo(uint64_t slot) {
  slot = std::min(slot, plan_.videoFrames);
  if (slot <= nextSlot_) return {};
  const uint64_t first = nextSlot_;
  nextSlot_ = slot;
  if (held_) return Push(held_.get(), first, slot - first);
  for (uint64_t s = first; s < slot; ++s) {
    std::string error = EncodeSlot(black_.get(), s);
    if (!error.empty()) return error;
  }
  return {};
}

std::string VideoWriter::Push(const AVFrame* picture, uint64_t first, uint64_t count) {
  std::string error;
  if (!graph_ || picture->width != graphWidth_ || picture->height != graphHeight_ ||
      picture->format != graphFormat_) {
    // The first picture, or a source whose picture changes part way (a TS between channels).
    if (graph_ && !(error = Pull(true)).empty()) return error;
    if (!(error = BuildGraph(picture)).empty()) return error;
  }
  FramePtr frame(av_frame_clone(picture));
  if (!frame) return "out of memory";
  frame->pts = static_cast<int64_t>(first);
  int err = av_buffersrc_add_frame_flags(graphIn_, frame.get(), 0);
  if (err < 0) return AvError("picture filter", err);
  ranges_.push_back({first, count});
  return Pull(false);
}

std::string VideoWriter::BuildGraph(const AVFrame* picture) {
  graph_.reset(avfilter_graph_alloc());
  if (!graph_) return "out of memory";
  graph_->nb_threads = kFilterThreads;
  graphWidth_ = picture->width;
  graphHeight_ = picture->height;
  graphFormat_ = picture->format;
  AVStream* stream = source_.stream(source_.video());
  const AVRational sar = PixelShape(source_.format(), stream, picture);
  // The picture's size in the frame: the full width or height, the other one to keep its shape.
  const double shape = static_cast<double>(picture->width) * sar.num / (picture->height * sar.den);
  const double frameShape = av_q2d(displayAspect_);
  int width = static_cast<int>(plan_.width), height = static_cast<int>(plan_.height);
  if (shape >= frameShape) {
    height = std::max(2, static_cast<int>(std::lround(plan_.height * frameShape / shape / 2)) * 2);
  } else {
    width = std::max(2, static_cast<int>(std::lround(plan_.width * shape / frameShape / 2)) * 2);
  }
  const int x = (static_cast<int>(plan_.width) - width) / 4 * 2;
  const int y = (static_cast<int>(plan_.height) - height) / 4 * 2;
  const bool interlaced =
      picture->interlaced_frame || (stream->codecpar->field_order != AV_FIELD_UNKNOWN &&
                                    stream->codecpar->field_order != AV_FIELD_PROGRESSIVE);
  char args[256];
  std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=%u/%u:pixel_aspect=%d/%d",
                picture->width, picture->height, picture->format, plan_.frameRateDen,
                plan_.frameRateNum, sar.num, sar.den);
  int err = avfilter_graph_create_filter(&graphIn_, avfilter_get_by_name("buffer"), "in", args,
                                         nullptr, graph_.get());
  if (err >= 0) {
    err = avfilter_graph_create_filter(&graphOut_, avfilter_get_by_name("buffersink"), "out",
                                       nullptr, nullptr, graph_.get());
  }
  if (err < 0) return AvError("picture filter", err);
  // Interlaced pictures are made whole first, or scaling smears their two fields together; the
  // picture is scaled in SD's colours.
  char chain[512];
  std::snprintf(chain, sizeof chain,
                "%sscale=w=%d:h=%d:flags=bicubic:out_color_matrix=bt601:out_range=tv,"
                "format=yuv420p,pad=w=%u:h=%u:x=%d:y=%d:color=black",
                interlaced ? "yadif=mode=send_frame:deint=interlaced," : "", width, height,
                plan_.width, plan_.height, x, y);
  AVFilterInOut* outputs = avfilter_inout_alloc();
  AVFilterInOut* inputs = avfilter_inout_alloc();
  if (outputs == nullptr || inputs == nullptr) {
    avfilter_inout_free(&outputs);
    avfilter_inout_free(&inputs);
    return "out of memory";
  }
  outputs->name = av_strdup("in");
  outputs->filter_ctx = graphIn_;
  inputs->name = av_strdup("out");
  inputs->filter_ctx = graphOut_;
  err = avfilter_graph_parse_ptr(graph_.get(), chain, &inputs, &outputs, nullptr);
  avfilter_inout_free(&outputs);
  avfilter_inout_free(&inputs);
  if (err >= 0) err = avfilter_graph_config(graph_.get(), nullptr);
  if (err < 0) return AvError("picture filter", err);
  return {};
}

std::string VideoWriter::Pull(bool flush) {
  if (!graph_) return {};
  int err;
  if (flush && (err = av_buffersrc_add_frame_flags(graphIn_, nullptr, 0)) < 0) {
    return AvError("picture filter", err);
  }
  while ((err = av_buffersink_get_frame(graphOut_, filtered_.get())) >= 0) {
    if (ranges_.empty()) {
      av_frame_unref(filtered_.get());
      return "the picture filter made a picture too many";
    }
    const SlotRange range = ranges_.front();
    ranges_.pop_front();
    std::string error;
    for (uint64_t slot = range.first; slot < range.first + range.count && error.empty(); ++slot) {
      error = EncodeSlot(filtered_.get(), slot);
    }
    av_frame_unref(filtered_.get());
    if (!error.empty()) return error;
  }
  if (flush) {
    graph_.reset();
    ranges_.clear();
  }
  return {};
}

std::string VideoWriter::EncodeSlot(const AVFrame* picture, uint64_t slot) {
  FramePtr frame(av_frame_clone(picture));
  if (!frame) return "out of memory";
  if (subtitles_) subtitles_->Burn(frame.get(), SlotUs(slot) / 1000);
  frame->pts = static_cast<int64_t>(slot);
  frame->pict_type = AV_PICTURE_TYPE_NONE;
  frame->sample_aspect_ratio = videoEncoder_->sample_aspect_ratio;
  return EncodeVideo(frame.get());
}

std::string VideoWriter::EncodeVideo(AVFrame* frame) {
  int err = avcodec_send_frame(videoEncoder_.get(), frame);
  if (err < 0) return AvError("MPEG-2 encoder", err);
  PacketPtr packet(av_packet_alloc());
  if (!packet) return "out of memory";
  while ((err = avcodec_receive_packet(videoEncoder_.get(), packet.get())) >= 0) {
    const int64_t ticks = plan_.ticksPerFrame;
    mux_->AddVideo(
        std::string_view(reinterpret_cast<const char*>(packet->data),
                         static_cast<size_t>(packet->size)),
        static_cast<uint64_t>(static_cast<int64_t>(kStartDelay90k) + packet->pts * ticks),
        static_cast<uint64_t>(static_cast<int64_t>(kStartDelay90k) + packet->dts * ticks));
    av_packet_unref(packet.get());
  }
  mux_->Pump();
  return Write(false);
}

std::string VideoWriter::DecodeAudio(const AVPacket* packet) {
  int err = avcodec_send_packet(audioDecoder_.get(), packet);
  if (err < 0 && err != AVERROR_EOF && err != AVERROR(EAGAIN)) {
    if (++badAudio_ > kMostBadPackets) audioEnded_ = true;
    return {};
  }
  badAudio_ = 0;
  while ((err = avcodec_receive_frame(audioDecoder_.get(), decoded_.get())) >= 0) {
    std::string error = TakeSound(decoded_.get());
    av_frame_unref(decoded_.get());
    if (!error.empty()) return error;
  }
  if (packet == nullptr) {
    audioEnded_ = true;
    return EncodeAudio(false);
  }
  return {};
}

std::string VideoWriter::TakeSound(const AVFrame* frame) {
  if (audioDone()) return {};
  AVChannelLayout layout{};
  if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || frame->ch_layout.nb_channels == 0) {
    av_channel_layout_default(&layout, std::max(frame->ch_layout.nb_channels, 1));
  } else {
    av_channel_layout_copy(&layout, &frame->ch_layout);
  }
  if (!swr_ || frame->sample_rate != swrRate_ || frame->format != swrFormat_ ||
      av_channel_layout_compare(&layout, &swrLayout_) != 0) {
    // The first frame, or a source whose sound changes part way.
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    SwrContext* swr = nullptr;
    int err = swr_alloc_set_opts2(&swr, &stereo, AV_SAMPLE_FMT_S16, kMpegAudioRate, &layout,
                                  static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0,
                                  nullptr);
    swr_.reset(swr);
    if (err < 0 || (err = swr_init(swr)) < 0) {
      av_channel_layout_uninit(&layout);
      return AvError("resampler", err);
    }
    swrRate_ = frame->sample_rate;
    swrFormat_ = frame->format;
    av_channel_layout_uninit(&swrLayout_);
    av_channel_layout_copy(&swrLayout_, &layout);
  }
  av_channel_layout_uninit(&layout);
  // Where the frame's first sample belongs, against where it would land: a slip beyond the
  // bound is put right here, so that the sound keeps to its timestamps.
  const int64_t pts = frame->best_effort_timestamp;
  if (pts != AV_NOPTS_VALUE) {
    const AVStream* stream = source_.stream(source_.audio());
    const int64_t due =
        av_rescale_q(pts, stream->time_base, {1, static_cast<int>(kMpegAudioRate)}) -
        av_rescale(source_.originUs(), kMpegAudioRate, 1000000) - kLayerTwoDelaySamples;
    const int64_t landing =
        audioPosition_ + swr_get_delay(swr_.get(), kMpegAudioRate) - dropSamples_;
    if (due - landing > kMostAudioSlipSamples) {
      std::string error = FillAudio(audioPosition_ + due - landing);
      if (!error.empty()) return error;
    } else if (landing - due > kMostAudioSlipSamples) {
      dropSamples_ += landing - due;
    }
  }
  const int room = swr_get_out_samples(swr_.get(), frame->nb_samples);
  if (room <= 0) return {};
  std::vector<int16_t> samples(static_cast<size_t>(room) * 2);
  uint8_t* planes[1] = {reinterpret_cast<uint8_t*>(samples.data())};
  const int got = swr_convert(swr_.get(), planes, room,
                              const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
  if (got < 0) return AvError("resampler", got);
  const int64_t drop = std::min<int64_t>(dropSamples_, got);
  dropSamples_ -= drop;
  if (got > drop) {
    void* from[1] = {samples.data() + drop * 2};
    if (av_audio_fifo_write(fifo_.get(), from, static_cast<int>(got - drop)) < 0) {
      return "out of memory";
    }
    audioPosition_ += got - drop;
  }
  return EncodeAudio(false);
}

std::string VideoWriter::FillAudio(int64_t samples) {
  const int64_t most = static_cast<int64_t>(plan_.audioFrames * kMpegAudioFrameSamples);
  samples = std::min(samples, most);
  while (audioPosition_ < samples) {
    const int n = static_cast<int>(std::min<int64_t>(samples - audioPosition_, 4096));
    std::vector<int16_t> silence(static_cast<size_t>(n) * 2, 0);
    void* from[1] = {silence.data()};
    if (av_audio_fifo_write(fifo_.get(), from, n) < 0) return "out of memory";
    audioPosition_ += n;
    std::string error = EncodeAudio(false);
    if (!error.empty()) return error;
  }
  return {};
}

std::string VideoWriter::EncodeAudio(bool flush) {
  const int frameSize = static_cast<int>(kMpegAudioFrameSamples);
  PacketPtr packet(av_packet_alloc());
  FramePtr frame(av_frame_alloc());
  if (!packet || !frame) return "out of memory";
  while (!audioDone() && (av_audio_fifo_size(fifo_.get()) >= frameSize || flush)) {
    av_frame_unref(frame.get());
    frame->format = AV_SAMPLE_FMT_S16;
    frame->sample_rate = kMpegAudioRate;
    frame->nb_samples = frameSize;
    av_channel_layout_default(&frame->ch_layout, 2);
    int err = av_frame_get_buffer(frame.get(), 0);
    if (err < 0) return AvError("sound", err);
    const int got =
        av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame->data), frameSize);
    if (got < frameSize) {
      av_samples_set_silence(frame->data, std::max(got, 0), frameSize - std::max(got, 0), 2,
                             AV_SAMPLE_FMT_S16);
    }
    frame->pts = static_cast<int64_t>(audioFramesMade_ * kMpegAudioFrameSamples);
    ++audioFramesMade_;
    if ((err = avcodec_send_frame(audioEncoder_.get(), frame.get())) < 0) {
      return AvError("MP2 encoder", err);
    }
    std::string error = TakeAudioPackets(packet.get());
    if (!error.empty()) return error;
  }
  if (flush) {
    avcodec_send_frame(audioEncoder_.get(), nullptr);
    std::string error = TakeAudioPackets(packet.get());
    if (!error.empty()) return error;
  }
  mux_->Pump();
  return Write(false);
}

std::string VideoWriter::TakeAudioPackets(AVPacket* packet) {
  // Layer II has no delay: packet n is frame n.
  while (avcodec_receive_packet(audioEncoder_.get(), packet) >= 0) {
    if (packet->size != static_cast<int>(144 * plan_.audioBitRate / kMpegAudioRate)) {
      av_packet_unref(packet);
      return "the MP2 encoder made a frame of another size";
    }
    mux_->AddAudio(std::string_view(reinterpret_cast<const char*>(packet->data),
                                    static_cast<size_t>(packet->size)),
                   AudioFramePts(audioPacketsMade_++));
    av_packet_unref(packet);
  }
  return {};
}

std::string VideoWriter::Balance() {
  std::string error;
  const int64_t videoUs = SlotUs(nextSlot_);
  const int64_t audioUs = AudioUs();
  if (!audioDecoder_ || audioEnded_) {
    error = FillAudio(av_rescale(videoUs, kMpegAudioRate, 1000000));
  } else if (videoUs - audioUs > kMostLagUs) {
    error = FillAudio(av_rescale(videoUs - kMostLagUs, kMpegAudioRate, 1000000));
  }
  if (!error.empty()) return error;
  if (!videoDecoder_ || videoEnded_) {
    error = FillVideo(SlotAt(AudioUs()));
  } else if (audioUs - videoUs > kMostLagUs) {
    error = FillVideo(SlotAt(audioUs - kMostLagUs));
  }
  return error;
}

std::string VideoWriter::Write(bool all) {
  std::string& bytes = mux_->output();
  if (bytes.empty() || (!all && bytes.size() < kWriteBytes)) return {};
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(out_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::string("cannot write the video: ") + std::strerror(errno);
    done += static_cast<size_t>(n);
  }
  total_ += bytes.size();
  bytes.clear();
  written_(total_);
  return {};
}

}  // namespace

std::string ProbeVideo(int fd, std::string_view name, VideoFacts* facts) {
  Source source;
  std::string error = source.Open(fd, name, "");
  if (!error.empty()) return error;
  *facts = VideoFacts{};
  if (AVStream* stream = source.stream(source.video())) {
    if (avcodec_find_decoder(stream->codecpar->codec_id) == nullptr) {
      return std::string("no decoder for its picture (") +
             avcodec_get_name(stream->codecpar->codec_id) + ")";
    }
    facts->hasVideo = true;
    facts->width = static_cast<uint32_t>(stream->codecpar->width);
    facts->height = static_cast<uint32_t>(stream->codecpar->height);
    const AVRational sar = PixelShape(source.format(), stream, nullptr);
    facts->sampleAspectNum = static_cast<uint32_t>(sar.num);
    facts->sampleAspectDen = static_cast<uint32_t>(sar.den);
    const AVRational rate = av_guess_frame_rate(source.format(), stream, nullptr);
    if (rate.num > 0 && rate.den > 0) {
      facts->frameRateNum = static_cast<uint32_t>(rate.num);
      facts->frameRateDen = static_cast<uint32_t>(rate.den);
    }
  }
  facts->hasAudio = source.audio() >= 0;
  facts->hasSubtitles = source.subtitle() >= 0;
  facts->playable = PlayableAsIs(name, source.format());
  const int64_t us = source.DurationUs();
  if (us <= 0) return "it has no duration";
  facts->durationMs = static_cast<uint64_t>(us / 1000);
  return facts->durationMs > 0 ? "" : "it has no duration";
}

std::string ConvertVideo(const VideoRequest& request, int fd, int subtitleFd, int out,
                         const std::function<void(uint64_t)>& written) {
  return VideoWriter(request, out, written).Run(fd, subtitleFd);
}

}  // namespace rureza
