// Figures a soak run reports: the process's memory as the kernel counts it, and a set of
// durations reduced to their count, median and maximum.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace veldoran::soak {

struct MemoryFigures {
  long resident_kb = -1;  // VmRSS; -1 when not known
  long peak_kb = -1;      // VmHWM, the highest resident size so far
};

// Reads the VmRSS and VmHWM lines of a /proc/<pid>/status text.
MemoryFigures ParseProcStatus(std::string_view status);
// This process's memory now (/proc/self/status).
MemoryFigures CurrentMemory();

// "85.3 MB", or "unknown".
std::string MegabytesText(long kb);
// "+0.4 MB", "-1.2 MB", or "unknown" when either figure is.
std::string MegabytesChangeText(long from_kb, long to_kb);

class Durations {
 public:
  void Add(double ms) { values_.push_back(ms); }
  std::size_t Count() const { return values_.size(); }
  // 0 when empty.
  double Median() const;
  double Max() const;
  // "median 12.3 ms, max 45.6 ms (7)", or "none".
  std::string Text() const;

 private:
  std::vector<double> values_;
};

}  // namespace veldoran::soak
