#include "support/transcript.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "adapter/connection.h"
#include "server/server.h"
#include "support/fixture.h"
#include "support/reliability.h"

namespace rureza::test {
namespace {

// Reads one literal from text[at], its opening quote, to its closing one; advances at past it.
std::string Literal(std::string_view text, size_t& at) {
  const char quote = text[at];
  std::string out;
  for (++at; at < text.size() && text[at] != quote; ++at) {
    char c = text[at];
    if (c == '\\' && at + 1 < text.size()) {
      c = text[++at];
      if (c == '0') c = '\0';
      if (c == 'x') {
        c = static_cast<char>(std::stoi(std::string(text.substr(at + 1, 2)), nullptr, 16));
        at += 2;
      }
    }
    out += c;
  }
  ++at;
  return out;
}

class Runner {
 public:
  Runner(const std::filesystem::path& root, uint16_t port) : root_(root), port_(port) {}

  // One line; false (after reporting) when the transcript cannot go on.
  bool Step(std::string_view line) {
    if (line.starts_with("> ")) return Send(line.substr(2));
    if (line == "< end") return End();
    if (line.starts_with("< ")) return Expect(Bytes(line.substr(2)));
    if (line.starts_with("sends ")) {
      EXPECT_EQ(SendCalls() - callsAtOpen_, std::stoi(std::string(line.substr(6))));
      return true;
    }
    size_t equals = line.find(" = ");
    if (equals == std::string_view::npos) {
      ADD_FAILURE() << "not a step";
      return false;
    }
    std::istringstream what{std::string(line.substr(equals + 3))};
    std::string shape;
    size_t size = 0;
    what >> shape >> size;
    std::string path(line.substr(0, equals));
    files_[path] = shape == "pattern" ? PatternBytes(size) : OffsetBytes(size);
    if (shape == "riff") files_[path].replace(0, 4, "RIFF");
    std::filesystem::create_directories((root_ / path).parent_path());
    std::ofstream(root_ / path, std::ios::binary | std::ios::trunc) << files_[path];
    return true;
  }

 private:
  bool Send(std::string_view text) {
    size_t at = 0;
    std::string block = Literal(text, at);
    if (!connection_.connected()) {
      clientsAtOpen_ = ClientCount();
      callsAtOpen_ = SendCalls();
      if (!connection_.Connect(LoopbackAddress(port_))) {
        ADD_FAILURE() << "cannot connect";
        return false;
      }
    }
    NoteInput(Printable(block));
    return connection_.SendBlock(block);
  }

  // The bytes a "<" line spells.
  std::string Bytes(std::string_view items) {
    std::string out;
    for (size_t at = 0; at < items.size();) {
      if (items[at] == ' ') {
        ++at;
      } else if (items[at] == '"') {
        out += Literal(items, at);
      } else if (items[at] == '\'') {
        const char c = Literal(items, at)[0];
        size_t end = std::min(items.find(' ', at), items.size());
        out.append(
            items[at] == '*' ? std::stoul(std::string(items.substr(at + 1, end - at - 1))) : 1, c);
        at = end;
      } else {
        size_t open = items.find('[', at), colon = items.find(':', open),
               close = items.find(']', colon);
        const std::string& file = files_[std::string(items.substr(at, open - at))];
        size_t from = std::stoul(std::string(items.substr(open + 1, colon - open - 1)));
        size_t to = close == colon + 1
                        ? file.size()
                        : std::stoul(std::string(items.substr(colon + 1, close - colon - 1)));
        out += file.substr(from, to - from);
        at = close + 1;
      }
    }
    return out;
  }

  bool Expect(const std::string& want) {
    std::optional<std::string> got = connection_.ReadExact(want.size(), kLongReadMs);
    if (!got) {
      ADD_FAILURE() << "the server sent fewer than " << want.size() << " bytes";
      return false;
    }
    if (*got == want) return true;
    size_t at = 0;
    while ((*got)[at] == want[at]) ++at;
    ADD_FAILURE() << "byte " << at << " of this step differs: got \""
                  << Printable(got->substr(at, 16)) << "\", want \""
                  << Printable(want.substr(at, 16)) << "\"";
    return false;
  }

  bool End() {
    std::optional<std::string> rest = connection_.ReadToClose(kLongReadMs);
    EXPECT_TRUE(rest && rest->empty())
        << "the server sent " << (rest ? rest->size() : 0) << " more bytes, or did not close";
    connection_.Close();
    // Counted sends are final once the server's client has gone.
    EXPECT_TRUE(WaitUntil([&] { return ClientCount() <= clientsAtOpen_; }));
    return rest.has_value();
  }

  std::filesystem::path root_;
  uint16_t port_;
  std::map<std::string, std::string> files_;
  AdapterConnection connection_;
  int clientsAtOpen_ = 0;
  int32_t callsAtOpen_ = 0;
};

}  // namespace

void RunTranscript(std::string_view transcript, const std::filesystem::path& root, uint16_t port) {
  Runner runner(root, port);
  std::istringstream lines{std::string(transcript)};
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    line.erase(0, line.find_first_not_of(' '));
    if (line.empty() || line[0] == '#') continue;
    SCOPED_TRACE("transcript line " + std::to_string(number) + ": " + line.substr(0, 60));
    if (!runner.Step(line)) return;
  }
}

}  // namespace rureza::test
