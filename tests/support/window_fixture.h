// A main window for a test: in a fresh working folder (Config.ini lands there), with recording
// dialogs, a manual clock and pinned date and time formats.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/form1.h"
#include "support/qt_printers.h"
#include "support/recording_dialogs.h"
#include "support/temp_dir.h"

namespace veldoran::testing {

class WindowTest : public ::testing::Test {
 protected:
  WindowTest() : cwd_(dir_.path()) {
    services_.dialogs = &dialogs_;
    services_.clock = &clock_;
    services_.formats = PinnedFormats();
  }
  // The window is made on first use, so a test can prepare Config.ini before it starts.
  app::TForm1& Form() {
    if (!form_) form_ = std::make_unique<app::TForm1>(services_);
    return *form_;
  }
  void Deliver(const std::string& bytes) {
    Form().spComm1AfterReceive(nullptr, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  }

  TempDir dir_;
  ScopedWorkingDir cwd_;
  RecordingDialogs dialogs_;
  ManualClock clock_;
  app::Services services_;
  std::unique_ptr<app::TForm1> form_;
};

}  // namespace veldoran::testing
