// SendAll and ReceiveAll: the only TCP send and receive path of the server, on request and
// control connections alike, and the TrafficCounters they keep. FileBlockSender and BlockBatch
// send many blocks with fewer system calls (file bytes without a copy, small blocks together)
// and count each block exactly as a SendAll call of its own.
// Thread safety: any thread may call them on a connection it owns; the counters are atomic
// and never reset.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/file.h"
#include "platform/pipe.h"
#include "platform/socket.h"

namespace rureza {

struct TrafficCounters {
  std::atomic<uint32_t> bytesSent{0};      // wraps modulo 2^32
  std::atomic<uint32_t> bytesReceived{0};  // wraps modulo 2^32
  std::atomic<int32_t> sendCalls{0};       // one per SendAll call, also a failed one
  std::atomic<int32_t> receiveCalls{0};    // one per ReceiveAll call, also a failed one
  // The same bytes without the wrap, for the metrics.
  std::atomic<uint64_t> bytesSentTotal{0};
  std::atomic<uint64_t> bytesReceivedTotal{0};
};

// The process's counters.
TrafficCounters& Traffic();

// Sends all length bytes (one send call even when length is 0). Returns length, or -1 when a
// send call fails; bytes sent before the failure stay counted. A peer that has reset the
// connection never raises SIGPIPE.
int32_t SendAll(const Socket& socket, const void* data, uint32_t length);

// Receives exactly length bytes into buffer. Returns length, or -1 when a receive call fails
// or the peer closes the connection first; what arrived stays in the buffer.
int32_t ReceiveAll(const Socket& socket, void* buffer, uint32_t length);

// As ReceiveAll, but also returns -1 when the whole block has not arrived within timeoutMs.
int32_t ReceiveAllWithin(const Socket& socket, void* buffer, uint32_t length, uint32_t timeoutMs);

// Sends `blocks` blocks of `length` bytes of file, from its position (which advances), straight
// from the page cache to the socket in as few system calls as the socket allows: counted as
// one SendAll call per block (on a failure, the blocks begun). Several blocks in one call let
// the socket build full-size segments. Returns the bytes sent: all of them, fewer when the file
// ends first (it shrank), or -1 when a send fails or the file cannot be read (part of a block
// may have gone out then). The calling thread's SIGPIPE is blocked from then on, as for
// FileBlockSender.
int64_t SendFileBlock(const Socket& socket, File& file, uint32_t length, uint32_t blocks = 1);

// Sends blocks whose bytes come from a file without copying them through the process: Take
// has the kernel fill a pipe from the file's pages, SendTaken empties the pipe into the
// socket. The two steps are those of reading into a buffer and calling SendAll on it, once per
// block, with the same outcomes: a failed or short read is known before anything is sent, and
// the adapter receives the same bytes and the counters change the same way (one send call per
// block). Several blocks taken at once go out in one system call.
// Without a pipe (descriptors used up), or when the file comes in pieces too small for the pipe
// to hold what was asked, it reads into a buffer of its own instead.
// The calling thread's SIGPIPE is blocked from its first send on: a peer that reset the
// connection makes the send fail, as SendAll's do.
// Thread safety: one thread uses a sender at a time.
class FileBlockSender {
 public:
  // The most one Take may ask for.
  static constexpr uint32_t kMostTaken = 256 * 1024;

  FileBlockSender() = default;
  FileBlockSender(const FileBlockSender&) = delete;
  FileBlockSender& operator=(const FileBlockSender&) = delete;

  // Takes up to length bytes from the file's position, which advances past them; as File::Read,
  // returns how many (fewer only at the end of the file), or -1 on a read error. After an error
  // nothing is held, unless beforeError is given: then the bytes read before the error stay held
  // and *beforeError tells how many. Whatever an earlier Take held and did not send is dropped
  // first.
  // REQUIRES: length <= kMostTaken.
  int64_t Take(File& file, uint32_t length, uint32_t* beforeError = nullptr);

  // Sends what Take holds followed by padLength copies of pad, as one block: counted as one
  // SendAll call, with one send call even when the block is empty. Returns the block's length,
  // or -1 when a send fails (the bytes sent before stay counted; the rest is dropped). more:
  // another block follows at once, so a part segment may wait for it.
  int32_t SendTaken(const Socket& socket, uint32_t padLength, char pad, bool more = false);

  // Sends the first bytes of what Take holds (the rest is dropped) as blocks of blockSize, the
  // last one filled up with padLength copies of pad: counted as one SendAll call per block, as
  // many as were begun when a send fails. False when a send fails.
  // REQUIRES: bytes <= what Take holds; padLength < blockSize.
  bool SendTakenInBlocks(const Socket& socket, uint32_t bytes, uint32_t blockSize,
                         uint32_t padLength, char pad, bool more);

 private:
  void Drop();
  // Sends bytes of what is held and then padLength pads; returns the bytes the socket took.
  uint64_t SendHeld(int fd, uint32_t bytes, uint32_t padLength, char pad, bool more, bool* ok);

  Pipe pipe_;
  bool noPipe_ = false;       // none could be had
  uint32_t held_ = 0;         // bytes taken and not yet sent
  bool inBuffer_ = false;     // they are in buffer_, not in the pipe
  std::vector<char> buffer_;  // used only when the pipe cannot take what is asked
};

// Gathers small blocks (listing records) and sends them together, in one system call per
// batch instead of one per block. Each block counts as one SendAll call, as if it had been
// sent on its own as it was added: the adapter receives the same bytes and the counters end up
// the same, also when a send fails (the blocks up to the one being sent count).
// Thread safety: one thread uses a batch at a time.
class BlockBatch {
 public:
  explicit BlockBatch(const Socket& socket) : socket_(socket) {}
  BlockBatch(const BlockBatch&) = delete;
  BlockBatch& operator=(const BlockBatch&) = delete;

  // Adds a block, sending the batch first when the block does not fit. False when a send has
  // failed (then nothing more is sent).
  // REQUIRES: 0 < length <= kCapacity.
  bool Add(const void* data, uint32_t length);
  // Sends what is gathered. False when a send has failed.
  bool Flush();

  static constexpr uint32_t kCapacity = 16384;

 private:
  static constexpr size_t kMostBlocks = kCapacity / 64;

  const Socket& socket_;
  char buffer_[kCapacity];
  uint32_t used_ = 0;
  uint32_t ends_[kMostBlocks];  // where each gathered block ends in buffer_
  size_t blocks_ = 0;
  bool failed_ = false;
};

// Drops, without waiting, what the peer has sent that nobody will read (an extra block behind
// the request, say), up to a limit. A connection closed with unread input is reset, and the
// reset throws away the part of the reply still on its way; called before the close, this lets
// the reply end in order. The bytes count as received (no call is counted). Returns them.
uint32_t DiscardPendingInput(const Socket& socket);

}  // namespace rureza
