#include "convert/subtitle_burner.h"

#include <iconv.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstring>

extern "C" {
#include <ass/ass.h>
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
}

namespace rureza {
namespace {

// Larger than any subtitle file of a film (a two-hour SubRip file takes about 100 KB).
constexpr size_t kMostFileBytes = 16 << 20;
// Text has almost no control characters; more than one in a hundred bytes is something else.
constexpr size_t kMostControlPerHundred = 1;
// The script's height in its own units; its width follows the picture's shape.
constexpr int kScriptHeight = 288;

// The style of plain text: 21 of 288 units (42 lines of a PAL picture), white, a dark outline
// of 1.6 units and a soft shadow, centred at the bottom 18 units up, 24 units from the sides.
constexpr char kTelevisionHeader[] =
    "[Script Info]\n"
    "ScriptType: v4.00+\n"
    "PlayResX: %d\n"
    "PlayResY: %d\n"
    "ScaledBorderAndShadow: yes\n"
    "WrapStyle: 0\n"
    "\n"
    "[V4+ Styles]\n"
    "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, "
    "BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, "
    "BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding\n"
    "Style: Default,sans-serif,21,&H00FFFFFF,&H000000FF,&H00101010,&H80000000,0,0,0,0,100,100,"
    "0,0,1,1.6,0.8,2,24,24,18,1\n"
    "\n"
    "[Events]\n"
    "Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n";

struct CodecFreer {
  void operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
};
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFreer>;

void Quiet(int, const char*, va_list, void*) {}

bool ValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = text[i];
    const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > text.size() || (n == 2 && c < 0xc2)) return false;
    for (size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

// text in charset as UTF-8; a byte the charset cannot read becomes '?'. Empty when iconv does
// not know the charset.
std::string ToUtf8(std::string_view text, const char* charset) {
  iconv_t cd = iconv_open("UTF-8", charset);
  if (cd == reinterpret_cast<iconv_t>(-1)) return {};
  std::string out(text.size() * 3 + 16, '\0');
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  char* to = out.data();
  size_t toLeft = out.size();
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &to, &toLeft) != static_cast<size_t>(-1)) break;
    if (errno == E2BIG || toLeft == 0) break;
    // EILSEQ or EINVAL: one byte it cannot read.
    *to++ = '?';
    --toLeft;
    ++in;
    --inLeft;
  }
  iconv_close(cd);
  out.resize(out.size() - toLeft);
  return out;
}

// The file's text as UTF-8, or empty when it is not text.
std::string TextOf(std::string bytes, const std::string& codePage) {
  if (bytes.size() >= 2 &&
      ((bytes[0] == '\xff' && bytes[1] == '\xfe') || (bytes[0] == '\xfe' && bytes[1] == '\xff'))) {
    return ToUtf8(bytes, "UTF-16");
  }
  if (bytes.compare(0, 3, "\xef\xbb\xbf") == 0) bytes.erase(0, 3);
  size_t control = 0;
  for (unsigned char c : bytes) {
    if (c == 0) return {};
    control += c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f';
  }
  if (control * 100 > bytes.size() * kMostControlPerHundred) return {};
  if (ValidUtf8(bytes)) return bytes;
  std::string text = ToUtf8(bytes, codePage.empty() ? "CP1252" : codePage.c_str());
  return text.empty() ? ToUtf8(bytes, "CP1252") : text;
}

// Reads a string as a file.
struct MemoryFile {
  std::string bytes;
  size_t at = 0;
  static int Read(void* opaque, uint8_t* buffer, int size) {
    auto* file = static_cast<MemoryFile*>(opaque);
    const size_t n = std::min<size_t>(size, file->bytes.size() - file->at);
    if (n == 0) return AVERROR_EOF;
    std::memcpy(buffer, file->bytes.data() + file->at, n);
    file->at += n;
    return static_cast<int>(n);
  }
  static int64_t Seek(void* opaque, int64_t offset, int whence) {
    auto* file = static_cast<MemoryFile*>(opaque);
    const int64_t size = static_cast<int64_t>(file->bytes.size());
    if (whence == AVSEEK_SIZE) return size;
    const int64_t base = whence == SEEK_CUR   ? static_cast<int64_t>(file->at)
                         : whence == SEEK_END ? size
                                              : 0;
    if (base + offset < 0 || base + offset > size) return AVERROR(EINVAL);
    file->at = static_cast<size_t>(base + offset);
    return base + offset;
  }
};

bool IsAssStyled(AVCodecID id) { return id == AV_CODEC_ID_ASS || id == AV_CODEC_ID_SSA; }

}  // namespace

struct SubtitleBurner::State {
  int width = 0;
  int height = 0;
  double displayAspect = 4.0 / 3;
  ASS_Library* library = nullptr;
  ASS_Renderer* renderer = nullptr;
  ASS_Track* track = nullptr;
  CodecPtr decoder;  // of the source's track
  bool fontsReady = false;
  int events = 0;

  ~State() {
    if (track != nullptr) ass_free_track(track);
    if (renderer != nullptr) ass_renderer_done(renderer);
    if (library != nullptr) ass_library_done(library);
  }

