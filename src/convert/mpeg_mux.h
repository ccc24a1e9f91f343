// The converted video's multiplexer: MPEG-2 video and MPEG audio access units into the plan's
// 2,048-byte packs at its constant mux rate, then padding packs up to the plan's length. Pack i
// is decided from the packets' bytes and times alone (never from when they arrived), so the
// same packets give the same bytes every time:
//   - a stream may send when the model of the decoder's buffer (DVD sizes: 224 KiB of picture,
//     4 KiB of sound, emptied at each access unit's decoding time) has room for the pack's
//     payload and the data is due within a second; of those, the one due first sends;
//   - with none that may send, the pack is a padding pack (PaddingPack, as the tail's are);
//   - a pack waits until every stream that has not ended has a pack's worth queued.
// Content that would reach past the plan's contentPacks (an encoder far over its rate) is cut,
// so the length and the tail hold whatever happens.
// Thread safety: one thread owns a mux.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "conversion/mpeg_layout.h"

namespace rureza {

class MpegMux {
 public:
  explicit MpegMux(const MpegPlan& plan);

  // An access unit (a coded picture, an audio frame) with its 90 kHz times; a picture's decoding
  // time comes before its presentation time when pictures are reordered.
  void AddVideo(std::string_view bytes, uint64_t pts, uint64_t dts);
  void AddAudio(std::string_view bytes, uint64_t pts);
  // No more units of that kind.
  void EndVideo() { video_.ended = true; }
  void EndAudio() { audio_.ended = true; }

  // Makes every pack that can be decided now.
  void Pump();
  // After both ends: the packs left, padding up to the content's end and the tail. The stream
  // is then whole: plan.length bytes in all.
  void Finish();

  // The bytes made and not yet taken.
  std::string& output() { return output_; }
  uint64_t packs() const { return next_; }
  // Bytes of content cut because they did not fit before the tail.
  uint64_t cutBytes() const { return cutBytes_; }
  // Payload bytes that arrived after their decoding time.
  uint64_t lateBytes() const { return lateBytes_; }

 private:
  struct Unit {
    uint64_t end;  // the stream's byte count at the unit's end
    uint64_t pts;
    uint64_t dts;
  };
  struct Stream {
    uint8_t id;
    uint64_t bufferSize;
    std::string data;  // queued bytes; those before start are sent
    size_t start = 0;
    uint64_t sent = 0;        // bytes sent, of the stream's whole sequence
    uint64_t removed = 0;     // bytes the model's decoder has taken out
    std::deque<Unit> units;   // not yet decoded
    uint64_t unitsStart = 0;  // where the first of them starts
    bool ended = false;
    size_t queued() const { return data.size() - start; }
  };

  // Whether pack next_ can be decided now; when it can, makes it.
  bool MakePack();
  // The model's decoder takes out the units due by clock90.
  void Drain(Stream& stream, uint64_t clock90);
  // The unit holding the stream's next unsent byte.
  const Unit& NextUnit(const Stream& stream) const;
  // The first unit that starts within the next size unsent bytes; nullptr when none does.
  const Unit* UnitStartingWithin(const Stream& stream, uint64_t size) const;
  // Room for the payload of a packet from stream in a pack with header bytes before it, and
  // the unit whose times its header carries (nullptr: none).
  size_t Payload(const Stream& stream, size_t before, const Unit** timed) const;
  // Fills the rest of the pack with a packet of stream (and padding where it has too little).
  void Packet(Stream& stream, size_t before, uint64_t clock90);
  void Add(Stream& stream, std::string_view bytes, uint64_t pts, uint64_t dts);

  const MpegPlan plan_;
  Stream video_;
  Stream audio_;
  std::string output_;
  uint64_t next_ = 0;  // the next pack's index
  uint64_t cutBytes_ = 0;
  uint64_t lateBytes_ = 0;
};

}  // namespace rureza
