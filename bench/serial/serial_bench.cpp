// Measures the port component on a pseudo-terminal and compares it with pySerial:
//   throughput: bulk data from the other side, counted in OnAfterReceive on the main thread;
//   latency: a small message written on the other side until OnAfterReceive has it (median and
//            99th percentile of 10,000);
//   idle CPU: the process's CPU time over 10 s with the port open and nothing arriving.
// Each measurement runs in rounds that alternate between the component and pySerial (component,
// pySerial, component, pySerial, ...), so that a noisy moment on the machine falls on one round
// and not on one side; a verdict rests on the median of the rounds' ratios, printed with their
// range.
// Usage: serial_bench [--quick] [--no-python] [--rounds N] [throughput|latency|idle]
//   (all three parts by default; at least 5 rounds, 5 by default; VELDORAN_PYTHON overrides
//   /usr/bin/python3)
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/posix_serial.h"
#include "pty_pair.h"
#include "serial/spcomm.h"

using namespace veldoran;
using serial::LoopMainThread;
using serial::TObject;
using serial::TspComm;

namespace {

constexpr int kPortNumber = 42;
constexpr int kMinRounds = 5;

double Monotonic() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::string Python() {
  const char* python = std::getenv("VELDORAN_PYTHON");
  return python && *python ? python : "/usr/bin/python3";
}

// Runs the pySerial side; `on_ready` runs when it printed "ready". Returns its last line, or
// nothing when it failed.
std::optional<std::string> RunPython(const std::string& args,
                                     const std::function<void()>& on_ready = {}) {
  const std::string command = Python() + " " + VELDORAN_PYSERIAL_BENCH + " " + args;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return std::nullopt;
  std::string line, last;
  char buffer[1 << 16];
  while (std::fgets(buffer, sizeof buffer, pipe)) {
    line += buffer;
    if (line.empty() || line.back() != '\n') continue;
    line.pop_back();
    if (line == "ready" && on_ready) {
      on_ready();
    } else {
      last = line;
    }
    line.clear();
  }
  const int status = ::pclose(pipe);
  if (status != 0 || last.empty()) {
    std::fprintf(stderr, "pySerial run failed (%s): is python3-serial installed?\n",
                 command.c_str());
    return std::nullopt;
  }
  return last;
}

// The component on a fresh pseudo-terminal, registered as COM42 in the benchmark's port map.
struct Port {
  veldoran::testing::PtyPair pty;
  LoopMainThread main;
  std::unique_ptr<TspComm> comm;

  explicit Port(const veldoran::testing::TempPortMap& map) {
    map.Link(kPortNumber, pty.SlavePath());
    comm = std::make_unique<TspComm>(nullptr, main, std::make_shared<win::PosixSerialApi>());
    comm->SetComPortNo(kPortNumber);
    comm->SetBaudRate(57600);
    comm->SetStreamProtocol(serial::spNone);
    comm->SetBufferInSize(20000);
  }
};

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t index =
      std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())));
  return values[index];
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string Chunk() {
  std::string chunk(65536, '\0');
  for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 31);
  return chunk;
}

// ---- One round of each measurement; each returns nothing when it could not be made. ----

std::optional<double> OursThroughput(const veldoran::testing::TempPortMap& map, std::size_t total) {
  const std::string chunk = Chunk();
  Port port(map);
  std::size_t received = 0;
  port.comm->SetOnAfterReceive([&](TObject*, void*, std::uint32_t count) { received += count; });
  port.comm->SetActive(true);
  const double start = Monotonic();
  std::thread writer([&] {
    for (std::size_t sent = 0; sent < total; sent += chunk.size()) port.pty.Write(chunk);
  });
  port.main.ProcessUntil([&] { return received >= total; }, std::chrono::minutes(5));
  const double seconds = Monotonic() - start;
  writer.join();
  if (received < total) return std::nullopt;
  return static_cast<double>(received) / seconds / 1e6;
}

std::optional<double> TheirsThroughput(std::size_t total) {
  const std::string chunk = Chunk();
  veldoran::testing::PtyPair pty;
  double start = 0;
  std::thread writer;
  const auto out = RunPython("throughput " + pty.SlavePath() + " " + std::to_string(total), [&] {
    start = Monotonic();
    writer = std::thread([&] {
      for (std::size_t sent = 0; sent < total; sent += chunk.size()) pty.Write(chunk);
    });
  });
  if (writer.joinable()) writer.join();
  if (!out) return std::nullopt;
  return static_cast<double>(total) / (std::stod(*out) - start) / 1e6;
}

