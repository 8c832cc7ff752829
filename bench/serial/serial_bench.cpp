// Measures the port component on a pseudo-terminal and compares it with pySerial:
//   throughput: bulk data from the other side, counted in OnAfterReceive on the main thread;
//   latency: a small message written on the other side until OnAfterReceive has it (median and
//            99th percentile of 10,000);
//   idle CPU: the process's CPU time over 10 s with the port open and nothing arriving.
// Usage: serial_bench [--quick] [--no-python] [throughput|latency|idle]
//   (all three parts by default; VELDORAN_PYTHON overrides /usr/bin/python3)
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

// Runs the pySerial side; `on_ready` runs when it printed "ready". Returns its last line.
std::string RunPython(const std::string& args, const std::function<void()>& on_ready = {}) {
  const std::string command = Python() + " " + VELDORAN_PYSERIAL_BENCH + " " + args;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return {};
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
  if (status != 0) {
    std::fprintf(stderr, "pySerial run failed (%s): is python3-serial installed?\n",
                 command.c_str());
    return {};
  }
  return last;
}

struct Port {
  veldoran::testing::TempPortMap map;
  veldoran::testing::PtyPair pty;
  LoopMainThread main;
  std::unique_ptr<TspComm> comm;

  Port() {
    map.Link(42, pty.SlavePath());
    comm = std::make_unique<TspComm>(nullptr, main, std::make_shared<win::PosixSerialApi>());
    comm->SetComPortNo(42);
    comm->SetBaudRate(57600);
    comm->SetStreamProtocol(serial::spNone);
    comm->SetBufferInSize(20000);
  }
};

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const std::size_t index =
      std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())));
  return values[index];
}

