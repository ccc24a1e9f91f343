// Every kind of reply as a worked example, byte for byte: what the adapter sends and each byte
// the server owes, written out literally (see support/transcript.h for the notation).
#include "support/transcript.h"

#include <gtest/gtest.h>

#include "support/faults.h"
#include "support/fixture.h"

namespace rureza::test {
namespace {

using TranscriptTest = ServerTest;

TEST_F(TranscriptTest, AudioIsTheLengthBlockThenTheFile) {
  Start();
  RunTranscript(R"(
    audio/a.mp3 = offsets 100000
    > "<31a.mp3"
    < "100000" '\0'*250
    < audio/a.mp3[0:]
    < end
    sends 5
    audio/b.mp3 = offsets 65536
    > "<31./b.mp3"
    < "65536" '\0'*251 audio/b.mp3[0:]
    < end
    sends 4  # the tail step sends its nothing too
    audio/c.mp3 = offsets 1000
    > "<31c.mp3"
    < "1000" '\0'*252 audio/c.mp3[0:]
    < end
    audio/d.mp3 = offsets 0
    > "<31d.mp3"
    < "0" '\0'*255
    < end
    sends 2
  )",
                media_.path(), port());
}

TEST_F(TranscriptTest, StillImagesGoInChunksOf32767PaddedWithZeroDigits) {
  Start();
  RunTranscript(R"(
    photo/a.jpg = pattern 100000
    > "<33a.jpg"
    < "100000" '\0'*250 photo/a.jpg[0:] '0'*31068
    < end
    sends 5
    photo/b.jpg = pattern 32768
    > "<33b.jpg"
    < "32768" '\0'*251 photo/b.jpg[0:] '0'*32766
    < end
    sends 3
    photo/c.jpg = pattern 32767
    > "<33c.jpg"
    < "32767" '\0'*251 photo/c.jpg[0:]
    < end
    sends 2
    photo/d.jpg = pattern 0
    > "<33d.jpg"
    < "0" '\0'*255
    < end
    sends 1
  )",
                media_.path(), port());
}

TEST_F(TranscriptTest, TheFirmwareImageGoesInChunksOf4096AtTheLengthItAnnounced) {
  SetPathText(&settings_.firmwareFile, (media_.path() / "fw.bin").string());
  InstallFaults();
  Start();
  // The rest of the request block is not used, not even as a path.
  RunTranscript(R"(
    fw.bin = pattern 10000
    > "<7../../etc/passwd"
    < "10000" '\0'*251 fw.bin[0:]
    < end
    sends 4
    fw.bin = pattern 8192
    > "<7"
    < "8192" '\0'*252 fw.bin[0:]
    < end
    sends 3
    fw.bin = pattern 0
    > "<7"
    < "0" '\0'*255
    < end
    sends 1
  )",
                media_.path(), port());
  // A file that grows while it is read goes out at the length it announced.
  GrowFilesWhileRead(true);
  RunTranscript(R"(
    fw.bin = pattern 5000
    > "<7"
    < "5000" '\0'*252 fw.bin[0:]
    < end
  )",
                media_.path(), port());
}

TEST_F(TranscriptTest, AviHandshakeThenTheMovieData) {
  Start();
  RunTranscript(R"(
    video/a.avi = offsets 1000000
    > "<32a.avi"
    < "1000000filesize" '\0'*241 video/a.avi[0:32768] "1000000filesize" '\0'*241
    < video/a.avi[0:32768] "1000000filesize" '\0'*241
    > "900000"
    < video/a.avi[900000:932768]
    > "950000"
    > "2048"
    < '\0'*3 "1000000filesize" '\0'*238
    < video/a.avi[2048:950000]
    < end
    # A probe past the end keeps the header's bytes behind the file's; movie start at its end.
    video/b.avi = offsets 50000
    > "<32b.avi"
    < "50000filesize" '\0'*243 video/b.avi[0:32768] "50000filesize" '\0'*243
    < video/b.avi[0:32768] "50000filesize" '\0'*243
    > "40000"
    < video/b.avi[40000:50000] video/b.avi[10000:32768]
    > "16384"
    > "16384"
    < '\0'*3 "50000filesize" '\0'*240
    < video/b.avi[16384:49152]
    < end
    # A negative probe offset cannot be served.
    > "<32b.avi"
    < "50000filesize" '\0'*243 video/b.avi[0:32768] "50000filesize" '\0'*243
    < video/b.avi[0:32768] "50000filesize" '\0'*243
    > "-1"
    < end
  )",
                media_.path(), port());
}

TEST_F(TranscriptTest, MpegHandshakeWithTheTailThenTheStream) {
  Start();
  RunTranscript(R"(
    video/a.mpg = offsets 100000
    > "<34a.mpg"
    < '\0'*256 video/a.mpg[0:32768]
    > "1"
    < "67232" '\0'*251 video/a.mpg[67232:] video/a.mpg[0:32768]
    > "0"
    < video/a.mpg[32768:]
    < end
    # No whole block for the loop: only the final 7232 bytes.
    video/b.mpg = offsets 40000
    > "<34b.mpg"
    < '\0'*256 video/b.mpg[0:32768]
    > "1"
    < "7232" '\0'*252 video/b.mpg[7232:] video/b.mpg[0:32768]
    > "100000"
    < video/b.mpg[32768:]
    < end
    # A RIFF file streams from 65536; the final step finds nothing more and repeats the tail.
    video/c.mpg = riff 200000
    > "<34c.mpg"
    < '\0'*256 video/c.mpg[65536:98304]
    > "1"
    < "167232" '\0'*250 video/c.mpg[167232:] video/c.mpg[65536:98304]
    > "0"
    < video/c.mpg[98304:] video/c.mpg[196608:]
    < end
  )",
                media_.path(), port());
}

TEST_F(TranscriptTest, ListingRecordsNumberedByFourAcrossTheFolders) {
  Start();
  const int16_t counted = LogLineCount();
  // One listed entry per folder, so the file system's order cannot matter. The refused name
  // (40 bytes) uses up its number; the longest listed one has 39.
  RunTranscript(R"(
    video/a.avi = pattern 5
    video/a.mp3 = pattern 0
    video/notes.txt = pattern 0
    audio/ssssssssssssssssssssssssssssssssssss.mp3 = pattern 0
    photo/ppppppppppppppppppppppppppppppppppp.jpg = pattern 70000
    > "<1../../etc"
    < "0" '\0'*7 "a.avi" '\0'*35 "33206" '\0' "5" '\0'*9
    < "8" '\0'*7 "ppppppppppppppppppppppppppppppppppp.jpg" '\0' "33206" '\0' "70000" '\0'*5
    < "<2" '\0'*254
    < end
    sends 3
  )",
                media_.path(), port());
  EXPECT_EQ(log_->Count("System Warming 3003! FileName :: " + std::string(36, 's') + ".mp3 ."), 1);
  // The refused name's line counts towards the limit, with arrival, request and departure.
  EXPECT_TRUE(WaitUntil([&] { return LogLineCount() - counted == 4; }));
}

}  // namespace
}  // namespace rureza::test
