// The controller model answering on a fake serial port: every write the tool makes is fed to
// the model, and its replies arrive as input, as the simulator answers on a pseudo-terminal.
#pragma once

#include <functional>
#include <string>

#include "platform/fake/fake_serial.h"
#include "tools/sim/controller_model.h"

namespace veldoran::testing {

class FakeController {
 public:
  // Answers on `port` of `driver`, which must outlive this object.
  FakeController(win::FakeSerialDriver& driver, std::string port = "COM1");
  ~FakeController();
  FakeController(const FakeController&) = delete;
  FakeController& operator=(const FakeController&) = delete;

  sim::ControllerModel& model() { return model_; }

  // A silent controller takes commands (the model still acts on them) but sends nothing back.
  void SetSilent(bool silent) { silent_ = silent; }
  bool Silent() const { return silent_; }
  // Changes each reply before it goes on the line (e.g. to garble an echo); empty: as is.
  void SetReplyFilter(std::function<std::string(const std::string&)> filter) {
    filter_ = std::move(filter);
  }
  // Presents a card at the reader: the card-read line goes on the line.
  void PresentCard(const std::string& code);

  // Everything the tool wrote, as one string.
  const std::string& Written() const { return written_; }
  void ClearWritten() { written_.clear(); }

 private:
  void OnWrite(std::string_view bytes);

  win::FakeSerialDriver& driver_;
  std::string port_;
  sim::ControllerModel model_;
  bool silent_ = false;
  std::function<std::string(const std::string&)> filter_;
  std::string written_;
};

}  // namespace veldoran::testing
