#include "support/fake_controller.h"

namespace veldoran::testing {

FakeController::FakeController(win::FakeSerialDriver& driver, std::string port)
    : driver_(driver), port_(std::move(port)) {
  driver_.AddPort(port_);
  driver_.SetWriteHook(port_, [this](std::string_view bytes) { OnWrite(bytes); });
}

FakeController::~FakeController() { driver_.SetWriteHook(port_, nullptr); }

void FakeController::OnWrite(std::string_view bytes) {
  written_.append(bytes);
  std::string reply = model_.Receive(bytes);
  if (filter_) reply = filter_(reply);
  if (!silent_ && !reply.empty()) driver_.InjectInput(port_, reply);
}

void FakeController::PresentCard(const std::string& code) {
  const sim::CardRead read = model_.PresentCode(code);
  if (!silent_) driver_.InjectInput(port_, read.line);
}

}  // namespace veldoran::testing
