// A main window for a test: in a fresh working folder (Config.ini lands there), with recording
// dialogs, a manual clock, pinned date and time formats, and the controller model answering on
// the fake serial port COM1, which the serial-port map of an in-memory registry lists. Port
// deliveries go through the Qt event loop as in the program. The window does not watch the
// machine's devices.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/form1.h"
#include "platform/fake/fake_serial.h"
#include "platform/memory_registry.h"
#include "serial/qt/qt_main_thread.h"
#include "support/fake_controller.h"
#include "support/qt_printers.h"
#include "support/recording_dialogs.h"
#include "support/temp_dir.h"

namespace veldoran::testing {

class WindowTest : public ::testing::Test {
 protected:
  WindowTest();
  ~WindowTest() override;

  // The window is made on first use, so a test can prepare Config.ini before it starts.
  app::TForm1& Form();
  // Lists `ports` ("COM3", ...) in the serial-port map, in this order.
  void MapPorts(const std::vector<std::string>& ports);
  // Hands bytes to the receive handler as the port would.
  void Deliver(std::string bytes);
  // Opens the port as "Połącz" does.
  void Connect();
  // Runs the event loop until `done` or a generous deadline; true when `done`.
  bool ProcessUntil(const std::function<bool()>& done,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // A fixed wait of an operation: instead of sleeping, waits (for real) only until the replies
  // the fake controller has already put on the line are ready to be delivered.
  void SettleDeliveries();

  TempDir dir_;
  ScopedWorkingDir cwd_;
  RecordingDialogs dialogs_;
  ManualClock clock_;
  serial::QtMainThread main_thread_;
  std::shared_ptr<win::FakeSerialDriver> driver_;
  std::shared_ptr<win::MemoryRegistry> registry_;
  FakeController controller_;
  app::Services services_;
  std::unique_ptr<app::TForm1> form_;
};

}  // namespace veldoran::testing