struct Latency {
  double median_us = 0;
  double p99_us = 0;
};

std::optional<Latency> OursLatency(const veldoran::testing::TempPortMap& map, int messages,
                                   int message_size) {
  Port port(map);
  std::mutex mutex;
  std::condition_variable arrived;
  std::size_t received = 0;
  double arrival = 0;
  port.comm->SetOnAfterReceive([&](TObject*, void*, std::uint32_t count) {
    const double now = Monotonic();
    std::lock_guard lock(mutex);
    received += count;
    arrival = now;
    arrived.notify_one();
  });
  port.comm->SetActive(true);
  std::vector<double> latencies;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    const std::string message(static_cast<std::size_t>(message_size), 'x');
    for (int i = 0; i < messages; ++i) {
      const double start = Monotonic();
      port.pty.Write(message);
      std::unique_lock lock(mutex);
      const std::size_t want = static_cast<std::size_t>(i + 1) * message_size;
      if (!arrived.wait_for(lock, std::chrono::seconds(10), [&] { return received >= want; })) {
        break;
      }
      latencies.push_back((arrival - start) * 1e6);
    }
    done = true;
  });
  port.main.ProcessUntil([&] { return done.load(); }, std::chrono::minutes(5));
  writer.join();
  if (latencies.size() != static_cast<std::size_t>(messages)) return std::nullopt;
  return Latency{Percentile(latencies, 0.5), Percentile(latencies, 0.99)};
}

std::optional<Latency> TheirsLatency(int messages, int message_size) {
  const auto out =
      RunPython("latency " + std::to_string(messages) + " " + std::to_string(message_size));
  if (!out) return std::nullopt;
  std::vector<double> values;
  std::istringstream in(*out);
  for (double v; in >> v;) values.push_back(v);
  if (values.empty()) return std::nullopt;
  return Latency{Percentile(values, 0.5), Percentile(values, 0.99)};
}

// Percent of one CPU.
double OursIdle(const veldoran::testing::TempPortMap& map, double seconds) {
  Port port(map);
  port.comm->SetOnAfterReceive([](TObject*, void*, std::uint32_t) {});
  port.comm->SetActive(true);
  const double cpu_start = CpuSeconds();
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<int>(seconds * 1000));
  // The main thread sleeps until something is queued for it, as an event loop does.
  while (std::chrono::steady_clock::now() < deadline) {
    port.main.Queue()->WaitForRequest(deadline);
    port.main.ProcessMessages();
  }
  return (CpuSeconds() - cpu_start) / seconds * 100.0;
}

std::optional<double> TheirsIdle(double seconds) {
  const auto out = RunPython("idle " + std::to_string(seconds));
  if (!out) return std::nullopt;
  return std::stod(*out) / seconds * 100.0;
}

// ---- Rounds and their reduction ----

// One figure of both sides over the rounds.
struct Series {
  const char* name;
  const char* unit;
  bool higher_is_better;
  std::vector<double> ours;
  std::vector<double> theirs;  // same length as ours when pySerial runs
};

// The ratio of each round (ours / theirs); rounds where either figure is missing or zero have
// none.
std::vector<double> Ratios(const Series& s) {
  std::vector<double> ratios;
  for (std::size_t i = 0; i < s.ours.size() && i < s.theirs.size(); ++i) {
    if (s.ours[i] > 0 && s.theirs[i] > 0) ratios.push_back(s.ours[i] / s.theirs[i]);
  }
  return ratios;
}

void PrintSeries(const Series& s) {
  const auto list = [](const std::vector<double>& values) {
    std::string text;
    char item[32];
    for (const double v : values) {
      std::snprintf(item, sizeof item, "%s%.4g", text.empty() ? "" : " ", v);
      text += item;
    }
    return text;
  };
  std::printf("  %-16s TspComm:  median %9.4g %s  (rounds: %s)\n", s.name, Median(s.ours), s.unit,
              list(s.ours).c_str());
  if (s.theirs.empty()) return;
  std::printf("  %-16s pySerial: median %9.4g %s  (rounds: %s)\n", "", Median(s.theirs), s.unit,
              list(s.theirs).c_str());
}

