// veldoran-sim run as a child process for the integration tests: a private port map, the port
// it registers, its commands on standard input and their answers on standard output, and what
// its "dump" command reports.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veldoran::testing {

// A fresh folder made XDG_CONFIG_HOME of this process (and so of the children it starts): the
// port map that the simulator registers in and the port component resolves "COM<n>" through is
// private to the test. The previous value comes back and the folder goes at the end. Make it
// before any port thread runs: the environment is not thread-safe.
class PrivateConfigHome {
 public:
  PrivateConfigHome();
  ~PrivateConfigHome();
  PrivateConfigHome(const PrivateConfigHome&) = delete;
  PrivateConfigHome& operator=(const PrivateConfigHome&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path PortLink(int number) const;

 private:
  std::filesystem::path path_;
  std::optional<std::string> previous_;
};

// The simulator's state as its "dump" command prints it.
struct SimDump {
  struct Event {
    int card_slot = 0;
    std::int32_t clock = 0;
  };
  int number = 0;
  std::int32_t clock = 0;
  bool plugged = false;
  bool answering = false;
  int stored_cards = 0;              // the "cards N" line
  std::map<int, std::string> cards;  // slot -> code, slots that hold a card
  std::vector<Event> events;         // by event slot
};

class SimProcess {
 public:
  static constexpr std::chrono::seconds kDeadline{20};

  // Starts veldoran-sim with `args` (standard error to `log`) and waits for the line that
  // names its port. Check Ready() before use.
  SimProcess(const std::vector<std::string>& args, const std::filesystem::path& log);
  ~SimProcess();  // kills and reaps it
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  bool Ready() const { return port_ > 0; }
  int Port() const { return port_; }
  const std::string& Device() const { return device_; }

  // Sends one command line and returns the first line it answers, or nothing at the deadline.
  std::optional<std::string> Command(std::string_view command);
  // "dump", read up to its "end" line and parsed; nothing when it does not come or is malformed.
  std::optional<SimDump> Dump();
  // The next line on its standard output, or nothing at the deadline.
  std::optional<std::string> ReadLine();
  // Sends one command line without waiting for its answer, for callers that must keep an event
  // loop turning; TryReadLine() picks the answers up. Its answers must be read: a simulator
  // whose output is not read stops once the pipe is full.
  void Send(std::string_view command);
  // The next line on its standard output if a whole one is there now; never waits.
  std::optional<std::string> TryReadLine();

  // What it logged so far (the serial traffic unless started with --quiet).
  std::string LogText() const;

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string pending_;
  std::filesystem::path log_;
  int port_ = 0;
  std::string device_;
};

// The clock value's local date-time as "yyyy-MM-dd" and "HH:mm:ss": the value counts seconds
// from 1970-01-01 00:00 local wall-clock time, less two hours.
std::string ClockDateText(std::int32_t clock);
std::string ClockTimeText(std::int32_t clock);

}  // namespace veldoran::testing
