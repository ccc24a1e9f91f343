// rureza-convert: the converter process the server starts to decode songs and photos, so that
// a decoder that crashes, hangs or eats memory takes nothing but this process with it. It takes
// requests on descriptor 0 (a local socket; each request comes with the descriptor of the file
// it is about, which the server opened and checked), answers on stdout and writes converted
// bytes to descriptor 3, a pipe (see conversion/converter_protocol.h). It ends when the server
// closes its request socket, also in the middle of a conversion, so none outlives the server or
// the conversion it was started for. Nothing but the server starts it.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "conversion/converter_protocol.h"
#include "convert/photo_convert.h"
#include "convert/sandbox.h"
#include "convert/song_convert.h"
#include "convert/video_convert.h"

namespace rureza {
namespace {

constexpr int kRequestFd = 0;
constexpr int kReplyFd = 1;
constexpr int kOutputFd = 3;
// The most descriptors a request brings (a source, a file beside it).
constexpr size_t kMostDescriptors = 4;

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

bool Serve(const ConverterRequest& request, const std::vector<int>& descriptors,
           const char* program) {
  static bool photosReady = false;
  if (!photosReady &&
      (request.kind == RequestKind::kPhoto || request.kind == RequestKind::kProbePhoto)) {
    InitPhotos(program);
    photosReady = true;
  }
  if (descriptors.empty()) return Failed("no file came with the request");
  const int fd = descriptors.front();
  const std::string_view name = std::string_view(request.path).substr(request.path.rfind('/') + 1);
  Reply reply;
  std::string error;
  switch (request.kind) {
    case RequestKind::kProbeSong:
      error = ProbeSong(fd, name, &reply.song);
      reply.kind = ReplyKind::kSongFacts;
      break;
    case RequestKind::kProbePhoto:
      error = ProbePhoto(fd, name, &reply.photo);
      reply.kind = ReplyKind::kPhotoFacts;
      break;
    case RequestKind::kSong: {
      error = ConvertSong(request.song, fd, kOutputFd, [&reply](uint64_t bytes) {
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
      error = ConvertPhoto(fd, name, request.box, kOutputFd, &reply.bytes);
      reply.kind = ReplyKind::kDone;
      break;
    case RequestKind::kProbeVideo:
      error = ProbeVideo(fd, name, &reply.video);
      reply.kind = ReplyKind::kVideoFacts;
      break;
    case RequestKind::kVideo:
      // A subtitle file beside the video comes as a second descriptor.
      error = ConvertVideo(request.video, fd, descriptors.size() > 1 ? descriptors[1] : -1,
                           kOutputFd, [&reply](uint64_t bytes) {
                             reply.bytes = bytes;
                             Reply written;
                             written.kind = ReplyKind::kWritten;
                             written.bytes = bytes;
                             // Nobody listens any more: the server has gone or given up.
                             if (!Say(written)) _exit(1);
                           });
      reply.kind = ReplyKind::kDone;
      break;
  }
  return error.empty() ? Say(reply) : Failed(error);
}

}  // namespace
}  // namespace rureza

// rureza-convert SERVER_PID
int main(int argc, char** argv) {
  using namespace rureza;
  if (argc != 2 || std::to_string(getppid()) != argv[1]) return 2;
  av_log_set_level(AV_LOG_QUIET);
  // Confined before it reads a byte of any file; where it cannot be, the server hears why first.
  const std::string unconfined = EnterSandbox();
  if (!unconfined.empty()) {
    Reply notice;
    notice.kind = ReplyKind::kNotice;
    notice.text = unconfined;
    if (!Say(notice)) return 1;
  }
  // The server closing the request socket ends the process at once, whatever it is doing.
  std::thread([] {
    pollfd hangUp{kRequestFd, POLLRDHUP, 0};
    while (::poll(&hangUp, 1, -1) < 0 && errno == EINTR) {
    }
    _exit(0);
  }).detach();
  for (;;) {
    // One request a message, its descriptors with it.
    char bytes[kMessageHeaderSize + kMostPayload + 1];
    alignas(cmsghdr) char control[CMSG_SPACE(kMostDescriptors * sizeof(int))];
    iovec data{bytes, sizeof bytes};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(kRequestFd, &message, MSG_CMSG_CLOEXEC);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;  // the server closed the requests: done
    std::vector<int> descriptors;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
      const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      const int* fds = reinterpret_cast<const int*>(CMSG_DATA(c));
      descriptors.insert(descriptors.end(), fds, fds + count);
    }
    MessageReader reader;
    reader.Add(std::string_view(bytes, static_cast<size_t>(n)));
    uint8_t kind;
    std::string payload;
    ConverterRequest request;
    if ((message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0 || !reader.Next(&kind, &payload) ||
        reader.pending() != 0 || !DecodeRequest(kind, payload, &request)) {
      Failed("bad request");
      return 2;
    }
    const bool served = Serve(request, descriptors, argv[0]);
    for (int fd : descriptors) ::close(fd);
    if (!served) return 1;
  }
}
