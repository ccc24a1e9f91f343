#include "convert/song_convert.h"

#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "convert/descriptor_reader.h"
#include "convert/song_bounds.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace rureza {
namespace {

// Only the demuxers of the song formats the server converts, reading local files only: a file
// that claims to be a playlist or a stream description never makes the converter open anything
// else.
constexpr char kDemuxers[] = "flac,mov,aac,ogg,wav,aiff,asf,ape,wv,matroska,mp3,w64";
// Frames written to the output together: about 0.4 s of audio, so that the first bytes of a
// conversion reach the stream at once and later ones go out in few calls.
constexpr int kFramesPerWrite = 16;
// Packets in a row that fail to decode before the rest of the source counts as unreadable.
constexpr int kMostBadPackets = 200;
// Samples in an MPEG-1 layer III frame.
constexpr int kFrameSamples = 1152;
// What FFmpeg reads from the file at a time.
constexpr int kIoBufferBytes = 32 << 10;
// Measuring a batch of songs takes and frees about the same memory for every song; without some
// spare memory kept at the top of the heap, the C library gives it back to the kernel and every
// song faults it in again (which tripled the time a song takes to measure).
constexpr int kHeapPad = 1 << 20;

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
struct SwrFreer {
  void operator()(SwrContext* swr) const { swr_free(&swr); }
};
struct FifoFreer {
  void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;

std::string AvError(const char* what, int err) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, text, sizeof text);
  return std::string(what) + ": " + text;
}

