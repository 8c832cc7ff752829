// The controller on its COM port, for one command: the port component opened with the
// controller's line settings, its deliveries cut into replies, and waits that end as soon as
// what the command waits for has arrived, or after the time-out, the loss of the port or Ctrl-C.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/serial_api.h"
#include "serial/main_thread.h"
#include "tools/cli/reply_reader.h"

namespace veldoran::serial {
class TspComm;
}

namespace veldoran::cli {

class Interrupt;

enum class WaitEnd { kDone, kTimeout, kPortLost, kInterrupted };

// Why a port did not open, and the message for the user.
struct OpenFailure {
  enum Kind { kMissing, kBusy, kNoPermission, kOther };
  Kind kind = kOther;
  std::string message;
};

// The message for a port that did not open with the system error `code` (and its text).
// `device` is the device node the port stands for (POSIX), empty when unknown.
OpenFailure DescribeOpenFailure(std::uint16_t port, win::DWORD code, const std::string& system_text,
                                const std::string& device);

class ControllerLink {
 public:
  ControllerLink(serial::LoopMainThread& main, const Interrupt& interrupt,
                 std::shared_ptr<win::SerialApi> api);
  ~ControllerLink();
  ControllerLink(const ControllerLink&) = delete;
  ControllerLink& operator=(const ControllerLink&) = delete;

  // Opens COM<port> at 57600 baud 8N1; a port that does not open raises CliError with
  // kExitPort and a message that says why.
  void Open(std::uint16_t port);
  std::uint16_t Port() const { return port_; }

  void Send(const std::string& line);

  // Hands each reply, as it arrives, to `take` until it returns true (kDone). Ends with
  // kTimeout when `timeout` passes without any reply, so a long answer (the event memory) may
  // take as long as it keeps coming.
  WaitEnd Await(const std::function<bool(const Reply&)>& take, std::chrono::milliseconds timeout);

  // Waits until what was sent has left the driver (so closing the port does not drop it),
  // at most `timeout`.
  void Drain(std::chrono::milliseconds timeout);

  // Runs `tick` on the main thread every `interval` while Await runs, until the link goes.
  void Every(std::chrono::milliseconds interval, std::function<void()> tick);

 private:
  serial::LoopMainThread& main_;
  const Interrupt& interrupt_;
  std::shared_ptr<win::SerialApi> api_;
  std::unique_ptr<serial::TspComm> comm_;
  ReplyReader reader_;
  std::deque<Reply> arrived_;  // cut out of deliveries, not yet handed to a wait
  bool lost_ = false;
  bool closing_ = false;
  std::uint16_t port_ = 0;
  std::vector<serial::MainThread::TimerId> timers_;
};

}  // namespace veldoran::cli
