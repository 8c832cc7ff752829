#include "tools/soak/window_soak.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>
#include <cstdio>
#include <ostream>

#include "app/form1.h"
#include "serial/spcomm.h"
#include "ui/status_bar.h"
#include "ui/string_grid.h"
#include "ui/timer.h"

namespace veldoran::soak {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

constexpr int kControllerNumber = 1;
constexpr int kRecordLength = 21;
constexpr int kStoredEvents = 1000;
// A 57600 baud line carries 5760 bytes a second (10 bits a byte).
constexpr double kLineBytesPerSecond = 5760;
// The read's heartbeat pause (10 s) ends before the loss can show, one or two ticks later.
constexpr auto kLostShownWithin = 16s;

const QString kLost = QStringLiteral("Rozłączony");
const QString kNoConnection = QStringLiteral("Brak połączenia z kontrolerem. Sprawdź port COM. ");

double MsSince(SteadyClock::time_point from) {
  return std::chrono::duration<double, std::milli>(SteadyClock::now() - from).count();
}

// Users whose cards the simulator holds, and a locker name with Polish letters.
std::string SoakConfig() {
  return "[Szafki]\r\n1=Hala wej\x9C"
         "cie B\r\n[Users_ime]\r\n1=\xA3ukasz\r\n2=Anna\r\n[Users_nazwisko]\r\n"
         "1=\xAF\xF3\xB3\xE6\r\n2=Nowak\r\n[kod]\r\n1=0011AABB\r\n2=00334455\r\n";
}

}  // namespace

StallMonitor::StallMonitor() {
  timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer_, &QTimer::timeout, [this] {
    longest_ms_ = std::max(longest_ms_, static_cast<double>(since_last_.nsecsElapsed()) / 1e6);
    since_last_.restart();
  });
  since_last_.start();
  timer_.start(10);
}

WindowSoak::WindowSoak(const testing::PrivateConfigHome& home, std::uint32_t seed,
                       std::ostream& out)
    : home_(home), random_(seed), out_(out) {}

WindowSoak::~WindowSoak() {
  stalls_.reset();
  form_.reset();  // closes the port before the simulator goes
  sim_.reset();
}

bool WindowSoak::Start(std::string& error) {
  sim_ = std::make_unique<testing::SimProcess>(
      std::vector<std::string>{"--number", std::to_string(kControllerNumber), "--events",
                               std::to_string(kStoredEvents), "--card", "0:0011AABB", "--card",
                               "1:00334455", "--seed", std::to_string(random_()), "--quiet"},
      home_.path() / "sim.log");
  if (!sim_->Ready()) {
    error = "veldoran-sim did not start: " + sim_->LogText();
    return false;
  }
  testing::WriteFileBytes(dir_ / "Config.ini", SoakConfig());
  cwd_ = std::make_unique<testing::ScopedWorkingDir>(dir_.path());

  app::Services services;
  services.dialogs = &dialogs_;
  form_ = std::make_unique<app::TForm1>(services);
  form_->show();
  auto receive = form_->spComm1->OnAfterReceive();
  form_->spComm1->SetOnAfterReceive(
      [this, receive](serial::TObject* com, void* buffer, std::uint32_t count) {
        received_ += count;
        receive(com, buffer, count);
      });
  stalls_ = std::make_unique<StallMonitor>();

  form_->spComm1->SetComPortNo(static_cast<std::uint16_t>(sim_->Port()));
  form_->SpeedButton2->click();  // "Połącz"
  if (!dialogs_.AllBoxes().isEmpty()) {
    error = "\"Połącz\" failed: " + dialogs_.AllBoxes().join(" | ").toStdString();
    return false;
  }
  if (!RunUntil([this] { return Connected(); }, 15s)) {
    error = "the controller was not shown answering after \"Połącz\": " +
            form_->Label14->text().toStdString();
    return false;
  }
  out_ << "window: connected to COM" << sim_->Port() << " (" << sim_->Device() << "), "
       << "resident memory " << MegabytesText(CurrentMemory().resident_kb) << "\n";
  return true;
}

bool WindowSoak::Connected() const {
  return form_->Label14->text() ==
             QStringLiteral("Połączono z szafką nr %1").arg(kControllerNumber) &&
         form_->Label14->palette().color(QPalette::WindowText) == QColor(0, 255, 0);
}

bool WindowSoak::ShownLost() const {
  return form_->Label14->text() == kLost && form_->StatusBar1->PanelText(0) == kLost;
}

bool WindowSoak::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = SteadyClock::now() + timeout;
  while (!done()) {
    if (SteadyClock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);  // the monitor wakes it
  }
  return true;
}

void WindowSoak::RunFor(std::chrono::milliseconds time) {
  const auto until = SteadyClock::now() + time;
  RunUntil([until] { return SteadyClock::now() >= until; }, time + 1s);
}

