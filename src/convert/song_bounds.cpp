#include "convert/song_bounds.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace rureza {
namespace {

// How much of a file's end is read to find its last frame or page: a first look, and at most
// this much where the first look finds nothing whole (a FLAC of large frames, a tag at the end).
constexpr uint64_t kFirstLook = 64 << 10;
constexpr uint64_t kLongestLook = 4 << 20;
// Zero bytes after what was read, so that a header near the end is parsed without a bounds
// check per byte (the longest FLAC frame header is 16 bytes).
constexpr size_t kPadding = 16;

// count bytes at offset at (fewer at the file's end, none on an error).
std::string ReadAt(int fd, uint64_t at, size_t count) {
  std::string bytes(count, '\0');
  size_t got = 0;
  while (got < count) {
    const ssize_t n = ::pread(fd, bytes.data() + got, count - got, static_cast<off_t>(at + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  bytes.resize(got);
  return bytes;
}

uint8_t Byte(std::string_view bytes, size_t i) { return static_cast<uint8_t>(bytes[i]); }
uint64_t BigEndian(std::string_view bytes, size_t at, int count) {
  uint64_t value = 0;
  for (int i = 0; i < count; ++i) value = value << 8 | Byte(bytes, at + i);
  return value;
}
uint64_t LittleEndian(std::string_view bytes, size_t at, int count) {
  uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = value << 8 | Byte(bytes, at + i);
  return value;
}

// CRCs as FLAC and Ogg define them: most significant bit first, no reflection, starting at 0.
template <typename T, T kPolynomial>
constexpr std::array<T, 256> CrcTable() {
  std::array<T, 256> table{};
  constexpr int kTop = sizeof(T) * 8 - 8;
  for (unsigned i = 0; i < 256; ++i) {
    T crc = static_cast<T>(i << kTop);
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<T>((crc & (T{1} << (kTop + 7))) ? (crc << 1) ^ kPolynomial : crc << 1);
    }
    table[i] = crc;
  }
  return table;
}
constexpr auto kCrc8 = CrcTable<uint8_t, 0x07>();
constexpr auto kCrc16 = CrcTable<uint16_t, 0x8005>();
constexpr auto kCrc32 = CrcTable<uint32_t, 0x04c11db7>();

uint8_t Crc8(const uint8_t* p, size_t n) {
  uint8_t crc = 0;
  while (n-- > 0) crc = kCrc8[crc ^ *p++];
  return crc;
}
uint16_t Crc16(uint16_t crc, const uint8_t* p, size_t n) {
  while (n-- > 0) crc = static_cast<uint16_t>(crc << 8 ^ kCrc16[(crc >> 8) ^ *p++]);
  return crc;
}
uint32_t Crc32(uint32_t crc, const uint8_t* p, size_t n) {
  while (n-- > 0) crc = crc << 8 ^ kCrc32[(crc >> 24) ^ *p++];
  return crc;
}

// ---- FLAC ------------------------------------------------------------------------------------

struct StreamInfo {
  uint32_t minBlock = 0, maxBlock = 0, rate = 0, channels = 0, bits = 0;
};

struct FlacFrame {
  size_t at = 0;        // in the bytes read
  uint64_t number = 0;  // the frame's number, or its first sample's (variable block sizes)
  bool variable = false;
  uint32_t block = 0;  // samples
};

// Where the frames begin (after an ID3v2 tag, "fLaC" and the metadata blocks) and what
// STREAMINFO says. False when the file is no FLAC.
bool FlacStart(int fd, uint64_t fileSize, uint64_t* audio, StreamInfo* info) {
  uint64_t at = 0;
  const std::string id3 = ReadAt(fd, 0, 10);
  if (id3.size() == 10 && id3.starts_with("ID3")) {
    const uint64_t length = (Byte(id3, 6) & 0x7f) << 21 | (Byte(id3, 7) & 0x7f) << 14 |
                            (Byte(id3, 8) & 0x7f) << 7 | (Byte(id3, 9) & 0x7f);
    at = 10 + length + ((Byte(id3, 5) & 0x10) ? 10 : 0);
  }
  if (ReadAt(fd, at, 4) != "fLaC") return false;
  at += 4;
  for (int block = 0; at < fileSize; ++block) {
    const std::string header = ReadAt(fd, at, 4 + 18);
    if (header.size() < 4) break;
    if (block == 0) {
      if ((Byte(header, 0) & 0x7f) != 0 || header.size() < 22) return false;  // no STREAMINFO
      info->minBlock = static_cast<uint32_t>(BigEndian(header, 4, 2));
      info->maxBlock = static_cast<uint32_t>(BigEndian(header, 6, 2));
      const uint64_t packed = BigEndian(header, 14, 3);
      info->rate = static_cast<uint32_t>(packed >> 4);
      info->channels = static_cast<uint32_t>((packed >> 1 & 7) + 1);
      info->bits = static_cast<uint32_t>(((packed & 1) << 4 | Byte(header, 17) >> 4) + 1);
    }
    at += 4 + BigEndian(header, 1, 3);
    if (Byte(header, 0) & 0x80) break;  // the last metadata block
  }
  *audio = at;
  return true;
}

constexpr uint32_t kFlacRates[12] = {0,     88200, 176400, 192000, 8000,  16000,
                                     22050, 24000, 32000,  44100,  48000, 96000};
constexpr uint32_t kFlacBits[8] = {0, 8, 12, 0, 16, 20, 24, 32};

// A frame header at p (kPadding readable bytes at least) that fits the stream and has a right
// CRC-8.
bool FlacFrameAt(const uint8_t* p, const StreamInfo& info, FlacFrame* frame) {
  if (p[0] != 0xff || (p[1] & 0xfe) != 0xf8) return false;
  const unsigned blockCode = p[2] >> 4, rateCode = p[2] & 15, channelCode = p[3] >> 4,
                 bitsCode = p[3] >> 1 & 7;
  if (blockCode == 0 || rateCode == 15 || channelCode > 10 || bitsCode == 3 || (p[3] & 1)) {
    return false;
  }
  const uint32_t channels = channelCode < 8 ? channelCode + 1 : 2;
  if (channels != info.channels || (bitsCode != 0 && kFlacBits[bitsCode] != info.bits)) {
    return false;
  }
  frame->variable = (p[1] & 1) != 0;
  // The frame's or sample's number, coded as UTF-8 is (up to 36 bits in 7 bytes).
  size_t k = 4;
  int ones = 0;
  while (ones < 8 && (p[k] & (0x80 >> ones))) ++ones;
  if (ones == 1 || ones > (frame->variable ? 7 : 6)) return false;
  const int extra = ones > 0 ? ones - 1 : 0;
  uint64_t number = p[k] & (0x7f >> ones);
  for (int i = 1; i <= extra; ++i) {
    if ((p[k + i] & 0xc0) != 0x80) return false;
    number = number << 6 | (p[k + i] & 0x3f);
  }
  k += 1 + extra;
  uint32_t block;
  if (blockCode == 1) {
    block = 192;
  } else if (blockCode <= 5) {
    block = 576u << (blockCode - 2);
  } else if (blockCode == 6) {
    block = p[k++] + 1u;
  } else if (blockCode == 7) {
    block = (p[k] << 8 | p[k + 1]) + 1u;
    k += 2;
  } else {
    block = 256u << (blockCode - 8);
  }
  uint32_t rate = rateCode == 0 ? info.rate : rateCode <= 11 ? kFlacRates[rateCode] : 0;
  if (rateCode == 12) {
    rate = p[k++] * 1000u;
  } else if (rateCode >= 13) {
    rate = (p[k] << 8 | p[k + 1]) * (rateCode == 14 ? 10u : 1u);
    k += 2;
  }
  if (rate != info.rate || Crc8(p, k) != p[k]) return false;
  frame->number = number;
  frame->block = block;
  return true;
}

// b is the frame that follows a.
bool Follows(const FlacFrame& a, const FlacFrame& b) {
  return a.variable == b.variable && b.number == (a.variable ? a.number + a.block : a.number + 1);
}

// The end of the last whole frame in bytes (read from the file, kPadding zero bytes after them),
// in samples; false when none is whole.
bool LastFlacFrameEnd(const std::string& bytes, const StreamInfo& info, uint64_t* samples) {
  const size_t length = bytes.size() - kPadding;
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  std::vector<FlacFrame> frames;
  for (size_t i = 0; i < length; ++i) {
    FlacFrame frame;
    if (p[i] == 0xff && FlacFrameAt(p + i, info, &frame)) {
      frame.at = i;
      frames.push_back(frame);
    }
  }
  // Where the frames may end: the file's end, or an ID3v1 tag's start.
  std::vector<size_t> ends = {length};
  if (length >= 128 && bytes.compare(length - 128, 3, "TAG") == 0)
    ends.insert(ends.begin(), length - 128);
  bool found = false;
  uint32_t nominal = info.minBlock == info.maxBlock ? info.maxBlock : 0;
  for (size_t a = 0; a < frames.size(); ++a) {
    const FlacFrame& frame = frames[a];
    // No frame is longer than its samples stored verbatim, with a bit more for the side
    // channel, and its headers.
    const size_t longest = size_t{frame.block} * info.channels * (info.bits + 1) / 8 + 1024;
    uint16_t crc = 0;
    size_t at = frame.at;
    bool whole = false;
    for (size_t b = a + 1; b < frames.size() && frames[b].at - frame.at <= longest && !whole; ++b) {
      crc = Crc16(crc, p + at, frames[b].at - at);
      at = frames[b].at;
      whole = crc == 0 && Follows(frame, frames[b]);
    }
    if (whole) {
      nominal = frame.block;  // not the last frame: every frame before the last has this many
    } else {
      for (size_t end : ends) {
        if (end < at || end - frame.at > longest || whole) continue;
        crc = Crc16(crc, p + at, end - at);
        at = end;
        whole = crc == 0;
      }
    }
    if (!whole) continue;
    const uint64_t first =
        frame.variable ? frame.number : frame.number * (nominal ? nominal : frame.block);
    *samples = found ? std::max(*samples, first + frame.block) : first + frame.block;
    found = true;
  }
  return found;
}

// ---- Ogg -------------------------------------------------------------------------------------

struct OggPage {
  uint8_t flags = 0;
  int64_t granule = -1;
  uint32_t serial = 0;
  size_t length = 0;
};

// A whole page at bytes[at] with a right CRC-32.
bool OggPageAt(std::string_view bytes, size_t at, OggPage* page) {
  if (bytes.size() - at < 27 || bytes.compare(at, 5, std::string_view("OggS\0", 5)) != 0) {
    return false;
  }
  const size_t segments = Byte(bytes, at + 26);
  if (bytes.size() - at < 27 + segments) return false;
  size_t length = 27 + segments;
  for (size_t i = 0; i < segments; ++i) length += Byte(bytes, at + 27 + i);
  if (bytes.size() - at < length) return false;
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data() + at);
  const uint8_t zeros[4] = {};
  uint32_t crc = Crc32(0, p, 22);
  crc = Crc32(crc, zeros, 4);
  crc = Crc32(crc, p + 26, length - 26);
  if (crc != LittleEndian(bytes, at + 22, 4)) return false;
  page->flags = Byte(bytes, at + 5);
  page->granule = static_cast<int64_t>(LittleEndian(bytes, at + 6, 8));
  page->serial = static_cast<uint32_t>(LittleEndian(bytes, at + 14, 4));
  page->length = length;
  return true;
}

}  // namespace

SampleBound FlacBound(int fd, uint64_t fileSize) {
  uint64_t audio = 0;
  StreamInfo info;
  if (!FlacStart(fd, fileSize, &audio, &info) || info.rate == 0) return {};
  if (audio >= fileSize) return {0, true};
  for (uint64_t look = kFirstLook;; look *= 4) {
    const uint64_t from = fileSize - std::min(look, fileSize - audio);
    std::string bytes = ReadAt(fd, from, fileSize - from);
    bytes.append(kPadding, '\0');
    uint64_t samples = 0;
    if (LastFlacFrameEnd(bytes, info, &samples)) return {samples, true};
    if (from == audio) return {0, true};  // every byte of audio looked at: no whole frame
    if (look >= kLongestLook) return {};
  }
}

SampleBound OggBound(int fd, uint64_t fileSize, int streamIndex) {
  // The logical streams begin one page each, at the file's start, in the order FFmpeg numbers
  // them; an Opus stream's first packet states its pre-skip.
  const std::string start = ReadAt(fd, 0, kFirstLook);
  std::vector<std::pair<uint32_t, uint64_t>> streams;  // serial, pre-skip
  OggPage page;
  for (size_t at = 0; OggPageAt(start, at, &page) && (page.flags & 2); at += page.length) {
    const size_t packet = at + 27 + Byte(start, at + 26);
    const bool opus = start.compare(packet, 8, "OpusHead") == 0 && start.size() >= packet + 12;
    streams.emplace_back(page.serial, opus ? LittleEndian(start, packet + 10, 2) : 0);
  }
  if (streamIndex < 0 || static_cast<size_t>(streamIndex) >= streams.size()) return {};
  const auto [serial, preSkip] = streams[static_cast<size_t>(streamIndex)];
  for (uint64_t look = 2 * kFirstLook;; look *= 4) {  // a page takes up to 65,307 bytes
    const uint64_t from = fileSize - std::min(look, fileSize);
    const std::string bytes = ReadAt(fd, from, fileSize - from);
    for (size_t at = bytes.size(); at-- > 0;) {
      if (bytes[at] != 'O' || !OggPageAt(bytes, at, &page)) continue;
      const bool ours = page.serial == serial;
      if (!ours && std::none_of(streams.begin(), streams.end(),
                                [&](const auto& s) { return s.first == page.serial; })) {
        return {};  // the file goes on with another chained stream
      }
      if (ours && page.granule >= 0) {
        const uint64_t granule = static_cast<uint64_t>(page.granule);
        return {granule > preSkip ? granule - preSkip : 0, true};
      }
    }
    if (from == 0 || look >= kLongestLook) return {};
  }
}

bool WavData(int fd, uint64_t fileSize, ByteRange* data) {
  static constexpr char kWave64[] = "riff\x2e\x91\xcf\x11\xa5\xd6\x28\xdb\x04\xc1\x00\x00";
  const std::string head = ReadAt(fd, 0, 40);
  if (head.size() < 12) return false;
  if ((head.starts_with("RIFF") || head.starts_with("RF64")) && head.compare(8, 4, "WAVE") == 0) {
    uint64_t stated = 0;  // RF64: the data's length, in its ds64 chunk
    for (uint64_t at = 12; at + 8 <= fileSize;) {
      const std::string chunk = ReadAt(fd, at, 24);
      if (chunk.size() < 8) break;
      const uint64_t length = LittleEndian(chunk, 4, 4);
      if (chunk.starts_with("ds64") && chunk.size() == 24) stated = LittleEndian(chunk, 16, 8);
      if (chunk.starts_with("data")) {
        data->begin = at + 8;
        const uint64_t claimed = length == 0xffffffff ? (stated ? stated : fileSize) : length;
        data->end = std::min(fileSize, data->begin + std::min(claimed, fileSize));
        data->begin = std::min(data->begin, data->end);
        return true;
      }
      at += 8 + length + (length & 1);
    }
    return false;
  }
  if (head.size() < 40 || head.compare(0, 16, std::string_view(kWave64, 16)) != 0) return false;
  // Wave64: 16-byte chunk names, 8-byte lengths that count the chunk's header, 8-byte alignment.
  for (uint64_t at = 40; at + 24 <= fileSize;) {
    const std::string chunk = ReadAt(fd, at, 24);
    if (chunk.size() < 24) break;
    const uint64_t length = LittleEndian(chunk, 16, 8);
    if (length < 24) break;
    if (chunk.starts_with("data")) {
      data->begin = std::min(at + 24, fileSize);
      data->end = std::max(data->begin, length > fileSize - at ? fileSize : at + length);
      return true;
    }
    at += (length + 7) & ~uint64_t{7};
  }
  return false;
}

bool AiffData(int fd, uint64_t fileSize, ByteRange* data) {
  const std::string head = ReadAt(fd, 0, 12);
  if (head.size() < 12 || !head.starts_with("FORM") ||
      (head.compare(8, 4, "AIFF") != 0 && head.compare(8, 4, "AIFC") != 0)) {
    return false;
  }
  for (uint64_t at = 12; at + 8 <= fileSize;) {
    const std::string chunk = ReadAt(fd, at, 16);
    if (chunk.size() < 8) break;
    const uint64_t length = BigEndian(chunk, 4, 4);
    if (chunk.starts_with("SSND")) {
      if (chunk.size() < 16) return false;
      data->end = std::min(fileSize, at + 8 + length);
      data->begin = std::min(data->end, at + 16 + BigEndian(chunk, 8, 4));
      return true;
    }
    at += 8 + length + (length & 1);
  }
  return false;
}

uint32_t LowestBitRate(int codecId) {
  switch (codecId) {
    // MPEG audio has no frame smaller than 8 kbit/s at 8 kHz allows, nor AC-3 than 32 kbit/s.
    case AV_CODEC_ID_MP1:
    case AV_CODEC_ID_MP2:
    case AV_CODEC_ID_MP3:
      return 8000;
    case AV_CODEC_ID_AC3:
    case AV_CODEC_ID_EAC3:
      return 32000;
    // WMA's lowest rates (voice at 8 kHz) are 4-5 kbit/s.
    case AV_CODEC_ID_WMAV1:
    case AV_CODEC_ID_WMAV2:
    case AV_CODEC_ID_WMAVOICE:
      return 4000;
    // The variable-rate codecs (AAC, Vorbis, Opus, WMA Pro) and the lossless ones (APE,
    // WavPack, ALAC, FLAC, TTA, TAK) code digital silence in a few bytes a frame: a song with
    // long quiet stretches may average barely more. 1 kbit/s never cuts a real song and still
    // holds a 21 KB file to under three minutes.
    default:
      return 1000;
  }
}

}  // namespace rureza
