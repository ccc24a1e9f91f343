// Byte-exact exchanges written down as transcripts: what the adapter sends and every byte the
// server owes in answer, spelled out literally, so that a wrong length block fails however the
// server formats it. One step a line ('#' starts a comment):
//
//   audio/a.mp3 = offsets 1000   a media file (relative to the media tree): OffsetBytes(1000),
//                                "pattern N" (PatternBytes), or "riff N" (OffsetBytes, but
//                                starting with "RIFF")
//   > "<31a.mp3"                 the adapter sends a 256-byte block (the text, zero bytes
//                                behind); the first one opens a request connection
//   < "1000" '\0'*252            the server sends exactly these bytes next: "text" (with \0,
//   < audio/a.mp3[0:1000]        \xNN, \\ and \" escapes), 'c'*N (N bytes c; 'c' alone: one),
//   PATH[A:B] (that
//                                file's bytes from A to B; B may be left out: to its end)
//   < end                        the server closes without another byte
//   sends 2                      the server's counted send calls since the connection opened
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace rureza::test {

// Runs one transcript against the server on port (127.0.0.1) with its files under root. Every
// mismatch is reported as a test failure naming the transcript line and the first byte that
// differs.
void RunTranscript(std::string_view transcript, const std::filesystem::path& root, uint16_t port);

}  // namespace rureza::test