// The song's container, read through its descriptor, and its audio stream's decoder.
class Source {
 public:
  std::string Open(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::string("cannot read it: ") + std::strerror(errno);
    fd_ = fd;
    size_ = st.st_size;
    // The demuxers read through our own callbacks (pread at a position of our own), and may open
    // nothing else: a file that names another (a playlist, a reference in an MP4) gets nothing.
    auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferBytes));
    reader_.fd = fd;
    io_.reset(buffer ? avio_alloc_context(buffer, kIoBufferBytes, 0, &reader_,
                                          &DescriptorReader::Read, nullptr, &DescriptorReader::Seek)
                     : nullptr);
    if (!io_) {
      av_free(buffer);
      return "out of memory";
    }
    AVFormatContext* raw = avformat_alloc_context();
    if (raw == nullptr) return "out of memory";
    raw->pb = io_.get();
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    raw->io_open = &Source::RefuseOpen;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "format_whitelist", kDemuxers, 0);
    av_dict_set(&options, "protocol_whitelist", "none", 0);
    int err = avformat_open_input(&raw, "", nullptr, &options);  // frees raw on failure
    av_dict_free(&options);
    if (err < 0) return AvError("not a song", err);
    format_.reset(raw);
    if ((err = avformat_find_stream_info(raw, nullptr)) < 0) return AvError("not a song", err);
    index_ = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index_ < 0) return "no audio in it";
    stream_ = raw->streams[index_];
    if (stream_->codecpar->sample_rate <= 0) return "no sample rate";
    return {};
  }

  std::string OpenDecoder() {
    const AVCodec* codec = avcodec_find_decoder(stream_->codecpar->codec_id);
    if (codec == nullptr) return "no decoder for its audio";
    decoder_.reset(avcodec_alloc_context3(codec));
    if (!decoder_) return "out of memory";
    int err = avcodec_parameters_to_context(decoder_.get(), stream_->codecpar);
    if (err < 0) return AvError("decoder", err);
    decoder_->thread_count = 1;  // one thread: the memory limit is counted per process
    decoder_->flags |= AV_CODEC_FLAG_BITEXACT;  // the same bytes every time
    decoder_->pkt_timebase = stream_->time_base;
    if ((err = avcodec_open2(decoder_.get(), codec, nullptr)) < 0) return AvError("decoder", err);
    return {};
  }

  // The samples the headers state, at the stream's own rate; 0 when they state none (or only a
  // guess from the bitrate).
  uint64_t StatedSamples() const {
    const AVFormatContext* format = format_.get();
    const AVRational perSample{1, stream_->codecpar->sample_rate};
    if (format->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE) return 0;
    if (stream_->duration > 0) {
      return static_cast<uint64_t>(av_rescale_q(stream_->duration, stream_->time_base, perSample));
    }
    if (format->duration > 0) {
      return static_cast<uint64_t>(av_rescale_q(format->duration, AV_TIME_BASE_Q, perSample));
    }
    return 0;
  }

  // The samples of every packet, read to the end of the file (the length of a format that
  // states none).
  uint64_t CountedSamples() {
    const AVRational perSample{1, stream_->codecpar->sample_rate};
    PacketPtr packet(av_packet_alloc());
    int64_t total = 0;
    while (packet && av_read_frame(format_.get(), packet.get()) >= 0) {
      if (packet->stream_index == index_) {
        total += packet->duration > 0
                     ? packet->duration
                     : av_rescale_q(stream_->codecpar->frame_size, perSample, stream_->time_base);
      }
      av_packet_unref(packet.get());
    }
    return static_cast<uint64_t>(av_rescale_q(total, stream_->time_base, perSample));
  }

  // What the file can hold, from its bytes.
  SampleBound FileBound() const {
    const std::string_view format = format_->iformat->name;
    const AVCodecParameters* params = stream_->codecpar;
    uint64_t payload = static_cast<uint64_t>(size_);  // the bytes of coded audio, at most
    if (format == "flac") {
      const SampleBound bound = FlacBound(fd_, payload);
      if (bound.samples != kUnbounded) return bound;
    } else if (format == "ogg") {
      const SampleBound bound = OggBound(fd_, payload, index_);
      if (bound.samples != kUnbounded) return bound;
    } else if (format.starts_with("mov,")) {
      const SampleBound bound = SampleTableBound();
      if (bound.samples != kUnbounded) return bound;
    }
    ByteRange data;
    if (((format == "wav" || format == "w64") && WavData(fd_, payload, &data)) ||
        (format == "aiff" && AiffData(fd_, payload, &data))) {
      payload = data.end - data.begin;
      const int bits = av_get_exact_bits_per_sample(params->codec_id);
      const int channels = params->ch_layout.nb_channels;
      if (bits > 0 && channels > 0) {
        return {payload * 8 / (static_cast<uint64_t>(bits) * static_cast<uint64_t>(channels)),
                true};
      }
    }
    const unsigned __int128 samples = static_cast<unsigned __int128>(payload) * 8 *
                                      static_cast<uint64_t>(params->sample_rate) /
                                      LowestBitRate(params->codec_id);
    return {static_cast<uint64_t>(std::min<unsigned __int128>(samples, kUnbounded - 1)), false};
  }

  AVFormatContext* format() const { return format_.get(); }
  AVStream* stream() const { return stream_; }
  AVCodecContext* decoder() const { return decoder_.get(); }
  int index() const { return index_; }

 private:
  static int RefuseOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
    return AVERROR(EPERM);
  }

  // An MP4's sample tables (FFmpeg's index of the stream): where the first sample begins that
  // does not lie wholly within the file, or the last one ends.
  SampleBound SampleTableBound() const {
    const int count = avformat_index_get_entries_count(stream_);
    if (count <= 0) return {};
    int64_t end = -1;
    for (int i = 0; i < count && end < 0; ++i) {
      const AVIndexEntry* entry = avformat_index_get_entry(stream_, i);
      if (entry->pos < 0 || entry->pos + entry->size > size_) end = entry->timestamp;
    }
    if (end < 0) {
      const AVIndexEntry* last = avformat_index_get_entry(stream_, count - 1);
      const AVIndexEntry* before = count > 1 ? avformat_index_get_entry(stream_, count - 2) : last;
      end = last->timestamp + std::max<int64_t>(last->timestamp - before->timestamp, 0) +
            (count == 1
                 ? av_rescale_q(stream_->codecpar->frame_size,
                                AVRational{1, stream_->codecpar->sample_rate}, stream_->time_base)
                 : 0);
    }
    const AVRational perSample{1, stream_->codecpar->sample_rate};
    return {static_cast<uint64_t>(
                std::max<int64_t>(av_rescale_q(end, stream_->time_base, perSample), 0)),
            false};
  }

  struct IoFreer {
    void operator()(AVIOContext* io) const {
      av_freep(&io->buffer);
      avio_context_free(&io);
    }
  };
  int fd_ = -1;
  int64_t size_ = 0;
  DescriptorReader reader_;
  // Declared before format_, so that it outlives the demuxer that reads through it.
  std::unique_ptr<AVIOContext, IoFreer> io_;
  std::unique_ptr<AVFormatContext, FormatCloser> format_;
  std::unique_ptr<AVCodecContext, CodecFreer> decoder_;
  AVStream* stream_ = nullptr;
  int index_ = -1;
};

