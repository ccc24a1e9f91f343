// rureza-convert: the converter process the server starts to decode songs and photos, so that
// a decoder that crashes, hangs or eats memory takes nothing but this process with it. It reads
// requests on stdin, answers on stdout and writes converted bytes to descriptor 3 (see
// conversion/converter_protocol.h). Nothing but the server starts it.
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "conversion/converter_protocol.h"
#include "convert/photo_convert.h"
#include "convert/song_convert.h"
#include "convert/video_convert.h"

namespace rureza {
namespace {

constexpr int kRequestFd = 0;
constexpr int kReplyFd = 1;
constexpr int kOutputFd = 3;

bool WriteAll(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(kReplyFd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool Say(const Reply& reply) { return WriteAll(EncodeReply(reply)); }

bool Failed(const std::string& text) {
  Reply reply;
  reply.kind = ReplyKind::kFailed;
  reply.text = text;
  return Say(reply);
}

bool Serve(const ConverterRequest& request, const char* program) {
  static bool photosReady = false;
  if (!photosReady &&
      (request.kind == RequestKind::kPhoto || request.kind == RequestKind::kProbePhoto)) {
    InitPhotos(program);
    photosReady = true;
  }
  Reply reply;
  std::string error;
  switch (request.kind) {
    case RequestKind::kProbeSong:
      error = ProbeSong(request.path, &reply.song);
      reply.kind = ReplyKind::kSongFacts;
      break;
    case RequestKind::kProbePhoto:
      error = ProbePhoto(request.path, &reply.photo);
      reply.kind = ReplyKind::kPhotoFacts;
      break;
    case RequestKind::kSong: {
      error = ConvertSong(request.song, kOutputFd, [&reply](uint64_t bytes) {
        reply.bytes = bytes;
        Reply written;
        written.kind = ReplyKind::kWritten;
        written.bytes = bytes;
        // Nobody listens any more: the server has gone or given up on this conversion.
        if (!Say(written)) _exit(1);
      });
      reply.kind = ReplyKind::kDone;
      break;
    }
    case RequestKind::kPhoto:
      error = ConvertPhoto(request.path, request.box, kOutputFd, &reply.bytes);
      reply.kind = ReplyKind::kDone;
      break;
    case RequestKind::kProbeVideo:
    case RequestKind::kVideo: {
      // Until requests bring their source's descriptor, the converter opens it here.
      const int source = ::open(request.path.c_str(), O_RDONLY | O_CLOEXEC);
      if (source < 0) {
        error = std::string("cannot open it: ") + std::strerror(errno);
      } else if (request.kind == RequestKind::kProbeVideo) {
        error = ProbeVideo(source, request.path, &reply.video);
        reply.kind = ReplyKind::kVideoFacts;
      } else {
        error = ConvertVideo(request.video, source, -1, kOutputFd, [&reply](uint64_t bytes) {
          reply.bytes = bytes;
          Reply written;
          written.kind = ReplyKind::kWritten;
          written.bytes = bytes;
          if (!Say(written)) _exit(1);
        });
        reply.kind = ReplyKind::kDone;
      }
      if (source >= 0) ::close(source);
      break;
    }
  }
  return error.empty() ? Say(reply) : Failed(error);
}

}  // namespace
}  // namespace rureza

// rureza-convert SERVER_PID
int main(int argc, char** argv) {
  using namespace rureza;
  // Ends with the server, also when the server is killed (and at once if it already was).
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (argc != 2 || std::to_string(getppid()) != argv[1]) return 2;
  av_log_set_level(AV_LOG_QUIET);
  MessageReader reader;
  char buffer[4096];
  for (;;) {
    uint8_t kind;
    std::string payload;
    while (reader.Next(&kind, &payload)) {
      ConverterRequest request;
      if (!DecodeRequest(kind, payload, &request)) {
        Failed("bad request");
        return 2;
      }
      if (!Serve(request, argv[0])) return 1;
    }
    if (reader.broken()) return 2;
    const ssize_t n = ::read(kRequestFd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;  // the server closed the requests: done
    reader.Add(std::string_view(buffer, static_cast<size_t>(n)));
  }
}
