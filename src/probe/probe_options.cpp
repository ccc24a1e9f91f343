#include "probe/probe_options.h"

#include <cstdlib>
#include <string_view>

#include "adapter/connection.h"
#include "adapter/exchange.h"

namespace rureza {
namespace {

enum CommandBit : unsigned {
  kDiscover = 1,
  kList = 2,
  kGet = 4,
  kCheck = 8,
  kLoad = 16,
  kEveryCommand = 31,
};

struct CommandSpec {
  const char* name;
  unsigned bit;
  size_t fewest, most;  // operands
  const char* operands;
};

constexpr CommandSpec kCommands[] = {
    {"discover", kDiscover, 0, SIZE_MAX, "[HOST]..."},
    {"list", kList, 1, 1, "HOST"},
    {"get", kGet, 2, 3, "HOST KIND [NAME]"},
    {"check", kCheck, 1, 1, "HOST"},
    {"load", kLoad, 1, 1, "HOST"},
};

// Digits only, within [low, high].
bool ParseWhole(const std::string& text, long low, long high, long* value) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != text.npos) {
    return false;
  }
  *value = std::strtol(text.c_str(), nullptr, 10);
  return *value >= low && *value <= high;
}

// Seconds as digits with an optional fraction ("0.5"), above 0 and at most a day.
bool ParseSeconds(const std::string& text, double* value) {
  size_t dot = text.find('.');
  std::string digits = dot == text.npos ? text : text.substr(0, dot) + text.substr(dot + 1);
  if (digits.empty() || digits.size() > 12 ||
      digits.find_first_not_of("0123456789") != digits.npos) {
    return false;
  }
  *value = std::strtod(text.c_str(), nullptr);
  return *value >= 0.001 && *value <= 86400;
}

struct OptionSpec {
  const char* name;
  const char* alias;  // a second spelling, or nullptr
  bool takesValue;
  unsigned commands;
  // Stores value; false when it is not one the option takes (*error then says which it takes).
  bool (*apply)(ProbeOptions& options, const std::string& value, std::string* error);
};

constexpr OptionSpec kOptions[] = {
    {"--port", nullptr, true, kEveryCommand,
     [](ProbeOptions& o, const std::string& value, std::string* error) {
       long port = 0;
       // P+3, the discovery port, must be a port too.
       if (!ParseWhole(value, 1, 65532, &port)) *error = "a number from 1 to 65532";
       o.port = static_cast<uint16_t>(port);
       return error->empty();
     }},
    {"--timeout", nullptr, true, kEveryCommand,
     [](ProbeOptions& o, const std::string& value, std::string* error) {
       double seconds = 0;
       if (!ParseSeconds(value, &seconds)) *error = "a number of seconds from 0.001 to 86400";
       o.timeoutMs = static_cast<int>(seconds * 1000 + 0.5);
       return error->empty();
     }},
    {"--bytes", nullptr, false, kList,
     [](ProbeOptions& o, const std::string&, std::string*) { return o.bytes = true; }},
    {"--raw", nullptr, false, kList,
     [](ProbeOptions& o, const std::string&, std::string*) { return o.raw = true; }},
    {"--charset", nullptr, true, kList | kGet | kCheck | kLoad,
     [](ProbeOptions& o, const std::string& value, std::string* error) {
       if (value.empty()) *error = "a character set name";
       o.charset = value;
       return error->empty();
     }},
    {"--output", "-o", true, kGet,
     [](ProbeOptions& o, const std::string& value, std::string* error) {
       if (value.empty()) *error = "a file name";
       o.output = value;
       return error->empty();
     }},
    {"--adapters", nullptr, true, kLoad,
     [](ProbeOptions& o, const std::string& value, std::string* error) {
       long n = 0;
       // Beyond a server's largest client limit (100), so that the limit itself can be tried.
       if (!ParseWhole(value, 1, 1000, &n)) *error = "a number from 1 to 1000";
       o.adapters = static_cast<int>(n);
       return error->empty();
     }},
    {"--seconds", nullptr, true, kLoad,
     [](ProbeOptions& o, const std::string& value, std::string* error) {
       if (!ParseSeconds(value, &o.seconds)) *error = "a number of seconds from 0.001 to 86400";
       return error->empty();
     }},
    {"--kind", nullptr, true, kLoad,
     [](ProbeOptions& o, const std::string& value, std::string* error) {
       if (value != "audio" && value != "photo" && value != "all") *error = "audio, photo or all";
       o.loadKind = value;
       return error->empty();
     }},
    {"--digests", nullptr, false, kLoad,
     [](ProbeOptions& o, const std::string&, std::string*) { return o.digests = true; }},
};

