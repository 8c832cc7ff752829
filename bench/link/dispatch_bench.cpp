// Times the receive dispatcher on a full event read and the events grid fill, on the real window
// offscreen. Prints figures; never fails on time.
//
//   dispatch_bench [rounds]
#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "app/form1.h"
#include "link/protocol.h"
#include "ui/clock.h"
#include "ui/dialogs.h"
#include "ui/string_grid.h"

namespace {

using Clock = std::chrono::steady_clock;
using veldoran::protocol::Hex;

class SilentDialogs : public veldoran::ui::Dialogs {
 public:
  void ShowMessage(const QString&) override {}
  void ShowError(const QString&) override {}
  std::optional<QString> AskSaveFileName(const QString&, const QString&) override { return {}; }
};

// A full read as the controller sends it: 1000 records back to back, slot 999 last.
std::string FullRead() {
  std::string bytes;
  for (int slot = 0; slot < 1000; ++slot) {
    bytes += "Z:01:" + Hex(slot, 4) + ":" + Hex(slot % 100, 2) + ":" + Hex(1577829600 + slot, 8);
  }
  return bytes;
}

// Cuts the stream the way a serial port delivers it at 57600 baud: blocks of a few to a few
// dozen bytes.
std::vector<std::string> Deliveries(const std::string& stream, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<std::size_t> size(1, 64);
  std::vector<std::string> out;
  for (std::size_t at = 0; at < stream.size();) {
    const std::size_t n = std::min(size(rng), stream.size() - at);
    out.push_back(stream.substr(at, n));
    at += n;
  }
  return out;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;

  // The window writes Config.ini into its working folder: give it a scratch one.
  const auto folder = std::filesystem::temp_directory_path() / "veldoran-dispatch-bench";
  std::filesystem::create_directories(folder);
  std::filesystem::current_path(folder);

  SilentDialogs dialogs;
  veldoran::ui::SystemClock clock;
  veldoran::app::Services services;
  services.dialogs = &dialogs;
  services.clock = &clock;
  veldoran::app::TForm1 form(services);
  for (int r = 1; r <= 100; ++r) {
    form.StringGrid3->SetCell(1, r, QStringLiteral("Nazwisko %1").arg(r));
    form.StringGrid3->SetCell(2, r, QStringLiteral("Imię %1").arg(r));
  }

  const std::string stream = FullRead();
  std::vector<double> per_record_us, fill_ms, end_to_grid_ms;
  for (int round = 0; round < rounds; ++round) {
    const auto deliveries = Deliveries(stream, 1234u + static_cast<unsigned>(round));
    form.EventCount = 1000;
    // Everything but the last delivery, which carries the end of the read.
    const auto t0 = Clock::now();
    for (std::size_t i = 0; i + 1 < deliveries.size(); ++i) {
      form.spComm1AfterReceive(nullptr, const_cast<char*>(deliveries[i].data()),
                               static_cast<std::uint32_t>(deliveries[i].size()));
    }
    const auto t1 = Clock::now();
    const std::string& last = deliveries.back();
    form.spComm1AfterReceive(nullptr, const_cast<char*>(last.data()),
                             static_cast<std::uint32_t>(last.size()));
    const auto t2 = Clock::now();
    per_record_us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count() / 999.0);
    end_to_grid_ms.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());

    const auto f0 = Clock::now();
    form.EventCount = 1001;
    form.FillEventsGrid();
    fill_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - f0).count());
  }

  std::printf("full read: 1000 records of 21 bytes in deliveries of 1 to 64 bytes, %d rounds\n",
              rounds);
  std::printf("dispatch per record:                 median %.3f us  (goal < 2 us)\n",
              Median(per_record_us));
  std::printf("last delivery to grid filled:        median %.2f ms  (goal < 50 ms)\n",
              Median(end_to_grid_ms));
  std::printf("FillEventsGrid, 1001 rows:           median %.2f ms\n", Median(fill_ms));
  std::printf("grid rows after the read:            %d\n", form.StringGrid1->RowCount() - 1);
  return 0;
}
