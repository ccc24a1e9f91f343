// The request block: any 256 bytes are either refused (not a request, an unknown command or
// format, or a path that is not servable) or give a path inside the media folder. The byte
// after the block, when there is one, picks the folder the name is joined to.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "platform/file.h"
#include "request/dispatcher.h"
#include "settings/server_settings.h"

namespace {

using rureza::AdapterRequest;

const char* const kFolders[] = {"/srv/media/video", "", "/", "relative/audio", "/srv/photo/",
                                "C:\\Media\\Music"};

// The name as the block holds it: from offset 3 (5 after one "./") to the first zero byte.
std::string ExpectedName(const uint8_t (&block)[rureza::kRequestBlockSize]) {
  size_t start = (block[3] == '.' && block[4] == '/') ? 5 : 3;
  std::string name;
  for (size_t i = start; i < sizeof block && block[i] != 0; ++i) name += char(block[i]);
  return name;
}

// Lexically, with '/' separators: does following path from folder ever step above it?
bool StaysBelow(const std::string& folder, const std::string& path) {
  if (path.compare(0, folder.size(), folder) != 0) return false;
  std::vector<std::string> parts;
  size_t at = folder.size();
  while (at <= path.size()) {
    size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(at, end - at);
    if (part == "..") {
      if (parts.empty()) return false;
      parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    at = end + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t block[rureza::kRequestBlockSize] = {};
  std::memcpy(block, data, std::min(size, sizeof block));
  const std::string folder =
      kFolders[size > sizeof block ? data[sizeof block] % std::size(kFolders) : 0];

  AdapterRequest request = rureza::ParseRequestBlock(block);
  if (block[0] != '<') {
    FUZZ_CHECK(request.kind == AdapterRequest::Kind::kNone);
    return 0;
  }
  switch (block[1]) {
    case '1':
      FUZZ_CHECK(request.kind == AdapterRequest::Kind::kList);
      return 0;
    case '7':
      FUZZ_CHECK(request.kind == AdapterRequest::Kind::kFirmware);
      return 0;
    case '3':
      break;
    default:
      FUZZ_CHECK(request.kind == AdapterRequest::Kind::kUnknownCommand);
      return 0;
  }
  if (block[2] < '1' || block[2] > '4') {
    FUZZ_CHECK(request.kind == AdapterRequest::Kind::kUnknownFormat);
    return 0;
  }
  FUZZ_CHECK(request.kind == AdapterRequest::Kind::kPlay);
  FUZZ_CHECK(request.mediaType == char(block[2]));
  FUZZ_CHECK(request.name == ExpectedName(block));

  rureza::ServerSettings settings;
  for (auto field : {&rureza::ServerSettings::videoFolder, &rureza::ServerSettings::audioFolder,
                     &rureza::ServerSettings::photoFolder}) {
    rureza::SetPathText(&(settings.*field), folder);
  }
  rureza::MediaPath path = rureza::PlayPath(settings, request.mediaType, request.name);
  FUZZ_CHECK(path.text == folder + "\\" + request.name);
  if (path.servable) {
    FUZZ_CHECK(!folder.empty());
    FUZZ_CHECK(StaysBelow(rureza::NativePath(folder), path.open));
  }
  return 0;
}
