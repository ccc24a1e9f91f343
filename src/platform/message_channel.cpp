#include "platform/message_channel.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace rureza {

std::pair<MessageChannel, MessageChannel> MessageChannel::NewPair(Status* error) {
  int ends[2];
  std::pair<MessageChannel, MessageChannel> pair;
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
    if (error) *error = Status::FromErrno(errno);
    return pair;
  }
  pair.first.fd_ = ends[0];
  pair.second.fd_ = ends[1];
  return pair;
}

bool MessageChannel::Send(std::string_view message, const std::vector<int>& descriptors) const {
  iovec data{const_cast<char*>(message.data()), message.size()};
  msghdr header{};
  header.msg_iov = &data;
  header.msg_iovlen = 1;
  std::vector<char> control;
  if (!descriptors.empty()) {
    const size_t bytes = descriptors.size() * sizeof(int);
    control.assign(CMSG_SPACE(bytes), '\0');
    header.msg_control = control.data();
    header.msg_controllen = control.size();
    cmsghdr* rights = CMSG_FIRSTHDR(&header);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(bytes);
    std::memcpy(CMSG_DATA(rights), descriptors.data(), bytes);
  }
  ssize_t sent;
  do {
    sent = ::sendmsg(fd_, &header, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(message.size());
}

void MessageChannel::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace rureza
