#include "support/window_fixture.h"

#include <QCoreApplication>
#include <QPushButton>
#include <thread>

namespace veldoran::testing {

WindowTest::WindowTest()
    : cwd_(dir_.path()),
      driver_(std::make_shared<win::FakeSerialDriver>()),
      registry_(std::make_shared<win::MemoryRegistry>()),
      controller_(*driver_, "COM1") {
  MapPorts({"COM1"});
  services_.dialogs = &dialogs_;
  services_.clock = &clock_;
  services_.formats = PinnedFormats();
  services_.main_thread = &main_thread_;
  services_.serial_api = driver_;
  services_.registry = registry_;
  services_.watch_devices = false;
  clock_.on_sleep = [this](int) { SettleDeliveries(); };
}

WindowTest::~WindowTest() { form_.reset(); }

app::TForm1& WindowTest::Form() {
  if (!form_) form_ = std::make_unique<app::TForm1>(services_);
  return *form_;
}

void WindowTest::MapPorts(const std::vector<std::string>& ports) {
  std::vector<win::MemoryRegistry::Value> values;
  int n = 0;
  for (const std::string& port : ports) {
    values.push_back({"\\Device\\Serial" + std::to_string(n++), win::REG_SZ,
                      std::string(port.c_str(), port.size() + 1)});
  }
  registry_->ReplaceValues(win::HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", values);
}

void WindowTest::Deliver(std::string bytes) {
  Form().spComm1AfterReceive(nullptr, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

void WindowTest::Connect() {
  Form().SpeedButton2->click();
  ASSERT_TRUE(dialogs_.errors.isEmpty()) << dialogs_.errors.join("|").toStdString();
}

bool WindowTest::ProcessUntil(const std::function<bool()>& done,
                              std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

void WindowTest::SettleDeliveries() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (driver_->InputQueued("COM1") > 0 && main_thread_.PendingSynchronizeCount() == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

}  // namespace veldoran::testing
