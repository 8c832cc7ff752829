// veldoran-cli against veldoran-sim, start of the command to exit, beside the wire's limit at
// 57600 baud (10 bits a byte): a read of 1000 events, an upload of 100 card lines with their
// acknowledgements, and a status query. Prints figures; never passes or fails on time.
//
//   build/release/bench/cli/cli_bench [--rounds N]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;

// Seconds from the start of veldoran-cli to its exit, or -1 when it failed.
double Time(std::vector<std::string> args) {
  args.insert(args.begin(), VELDORAN_CLI_PROGRAM);
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (!freopen("/dev/null", "w", stdout)) _exit(99);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(98);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double WireSeconds(double bytes) { return bytes * 10.0 / 57600.0; }

void Print(const char* what, const std::vector<double>& runs, double limit, const char* target) {
  const double median = Median(runs);
  if (median < 0) {
    std::printf("%-34s FAILED\n", what);
    return;
  }
  std::printf("%-34s median %8.1f ms (min %.1f, max %.1f)", what, median * 1e3,
              *std::min_element(runs.begin(), runs.end()) * 1e3,
              *std::max_element(runs.begin(), runs.end()) * 1e3);
  if (limit > 0) {
    std::printf("  wire %8.1f ms  %+6.1f %%  (target %s)\n", limit * 1e3,
                (median / limit - 1) * 100, target);
  } else {
    std::printf("  (target %s)\n", target);
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  int rounds = 5;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
  }
  veldoran::testing::PrivateConfigHome home;
  const auto dir = home.path() / "work";
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
  veldoran::testing::SimProcess sim({"--events", "1000", "--quiet", "--seed", "1"},
                                    dir / "sim.log");
  if (!sim.Ready()) {
    std::fprintf(stderr, "veldoran-sim did not start\n");
    return 1;
  }
  const std::string port = "COM" + std::to_string(sim.Port());
  {
    std::ofstream config(dir / "Config.ini", std::ios::binary);
    config << "[kod]\r\n";
    for (int n = 1; n <= 100; ++n) {
      char code[16];
      std::snprintf(code, sizeof code, "%08X", 0x10000000u + static_cast<unsigned>(n));
      config << n << "=" << code << "\r\n";
    }
  }
  std::vector<double> events, upload, status;
  for (int r = 0; r < rounds; ++r) {
    events.push_back(Time({"--port", port, "events", "--csv", (dir / "e.csv").string()}));
    upload.push_back(Time({"--port", port, "upload"}));
    for (int i = 0; i < 10; ++i) status.push_back(Time({"--port", port, "status"}));
  }
  std::printf("veldoran-cli against veldoran-sim on %s, %d rounds\n", port.c_str(), rounds);
  // The read: a status line (29 bytes) and 1000 records of 21 bytes.
  Print("events, 1000 records, to CSV", events, WireSeconds(29 + 21000), "within 5 %");
  // The upload: a status line, then 100 card lines (12 bytes) each answered by its 19-byte
  // acknowledgement before the next, and the clock line (10 bytes).
  Print("upload, 100 lines", upload, WireSeconds(2 + 29 + 100 * (12 + 19) + 10), "within 10 %");
  Print("status, start to exit", status, 0, "under 50 ms");
  std::printf(
      "(veldoran-sim paces its replies at the line's speed but takes commands as fast as "
      "they come, so an upload can beat the two-way wire time)\n");
  return 0;
}
