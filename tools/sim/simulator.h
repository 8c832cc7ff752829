// The simulated controller program's I/O loop: the controller model on a pseudo-terminal that is
// registered as COM<n> in the port map, replies paced at 57600 baud, a readable traffic log,
// and operator commands (cards, events, faults, hang-up) read line by line.
//
// Single-threaded and driven by poll(): Step() waits once for the line, the command input, the
// stop descriptor or the next reply byte that is due, and handles what is ready; Run() steps
// until a stop is requested. Tests can step it themselves or run the program around it.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>

#include "tools/sim/controller_model.h"
#include "tools/sim/pty_port.h"
#include "tools/sim/reply_queue.h"
#include "tools/sim/sim_options.h"

namespace veldoran::sim {

// The standard-input commands, one per line, for --help and "help".
std::string CommandHelp();

// Where a COM link points while the simulated adapter is unplugged: a path that never exists,
// so the port is listed as not present and its number stays reserved.
inline constexpr const char* kUnpluggedDevice = "/dev/pts/veldoran-unplugged";

class Simulator {
 public:
  struct Fds {
    int input = -1;  // operator commands, one per line (-1: none)
    int out = 1;     // command answers and the port line
    int log = 2;     // traffic log
    int stop = -1;   // readable when the simulator should stop; each byte is a signal number
  };

  // Loads the initial state from `options`; the clock starts at the PC's local time.
  Simulator(const SimOptions& options, Fds fds);
  // Closes the pseudo-terminal and removes the COM link.
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Opens the pseudo-terminal, registers it and prints "veldoran-sim: COM<n> -> <device>".
  bool Start(std::string& error);
  // Waits at most `max_wait` for something to do, and does it.
  void Step(std::chrono::milliseconds max_wait);
  // Steps until a stop is requested (stop descriptor, or the "quit" command).
  void Run();

  // Carries out one operator command; returns its answer (one or more lines).
  std::string Execute(std::string_view command);

  bool Stopping() const { return stopping_; }
  bool Plugged() const { return pty_.IsOpen(); }
  int PortNumber() const { return port_number_; }
  const std::string& Device() const { return pty_.device(); }
  const ControllerModel& Model() const { return model_; }
  const ReplyQueue& Output() const { return output_; }

 private:
  void ReadLine();
  void ReadInput();
  void ReadStop();
  void Flush();
  void Transmit(std::string reply, std::string_view what);
  void LogExchange(const Exchange& e, const std::string& fault_note);
  void Log(std::string_view text);
  void Print(std::string_view text);
  std::string PortLine() const;
  std::string Hangup();
  std::string Plug();
  std::string Present(bool by_slot, std::string_view arg);
  std::string Dump() const;
  bool Repoint(const std::string& from, const std::string& to);

  Fds fds_;
  bool quiet_;
  std::uint32_t seed_;
  ControllerModel model_;
  ReplyQueue output_;
  std::mt19937 noise_random_;
  PtyPort pty_;
  int port_number_ = 0;
  bool registered_ = false;
  bool write_blocked_ = false;
  bool muted_ = false;
  bool stopping_ = false;
  std::string input_line_;
  bool input_overlong_ = false;
};

}  // namespace veldoran::sim