void PrintRatio(const char* what, double ours, double theirs, const char* meaning) {
  if (theirs > 0) {
    std::printf("  ratio %-22s %.2f (%s)\n", what, ours / theirs, meaning);
  } else {
    std::printf("  ratio %-22s n/a (pySerial figure missing or zero)\n", what);
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  bool python = true;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      quick = true;
    } else if (std::strcmp(argv[i], "--no-python") == 0) {
      python = false;
    } else {
      only = argv[i];
    }
  }
  const auto run = [&](const char* part) { return only.empty() || only == part; };
  const std::size_t total = quick ? (8u << 20) : (64u << 20);
  const int messages = 10000;
  const int message_size = 8;
  const double idle_seconds = quick ? 2.0 : 10.0;

  std::printf("serial_bench: pseudo-terminal, %zu MiB bulk, %d x %d-byte messages, %.0f s idle\n",
              total >> 20, messages, message_size, idle_seconds);

  // --- throughput ---
  double ours_mbps = 0, theirs_mbps = 0;
  std::string chunk(65536, '\0');
  for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 31);
  if (run("throughput")) {
    Port port;
    std::size_t received = 0;
    std::size_t blocks = 0;
    port.comm->SetOnAfterReceive([&](TObject*, void*, std::uint32_t count) {
      received += count;
      ++blocks;
    });
    port.comm->SetActive(true);
    const double start = Monotonic();
    std::thread writer([&] {
      for (std::size_t sent = 0; sent < total; sent += chunk.size()) port.pty.Write(chunk);
    });
    port.main.ProcessUntil([&] { return received >= total; }, std::chrono::minutes(5));
    const double seconds = Monotonic() - start;
    writer.join();
    ours_mbps = static_cast<double>(received) / seconds / 1e6;
    std::printf("throughput  TspComm:  %8.1f MB/s  (%zu blocks, %.0f bytes per block)\n", ours_mbps,
                blocks, static_cast<double>(received) / static_cast<double>(blocks));
  }
  if (run("throughput") && python) {
    veldoran::testing::PtyPair pty;
    double start = 0;
    std::thread writer;
    const std::string out =
        RunPython("throughput " + pty.SlavePath() + " " + std::to_string(total), [&] {
          start = Monotonic();
          writer = std::thread([&] {
            for (std::size_t sent = 0; sent < total; sent += chunk.size()) pty.Write(chunk);
          });
        });
    if (writer.joinable()) writer.join();
    if (!out.empty()) theirs_mbps = static_cast<double>(total) / (std::stod(out) - start) / 1e6;
    std::printf("throughput  pySerial: %8.1f MB/s\n", theirs_mbps);
  }

  // --- latency ---
  double ours_median = 0, ours_p99 = 0, theirs_median = 0, theirs_p99 = 0;
  if (run("latency")) {
    Port port;
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
      const std::string message(message_size, 'x');
      for (int i = 0; i < messages; ++i) {
        const double start = Monotonic();
        port.pty.Write(message);
        std::unique_lock lock(mutex);
        const std::size_t want = static_cast<std::size_t>(i + 1) * message_size;
        arrived.wait(lock, [&] { return received >= want; });
        latencies.push_back((arrival - start) * 1e6);
      }
      done = true;
    });
    port.main.ProcessUntil([&] { return done.load(); }, std::chrono::minutes(5));
    writer.join();
    ours_median = Percentile(latencies, 0.5);
    ours_p99 = Percentile(latencies, 0.99);
    std::printf("latency     TspComm:  median %7.1f us  p99 %7.1f us\n", ours_median, ours_p99);
  }
  if (run("latency") && python) {
    const std::string out =
        RunPython("latency " + std::to_string(messages) + " " + std::to_string(message_size));
    std::vector<double> values;
    std::istringstream in(out);
    for (double v; in >> v;) values.push_back(v);
    if (!values.empty()) {
      theirs_median = Percentile(values, 0.5);
      theirs_p99 = Percentile(values, 0.99);
    }
    std::printf("latency     pySerial: median %7.1f us  p99 %7.1f us\n", theirs_median, theirs_p99);
  }

  // --- idle CPU ---
  double ours_idle = 0, theirs_idle = 0;
  if (run("idle")) {
    Port port;
    port.comm->SetOnAfterReceive([](TObject*, void*, std::uint32_t) {});
    port.comm->SetActive(true);
    const double cpu_start = CpuSeconds();
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<int>(idle_seconds * 1000));
    // The main thread sleeps until something is queued for it, as an event loop does.
    while (std::chrono::steady_clock::now() < deadline) {
      port.main.Queue()->WaitForRequest(deadline);
      port.main.ProcessMessages();
    }
    ours_idle = (CpuSeconds() - cpu_start) / idle_seconds * 100.0;
    std::printf("idle CPU    TspComm:  %.4f %%\n", ours_idle);
  }
  if (run("idle") && python) {
    const std::string out = RunPython("idle " + std::to_string(idle_seconds));
    if (!out.empty()) theirs_idle = std::stod(out) / idle_seconds * 100.0;
    std::printf("idle CPU    pySerial: %.4f %%\n", theirs_idle);
  }

  std::printf("ratios (TspComm / pySerial):\n");
  PrintRatio("throughput", ours_mbps, theirs_mbps, "goal >= 1");
  PrintRatio("latency median", ours_median, theirs_median, "lower is better");
  PrintRatio("latency p99", ours_p99, theirs_p99, "lower is better");
  PrintRatio("idle CPU", ours_idle, theirs_idle, "lower is better");
  const auto goal = [](bool known, bool met) { return !known ? "n/a" : met ? "met" : "NOT met"; };
  std::printf(
      "goals: throughput >= pySerial's: %s; median latency < 200 us: %s; "
      "idle CPU < 0.1 %%: %s\n",
      goal(ours_mbps > 0 && theirs_mbps > 0, ours_mbps >= theirs_mbps),
      goal(ours_median > 0, ours_median < 200), goal(run("idle"), ours_idle < 0.1));
  return 0;
}