// One conversion: decode, resample into a FIFO from the first wanted sample on, encode whole
// frames, write them out.
class Mp3Writer {
 public:
  Mp3Writer(const SongRequest& request, int fd, int out,
            const std::function<void(uint64_t)>& written)
      : request_(request), fd_(fd), out_(out), written_(written) {}

  std::string Run();

 private:
  std::string OpenEncoder();
  // Positions the source at or before the first wanted sample. Without a seek that works, the
  // source is decoded from its start and everything before is dropped.
  void SeekToStart();
  // Feeds one packet's samples (nullptr: the decoder's last ones) into the FIFO.
  std::string Decode(const AVPacket* packet);
  std::string Resample(const AVFrame* frame);
  // Encodes a frame of samples from the FIFO, silence where it holds too few.
  std::string EncodeFrame();
  std::string Flush();

  const SongRequest& request_;
  const int fd_;
  const int out_;
  const std::function<void(uint64_t)>& written_;
  Source source_;
  std::unique_ptr<AVCodecContext, CodecFreer> encoder_;
  std::unique_ptr<SwrContext, SwrFreer> swr_;
  std::unique_ptr<AVAudioFifo, FifoFreer> fifo_;
  FramePtr decoded_{av_frame_alloc()};
  FramePtr resampled_{av_frame_alloc()};
  // The output sample the next resampled one is (-1 until the first decoded frame tells).
  int64_t position_ = -1;
  int64_t firstSample_ = 0;  // of the output, at the output rate
  int64_t origin_ = 0;       // the stream's start, in its time base
  uint64_t framesLeft_ = 0;
  int64_t encoderPts_ = 0;
  std::vector<uint8_t> pending_;  // encoded frames not yet written
  uint64_t total_ = 0;            // bytes written
  int badPackets_ = 0;
  bool sourceEnded_ = false;
  int inRate_ = 0, inFormat_ = -1, inChannels_ = 0;  // what the resampler was made for
};

std::string Mp3Writer::Run() {
  if (request_.frameCount <= request_.firstFrame) return "no frames asked for";
  framesLeft_ = request_.frameCount - request_.firstFrame;
  firstSample_ = static_cast<int64_t>(request_.firstFrame) * kFrameSamples;
  std::string error = source_.Open(fd_);
  if (error.empty()) error = source_.OpenDecoder();
  if (error.empty()) error = OpenEncoder();
  if (!error.empty()) return error;
  fifo_.reset(av_audio_fifo_alloc(encoder_->sample_fmt, 2, encoder_->frame_size * 4));
  if (!decoded_ || !resampled_ || !fifo_) return "out of memory";
  origin_ = source_.stream()->start_time != AV_NOPTS_VALUE ? source_.stream()->start_time : 0;
  if (firstSample_ > 0) SeekToStart();

  PacketPtr packet(av_packet_alloc());
  if (!packet) return "out of memory";
  while (framesLeft_ > 0) {
    if (sourceEnded_ || av_audio_fifo_size(fifo_.get()) >= encoder_->frame_size) {
      if (!(error = EncodeFrame()).empty()) return error;
      continue;
    }
    const int err = av_read_frame(source_.format(), packet.get());
    if (err < 0) {
      // The end, or a file that cannot be read on: what was decoded is followed by silence.
      error = Decode(nullptr);
      sourceEnded_ = true;
    } else {
      if (packet->stream_index == source_.index()) error = Decode(packet.get());
      av_packet_unref(packet.get());
    }
    if (!error.empty()) return error;
  }
  return Flush();
}

std::string Mp3Writer::OpenEncoder() {
  const AVCodec* codec = avcodec_find_encoder_by_name("libmp3lame");
  if (codec == nullptr) return "no MP3 encoder (libmp3lame) in this FFmpeg";
  encoder_.reset(avcodec_alloc_context3(codec));
  if (!encoder_) return "out of memory";
  encoder_->bit_rate = request_.bitRate;
  encoder_->sample_rate = static_cast<int>(request_.sampleRate);
  encoder_->sample_fmt = AV_SAMPLE_FMT_FLTP;
  av_channel_layout_default(&encoder_->ch_layout, 2);
  encoder_->thread_count = 1;
  encoder_->flags |= AV_CODEC_FLAG_BITEXACT;
  int err = avcodec_open2(encoder_.get(), codec, nullptr);
  if (err < 0) return AvError("MP3 encoder", err);
  if (encoder_->frame_size != kFrameSamples) return "the MP3 encoder's frames are not 1152 samples";
  return {};
}

