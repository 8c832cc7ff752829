// The window under line faults: the real main window (TForm1) with the real serial driver and
// the Qt event loop, against veldoran-sim on a pseudo-terminal registered in a private port
// map. Message boxes are recorded instead of shown, so nothing waits for a click; checks never
// depend on the order in which a box and the work around it happen.
#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "support/recording_dialogs.h"
#include "support/sim_process.h"
#include "support/temp_dir.h"
#include "tools/soak/process_stats.h"

namespace veldoran::app {
class TForm1;
}

namespace veldoran::soak {

// How long the event loop stood still: a timer due every 10 ms notes the longest gap between
// its turns. The soak's own waits on the simulator are left out.
class StallMonitor {
 public:
  StallMonitor();
  double LongestMs() const { return longest_ms_; }
  // Forget the time since the last turn (the soak itself was busy).
  void Skip() { since_last_.restart(); }

 private:
  QTimer timer_;
  QElapsedTimer since_last_;
  double longest_ms_ = 0;
};

struct HangupFigures {
  int cycles = 0;
  int survived = 0;
  Durations port_closed;  // hang-up to the port shut down as broken
  Durations lost_shown;   // hang-up to "Rozłączony" on screen
  Durations recovery;     // "Połącz" after the re-plug to the controller shown answering
  int full_reads = 0;     // complete reads after a recovery
  int full_reads_ok = 0;
  std::vector<std::string> failures;
};

struct NoiseFigures {
  double minutes = 0;
  long noise_bytes = 0;
  unsigned status_lines = 0;  // handled while the noise ran
  int cards = 0;              // card-read lines mixed in
  int reads = 0;              // event reads started while the noise ran
  int boxes = 0;              // message boxes the noise caused
  MemoryFigures start;
  MemoryFigures end;
  long resident_max_kb = -1;
  double answering_after_ms = -1;  // from the end of the noise to the link shown answering
  std::vector<std::string> failures;
};

class WindowSoak {
 public:
  // `home` is the private port map (made before any thread started).
  WindowSoak(const testing::PrivateConfigHome& home, std::uint32_t seed, std::ostream& out);
  ~WindowSoak();
  WindowSoak(const WindowSoak&) = delete;
  WindowSoak& operator=(const WindowSoak&) = delete;

  // Starts the simulator, opens the window in a fresh working folder and presses "Połącz".
  bool Start(std::string& error);
  HangupFigures RunHangups(int cycles, std::chrono::milliseconds recovery_limit);
  NoiseFigures RunNoise(double minutes);
  double LongestStallMs() const { return stalls_ ? stalls_->LongestMs() : 0; }

 private:
  bool HangupCycle(int index, std::chrono::milliseconds recovery_limit, HangupFigures& f);
  bool FullRead();
  // Runs the event loop until `done` or the timeout; true when `done`.
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  void RunFor(std::chrono::milliseconds time);
  std::optional<std::string> SimCommand(const std::string& command);
  // Reads the answers of commands sent without waiting; the ones that are not "ok" are
  // failures.
  void DrainAnswers(std::vector<std::string>& failures);
  bool Connected() const;
  bool ShownLost() const;

  const testing::PrivateConfigHome& home_;
  std::mt19937 random_;
  std::ostream& out_;
  testing::TempDir dir_;
  std::unique_ptr<testing::ScopedWorkingDir> cwd_;
  testing::RecordingDialogs dialogs_;
  std::unique_ptr<testing::SimProcess> sim_;
  std::unique_ptr<app::TForm1> form_;
  std::unique_ptr<StallMonitor> stalls_;
  std::uint64_t received_ = 0;  // bytes delivered to the window since the last reset
};

}  // namespace veldoran::soak
