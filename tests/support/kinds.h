// Every kind of request as one table, for the tests that run each case over all of them
// (hostile adapters, injected faults, load): its file, a fair adapter's request and handshake,
// and the reply the server owes, written out from the file's bytes with every block as literal
// text. The fixture also checks that the server recovers after each case.
#pragma once

#include <functional>
#include <string>

#include "adapter/exchange.h"
#include "support/fixture.h"

namespace rureza::test {

// 'a' audio, 'v' AVI, 'm' MPEG, 's' still image, 'f' firmware image.
inline const std::string kKinds = "avmsf";
MediaKind KindOf(char kind);
std::string KindName(char kind);  // "audio stream", ...
// The file each kind is served from, relative to the media tree, and the name requested.
std::string KindFile(char kind);
std::string KindRequestName(char kind);
// What a fair adapter answers for a file of size bytes: the AVI stream from 2048 to 50,000
// bytes before the end, the MPEG stream asking for its end.
HandshakeAnswers FairAnswers(char kind, size_t size);
// The whole reply to that adapter.
std::string ReplyTo(char kind, const std::string& file);

class HostileTest : public ServerTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Files of every kind (the MPEG one in whole blocks); then starts the server and notes its
  // descriptors and threads.
  void Begin(size_t song = 100000, size_t movie = 300000, size_t mpegBlocks = 8,
             size_t image = 100000, size_t firmware = 20000);
  void ExpectEnded();  // no client left, no thread but the run's own
  // The next ordinary request served byte for byte, descriptors and threads back at the start.
  void ExpectRecovered();
  // A connection that has made kind's request through its handshake; what it read in *got.
  AdapterConnection Open(char kind, std::string* got = nullptr,
                         const std::function<void()>& beforeLastAnswer = {});
  // The reply as it arrives, after a half-close if asked, once its client has gone.
  std::string Fetch(char kind, bool halfClose = false);
  std::string Reply(char kind) const { return ReplyTo(kind, files_.at(kind)); }
  const std::string& File(char kind) const { return files_.at(kind); }

 private:
  std::map<char, std::string> files_;
  int descriptors_ = 0, tasks_ = 0;
};

}  // namespace rureza::test