const CommandSpec* FindCommand(const std::string& name) {
  for (const CommandSpec& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

// The operands make sense for the command.
bool CheckOperands(const CommandSpec& command, const ProbeOptions& options, std::string* error) {
  const std::vector<std::string>& operands = options.operands;
  if (operands.size() < command.fewest || operands.size() > command.most) {
    *error = std::string("usage: rureza-probe ") + command.name + " " + command.operands;
    return false;
  }
  for (const std::string& operand : operands) {
    if (operand.empty()) {
      *error = std::string(command.name) + ": an empty operand";
      return false;
    }
  }
  if (command.bit == kGet) {
    std::optional<MediaKind> kind = KindNamed(operands[1]);
    if (!kind) {
      *error = "KIND must be audio, avi, mpeg, photo or firmware, not '" + operands[1] + "'";
    } else if (*kind == MediaKind::kFirmware && operands.size() == 3) {
      *error = "get HOST firmware takes no NAME";
    } else if (*kind != MediaKind::kFirmware && operands.size() == 2) {
      *error = "get HOST " + operands[1] + " needs the NAME of a file";
    }
    if (!error->empty()) return false;
  }
  if (command.bit == kLoad && (options.adapters == 0 || options.seconds == 0)) {
    *error = "load needs --adapters N and --seconds S";
    return false;
  }
  return true;
}

}  // namespace

std::optional<ProbeOptions> ParseProbeOptions(const std::vector<std::string>& args,
                                              std::string* error) {
  ProbeOptions options;
  std::vector<const OptionSpec*> given;
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      (options.command.empty() ? options.command : options.operands.emplace_back()) = arg;
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    std::string name = arg;
    std::optional<std::string> value;
    if (size_t equals = name.find('='); name.rfind("--", 0) == 0 && equals != name.npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
    }
    if (name == "--help" || name == "-h" || name == "--version") {
      if (value) {
        *error = name + " takes no value";
        return std::nullopt;
      }
      (name == "--version" ? options.version : options.help) = true;
      continue;
    }
    const OptionSpec* option = nullptr;
    for (const OptionSpec& known : kOptions) {
      if (name == known.name || (known.alias && name == known.alias)) option = &known;
    }
    if (!option) {
      *error = "unknown option '" + arg + "'";
      return std::nullopt;
    }
    if (!option->takesValue && value) {
      *error = name + " takes no value";
      return std::nullopt;
    }
    if (option->takesValue && !value) {
      if (i + 1 >= args.size()) {
        *error = name + " needs a value";
        return std::nullopt;
      }
      value = args[++i];
    }
    std::string wanted;
    if (!option->apply(options, value.value_or(""), &wanted)) {
      *error = name + " takes " + wanted + ", not '" + *value + "'";
      return std::nullopt;
    }
    given.push_back(option);
  }
  if (options.help || options.version) return options;
  const CommandSpec* command = FindCommand(options.command);
  if (!command) {
    *error =
        options.command.empty() ? "no command given" : "unknown command '" + options.command + "'";
    return std::nullopt;
  }
  for (const OptionSpec* option : given) {
    if (!(option->commands & command->bit)) {
      *error = std::string(option->name) + " does not apply to " + command->name;
      return std::nullopt;
    }
  }
  if (!CheckOperands(*command, options, error)) return std::nullopt;
  return options;
}

std::string ProbeUsage() {
  return "Usage: rureza-probe COMMAND [ARGUMENT]... [OPTION]...\n"
         "Speaks to a Zivevir Media server as a network media adapter does, to find out why\n"
         "an adapter shows no server, an empty list or a file that will not play.\n"
         "\n"
         "Commands:\n"
         "  discover [HOST]...    send the discovery probe to UDP port P+3 of each HOST (or\n"
         "                        broadcast it) and show the servers that answer\n"
         "  list HOST             show the media listing as the adapter receives it\n"
         "  get HOST KIND [NAME]  fetch a file as the adapter plays it; KIND is audio, avi,\n"
         "                        mpeg, photo or firmware (which takes no NAME); NAME as list\n"
         "                        shows it (\\xNN is that byte)\n"
         "  check HOST            discovery, the listing, the start of one listed file of\n"
         "                        each kind and the firmware image, one line a step\n"
         "  load HOST             simulated adapters fetch the listed files over and over\n"
         "\n"
         "Options (anywhere on the line):\n"
         "  --port P              the server's base port P (default 4567)\n"
         "  --timeout S           limit every read to S seconds, and end a reply that brings\n"
         "                        less than 1 KiB in S seconds (default 10; discover: 1)\n"
         "  --bytes               list: sizes in bytes\n"
         "  --raw                 list: write the reply's bytes unchanged\n"
         "  --charset CHARSET     list, get, check, load: names are sent in CHARSET\n"
         "  -o, --output FILE     get: write the media bytes to FILE, not standard output\n"
         "  --adapters N          load: simulated adapters, 1-1000 (needed)\n"
         "  --seconds S           load: how long to run (needed)\n"
         "  --kind KIND           load: audio, photo or all listed files (default all)\n"
         "  --digests             load: show each file's FNV-1a digest at the end\n"
         "  --help                show this text and exit\n"
         "  --version             show the version and exit\n"
         "\n"
         "Exit codes: 0 success, 1 the server did not answer or answered wrongly, 2 bad usage.\n"
         "See rureza-probe(1).\n";
}

}  // namespace rureza
