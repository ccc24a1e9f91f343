// MessageChannel: one end of a pair of connected local sockets that keep message boundaries
// (SOCK_SEQPACKET) and can carry open descriptors with a message: how the server hands a helper
// process a request together with the file it has checked, so the helper never opens a path.
// Closed exactly once; the other end is given to the child as a descriptor.
// Thread safety: one thread sends on an end at a time.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/status.h"

namespace rureza {

class MessageChannel {
 public:
  MessageChannel() = default;
  ~MessageChannel() { Close(); }
  MessageChannel(MessageChannel&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  MessageChannel& operator=(MessageChannel&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  MessageChannel(const MessageChannel&) = delete;
  MessageChannel& operator=(const MessageChannel&) = delete;

  // A connected pair (close-on-exec). On failure both are invalid and *error says why.
  static std::pair<MessageChannel, MessageChannel> NewPair(Status* error = nullptr);

  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Sends message as one message, with copies of descriptors (which stay open here). False when
  // the other end is closed or the send fails. Never raises SIGPIPE.
  bool Send(std::string_view message, const std::vector<int>& descriptors = {}) const;

  void Close();

 private:
  int fd_ = -1;
};

}  // namespace rureza
