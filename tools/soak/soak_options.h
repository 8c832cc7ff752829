// Command-line options of veldoran-soak: how many faults of each kind, the seed, and the bounds
// a run must keep to pass.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veldoran::soak {

struct SoakOptions {
  int cycles = 100;                   // hang-ups in the middle of an event read
  double noise_minutes = 10;          // minutes of line noise at line speed
  int kills = 1000;                   // kills of a process saving Config.ini
  std::optional<std::uint32_t> seed;  // nothing: a fresh one, printed
  // The longest the window's event loop may stand still.
  std::chrono::milliseconds stall_limit{1000};
  // The longest from "Połącz" after a re-plug until the controller is shown answering.
  std::chrono::milliseconds recovery_limit{10000};
  // How much the resident memory may grow over the noise.
  double memory_growth_limit_mb = 16;
  bool help = false;
};

// Parses the arguments after the program name. Returns an error message for the user, or an
// empty string.
std::string ParseSoakOptions(const std::vector<std::string>& args, SoakOptions& options);

// The --help text.
std::string SoakUsage();

}  // namespace veldoran::soak
