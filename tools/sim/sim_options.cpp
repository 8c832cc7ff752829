#include "tools/sim/sim_options.h"

#include <charconv>
#include <fstream>

#include "platform/posix/port_map.h"
#include "tools/sim/controller_model.h"
#include "tools/sim/simulator.h"
#include "veldoran/version.h"

namespace veldoran::sim {
namespace {

std::optional<long long> ParseInteger(const std::string& text, long long min, long long max) {
  long long value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < min || value > max) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::string ParseCardSpec(const std::string& spec, std::pair<int, std::string>& card) {
  const auto colon = spec.find(':');
  if (colon == std::string::npos) return "\"" + spec + "\" is not SLOT:CODE";
  const auto slot = ParseInteger(spec.substr(0, colon), 0, kCardSlotCount - 1);
  if (!slot) return "\"" + spec + "\": the slot must be a number from 0 to 99";
  const std::string code = spec.substr(colon + 1);
  if (!ControllerModel::IsValidCardCode(code)) {
    return "\"" + spec + "\": the card code must be 8 characters without control characters";
  }
  card = {static_cast<int>(*slot), code};
  return {};
}

std::string ReadCardsFile(const std::string& path,
                          std::vector<std::pair<int, std::string>>& cards) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "cannot read the cards file \"" + path + "\"";
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line.front() == '#') continue;
    std::pair<int, std::string> card;
    if (std::string error = ParseCardSpec(line, card); !error.empty()) {
      return path + ":" + std::to_string(number) + ": " + error;
    }
    cards.push_back(std::move(card));
  }
  return {};
}

std::string ParseOptions(const std::vector<std::string>& args, SimOptions& options) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const auto value = [&](std::string& out) -> bool {
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    std::string v;
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else if (arg == "--quiet" || arg == "-q") {
      options.quiet = true;
    } else if (arg == "--port") {
      if (!value(v)) return "--port needs a port name such as COM3";
      const auto n = portmap::ParsePortName(v);
      if (!n) return "--port " + v + ": not a port name such as COM3";
      options.port = *n;
    } else if (arg == "--number") {
      if (!value(v)) return "--number needs a controller number";
      const auto n = ParseInteger(v, kMinNumber, kMaxNumber);
      if (!n) return "--number " + v + ": the controller number must be from 1 to 10";
      options.number = static_cast<int>(*n);
    } else if (arg == "--events") {
      if (!value(v)) return "--events needs a count";
      const auto n = ParseInteger(v, 0, kEventCapacity);
      if (!n) return "--events " + v + ": the count must be from 0 to 1000";
      options.events = static_cast<int>(*n);
    } else if (arg == "--card") {
      if (!value(v)) return "--card needs SLOT:CODE";
      std::pair<int, std::string> card;
      if (std::string error = ParseCardSpec(v, card); !error.empty()) return "--card " + error;
      options.cards.push_back(std::move(card));
    } else if (arg == "--cards") {
      if (!value(v)) return "--cards needs a file name";
      if (std::string error = ReadCardsFile(v, options.cards); !error.empty()) return error;
    } else if (arg == "--seed") {
      if (!value(v)) return "--seed needs a number";
      const auto n = ParseInteger(v, 0, 0xFFFFFFFFLL);
      if (!n) return "--seed " + v + ": the seed must be a number from 0 to 4294967295";
      options.seed = static_cast<std::uint32_t>(*n);
    } else {
      return "unknown option \"" + arg + "\" (see --help)";
    }
  }
  return {};
}

std::string UsageText() {
  return "Usage: veldoran-sim [options]\n"
         "A simulated locker controller on a pseudo-terminal, registered as a COM port in\n" +
         portmap::Directory().string() +
         " while it runs.\n"
         "It prints \"veldoran-sim: COM<n> -> <device>\" on standard output once the port is\n"
         "ready, logs the serial traffic on standard error and takes commands on standard\n"
         "input. End of input does not stop it; SIGTERM, SIGINT, SIGHUP or \"quit\" do.\n"
         "\n"
         "Options:\n"
         "  --port COM<n>      register this port name (default: the lowest free number\n"
         "                     from COM3 up, as a newly plugged USB adapter gets)\n"
         "  --number N         controller number 1..10 (default 1)\n"
         "  --events N         start with N random events (0..1000)\n"
         "  --card SLOT:CODE   store an 8-character card code in slot 0..99 (repeatable)\n"
         "  --cards FILE       read SLOT:CODE lines from FILE ('#' starts a comment line)\n"
         "  --seed S           seed for random events and noise (default: a fresh one)\n"
         "  --quiet, -q        do not log the serial traffic\n"
         "  --help, -h         show this text\n"
         "  --version          show the version\n"
         "\n" +
         CommandHelp();
}

std::string VersionText() { return std::string("veldoran-sim ") + kVersion + "\n"; }

}  // namespace veldoran::sim
