// Songs through the codec functions: a length is what the file can hold, whatever its header
// claims; sources are read through their descriptor wherever it was left; and a conversion gives
// the same bytes every time.
#include <fcntl.h>
#include <unistd.h>

#include "codec/codec_fixture.h"
#include "convert/song_bounds.h"
#include "convert/song_convert.h"

namespace rureza::test {
namespace {

// The checksums FLAC frames carry, bit by bit.
uint32_t Crc(std::string_view bytes, int width, uint32_t polynomial) {
  const uint32_t top = 1u << (width - 1), mask = (top << 1) - 1;
  uint32_t crc = 0;
  for (unsigned char c : bytes) {
    crc ^= uint32_t{c} << (width - 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = ((crc & top) ? (crc << 1) ^ polynomial : crc << 1) & mask;
  }
  return crc;
}

// A FLAC file made by hand: 44.1 kHz, 16-bit stereo, 4096-sample frames of silence (two
// constant subframes), numbered from 0.
std::string FlacStart() {
  // STREAMINFO: blocks 4096..4096, frame sizes unknown, 44100 Hz, 2 channels, 16 bits, and a
  // claimed length of 2^32 - 1 samples (27 hours).
  return std::string("fLaC\x80\0\0\x22\x10\0\x10\0\0\0\0\0\0\0\x0a\xc4\x42\xf0\xff\xff\xff\xff",
                     26) +
         std::string(16, '\0');
}
std::string FlacFrame(uint8_t number, uint32_t samples = 4096, bool damaged = false) {
  // Block size 4096 (code 12), or stated in 16 bits (code 7).
  std::string header =
      std::string("\xff\xf8", 2) + char(samples == 4096 ? 0xc9 : 0x79) + '\x18' + char(number);
  if (samples != 4096) header += std::string{char((samples - 1) >> 8), char(samples - 1)};
  header += char(Crc(header, 8, 0x07) ^ (damaged ? 1 : 0));
  const std::string frame = header + std::string(6, '\0');
  const uint32_t crc = Crc(frame, 16, 0x8005);
  return frame + char(crc >> 8) + char(crc);
}

class SongTest : public CodecTest {
 protected:
  uint64_t FlacSamples(const std::string& bytes) {
    SourceFd source(Write("hand.flac", bytes));
    return FlacBound(source.fd(), bytes.size()).samples;
  }
};

TEST_F(SongTest, AFlacHoldsTheSamplesOfItsLastWholeFrame) {
  std::string ten = FlacStart();
  for (uint8_t n = 0; n < 10; ++n) ten += FlacFrame(n);
  EXPECT_EQ(FlacSamples(ten), 40960u);
  // Cut in the eleventh frame's samples: the tenth is followed by a frame header.
  EXPECT_EQ(FlacSamples(ten + FlacFrame(10).substr(0, 9)), 40960u);
  EXPECT_EQ(FlacSamples(ten + "TAG" + std::string(125, 'x')), 40960u);  // an ID3v1 tag after it
  // A last frame shorter than the others.
  EXPECT_EQ(FlacSamples(ten + FlacFrame(10, 1000)), 41960u);
  // A frame whose header's checksum is wrong is no frame: its samples do not count. Nor do the
  // tenth frame's, its own checksum cut short by one byte.
  EXPECT_EQ(FlacSamples(ten + FlacFrame(10, 4096, true)), 40960u);
  EXPECT_EQ(FlacSamples(ten.substr(0, ten.size() - 1)), 36864u);
  EXPECT_EQ(FlacSamples(FlacStart()), 0u);
}

TEST_F(SongTest, AHeaderIsBelievedOnlyAsFarAsTheFileGoes) {
  // 21 KB whose STREAMINFO claims 18.6 hours (2,952,936,000 samples), or half a second.
  std::string flac = Slurp(Make("a.flac", "sine=frequency=1000:duration=1", {"-ac", "2"}));
  ASSERT_LT(flac.size(), 22000u);
  EXPECT_EQ(Samples(Path("a.flac")), 44100u);
  flac.replace(22, 4, "\xb0\x01\x96\x40");
  EXPECT_EQ(Samples(Write("lying.flac", flac)), 44100u);
  flac.replace(22, 4, std::string("\0\0\x56\x22", 4));
  EXPECT_EQ(Samples(Write("short.flac", flac)), 22050u);
  const uint64_t n = 2 * 44100;
  // A WAV whose data chunk claims 2 GiB, and one that claims one second.
  std::string wav = Slurp(Make("a.wav", "sine=duration=2", {"-ac", "2"}));
  const size_t data = wav.find("data") + 4;
  EXPECT_EQ(Samples(Write("lying.wav", wav.replace(data, 4, std::string("\0\0\0\x80", 4)))), n);
  EXPECT_EQ(Samples(Write("short.wav", wav.replace(data, 4, std::string("\x10\xb1\x02\0", 4)))),
            44100u);
  // Matroska claiming 37 hours: held to what its bytes carry at 1 kbit/s.
  std::string mka = Slurp(Make("a.mka", "sine=duration=2", {"-c:a", "libopus"}));
  mka.replace(mka.find("\x44\x89\x88") + 3, 8, std::string("\x41\xa0\0\0\0\0\0\0", 8));
  EXPECT_LE(Samples(Write("lying.mka", mka)), mka.size() * 8 * 48000 / 1000);
}

TEST_F(SongTest, ACutSongHoldsWhatItsBytesHold) {
  // Noise, so that every second takes the same bytes; cut to three quarters.
  const std::string noise = "anoisesrc=duration=2:sample_rate=48000";
  const struct {
    std::string name;
    std::vector<std::string> args;
  } songs[] = {
      {"n.flac", {"-ac", "2"}},
      {"n.m4a", {"-c:a", "aac", "-b:a", "256k", "-movflags", "+faststart"}},
      {"n.opus", {"-b:a", "128k", "-page_duration", "100000"}},  // pages of 0.1 s
      {"n.ogg", {"-c:a", "libvorbis", "-q:a", "8", "-page_duration", "100000"}},
      {"n.aiff", {}},
  };
  for (const auto& song : songs) {
    const std::string whole = Slurp(Make(song.name, noise, song.args));
    const uint64_t samples = Samples(Path(song.name));
    EXPECT_NEAR(samples, 96000, 2048) << song.name;
    const uint64_t cut = Samples(Write("cut-" + song.name, whole.substr(0, whole.size() * 3 / 4)));
    // Less the headers' share, and the frame or page the cut goes through.
    EXPECT_NEAR(double(cut) / samples, 0.72, 0.04) << song.name;
  }
  // An Opus stream's first 312 samples are the encoder's, skipped by its pre-skip.
  SourceFd opus(Path("n.opus"));
  EXPECT_EQ(OggBound(opus.fd(), Slurp(Path("n.opus")).size(), 0).samples, 96000u);
}

TEST_F(SongTest, ASourceIsReadThroughItsDescriptorWhereverItsOffsetWasLeft) {
  const std::string flac = Make("a.flac", "sine=frequency=1000:duration=1", {"-ac", "2"});
  SourceFd source(flac);
  ::lseek(source.fd(), 4000, SEEK_SET);
  SongFacts facts;
  EXPECT_EQ(ProbeSong(source.fd(), "a.flac", &facts), "");
  EXPECT_EQ(facts.samples, 44100u);
  ::lseek(source.fd(), 0, SEEK_END);
  EXPECT_EQ(ProbeSong(source.fd(), "a.flac", &facts), "");
  EXPECT_EQ(facts.samples, 44100u);
  // A file that is no song says what its name claims it is.
  SourceFd text(Write("notes.flac", "Dear diary"));
  EXPECT_TRUE(ProbeSong(text.fd(), "notes.flac", &facts).starts_with("not a FLAC song: "));
}

TEST_F(SongTest, TheSameRequestGivesTheSameBytesEveryTime) {
  const std::string tones = "aevalsrc=sin(2*PI*t*200*(1+floor(t/2))):s=44100:d=6";
  for (const auto& [name, args] : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {"d.flac", {"-ac", "2"}}, {"d.opus", {}}, {"d.m4a", {"-c:a", "aac"}}}) {
    const std::string path = Make(name, tones, args);
    for (uint64_t first : {0, 100}) {  // from the start, and from a seek (2.4 s)
      uint64_t written = 0;
      const Converted once = Mp3(path, first, 250, &written);
      EXPECT_EQ(once.error, "") << name;
      EXPECT_EQ(once.bytes.size(), (250 - first) * 768) << name;
      EXPECT_EQ(written, once.bytes.size()) << name;
      EXPECT_EQ(BadMp3Frames(once.bytes), 0) << name;
      EXPECT_TRUE(Mp3(path, first, 250).bytes == once.bytes) << name << " from " << first;
    }
  }
}

}  // namespace
}  // namespace rureza::test
