// The simulated controller's end of a serial line: a pseudo-terminal. The program on the other
// side opens the slave device as its COM port; the controller reads and writes the master.
//
// The controller keeps a slave descriptor of its own open, so that the other program closing
// and re-opening its port does not leave the master without a slave (reads on the master then
// fail with EIO). Closing everything is what an unplugged adapter looks like from the other side.
#pragma once

#include <string>

namespace veldoran::sim {

class PtyPort {
 public:
  PtyPort() = default;
  ~PtyPort() { Close(); }
  PtyPort(const PtyPort&) = delete;
  PtyPort& operator=(const PtyPort&) = delete;

  // Opens a new pseudo-terminal: a non-blocking master, and the slave in raw mode at 57600
  // baud, 8N1. False with `error` set on failure.
  bool Open(std::string& error);
  // Closes the master and the slave descriptor; the other side sees a hang-up.
  void Close();

  bool IsOpen() const { return master_ >= 0; }
  int master() const { return master_; }
  const std::string& device() const { return device_; }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string device_;
};

}  // namespace veldoran::sim
