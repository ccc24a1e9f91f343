// What the converter process says, as the server reads it: split anywhere, the reader returns
// the same messages, none longer than the limit, and nothing once the stream is broken; every
// reply it accepts, written again, is the very bytes it came from.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "conversion/converter_protocol.h"
#include "fuzz_check.h"

namespace {

using Messages = std::vector<std::pair<uint8_t, std::string>>;

void Drain(rureza::MessageReader& reader, Messages* messages) {
  uint8_t kind;
  std::string payload;
  while (reader.Next(&kind, &payload)) messages->emplace_back(kind, payload);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte says where the stream is split into two reads.
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t split = data[0] % (bytes.size() + 1);
  rureza::MessageReader whole, parts;
  Messages fromWhole, fromParts;
  whole.Add(bytes);
  Drain(whole, &fromWhole);
  parts.Add(bytes.substr(0, split));
  Drain(parts, &fromParts);
  parts.Add(bytes.substr(split));
  Drain(parts, &fromParts);
  FUZZ_CHECK(fromWhole == fromParts && whole.broken() == parts.broken());
  size_t consumed = 0;
  for (const auto& [kind, payload] : fromWhole) {
    FUZZ_CHECK(payload.size() <= rureza::kMostPayload);
    const std::string_view message =
        bytes.substr(consumed, rureza::kMessageHeaderSize + payload.size());
    consumed += message.size();
    rureza::Reply reply;
    if (rureza::DecodeReply(kind, payload, &reply)) {
      FUZZ_CHECK(rureza::EncodeReply(reply) == message);
    }
  }
  FUZZ_CHECK(whole.broken() || whole.pending() == bytes.size() - consumed);
  return 0;
}
