// Command-line options of veldoran-sim: the port to register and the state the controller
// starts with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace veldoran::sim {

struct SimOptions {
  std::optional<int> port;  // n of COM<n>; nothing: the lowest free number from 3 up
  int number = 1;
  int events = 0;
  std::vector<std::pair<int, std::string>> cards;  // slot, code
  std::optional<std::uint32_t> seed;               // nothing: a fresh one each run
  bool quiet = false;
  bool help = false;
  bool version = false;
};

// Parses the arguments after the program name. Returns an error message for the user, or an
// empty string. --cards FILE is read here.
std::string ParseOptions(const std::vector<std::string>& args, SimOptions& options);

// Parses "SLOT:CODE" (slot 0..99 in decimal, a valid card code; "FFFFFFFF" empties the slot).
std::string ParseCardSpec(const std::string& spec, std::pair<int, std::string>& card);

// Reads a cards file: one "SLOT:CODE" per line; blank lines and lines starting with '#' are
// skipped. Errors name the file and line.
std::string ReadCardsFile(const std::string& path, std::vector<std::pair<int, std::string>>& cards);

// The --help text: options and the standard-input commands.
std::string UsageText();

// The --version text: the program's name and version, one line.
std::string VersionText();

}  // namespace veldoran::sim
