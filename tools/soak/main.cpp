// veldoran-soak: long fault runs against the tool that print figures as they go. See --help.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "support/sim_process.h"
#include "support/temp_dir.h"
#include "tools/soak/kill_save.h"
#include "tools/soak/process_stats.h"
#include "tools/soak/soak_options.h"
#include "tools/soak/window_soak.h"

namespace {

using namespace veldoran::soak;

std::string Ms(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f ms", ms);
  return text;
}

// K kills of a saving process. Runs first: it forks, so no thread may run yet.
bool RunKills(int kills, std::uint32_t seed, std::vector<std::string>& failures) {
  veldoran::testing::TempDir dir;
  KillSaveRun run(dir.path(), seed);
  std::string error;
  if (!run.Prepare(error)) {
    failures.push_back("kills: cannot prepare Config.ini: " + error);
    return false;
  }
  std::cout << "kills: one save of Config.ini (" << std::filesystem::file_size(run.file())
            << " bytes) takes " << run.figures().save_ms << " ms\n";
  for (int i = 1; i <= kills; ++i) {
    run.KillOnce();
    const KillSaveFigures& f = run.figures();
    if (i == kills || i % std::max(1, kills / 10) == 0) {
      std::cout << "kills " << i << "/" << kills << ": whole old file " << f.whole_old
                << ", whole new file " << f.whole_new << ", damaged " << f.damaged << "\n"
                << std::flush;
    }
  }
  run.Finish();
  const KillSaveFigures& f = run.figures();
  std::cout << "kills: " << f.kills << " kills during " << f.saves_completed
            << " completed saves; the file was the whole old one " << f.whole_old
            << " times, the whole new one " << f.whole_new << " times, damaged " << f.damaged
            << " times; at most " << f.temp_files_max << " temporary files right after a kill, "
            << f.temp_files_end << " after the next save\n";
  if (f.damaged > 0) {
    failures.push_back("kills: the file was damaged " + std::to_string(f.damaged) +
                       " times (first: " + f.first_damage + ")");
  }
  if (f.children_not_killed > 0) {
    failures.push_back("kills: " + std::to_string(f.children_not_killed) +
                       " saving processes stopped by themselves (a save failed)");
  }
  if (f.temp_files_end > 0) {
    failures.push_back("kills: " + std::to_string(f.temp_files_end) +
                       " temporary files of killed saves were left behind");
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  SoakOptions options;
  const std::string error =
      ParseSoakOptions(std::vector<std::string>(argv + 1, argv + argc), options);
  if (!error.empty()) {
    std::fprintf(stderr, "veldoran-soak: %s\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(SoakUsage().c_str(), stdout);
    return 0;
  }
  std::cout.setf(std::ios::unitbuf);  // figures appear as they come, also in a log file
  const std::uint32_t seed = options.seed ? *options.seed : std::random_device{}();
  std::cout << "veldoran-soak: seed " << seed << ", " << options.kills << " kills, "
            << options.cycles << " hang-ups, " << options.noise_minutes << " minutes of noise\n"
            << std::flush;
  std::vector<std::string> failures;

  if (options.kills > 0) RunKills(options.kills, seed, failures);

  if (options.cycles > 0 || options.noise_minutes > 0) {
    // The port map is private to the run; it is set before any thread starts.
    const veldoran::testing::PrivateConfigHome home;
    if (!std::getenv("QT_QPA_PLATFORM") && !std::getenv("DISPLAY") &&
        !std::getenv("WAYLAND_DISPLAY")) {
      ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QApplication app(argc, argv);
    WindowSoak window(home, seed, std::cout);
    std::string start_error;
    if (!window.Start(start_error)) {
      failures.push_back("window: " + start_error);
    } else {
      if (options.cycles > 0) {
        const HangupFigures h = window.RunHangups(options.cycles, options.recovery_limit);
        std::cout << "hang-ups: survived " << h.survived << "/" << h.cycles
                  << "; port shut down after the hang-up: " << h.port_closed.Text()
                  << "; link shown lost after: " << h.lost_shown.Text()
                  << "; recovery after \"Połącz\": " << h.recovery.Text()
                  << "; full reads after a recovery complete: " << h.full_reads_ok << "/"
                  << h.full_reads << "\n";
        for (const std::string& f : h.failures) failures.push_back("hang-ups: " + f);
      }
      if (options.noise_minutes > 0) {
        const NoiseFigures n = window.RunNoise(options.noise_minutes);
        const long growth_kb = n.end.resident_kb - n.start.resident_kb;
        std::cout << "noise: " << n.minutes << " minutes, " << n.noise_bytes << " bytes of noise, "
                  << n.status_lines << " status lines handled, " << n.cards << " cards and "
                  << n.reads << " reads mixed in, " << n.boxes
                  << " message boxes; link shown answering "
                  << (n.answering_after_ms >= 0 ? Ms(n.answering_after_ms) : "never")
                  << " after the noise; resident memory at start "
                  << MegabytesText(n.start.resident_kb) << ", at end "
                  << MegabytesText(n.end.resident_kb) << " ("
                  << MegabytesChangeText(n.start.resident_kb, n.end.resident_kb) << "), highest "
                  << MegabytesText(n.resident_max_kb) << "\n";
        for (const std::string& f : n.failures) failures.push_back("noise: " + f);
        if (n.start.resident_kb > 0 && n.end.resident_kb > 0 &&
            static_cast<double>(growth_kb) / 1024.0 > options.memory_growth_limit_mb) {
          failures.push_back("noise: resident memory grew by " + MegabytesText(growth_kb) +
                             ", more than " + std::to_string(options.memory_growth_limit_mb) +
                             " MB");
        }
      }
      const double stall = window.LongestStallMs();
      std::cout << "window: longest event-loop stall " << Ms(stall) << "\n";
      if (stall > static_cast<double>(options.stall_limit.count())) {
        failures.push_back("window: the event loop stood still for " + Ms(stall) + ", more than " +
                           Ms(static_cast<double>(options.stall_limit.count())));
      }
    }
  }

  if (failures.empty()) {
    std::cout << "veldoran-soak: PASSED (seed " << seed << ")\n";
    return 0;
  }
  std::cout << "veldoran-soak: FAILED (seed " << seed << "):\n";
  for (const std::string& f : failures) std::cout << "  " << f << "\n";
  return 1;
}