std::optional<std::string> WindowSoak::SimCommand(const std::string& command) {
  auto answer = sim_->Command(command);
  stalls_->Skip();
  return answer;
}

void WindowSoak::DrainAnswers(std::vector<std::string>& failures) {
  while (const auto line = sim_->TryReadLine()) {
    if (!line->starts_with("ok:")) failures.push_back("the simulator answered: " + *line);
  }
}

HangupFigures WindowSoak::RunHangups(int cycles, std::chrono::milliseconds recovery_limit) {
  HangupFigures f;
  for (int i = 1; i <= cycles; ++i) {
    ++f.cycles;
    const bool survived = HangupCycle(i, recovery_limit, f);
    if (survived) ++f.survived;
    char line[256];
    std::snprintf(line, sizeof line,
                  "hang-up %d/%d: %d survived; recovery %s; longest event-loop stall so far "
                  "%.0f ms\n",
                  i, cycles, f.survived, f.recovery.Text().c_str(), LongestStallMs());
    if (i == cycles || i % 10 == 0 || !survived) out_ << line << std::flush;
    if (!survived) out_ << "  " << f.failures.back() << "\n";
  }
  return f;
}

bool WindowSoak::HangupCycle(int index, std::chrono::milliseconds recovery_limit,
                             HangupFigures& f) {
  const auto fail = [&](const std::string& why) {
    f.failures.push_back("cycle " + std::to_string(index) + ": " + why);
    return false;
  };
  dialogs_.Clear();
  if (!RunUntil([this] { return Connected(); }, 15s)) {
    return fail("the controller was not shown answering at the start");
  }

  // A random record, and a random byte in it; far enough from the last one that the hang-up
  // lands before the read would end.
  std::uniform_int_distribution<int> record(0, kStoredEvents - 11);
  std::uniform_int_distribution<int> offset(0, kRecordLength - 1);
  const int at_record = record(random_);
  const std::uint64_t at_byte = static_cast<std::uint64_t>(at_record) * kRecordLength +
                                static_cast<std::uint64_t>(offset(random_));
  received_ = 0;
  form_->Button3->click();  // "Odczytaj zdarzenia"
  if (!RunUntil([&] { return received_ >= at_byte; }, 20s)) {
    return fail("the read stopped at byte " + std::to_string(received_) + " before record " +
                std::to_string(at_record));
  }
  const auto hung_up = SteadyClock::now();
  const auto answer = SimCommand("hangup");
  if (!answer || answer->find("unplugged") == std::string::npos) {
    return fail("the simulator did not hang up: " + answer.value_or("no answer"));
  }

  if (!RunUntil([this] { return !form_->spComm1->Active(); }, 10s)) {
    return fail("the port stayed open after the hang-up at record " + std::to_string(at_record));
  }
  f.port_closed.Add(MsSince(hung_up));
  // The operator's next click is answered at once.
  form_->Button3->click();
  if (dialogs_.messages != QStringList{kNoConnection}) {
    return fail("a click on the closed port showed: " +
                dialogs_.AllBoxes().join(" | ").toStdString());
  }
  if (!RunUntil([this] { return ShownLost(); }, kLostShownWithin)) {
    return fail("the link was not shown as lost; the label reads " +
                form_->Label14->text().toStdString());
  }
  f.lost_shown.Add(MsSince(hung_up));

  const auto plugged = SimCommand("plug");
  if (!plugged || !plugged->starts_with("veldoran-sim: COM")) {
    return fail("the simulator did not plug back in: " + plugged.value_or("no answer"));
  }
  const auto pressed = SteadyClock::now();
  form_->SpeedButton2->click();  // "Połącz"
  if (!dialogs_.errors.isEmpty()) {
    return fail("\"Połącz\" after the re-plug failed: " +
                dialogs_.errors.join(" | ").toStdString());
  }
  if (!RunUntil([this] { return Connected(); }, recovery_limit)) {
    return fail("the controller was not shown answering within " +
                std::to_string(recovery_limit.count()) + " ms of \"Połącz\"; the label reads " +
                form_->Label14->text().toStdString());
  }
  f.recovery.Add(MsSince(pressed));
  for (const QString& message : dialogs_.messages) {
    if (message.startsWith(QStringLiteral("Odczytano "))) {
      return fail("the read cut off at record " + std::to_string(at_record) +
                  " was reported complete: " + message.toStdString());
    }
  }
  if (!dialogs_.errors.isEmpty()) {
    return fail("error boxes: " + dialogs_.errors.join(" | ").toStdString());
  }

  // Now and then a whole read, to see that data flows again and not only the status lines.
  if (index == 1 || index % 10 == 0) {
    ++f.full_reads;
    if (!FullRead()) return fail("a full read after the recovery did not complete");
    ++f.full_reads_ok;
  }
  return true;
}

