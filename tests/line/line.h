// One serial line for the tests that run on both backends: the COM port the program opens, and
// the device at the line's far end, which the test plays.
//
// On POSIX the line is a pseudo-terminal made in the test process: its slave side is linked
// into a private port map as COM<n>, its master side is the device. Under Wine the test is a
// Windows program and cannot make one: the line helper of tests/wine (a Linux program the CTest
// fixture starts) makes the pseudo-terminal, links it into the Wine prefix as COM<n>, and plays
// the device on the test's behalf over a local TCP connection. Either way the line survives the
// port's closes until the test hangs it up, and nobody reads the far end unless the test does.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/serial_api.h"

namespace veldoran::testing {

// What the port made of the terminal's line settings.
struct LineSettings {
  std::uint32_t baud = 0;
  bool two_stop_bits = false;
  bool rts_cts = false;
  bool xon_xoff_out = false;  // the port stops sending on XOFF
  bool xon_xoff_in = false;   // the port sends XOFF when its input fills up
};

class Line {
 public:
  Line();
  ~Line();
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  // The port's number and name ("COM<n>"); each line has a number of its own.
  int Number() const;
  std::string PortName() const;

  // The device sends `bytes` (blocks while the line is full).
  void Write(std::string_view bytes);
  // The device sends what of `bytes` the line takes now, without waiting.
  void WriteSome(std::string_view bytes);
  // What the device received: up to `count` bytes, waiting up to `timeout` for them.
  std::string Read(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(20));
  LineSettings Settings();
  // The device is unplugged: both sides of the line go.
  void HangUp();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// The serial backend under test: termios on POSIX, the real Win32 API on Windows.
std::shared_ptr<win::SerialApi> LineSerialApi();

// Whether the Windows build runs under Wine, which differs from Windows in a few places the
// tests allow for.
bool OnWine();
// Whether the tests run the Windows backend.
bool OnWindows();

}  // namespace veldoran::testing