void Mp3Writer::SeekToStart() {
  AVStream* stream = source_.stream();
  // A little before the wanted sample, so that the first decoded frame does not start after it.
  const int64_t target =
      origin_ + av_rescale_q(firstSample_, AVRational{1, encoder_->sample_rate}, stream->time_base);
  if (avformat_seek_file(source_.format(), source_.index(), INT64_MIN, target, target, 0) < 0 &&
      av_seek_frame(source_.format(), source_.index(), target, AVSEEK_FLAG_BACKWARD) < 0) {
    av_seek_frame(source_.format(), source_.index(), origin_, AVSEEK_FLAG_BACKWARD);
  }
  avcodec_flush_buffers(source_.decoder());
}

std::string Mp3Writer::Decode(const AVPacket* packet) {
  int err = avcodec_send_packet(source_.decoder(), packet);
  if (err < 0 && err != AVERROR_EOF) {
    // A damaged packet is skipped, as players do; a run of them ends the source.
    if (++badPackets_ > kMostBadPackets) sourceEnded_ = true;
    return {};
  }
  badPackets_ = 0;
  while ((err = avcodec_receive_frame(source_.decoder(), decoded_.get())) >= 0) {
    std::string error = Resample(decoded_.get());
    av_frame_unref(decoded_.get());
    if (!error.empty()) return error;
  }
  if (packet == nullptr && swr_) {
    // What the resampler still holds.
    std::string error = Resample(nullptr);
    if (!error.empty()) return error;
  }
  return {};
}

std::string Mp3Writer::Resample(const AVFrame* frame) {
  if (frame != nullptr && (!swr_ || frame->sample_rate != inRate_ || frame->format != inFormat_ ||
                           frame->ch_layout.nb_channels != inChannels_)) {
    // The first frame, or a source whose shape changes part way (a chained Ogg stream).
    inRate_ = frame->sample_rate;
    inFormat_ = frame->format;
    inChannels_ = frame->ch_layout.nb_channels;
    AVChannelLayout layout{};
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || frame->ch_layout.nb_channels == 0) {
      av_channel_layout_default(&layout, frame->ch_layout.nb_channels > 0
                                             ? frame->ch_layout.nb_channels
                                             : source_.decoder()->ch_layout.nb_channels);
    } else {
      av_channel_layout_copy(&layout, &frame->ch_layout);
    }
    SwrContext* swr = nullptr;
    int err = swr_alloc_set_opts2(
        &swr, &encoder_->ch_layout, encoder_->sample_fmt, encoder_->sample_rate, &layout,
        static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&layout);
    swr_.reset(swr);
    if (err < 0 || (err = swr_init(swr)) < 0) return AvError("resampler", err);
    const int64_t pts = frame->best_effort_timestamp;
    // Where the first decoded frame lies; a source that cannot say is taken to be there.
    if (position_ < 0) {
      position_ = pts == AV_NOPTS_VALUE ? firstSample_
                                        : av_rescale_q(pts - origin_, source_.stream()->time_base,
                                                       AVRational{1, encoder_->sample_rate});
    }
  }
  if (!swr_) return {};
  const int inSamples = frame != nullptr ? frame->nb_samples : 0;
  const int room = swr_get_out_samples(swr_.get(), inSamples);
  if (room <= 0) return {};
  av_frame_unref(resampled_.get());
  resampled_->format = encoder_->sample_fmt;
  resampled_->sample_rate = encoder_->sample_rate;
  resampled_->nb_samples = room;
  av_channel_layout_copy(&resampled_->ch_layout, &encoder_->ch_layout);
  int err = av_frame_get_buffer(resampled_.get(), 0);
  if (err < 0) return AvError("resampler", err);
  const int got = swr_convert(
      swr_.get(), resampled_->data, room,
      frame != nullptr ? const_cast<const uint8_t**>(frame->extended_data) : nullptr, inSamples);
  if (got < 0) return AvError("resampler", got);
  // Samples before the first wanted one are dropped.
  const int64_t skip = std::min<int64_t>(std::max<int64_t>(firstSample_ - position_, 0), got);
  position_ += got;
  if (got > skip) {
    void* planes[2];
    for (int c = 0; c < 2; ++c) {
      planes[c] = resampled_->data[c] + skip * av_get_bytes_per_sample(encoder_->sample_fmt);
    }
    if (av_audio_fifo_write(fifo_.get(), planes, static_cast<int>(got - skip)) < 0) {
      return "out of memory";
    }
  }
  return {};
}