  // A track with header: the decoder's own for ASS styled text, else the television style.
  std::string NewTrack(const AVCodecContext* codec) {
    track = ass_new_track(library);
    if (track == nullptr) return "out of memory";
    if (IsAssStyled(codec->codec_id) && codec->subtitle_header_size > 0) {
      ass_process_codec_private(track, reinterpret_cast<char*>(codec->subtitle_header),
                                codec->subtitle_header_size);
    } else {
      char header[sizeof kTelevisionHeader + 32];
      const int scriptWidth = static_cast<int>(std::lround(kScriptHeight * displayAspect));
      const int n =
          std::snprintf(header, sizeof header, kTelevisionHeader, scriptWidth, kScriptHeight);
      ass_process_codec_private(track, header, n);
    }
    return {};
  }

  void Decode(AVCodecContext* codec, AVPacket* packet, int64_t originUs) {
    AVSubtitle subtitle{};
    int got = 0;
    if (avcodec_decode_subtitle2(codec, &subtitle, &got, packet) < 0 || got == 0) return;
    if (subtitle.pts != AV_NOPTS_VALUE) {
      const int64_t startMs = (subtitle.pts - originUs) / 1000 + subtitle.start_display_time;
      const int64_t durationMs =
          static_cast<int64_t>(subtitle.end_display_time) - subtitle.start_display_time;
      for (unsigned i = 0; i < subtitle.num_rects; ++i) {
        char* line = subtitle.rects[i]->ass;
        if (line == nullptr) continue;
        ass_process_chunk(track, line, static_cast<int>(std::strlen(line)), startMs,
                          durationMs > 0 ? durationMs : 5000);
        ++events;
      }
    }
    avsubtitle_free(&subtitle);
  }
};

SubtitleBurner::SubtitleBurner(int width, int height, double displayAspect)
    : state_(std::make_unique<State>()) {
  state_->width = width;
  state_->height = height;
  state_->displayAspect = displayAspect;
  state_->library = ass_library_init();
  if (state_->library != nullptr) ass_set_message_cb(state_->library, Quiet, nullptr);
}

SubtitleBurner::~SubtitleBurner() = default;

bool SubtitleBurner::active() const { return state_->events > 0; }

std::string SubtitleBurner::LoadFile(int fd, const std::string& codePage) {
  if (state_->library == nullptr) return "no subtitle renderer";
  MemoryFile file;
  char buffer[65536];
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::string("cannot read the subtitles: ") + std::strerror(errno);
    if (n == 0) break;
    file.bytes.append(buffer, static_cast<size_t>(n));
    at += n;
    if (file.bytes.size() > kMostFileBytes) return "too large for subtitles";
  }
  file.bytes = TextOf(std::move(file.bytes), codePage);
  if (file.bytes.empty()) return "no text";

  constexpr int kBufferSize = 4096;
  auto* ioBuffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
  AVIOContext* io = ioBuffer == nullptr
                        ? nullptr
                        : avio_alloc_context(ioBuffer, kBufferSize, 0, &file, MemoryFile::Read,
                                             nullptr, MemoryFile::Seek);
  AVFormatContext* format = io == nullptr ? nullptr : avformat_alloc_context();
  std::string error;
  if (format == nullptr) {
    error = "out of memory";
  } else {
    format->pb = io;
    format->flags |= AVFMT_FLAG_CUSTOM_IO;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "format_whitelist", "srt,ass,webvtt", 0);
    if (avformat_open_input(&format, "subtitles", nullptr, &options) < 0) {
      error = "no subtitles in it";  // avformat_open_input has freed format
    }
    av_dict_free(&options);
  }
  if (error.empty()) {
    const AVStream* stream = format->nb_streams > 0 ? format->streams[0] : nullptr;
    const AVCodec* codec =
        stream == nullptr ? nullptr : avcodec_find_decoder(stream->codecpar->codec_id);
    CodecPtr decoder(codec == nullptr ? nullptr : avcodec_alloc_context3(codec));
    if (decoder) decoder->pkt_timebase = stream->time_base;
    if (!decoder || avcodec_parameters_to_context(decoder.get(), stream->codecpar) < 0 ||
        avcodec_open2(decoder.get(), codec, nullptr) < 0) {
      error = "no subtitles in it";
    } else if ((error = state_->NewTrack(decoder.get())).empty()) {
      AVPacket* packet = av_packet_alloc();
      while (packet != nullptr && av_read_frame(format, packet) >= 0) {
        state_->Decode(decoder.get(), packet, 0);
        av_packet_unref(packet);
      }
      av_packet_free(&packet);
      if (state_->events == 0) error = "no subtitles in it";
    }
  }
  if (format != nullptr) avformat_close_input(&format);
  if (io != nullptr) {
    av_freep(&io->buffer);
    avio_context_free(&io);
  } else {
    av_free(ioBuffer);
  }
  return error;
}

