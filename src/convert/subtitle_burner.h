// Subtitles burnt into the converted picture, since the adapter shows none of its own: events of
// a subtitle file (SubRip, ASS/SSA, WebVTT; UTF-8, UTF-16 with its mark, else the legacy code
// page the request names) or of the source's own text track, laid out by libass with the
// system's fonts (fontconfig, read only) and blended into each picture. Plain text gets a style
// made for a television: a line about a fourteenth of the picture high, white with a dark outline
// and shadow, clear of the edges and of the bottom. The file is read from its descriptor and
// decoded in memory: nothing is opened by name but fonts.
// Thread safety: one thread owns a burner.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

extern "C" {
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct AVStream;
}

namespace rureza {

class SubtitleBurner {
 public:
  // For pictures of width x height shown at displayAspect (4:3 or 16:9).
  SubtitleBurner(int width, int height, double displayAspect);
  ~SubtitleBurner();
  SubtitleBurner(const SubtitleBurner&) = delete;
  SubtitleBurner& operator=(const SubtitleBurner&) = delete;

  // Reads the subtitle file behind fd, from its start. Empty when it holds subtitles; else why
  // they are left out (not text, none in it, too large).
  std::string LoadFile(int fd, const std::string& codePage);
  // Takes the source's text track, whose packets come to AddPacket; fonts attached to the
  // source are used too. Empty on success, else why the track cannot be shown.
  std::string OpenTrack(const AVFormatContext* source, const AVStream* track);
  // A packet of that track; times are taken relative to originUs (the source's start).
  void AddPacket(const AVPacket* packet, int64_t originUs);

  // Whether any subtitles were taken.
  bool active() const;
  // Blends the subtitles shown at ms (from the source's start) into a yuv420p frame, made
  // writable first when any are shown.
  void Burn(AVFrame* frame, int64_t ms);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace rureza
