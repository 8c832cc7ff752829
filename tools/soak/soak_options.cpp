#include "tools/soak/soak_options.h"

#include <charconv>
#include <cmath>
#include <type_traits>

namespace veldoran::soak {
namespace {

template <typename T>
std::optional<T> ParseNumber(const std::string& text, T min, T max) {
  T value{};
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || !(value >= min && value <= max)) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::string ParseSoakOptions(const std::vector<std::string>& args, SoakOptions& options) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string value;
    const auto take = [&]() {
      if (i + 1 >= args.size()) return false;
      value = args[++i];
      return true;
    };
    const auto count = [&](const char* name, long long max, auto& out) -> std::string {
      if (!take()) return std::string(name) + " needs a number";
      const auto n = ParseNumber<long long>(value, 0, max);
      if (!n) {
        return std::string(name) + " " + value + ": expected a whole number from 0 to " +
               std::to_string(max);
      }
      out = static_cast<std::remove_reference_t<decltype(out)>>(*n);
      return {};
    };
    std::string error;
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--cycles") {
      error = count("--cycles", 100000, options.cycles);
    } else if (arg == "--kills") {
      error = count("--kills", 10000000, options.kills);
    } else if (arg == "--noise-minutes") {
      if (!take()) return "--noise-minutes needs a number";
      const auto minutes = ParseNumber<double>(value, 0.0, 10080.0);
      if (!minutes || !std::isfinite(*minutes)) {
        return "--noise-minutes " + value + ": expected minutes from 0 to 10080, e.g. 0.5";
      }
      options.noise_minutes = *minutes;
    } else if (arg == "--seed") {
      long long seed = 0;
      error = count("--seed", 0xFFFFFFFFLL, seed);
      if (error.empty()) options.seed = static_cast<std::uint32_t>(seed);
    } else if (arg == "--stall-limit-ms") {
      long long ms = 0;
      error = count("--stall-limit-ms", 3600000, ms);
      options.stall_limit = std::chrono::milliseconds(ms);
    } else if (arg == "--recovery-limit-ms") {
      long long ms = 0;
      error = count("--recovery-limit-ms", 3600000, ms);
      options.recovery_limit = std::chrono::milliseconds(ms);
    } else if (arg == "--memory-growth-limit-mb") {
      if (!take()) return "--memory-growth-limit-mb needs a number";
      const auto mb = ParseNumber<double>(value, 0.0, 1e6);
      if (!mb) return "--memory-growth-limit-mb " + value + ": expected megabytes, e.g. 16";
      options.memory_growth_limit_mb = *mb;
    } else {
      return "unknown option \"" + arg + "\" (see --help)";
    }
    if (!error.empty()) return error;
  }
  return {};
}

std::string SoakUsage() {
  return "Usage: veldoran-soak [options]\n"
         "Long fault runs against the tool: the real window (offscreen unless a display is\n"
         "set, e.g. under xvfb-run) against veldoran-sim over a pseudo-terminal, and a process\n"
         "saving Config.ini killed at random moments. Prints figures as it goes and exits\n"
         "with status 1 when anything failed.\n"
         "\n"
         "  --kills K                 kill a process saving Config.ini K times (default 1000);\n"
         "                            afterwards the file must be the whole old or new one\n"
         "  --cycles N                N times: start a full event read, hang the line up at a\n"
         "                            random record, check the window stays responsive and\n"
         "                            shows the link lost, plug back in, press \"Połącz\" and\n"
         "                            check the link is back (default 100)\n"
         "  --noise-minutes M         M minutes of line noise at line speed with the\n"
         "                            controller's replies mixed in; afterwards the link must\n"
         "                            be shown answering and memory flat (default 10; may be\n"
         "                            a fraction)\n"
         "  --seed S                  seed for the random moments and the noise (default: a\n"
         "                            fresh one, printed)\n"
         "  --stall-limit-ms MS       longest the event loop may stand still (default 1000)\n"
         "  --recovery-limit-ms MS    longest from \"Połącz\" to the link shown answering\n"
         "                            (default 10000)\n"
         "  --memory-growth-limit-mb MB  largest growth of resident memory over the noise\n"
         "                            (default 16)\n"
         "  --help, -h                show this text\n";
}

}  // namespace veldoran::soak
