#include "convert/mpeg_mux.h"

#include <algorithm>

namespace rureza {
namespace {

constexpr size_t kPackHeaderBytes = 14;
constexpr size_t kSystemHeaderBytes = 18;
// A PES packet's start code, length, flags and header length.
constexpr size_t kPesHeaderBytes = 9;
// DVD's buffers, picture less a margin for what the player's buffer keeps besides.
constexpr uint64_t kVideoBuffer = 224 * 1024;
constexpr uint64_t kAudioBuffer = 4096;
// Data is sent at most a second before it is decoded, as the system target decoder allows.
constexpr uint64_t kMostEarly90k = 90000;
// Sent bytes are dropped from a stream's queue in batches of at least this.
constexpr size_t kCompactBytes = 1 << 20;

// A 33-bit presentation or decoding time with its 4-bit prefix and marker bits.
std::string Timestamp(uint8_t prefix, uint64_t t) {
  return {static_cast<char>(prefix << 4 | (t >> 29 & 0x0e) | 1), static_cast<char>(t >> 22),
          static_cast<char>((t >> 14 & 0xfe) | 1), static_cast<char>(t >> 7),
          static_cast<char>((t << 1 & 0xfe) | 1)};
}

// The first pack's system header: the rate bound, one audio and one video stream, and their
// buffer sizes (picture 232 x 1,024 bytes, sound 32 x 128).
std::string SystemHeader(uint32_t muxRate) {
  const uint32_t bound = muxRate / 400;
  return {'\0',
          '\0',
          '\1',
          '\xbb',
          '\0',
          '\x0c',
          static_cast<char>(0x80 | bound >> 15),
          static_cast<char>(bound >> 7),
          static_cast<char>((bound << 1 & 0xfe) | 1),
          '\x04',  // one audio stream, variable rate, not constrained
          '\xe1',  // audio and video locked to the clock, one video stream
          '\x7f',
          '\xe0',
          '\xe0',
          '\xe8',
          '\xc0',
          '\xc0',
          '\x20'};
}

}  // namespace

MpegMux::MpegMux(const MpegPlan& plan) : plan_(plan) {
  video_.id = 0xe0;
  video_.bufferSize = kVideoBuffer;
  audio_.id = 0xc0;
  audio_.bufferSize = kAudioBuffer;
}

void MpegMux::Add(Stream& stream, std::string_view bytes, uint64_t pts, uint64_t dts) {
  if (stream.start >= kCompactBytes && stream.start * 2 >= stream.data.size()) {
    stream.data.erase(0, stream.start);
    stream.start = 0;
  }
  stream.data.append(bytes);
  stream.units.push_back({stream.sent + stream.queued(), pts, dts});
}

void MpegMux::AddVideo(std::string_view bytes, uint64_t pts, uint64_t dts) {
  Add(video_, bytes, pts, dts);
}

void MpegMux::AddAudio(std::string_view bytes, uint64_t pts) { Add(audio_, bytes, pts, pts); }

void MpegMux::Pump() {
  while (MakePack()) {
  }
}

void MpegMux::Finish() {
  video_.ended = audio_.ended = true;
  Pump();
  cutBytes_ += video_.queued() + audio_.queued();
  for (; next_ < plan_.contentPacks + kTailPacks; ++next_) output_ += PaddingPack(plan_, next_);
}

void MpegMux::Drain(Stream& stream, uint64_t clock90) {
  while (!stream.units.empty() && stream.units.front().dts <= clock90) {
    if (stream.units.front().end > stream.sent) {
      // Late: the decoder takes the unit's bytes as they come.
      stream.removed = stream.sent;
      return;
    }
    stream.removed = stream.unitsStart = stream.units.front().end;
    stream.units.pop_front();
  }
}

const MpegMux::Unit& MpegMux::NextUnit(const Stream& stream) const {
  return *std::find_if(stream.units.begin(), stream.units.end(),
                       [&](const Unit& unit) { return unit.end > stream.sent; });
}

const MpegMux::Unit* MpegMux::UnitStartingWithin(const Stream& stream, uint64_t size) const {
  uint64_t start = stream.unitsStart;
  for (const Unit& unit : stream.units) {
    if (start >= stream.sent + size) return nullptr;
    if (start >= stream.sent && unit.end > start) return &unit;
    start = unit.end;
  }
  return nullptr;
}

size_t MpegMux::Payload(const Stream& stream, size_t before, const Unit** timed) const {
  const size_t room = kPackSize - before - kPesHeaderBytes;
  *timed = UnitStartingWithin(stream, room - 5);
  if (*timed == nullptr) return room;
  const size_t times = (*timed)->dts != (*timed)->pts ? 10 : 5;
  // A unit that starts only in the bytes the decoding time would take goes untimed.
  if (times == 10 && UnitStartingWithin(stream, room - 10) != *timed) {
    *timed = nullptr;
    return room;
  }
  return room - times;
}

bool MpegMux::MakePack() {
  if (next_ >= plan_.contentPacks) return false;
  for (Stream* stream : {&video_, &audio_}) {
    if (!stream->ended && stream->queued() < kPackSize) return false;
  }
  const uint64_t clock27 = PackClock(plan_, next_);
  const uint64_t clock90 = clock27 / 300;
  const size_t before = kPackHeaderBytes + (next_ == 0 ? kSystemHeaderBytes : 0);
  Stream* chosen = nullptr;
  uint64_t chosenDts = 0;
  for (Stream* stream : {&audio_, &video_}) {
    Drain(*stream, clock90);
    if (stream->queued() == 0) continue;
    const uint64_t dts = NextUnit(*stream).dts;
    const Unit* timed;
    const uint64_t payload = std::min<uint64_t>(Payload(*stream, before, &timed), stream->queued());
    if (dts > clock90 + kMostEarly90k ||
        stream->sent - stream->removed + payload > stream->bufferSize) {
      continue;
    }
    if (chosen == nullptr || dts < chosenDts) {
      chosen = stream;
      chosenDts = dts;
    }
  }
  if (chosen == nullptr) {
    output_ += PaddingPack(plan_, next_++);
    return true;
  }
  output_ += PackHeader(plan_, clock27);
  if (next_ == 0) output_ += SystemHeader(plan_.muxRate);
  Packet(*chosen, before, clock90);
  ++next_;
  return true;
}

void MpegMux::Packet(Stream& stream, size_t before, uint64_t clock90) {
  const Unit* timed;
  const size_t room = Payload(stream, before, &timed);
  const size_t size = std::min<size_t>(room, stream.queued());
  // Too little for a padding packet behind: stuffing bytes in the header instead.
  const size_t stuffing = room - size < 6 ? room - size : 0;
  const size_t times = timed == nullptr ? 0 : timed->dts != timed->pts ? 10 : 5;
  const size_t headerData = times + stuffing;
  const size_t length = 3 + headerData + size;
  std::string& out = output_;
  out += {'\0',
          '\0',
          '\1',
          static_cast<char>(stream.id),
          static_cast<char>(length >> 8),
          static_cast<char>(length & 0xff),
          '\x81',  // original
          static_cast<char>(times == 10  ? 0xc0
                            : times == 5 ? 0x80
                                         : 0),
          static_cast<char>(headerData)};
  if (times == 10) {
    out += Timestamp(3, timed->pts);
    out += Timestamp(1, timed->dts);
  } else if (times == 5) {
    out += Timestamp(2, timed->pts);
  }
  out.append(stuffing, '\xff');
  if (NextUnit(stream).dts < clock90) lateBytes_ += size;
  out.append(stream.data, stream.start, size);
  stream.start += size;
  stream.sent += size;
  if (room - size >= 6) {
    const size_t padding = room - size - 6;
    out += {'\0',
            '\0',
            '\1',
            '\xbe',
            static_cast<char>(padding >> 8),
            static_cast<char>(padding & 0xff)};
    out.append(padding, '\xff');
  }
}

}  // namespace rureza
