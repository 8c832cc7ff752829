// Feeds arbitrary bytes, cut into arbitrary deliveries, to the receive dispatcher of the real
// window (offscreen) and checks what must hold after every delivery whatever arrives. Run it
// through tests/fuzz/run.sh, which suppresses the leaks of fontconfig's caches.
#include <QApplication>
#include <QProgressBar>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "app/form1.h"
#include "ui/clock.h"
#include "ui/dialogs.h"
#include "ui/string_grid.h"

namespace {

class SilentDialogs : public veldoran::ui::Dialogs {
 public:
  void ShowMessage(const QString&) override {}
  void ShowError(const QString&) override {}
  std::optional<QString> AskSaveFileName(const QString&, const QString&) override { return {}; }
};

struct World {
  World() {
    const auto folder = std::filesystem::temp_directory_path() / "veldoran-dispatcher-fuzz";
    std::filesystem::create_directories(folder);
    std::filesystem::current_path(folder);
    services.dialogs = &dialogs;
    services.clock = &clock;
    form = std::make_unique<veldoran::app::TForm1>(services);
  }
  SilentDialogs dialogs;
  veldoran::ui::SystemClock clock;
  veldoran::app::Services services;
  std::unique_ptr<veldoran::app::TForm1> form;
};

World* world = nullptr;

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // Neither the application nor the window is ever destroyed: a static QApplication would be
  // destroyed at exit after Qt's own global statics (the SQL module's connection list among
  // them), and its clean-up would then touch freed memory.
  new QApplication(*argc, *argv);
  world = new World;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  veldoran::app::TForm1& form = *world->form;
  // The first byte of each piece says how long the delivery is.
  std::size_t at = 0;
  while (at < size) {
    const std::size_t length = std::min<std::size_t>(data[at], size - at - 1);
    std::string delivery(reinterpret_cast<const char*>(data + at + 1), length);
    form.spComm1AfterReceive(nullptr, delivery.data(), static_cast<std::uint32_t>(length));
    at += length + 1;
    // At most 100 characters wait between deliveries (what stands after a consumed reply may
    // start with anything; the next delivery drops it).
    Check(form.ReceiveBuffer.size() <= 100);
    Check(form.EventCount >= 0 && form.EventCount <= 0xFFFF);
    Check(form.ControllerNumber >= 0 && form.ControllerNumber <= 0xFF);
  }
  if (size > 0 && data[0] == 0xFF) form.FillEventsGrid();
  // Whatever the deliveries left for the event loop (timer ticks, posted work) runs too.
  QCoreApplication::processEvents();
  Check(form.ProgressBar2->value() >= 0 && form.ProgressBar2->value() <= 100);
  Check(form.StringGrid1->RowCount() >= 2 && form.StringGrid1->RowCount() <= 1002);
  return 0;
}