std::string Mp3Writer::EncodeFrame() {
  FramePtr frame(av_frame_alloc());
  if (!frame) return "out of memory";
  frame->format = encoder_->sample_fmt;
  frame->sample_rate = encoder_->sample_rate;
  frame->nb_samples = encoder_->frame_size;
  av_channel_layout_copy(&frame->ch_layout, &encoder_->ch_layout);
  int err = av_frame_get_buffer(frame.get(), 0);
  if (err < 0) return AvError("encoder", err);
  const int got =
      av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame->data), encoder_->frame_size);
  if (got < encoder_->frame_size) {
    av_samples_set_silence(frame->data, std::max(got, 0), encoder_->frame_size - std::max(got, 0),
                           2, encoder_->sample_fmt);
  }
  frame->pts = encoderPts_;
  encoderPts_ += encoder_->frame_size;
  if ((err = avcodec_send_frame(encoder_.get(), frame.get())) < 0) return AvError("encoder", err);
  PacketPtr packet(av_packet_alloc());
  if (!packet) return "out of memory";
  const size_t frameBytes = 144ull * request_.bitRate / request_.sampleRate;
  while (framesLeft_ > 0 && avcodec_receive_packet(encoder_.get(), packet.get()) >= 0) {
    // Every frame must have the one size, or the length the adapter was told is wrong.
    if (static_cast<size_t>(packet->size) != frameBytes) {
      return "the encoder made a frame of " + std::to_string(packet->size) + " bytes";
    }
    pending_.insert(pending_.end(), packet->data, packet->data + packet->size);
    av_packet_unref(packet.get());
    --framesLeft_;
    if (pending_.size() >= kFramesPerWrite * frameBytes) {
      std::string error = Flush();
      if (!error.empty()) return error;
    }
  }
  return {};
}

std::string Mp3Writer::Flush() {
  size_t done = 0;
  while (done < pending_.size()) {
    const ssize_t n = ::write(out_, pending_.data() + done, pending_.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::string("cannot write the song: ") + std::strerror(errno);
    done += static_cast<size_t>(n);
  }
  total_ += pending_.size();
  pending_.clear();
  written_(total_);
  return {};
}

}  // namespace

std::string ProbeSong(int fd, std::string_view name, SongFacts* facts) {
  static const bool padded = mallopt(M_TOP_PAD, kHeapPad) == 1;
  (void)padded;
  Source source;
  std::string error = source.Open(fd);
  if (error.starts_with("not a song")) {
    // Named by what its ending says it is: "not a FLAC song: Invalid data found ...".
    const size_t dot = name.rfind('.');
    std::string kind = dot == std::string_view::npos ? "" : std::string(name.substr(dot + 1));
    for (char& c : kind) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (!kind.empty()) error.replace(0, 10, "not a " + kind + " song");
  }
  if (!error.empty()) return error;
  const AVCodecParameters* params = source.stream()->codecpar;
  facts->sampleRate = static_cast<uint32_t>(params->sample_rate);
  facts->channels = static_cast<uint32_t>(params->ch_layout.nb_channels);
  // A header is believed as far as the file goes: one that claims less than the file holds is
  // taken at its word (the converter writes exactly what is asked for), one that claims more is
  // not.
  const SampleBound bound = source.FileBound();
  uint64_t samples = source.StatedSamples();
  if (samples == 0) samples = bound.exact ? bound.samples : source.CountedSamples();
  facts->samples = std::min(samples, bound.samples);
  if (facts->samples == 0) return "no samples in it";
  return {};
}

std::string ConvertSong(const SongRequest& request, int fd, int out,
                        const std::function<void(uint64_t)>& written) {
  if (request.sampleRate != 48000 || request.bitRate == 0 || request.bitRate % 8000 != 0) {
    return "unsupported MP3 shape";
  }
  return Mp3Writer(request, fd, out, written).Run();
}

}  // namespace rureza
