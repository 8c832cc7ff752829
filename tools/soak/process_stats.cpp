#include "tools/soak/process_stats.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace veldoran::soak {
namespace {

// The number of kB on a line such as "VmRSS:\t   84200 kB"; -1 when it is not one.
long KilobytesOf(std::string_view line) {
  const std::size_t start = line.find_first_of("0123456789");
  if (start == line.npos) return -1;
  long value = -1;
  const auto [end, ec] = std::from_chars(line.data() + start, line.data() + line.size(), value);
  if (ec != std::errc()) return -1;
  const std::string_view unit = line.substr(static_cast<std::size_t>(end - line.data()));
  return unit.find("kB") != unit.npos ? value : -1;
}

}  // namespace

MemoryFigures ParseProcStatus(std::string_view status) {
  MemoryFigures figures;
  while (!status.empty()) {
    const std::size_t nl = status.find('\n');
    const std::string_view line = status.substr(0, nl);
    if (line.starts_with("VmRSS:")) figures.resident_kb = KilobytesOf(line.substr(6));
    if (line.starts_with("VmHWM:")) figures.peak_kb = KilobytesOf(line.substr(6));
    status.remove_prefix(nl == status.npos ? status.size() : nl + 1);
  }
  return figures;
}

MemoryFigures CurrentMemory() {
  std::ifstream in("/proc/self/status");
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  return ParseProcStatus(text);
}

std::string MegabytesText(long kb) {
  if (kb < 0) return "unknown";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(kb) / 1024.0);
  return text;
}

std::string MegabytesChangeText(long from_kb, long to_kb) {
  if (from_kb < 0 || to_kb < 0) return "unknown";
  char text[32];
  std::snprintf(text, sizeof text, "%+.1f MB", static_cast<double>(to_kb - from_kb) / 1024.0);
  return text;
}

double Durations::Median() const {
  if (values_.empty()) return 0;
  std::vector<double> sorted = values_;
  const auto middle = sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2);
  std::nth_element(sorted.begin(), middle, sorted.end());
  if (sorted.size() % 2 == 1) return *middle;
  const double below = *std::max_element(sorted.begin(), middle);
  return (below + *middle) / 2;
}

double Durations::Max() const {
  return values_.empty() ? 0 : *std::max_element(values_.begin(), values_.end());
}

std::string Durations::Text() const {
  if (values_.empty()) return "none";
  char text[96];
  std::snprintf(text, sizeof text, "median %.1f ms, max %.1f ms (%zu)", Median(), Max(),
                values_.size());
  return text;
}

}  // namespace veldoran::soak