std::string SubtitleBurner::OpenTrack(const AVFormatContext* source, const AVStream* track) {
  if (state_->library == nullptr) return "no subtitle renderer";
  const AVCodec* codec = avcodec_find_decoder(track->codecpar->codec_id);
  if (codec == nullptr) return "no decoder for the subtitles";
  state_->decoder.reset(avcodec_alloc_context3(codec));
  if (!state_->decoder) return "out of memory";
  state_->decoder->pkt_timebase = track->time_base;
  if (avcodec_parameters_to_context(state_->decoder.get(), track->codecpar) < 0 ||
      avcodec_open2(state_->decoder.get(), codec, nullptr) < 0) {
    state_->decoder.reset();
    return "the subtitles' decoder cannot start";
  }
  // Fonts a film carries for its styled subtitles.
  for (unsigned i = 0; i < source->nb_streams; ++i) {
    const AVStream* stream = source->streams[i];
    const AVDictionaryEntry* type = av_dict_get(stream->metadata, "mimetype", nullptr, 0);
    const AVDictionaryEntry* name = av_dict_get(stream->metadata, "filename", nullptr, 0);
    if (stream->codecpar->codec_type == AVMEDIA_TYPE_ATTACHMENT && type != nullptr &&
        name != nullptr && std::strstr(type->value, "font") != nullptr) {
      ass_add_font(state_->library, name->value,
                   reinterpret_cast<const char*>(stream->codecpar->extradata),
                   stream->codecpar->extradata_size);
    }
  }
  return state_->NewTrack(state_->decoder.get());
}

void SubtitleBurner::AddPacket(const AVPacket* packet, int64_t originUs) {
  if (!state_->decoder || state_->track == nullptr) return;
  AVPacket* copy = av_packet_clone(packet);
  if (copy == nullptr) return;
  // The decoder reports its times in microseconds.
  state_->Decode(state_->decoder.get(), copy, originUs);
  av_packet_free(&copy);
}

void SubtitleBurner::Burn(AVFrame* frame, int64_t ms) {
  State& s = *state_;
  if (s.events == 0) return;
  if (s.renderer == nullptr) {
    s.renderer = ass_renderer_init(s.library);
    if (s.renderer == nullptr) {
      s.events = 0;
      return;
    }
    ass_set_frame_size(s.renderer, s.width, s.height);
    ass_set_storage_size(s.renderer, s.width, s.height);
    // libass takes the shape it must undo: the coded frame's against the screen's, so that a
    // letter is as wide on a 16:9 screen as on a 4:3 one.
    ass_set_pixel_aspect(s.renderer, (static_cast<double>(s.width) / s.height) / s.displayAspect);
    ass_set_fonts(s.renderer, nullptr, "sans-serif", ASS_FONTPROVIDER_AUTODETECT, nullptr, 1);
  }
  int changed = 0;
  ASS_Image* images = ass_render_frame(s.renderer, s.track, ms, &changed);
  // The picture may be shared with others (a held picture, the black one): a copy is drawn on.
  if (images == nullptr || av_frame_make_writable(frame) < 0) return;
  for (ASS_Image* image = images; image != nullptr; image = image->next) {
    const uint32_t color = image->color;
    const int r = color >> 24, g = color >> 16 & 0xff, b = color >> 8 & 0xff;
    const int opacity = 255 - static_cast<int>(color & 0xff);
    // The picture's colours (BT.601, limited range).
    const int y = (66 * r + 129 * g + 25 * b + 128) / 256 + 16;
    const int u = (-38 * r - 74 * g + 112 * b + 128) / 256 + 128;
    const int v = (112 * r - 94 * g - 18 * b + 128) / 256 + 128;
    const int x0 = image->dst_x, y0 = image->dst_y;
    const int w = std::min(image->w, frame->width - x0), h = std::min(image->h, frame->height - y0);
    for (int row = 0; row < h; ++row) {
      uint8_t* luma = frame->data[0] + (y0 + row) * frame->linesize[0] + x0;
      const uint8_t* alpha = image->bitmap + row * image->stride;
      for (int col = 0; col < w; ++col) {
        const int a = alpha[col] * opacity / 255;
        luma[col] = static_cast<uint8_t>((luma[col] * (255 - a) + y * a + 127) / 255);
      }
    }
    // Chroma per 2x2 block, weighted by the block's mean coverage.
    for (int row = (y0 & ~1); row < y0 + h; row += 2) {
      uint8_t* cb = frame->data[1] + row / 2 * frame->linesize[1];
      uint8_t* cr = frame->data[2] + row / 2 * frame->linesize[2];
      for (int col = (x0 & ~1); col < x0 + w; col += 2) {
        int sum = 0;
        for (int dy = 0; dy < 2; ++dy) {
          for (int dx = 0; dx < 2; ++dx) {
            const int py = row + dy - y0, px = col + dx - x0;
            if (py >= 0 && py < h && px >= 0 && px < w)
              sum += image->bitmap[py * image->stride + px];
          }
        }
        const int a = sum / 4 * opacity / 255;
        if (a == 0) continue;
        cb[col / 2] = static_cast<uint8_t>((cb[col / 2] * (255 - a) + u * a + 127) / 255);
        cr[col / 2] = static_cast<uint8_t>((cr[col / 2] * (255 - a) + v * a + 127) / 255);
      }
    }
  }
}

}  // namespace rureza