// "1.52 (range 1.31 to 1.77 over 5 rounds)"; nothing when no round has a ratio.
std::optional<double> PrintRatio(const Series& s) {
  const std::vector<double> ratios = Ratios(s);
  if (ratios.empty()) {
    std::printf("  ratio %-22s n/a (a pySerial figure is missing or zero)\n", s.name);
    return std::nullopt;
  }
  const double median = Median(ratios);
  const auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
  std::printf("  ratio %-22s median %.2f, range %.2f to %.2f over %zu rounds (%s is better)\n",
              s.name, median, *low, *high, ratios.size(), s.higher_is_better ? "higher" : "lower");
  return median;
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  bool python = true;
  int rounds = kMinRounds;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      quick = true;
    } else if (std::strcmp(argv[i], "--no-python") == 0) {
      python = false;
    } else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
      if (rounds < kMinRounds) {
        std::fprintf(stderr, "serial_bench: --rounds needs at least %d\n", kMinRounds);
        return 2;
      }
    } else if (argv[i][0] == '-') {
      std::fprintf(stderr,
                   "usage: serial_bench [--quick] [--no-python] [--rounds N] "
                   "[throughput|latency|idle]\n");
      return 2;
    } else {
      only = argv[i];
    }
  }
  const auto run = [&](const char* part) { return only.empty() || only == part; };
  const std::size_t total = quick ? (8u << 20) : (64u << 20);
  const int messages = 10000;
  const int message_size = 8;
  const double idle_seconds = quick ? 2.0 : 10.0;

  std::printf(
      "serial_bench: pseudo-terminal, %zu MiB bulk, %d x %d-byte messages, %.0f s idle; %d "
      "rounds alternating TspComm and pySerial\n",
      total >> 20, messages, message_size, idle_seconds, rounds);
  std::fflush(stdout);
  const veldoran::testing::TempPortMap map;  // before any thread starts: it sets the environment

  Series throughput{"throughput", "MB/s", true, {}, {}};
  Series latency_median{"latency median", "us", false, {}, {}};
  Series latency_p99{"latency p99", "us", false, {}, {}};
  Series idle{"idle CPU", "%", false, {}, {}};
  bool failed = false;
  const auto note = [&](std::vector<double>& to, std::optional<double> value, const char* what) {
    if (!value) {
      std::fprintf(stderr, "serial_bench: a round of %s failed\n", what);
      failed = true;
    }
    to.push_back(value.value_or(0));
  };

  for (int round = 1; round <= rounds; ++round) {
    if (run("throughput")) {
      note(throughput.ours, OursThroughput(map, total), "TspComm throughput");
      if (python) note(throughput.theirs, TheirsThroughput(total), "pySerial throughput");
    }
    if (run("latency")) {
      const auto ours = OursLatency(map, messages, message_size);
      note(latency_median.ours, ours ? std::optional(ours->median_us) : std::nullopt,
           "TspComm latency");
      latency_p99.ours.push_back(ours ? ours->p99_us : 0);
      if (python) {
        const auto theirs = TheirsLatency(messages, message_size);
        note(latency_median.theirs, theirs ? std::optional(theirs->median_us) : std::nullopt,
             "pySerial latency");
        latency_p99.theirs.push_back(theirs ? theirs->p99_us : 0);
      }
    }
    if (run("idle")) {
      idle.ours.push_back(OursIdle(map, idle_seconds));
      if (python) note(idle.theirs, TheirsIdle(idle_seconds), "pySerial idle");
    }
    std::fprintf(stderr, "serial_bench: round %d of %d done\n", round, rounds);
  }

  std::printf("figures (median of the rounds, then each round in order):\n");
  std::vector<const Series*> measured;
  if (run("throughput")) measured.push_back(&throughput);
  if (run("latency")) {
    measured.push_back(&latency_median);
    measured.push_back(&latency_p99);
  }
  if (run("idle")) measured.push_back(&idle);
  for (const Series* s : measured) PrintSeries(*s);

  std::optional<double> throughput_ratio;
  if (python) {
    std::printf("ratios TspComm / pySerial, round by round:\n");
    for (const Series* s : measured) {
      const auto median = PrintRatio(*s);
      if (s == &throughput) throughput_ratio = median;
    }
  }
  const auto goal = [](bool known, bool met) { return !known ? "n/a" : met ? "met" : "NOT met"; };
  const double ours_latency = Median(latency_median.ours);
  const double ours_idle = Median(idle.ours);
  std::printf(
      "goals (on the medians): throughput >= pySerial's: %s; median latency < 200 us: %s; "
      "idle CPU < 0.1 %%: %s\n",
      goal(throughput_ratio.has_value(), throughput_ratio.value_or(0) >= 1.0),
      goal(run("latency") && ours_latency > 0, ours_latency < 200),
      goal(run("idle"), ours_idle < 0.1));
  return failed ? 1 : 0;
}