bool WindowSoak::FullRead() {
  dialogs_.Clear();
  form_->Button3->click();
  const QString done = QStringLiteral("Odczytano %1 zdarzeń").arg(kStoredEvents);
  // The message, the grid fill and the heartbeat's return, in whatever order they come.
  return RunUntil(
      [&] {
        return dialogs_.messages.contains(done) &&
               form_->StringGrid1->RowCount() == kStoredEvents + 1 &&
               form_->ProgressBar2->value() == 0 && form_->Timer1->Enabled();
      },
      30s);
}

NoiseFigures WindowSoak::RunNoise(double minutes) {
  NoiseFigures f;
  f.minutes = minutes;
  dialogs_.Clear();
  if (!RunUntil([this] { return Connected(); }, 15s)) {
    f.failures.push_back("the controller was not shown answering before the noise");
    return f;
  }
  f.start = CurrentMemory();
  f.resident_max_kb = f.start.resident_kb;
  const unsigned lines_before = form_->StatusLinesHandled;
  const auto start = SteadyClock::now();
  const auto end = start + std::chrono::duration_cast<SteadyClock::duration>(
                               std::chrono::duration<double, std::ratio<60>>(minutes));
  auto next_card = start + 15s;
  auto next_read = start + 40s;
  auto next_sample = start + 10s;
  auto next_report = start + 60s;
  std::uniform_int_distribution<int> slot(0, 1);

  while (SteadyClock::now() < end) {
    const double elapsed = std::chrono::duration<double>(SteadyClock::now() - start).count();
    // Noise fills 95 % of the line; the heartbeat's status lines and the cards share the rest.
    const long budget = static_cast<long>(elapsed * kLineBytesPerSecond * 0.95) - f.noise_bytes;
    if (budget >= 512) {
      const long bytes = std::min(budget, 4096L);
      sim_->Send("noise " + std::to_string(bytes));
      f.noise_bytes += bytes;
    }
    const auto now = SteadyClock::now();
    if (now >= next_card) {
      sim_->Send("card " + std::to_string(slot(random_)));
      ++f.cards;
      next_card += 15s;
    }
    // A read among the noise, but none near the end: its pause would hold the heartbeat.
    if (now >= next_read && end - now > 20s) {
      form_->Button3->click();
      ++f.reads;
      next_read += 60s;
    }
    DrainAnswers(f.failures);
    RunFor(50ms);
    f.boxes += static_cast<int>(dialogs_.messages.size());
    for (const QString& error : dialogs_.errors) {
      f.failures.push_back("error box during the noise: " + error.toStdString());
    }
    dialogs_.Clear();
    if (!form_->spComm1->Active()) {
      f.failures.push_back("the port closed during the noise");
      break;
    }
    if (SteadyClock::now() >= next_sample) {
      f.resident_max_kb = std::max(f.resident_max_kb, CurrentMemory().resident_kb);
      next_sample += 10s;
    }
    if (SteadyClock::now() >= next_report) {
      char line[200];
      std::snprintf(line, sizeof line,
                    "noise %.0f/%.0f s: %ld bytes, %u status lines handled, %d boxes, resident "
                    "%s, longest stall %.0f ms\n",
                    std::chrono::duration<double>(SteadyClock::now() - start).count(), minutes * 60,
                    f.noise_bytes, form_->StatusLinesHandled - lines_before, f.boxes,
                    MegabytesText(CurrentMemory().resident_kb).c_str(), LongestStallMs());
      out_ << line << std::flush;
      next_report += 60s;
    }
  }
  f.status_lines = form_->StatusLinesHandled - lines_before;

  // The noise still queued leaves the line within a second; then two clean status lines must
  // show the controller answering.
  const auto stopped = SteadyClock::now();
  RunFor(1200ms);
  const unsigned lines_quiet = form_->StatusLinesHandled;
  if (RunUntil(
          [&] {
            DrainAnswers(f.failures);
            return form_->StatusLinesHandled >= lines_quiet + 2 && Connected();
          },
          20s)) {
    f.answering_after_ms = MsSince(stopped);
  } else {
    f.failures.push_back(
        "the controller was not shown answering after the noise; the label "
        "reads " +
        form_->Label14->text().toStdString());
  }
  for (const QString& error : dialogs_.errors) {
    f.failures.push_back("error box after the noise: " + error.toStdString());
  }
  f.boxes += static_cast<int>(dialogs_.messages.size());
  dialogs_.Clear();
  f.end = CurrentMemory();
  f.resident_max_kb = std::max(f.resident_max_kb, f.end.resident_kb);
  return f;
}

}  // namespace veldoran::soak
