// The whole tool against the simulated controller: the real window (offscreen), the Qt main
// thread, the system's serial driver, the real clock, and veldoran-sim on a pseudo-terminal
// registered in a private port map. Only the dialogs are recorded, and the date and time
// formats pinned, so the test can read what the operator would see.
//
// The heartbeat runs by itself: Timer1 ticks in the event loop as in the program. Waits are on
// conditions with generous deadlines; times are reported, never asserted.
#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QCoreApplication>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "app/form1.h"
#include "link/protocol.h"
#include "serial/comm_threads.h"
#include "serial/spcomm.h"
#include "support/event_loop.h"
#include "support/qt_printers.h"
#include "support/recording_dialogs.h"
#include "support/sim_process.h"
#include "support/temp_dir.h"
#include "ui/status_bar.h"
#include "ui/string_grid.h"
#include "ui/timer.h"

namespace veldoran::app {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using testing::ClockDateText;
using testing::ClockTimeText;
using testing::PrivateConfigHome;
using testing::RecordingDialogs;
using testing::SimProcess;

constexpr auto kDeadline = 30s;

const QString kRozlaczony = QStringLiteral("Rozłączony");

// Windows-1250 texts as they stand in Config.ini and the CSV file.
const std::string kLukasz = "\xA3ukasz";       // Łukasz
const std::string kZolc = "\xAF\xF3\xB3\xE6";  // Żółć
const std::string kHallB =
    "Hala; wej\x9C"
    "cie B";  // Hala; wejście B

struct User {
  int row;
  std::string first_name, surname, code, permissions;
};

// A Config.ini as the Windows profile functions write it: CRLF lines, key=value, no blanks.
std::string ConfigIni(const std::map<int, std::string>& lockers, const std::vector<User>& users) {
  std::string ini = "[Szafki]\r\n";
  for (const auto& [n, name] : lockers) ini += std::to_string(n) + "=" + name + "\r\n";
  const auto section = [&](const char* name, std::string User::*field) {
    ini += std::string("[") + name + "]\r\n";
    for (const User& u : users) ini += std::to_string(u.row) + "=" + u.*field + "\r\n";
  };
  section("Users_ime", &User::first_name);
  section("Users_nazwisko", &User::surname);
  section("kod", &User::code);
  section("uprawnienia", &User::permissions);
  return ini;
}

// The controller clock value of the PC's wall-clock time now: seconds from 1970-01-01 00:00
// local time, less two hours.
std::int64_t PcClockValueNow() {
  const time_t now = ::time(nullptr);
  tm local{};
  ::localtime_r(&now, &local);
  return static_cast<std::int64_t>(::timegm(&local)) - 7200;
}

// "yyyy-MM-dd  HH:mm:ss" (status bar panel 1) back to a clock value; nothing if malformed.
std::optional<std::int64_t> ClockValueOfPanel(const QString& text) {
  tm t{};
  const std::string s = text.toStdString();
  char rest = 0;
  if (std::sscanf(s.c_str(), "%d-%d-%d  %d:%d:%d%c", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
                  &t.tm_min, &t.tm_sec, &rest) != 6) {
    return std::nullopt;
  }
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  return static_cast<std::int64_t>(::timegm(&t)) - 7200;
}

// From the simulator's log: the values of the set-clock lines it received, in order.
std::vector<std::int32_t> ClockLinesReceived(const std::string& log) {
  static const std::regex line(R"re(rx line "4([0-9A-F]{8})"  clock set)re");
  std::vector<std::int32_t> values;
  for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator();
       ++it) {
    values.push_back(static_cast<std::int32_t>(std::stoul((*it)[1], nullptr, 16)));
  }
  return values;
}

// From the simulator's log: the slots of the card lines it received, in order.
std::vector<int> CardLineSlotsReceived(const std::string& log) {
  static const std::regex line(R"re(rx line "2([0-9A-F]{2}))re");
  std::vector<int> found;
  for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator();
       ++it) {
    found.push_back(std::stoi((*it)[1], nullptr, 16));
  }
  return found;
}

double MillisecondsBetween(SteadyClock::time_point from, SteadyClock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

class EndToEnd : public ::testing::Test {
 protected:
  ~EndToEnd() override {
    form_.reset();
    // The port's worker threads end once it is closed; none may outlive the test.
    ProcessUntil([] { return serial::detail::RunningCommThreads() == 0; });
  }

  void TearDown() override {
    if (HasFailure() && sim_) {
      const std::string log = sim_->LogText();
      std::cout << "---- simulator log (tail) ----\n"
                << log.substr(log.size() > 8000 ? log.size() - 8000 : 0) << "----\n";
    }
  }

  // Starts the simulator with `sim_args`, then the window in a fresh working folder holding
  // `config`, and connects it to the simulator's port as the operator would.
  void Start(const std::vector<std::string>& sim_args, const std::string& config) {
    sim_ = std::make_unique<SimProcess>(sim_args, home_.path() / "sim.log");
    ASSERT_TRUE(sim_->Ready()) << sim_->LogText();
    testing::WriteFileBytes(dir_ / "Config.ini", config);

    Services services;
    services.dialogs = &dialogs_;
    services.formats = testing::PinnedFormats();
    form_ = std::make_unique<TForm1>(services);
    form_->show();
    // Counts heartbeat ticks and notes the ones that showed the link as lost.
    auto tick = form_->Timer1->OnTimer;
    form_->Timer1->OnTimer = [this, tick] {
      tick();
      ++ticks_;
      if (form_->Label14->text() == kRozlaczony) ++lost_ticks_;
    };
    // Notes when the delivery that ends a read came in, when its handling (which fills the
    // grid) was over, and when the message box opened.
    const auto count_fill = [this] { ++grid_changes_; };
    QAbstractItemModel* events = form_->StringGrid1->model();
    QObject::connect(events, &QAbstractItemModel::dataChanged, form_.get(), count_fill);
    QObject::connect(events, &QAbstractItemModel::rowsInserted, form_.get(), count_fill);
    QObject::connect(events, &QAbstractItemModel::rowsRemoved, form_.get(), count_fill);
    auto receive = form_->spComm1->OnAfterReceive();
    form_->spComm1->SetOnAfterReceive(
        [this, receive](serial::TObject* com, void* buffer, std::uint32_t count) {
          const auto entered = SteadyClock::now();
          const int changes = grid_changes_;
          receive(com, buffer, count);
          if (grid_changes_ != changes) {
            last_delivery_at_ = entered;
            grid_filled_at_ = SteadyClock::now();
          }
        });
    dialogs_.on_message = [this](const QString& text) {
      if (text.startsWith(QStringLiteral("Odczytano "))) read_ended_at_ = SteadyClock::now();
    };

    form_->spComm1->SetComPortNo(static_cast<std::uint16_t>(sim_->Port()));
    form_->SpeedButton2->click();  // "Połącz"
    ASSERT_TRUE(dialogs_.errors.isEmpty()) << dialogs_.errors.join("|").toStdString();
    ASSERT_TRUE(form_->spComm1->Active());
  }

  TForm1& Form() { return *form_; }

  // Runs the window's event loop until `done` or the deadline; true when `done`.
  bool ProcessUntil(const std::function<bool()>& done,
                    std::chrono::milliseconds timeout = kDeadline) {
    return testing::ProcessEventsUntil(done, timeout);
  }

  bool Connected(int number) const {
    return form_->Label14->text() == QStringLiteral("Połączono z szafką nr %1").arg(number) &&
           form_->Label14->palette().color(QPalette::WindowText) == QColor(0, 255, 0);
  }

  // Waits for a status line handled from now on.
  bool NextStatusLine() {
    const unsigned before = form_->StatusLinesHandled;
    return ProcessUntil([&] { return form_->StatusLinesHandled != before; });
  }

  // Reads the events: "Odczytaj zdarzenia", then the end of the read.
  bool ReadEvents() {
    const qsizetype before = dialogs_.messages.size();
    form_->Button3->click();
    return ProcessUntil([&] { return dialogs_.messages.size() > before; });
  }

  void ReportReadTimes() {
    if (last_delivery_at_ == SteadyClock::time_point{}) return;
    const double fill_ms = MillisecondsBetween(last_delivery_at_, grid_filled_at_);
    const double box_ms = MillisecondsBetween(grid_filled_at_, read_ended_at_);
    RecordProperty("last_record_to_grid_filled_us", static_cast<int>(fill_ms * 1000));
    std::cout << "last record's delivery -> grid filled: " << fill_ms
              << " ms (records parsed and FillEventsGrid); then the message box after " << box_ms
              << " ms\n";
  }

  PrivateConfigHome home_;  // first: the port map is private before anything registers in it
  testing::TempDir dir_;
  testing::ScopedWorkingDir cwd_{dir_.path()};
  RecordingDialogs dialogs_;
  std::unique_ptr<SimProcess> sim_;
  std::unique_ptr<TForm1> form_;
  int ticks_ = 0;
  int lost_ticks_ = 0;
  int grid_changes_ = 0;
  SteadyClock::time_point last_delivery_at_{};
  SteadyClock::time_point read_ended_at_{};
  SteadyClock::time_point grid_filled_at_{};
};

// Two users with cards; locker 1 named with a ";" and Polish letters.
std::string ReadTestConfig() {
  return ConfigIni({{1, kHallB}, {3, "Magazyn"}}, {{1, kLukasz, kZolc, "0011AABB", "1111111111"},
                                                   {2, "Anna", "Nowak", "00334455", "1111111111"}});
}

TEST_F(EndToEnd, ConnectShowsTheControllerAndACardPresentedAtIt) {
  Start({"--number", "1", "--events", "7", "--card", "0:0011AABB", "--card", "1:00334455"},
        ReadTestConfig());
  const std::int64_t before = PcClockValueNow();
  ASSERT_TRUE(ProcessUntil([&] { return Connected(1); })) << Form().Label14->text().toStdString();
  const std::int64_t after = PcClockValueNow();
  auto& bar = *Form().StatusBar1;
  EXPECT_EQ(bar.PanelText(0), "Połączono z szafką nr 1");
  EXPECT_EQ(bar.PanelText(4), "Liczba zdarzeń: 7");
  // Panel 1: the controller's present time, which it took from the PC when it started.
  const auto shown = ClockValueOfPanel(bar.PanelText(1));
  ASSERT_TRUE(shown) << bar.PanelText(1).toStdString();
  EXPECT_GE(*shown, before - 5) << bar.PanelText(1).toStdString();
  EXPECT_LE(*shown, after + 5) << bar.PanelText(1).toStdString();

  // A controller that answers every query keeps the label lime at every tick.
  const int ticks_connected = ticks_;
  lost_ticks_ = 0;
  ASSERT_TRUE(ProcessUntil([&] { return ticks_ >= ticks_connected + 2; }));
  EXPECT_EQ(lost_ticks_, 0);
  EXPECT_TRUE(Connected(1));

  // Cards held to the reader, by slot and by code, and one nobody holds; each is shown before
  // the next is presented. A card-read line that shares a delivery with a status line is
  // dropped with it, so the cards come right after a status line, a second before the next
  // query. (The users page shows user 1 at start, so Edit6 already holds 0011AABB: user 2's
  // card comes first.)
  ASSERT_EQ(Form().Edit6->text(), "0011AABB");
  ASSERT_EQ(bar.PanelText(2), "");
  ASSERT_TRUE(NextStatusLine());
  EXPECT_EQ(sim_->Command("card 1"), "ok: card of slot 1, event 7 recorded; card-read line sent");
  ASSERT_TRUE(ProcessUntil([&] { return bar.PanelText(2) == "Karta: 00334455"; }))
      << bar.PanelText(2).toStdString();
  EXPECT_EQ(Form().Edit6->text(), "00334455");
  EXPECT_EQ(bar.PanelText(3), "Anna  Nowak");

  EXPECT_EQ(sim_->Command("code 0011AABB"),
            "ok: card of slot 0, event 8 recorded; card-read line sent");
  ASSERT_TRUE(ProcessUntil([&] { return bar.PanelText(2) == "Karta: 0011AABB"; }))
      << bar.PanelText(2).toStdString();
  EXPECT_EQ(Form().Edit6->text(), "0011AABB");
  EXPECT_EQ(bar.PanelText(3), "Łukasz  Żółć");

  EXPECT_EQ(sim_->Command("code 99999999"), "ok: unknown card, no event; card-read line sent");
  ASSERT_TRUE(ProcessUntil([&] { return bar.PanelText(2) == "Karta: 99999999"; }));
  EXPECT_EQ(Form().Edit6->text(), "99999999");
  EXPECT_EQ(bar.PanelText(3), "");

  // The next status lines count the two events the known cards recorded.
  ASSERT_TRUE(ProcessUntil([&] { return bar.PanelText(4) == "Liczba zdarzeń: 9"; }))
      << bar.PanelText(4).toStdString();
  EXPECT_TRUE(Connected(1));
  EXPECT_TRUE(dialogs_.AllBoxes().isEmpty()) << dialogs_.AllBoxes().join("|").toStdString();
}

TEST_F(EndToEnd, FullReadFillsTheGridAndTheCsvFileHoldsItsRows) {
  // Events of three cards; slot 5's card belongs to no user.
  Start({"--number", "1", "--events", "1000", "--seed", "21", "--card", "0:0011AABB", "--card",
         "1:00334455", "--card", "5:0BADF00D", "--quiet"},
        ReadTestConfig());
  ASSERT_TRUE(ProcessUntil([&] { return Connected(1) && Form().EventCount == 1000; }));
  const auto dump = sim_->Dump();
  ASSERT_TRUE(dump);
  ASSERT_EQ(dump->events.size(), 1000u);

  const auto started = SteadyClock::now();
  ASSERT_TRUE(ReadEvents()) << "progress " << Form().ProgressBar2->value();
  const double read_ms = MillisecondsBetween(started, grid_filled_at_);
  EXPECT_EQ(dialogs_.messages, QStringList{"Odczytano 1000 zdarzeń"});
  EXPECT_EQ(Form().ProgressBar2->value(), 0);
  EXPECT_TRUE(Form().Timer1->Enabled());  // the heartbeat resumed
  auto& grid = *Form().StringGrid1;
  ASSERT_EQ(grid.RowCount(), 1001);
  for (int row = 1; row <= 1000; ++row) {
    EXPECT_EQ(grid.Cell(0, row), QString::number(row));
    EXPECT_EQ(grid.Cell(5, row), "1");
  }
  RecordProperty("full_read_ms", static_cast<int>(read_ms));
  std::cout << "full read through the window: " << read_ms << " ms from the click\n";
  ReportReadTimes();

  // The file, byte for byte: Windows-1250, CRLF, the locker name with ";" in quotes.
  const std::map<int, std::string> names = {{0, kZolc + ";" + kLukasz + ";"}, {1, "Nowak;Anna;"}};
  const std::map<int, std::string> codes = {{0, "0011AABB"}, {1, "00334455"}};
  std::string expected = "NAZWISKO;IMI\xCA;DATA;CZAS;NR;LOKALIZACJA;KARTA\r\n";
  for (const auto& event : dump->events) {
    const auto name = names.find(event.card_slot);
    const auto code = codes.find(event.card_slot);
    expected += (name != names.end() ? name->second : std::string(";;")) +
                ClockDateText(event.clock) + ";" + ClockTimeText(event.clock) + ";1;\"" + kHallB +
                "\";" + (code != codes.end() ? code->second : std::string()) + "\r\n";
  }
  const auto file = dir_ / "zdarzenia-e2e.csv";
  dialogs_.save_answers.push_back(QString::fromStdString(file.string()));
  Form().Button1->click();  // "Zapisz do pliku CSV"
  EXPECT_TRUE(dialogs_.errors.isEmpty()) << dialogs_.errors.join("|").toStdString();
  ASSERT_EQ(dialogs_.save_requests.size(), 1u);
  EXPECT_EQ(dialogs_.save_requests[0].file_name, "zdarzenia.csv");
  EXPECT_EQ(testing::ReadFileBytes(file), expected);
}

TEST_F(EndToEnd, ClearingTheMemoryAndSettingTheClock) {
  Start({"--events", "40"}, ReadTestConfig());
  ASSERT_TRUE(ProcessUntil([&] { return Connected(1) && Form().EventCount == 40; }));

  Form().Button5->click();  // "Kasuj zdarzenia z pamięci "
  EXPECT_EQ(dialogs_.messages, QStringList{"Pamięć została zwolniona."});
  EXPECT_EQ(Form().EventCount, 0);
  EXPECT_EQ(Form().StatusBar1->PanelText(4), "Liczba zdarzeń: 0");
  auto dump = sim_->Dump();
  ASSERT_TRUE(dump);
  EXPECT_TRUE(dump->events.empty());

  // The controller's clock put far back first (clock value 0), so that setting it shows.
  Form().spComm1->SendString(protocol::SetClockLine(0));
  ASSERT_TRUE(ProcessUntil([&] {
    return Form().StatusBar1->PanelText(1).startsWith(QStringLiteral("1970-01-01  02:00:"));
  })) << Form().StatusBar1->PanelText(1).toStdString();

  dialogs_.Clear();
  const std::int64_t before = PcClockValueNow();
  Form().Button6->click();  // "Aktualizuj czas "
  const std::int64_t after = PcClockValueNow();
  EXPECT_EQ(dialogs_.messages, QStringList{"Czas został przeslany."});
  // The line on the wire carried the PC's time, and the controller's clock runs from it.
  const std::vector<std::int32_t> sent = ClockLinesReceived(sim_->LogText());
  ASSERT_EQ(sent.size(), 2u) << sim_->LogText();  // the test's own line, then the window's
  EXPECT_GE(sent[1], before - 2);
  EXPECT_LE(sent[1], after + 2);
  dump = sim_->Dump();
  ASSERT_TRUE(dump);
  EXPECT_GE(dump->clock, before - 2);
  EXPECT_LE(dump->clock, after + 10);
  const auto shown = ClockValueOfPanel(Form().StatusBar1->PanelText(1));
  ASSERT_TRUE(shown) << Form().StatusBar1->PanelText(1).toStdString();
  EXPECT_GE(*shown, before - 2);
  EXPECT_LE(*shown, after + 2);
}

TEST_F(EndToEnd, SilentControllerFailsTheOperationsAndShowsTheLinkLost) {
  Start({"--quiet"}, ReadTestConfig());
  ASSERT_TRUE(ProcessUntil([&] { return Connected(1); }));
  EXPECT_EQ(sim_->Command("mute"), "ok: not answering");

  Form().Button5->click();
  Form().Button6->click();
  // Programming the number the controller last reported must not pass without an answer.
  Form().StringGrid2->SetRow(1);
  Form().Button16->click();  // "Zaprogramuj numer kontrolera"
  EXPECT_EQ(dialogs_.messages, (QStringList{"Coś poszło nie tak!", "Coś poszło nie tak!",
                                            "Coś poszło nie tak. Sprawdź port COM. "}));

  // Once the heartbeat is back, the link shows as lost within two ticks.
  ASSERT_TRUE(ProcessUntil([&] { return Form().Timer1->Enabled(); }));
  const int resumed_at = ticks_;
  ASSERT_TRUE(ProcessUntil([&] { return Form().Label14->text() == kRozlaczony; }));
  EXPECT_LE(ticks_ - resumed_at, 2);
  EXPECT_EQ(Form().StatusBar1->PanelText(0), kRozlaczony);
  EXPECT_EQ(Form().Label14->palette().color(QPalette::WindowText), QColor(255, 0, 0));

  // Answering again, it is shown connected again.
  EXPECT_EQ(sim_->Command("unmute"), "ok: answering");
  ASSERT_TRUE(ProcessUntil([&] { return Connected(1); }));
  EXPECT_TRUE(dialogs_.errors.isEmpty()) << dialogs_.errors.join("|").toStdString();
}

TEST_F(EndToEnd, HangUpDuringAReadLeavesTheWindowResponsive) {
  Start({"--events", "1000", "--quiet"}, ReadTestConfig());
  ASSERT_TRUE(ProcessUntil([&] { return Connected(1) && Form().EventCount == 1000; }));
  Form().Button3->click();  // "Odczytaj zdarzenia"
  ASSERT_TRUE(ProcessUntil([&] { return Form().ProgressBar2->value() >= 10; }));
  EXPECT_EQ(sim_->Command("hangup"),
            "veldoran-sim: COM" + std::to_string(sim_->Port()) + " unplugged");
  ASSERT_TRUE(ProcessUntil([&] { return !Form().spComm1->Active(); }))
      << "the port stayed open after the hang-up";
  const int progress = Form().ProgressBar2->value();
  EXPECT_GE(progress, 10);
  EXPECT_LT(progress, 99);

  // The window still answers the operator: the next read is refused on the closed port.
  Form().Button3->click();
  EXPECT_EQ(dialogs_.messages, QStringList{"Brak połączenia z kontrolerem. Sprawdź port COM. "});

  // When the read's pause is over, the heartbeat shows the link lost within two ticks.
  ASSERT_TRUE(ProcessUntil([&] { return Form().Timer1->Enabled(); }));
  const int resumed_at = ticks_;
  ASSERT_TRUE(ProcessUntil([&] { return Form().Label14->text() == kRozlaczony; }));
  EXPECT_LE(ticks_ - resumed_at, 2);
  EXPECT_EQ(Form().StatusBar1->PanelText(0), kRozlaczony);

  // The broken read is reported once as incomplete; no completion message, no grid fill, no
  // error box.
  ASSERT_TRUE(ProcessUntil([&] { return dialogs_.messages.size() == 2; }));
  EXPECT_TRUE(dialogs_.messages[1].startsWith("Odczyt zdarzeń nie został ukończony: odebrano "))
      << dialogs_.messages[1].toStdString();
  EXPECT_TRUE(dialogs_.messages[1].endsWith(" z 1000 rekordów."));
  EXPECT_EQ(Form().StringGrid1->RowCount(), 2);
  EXPECT_EQ(Form().ProgressBar2->value(), progress);
  EXPECT_TRUE(dialogs_.errors.isEmpty()) << dialogs_.errors.join("|").toStdString();

  // Plugged in again under the same COM name, "Połącz" brings the controller back.
  const auto plugged = sim_->Command("plug");
  ASSERT_TRUE(plugged);
  EXPECT_EQ(plugged->rfind("veldoran-sim: COM" + std::to_string(sim_->Port()) + " -> ", 0), 0u)
      << *plugged;
  Form().SpeedButton2->click();
  EXPECT_TRUE(dialogs_.errors.isEmpty()) << dialogs_.errors.join("|").toStdString();
  ASSERT_TRUE(ProcessUntil([&] { return Connected(1); })) << Form().Label14->text().toStdString();
}

TEST_F(EndToEnd, UploadForANewlyProgrammedControllerStoresThePermittedCards) {
  // Locker 3 is the controller to be; permissions are read at position 3.
  const std::string config =
      ConfigIni({{3, "Magazyn"}},
                {
                    {1, "Jan", "Kowalski", "0011AABB", "0010000000"},      // may open 3
                    {2, "Anna", "Nowak", "0022CCDD", "1101111111"},        // may not
                    {3, kLukasz, kZolc, "00334455", "1111111111"},         // may
                    {4, "Ewa", "Kr\xF3tka", "1234567", "1111111111"},      // code too short
                    {5, "Piotr", "D\xB3ugi", "123456789", "1111111111"},   // code too long
                    {6, "Olga", "Skr\xF3t", "ABCD1234", "11"},             // no position 3
                    {7, "Marek", "Ma\xB3y", "abcdef12", "0010000000"},     // may, sent as it stands
                    {11, "Zofia", "Jedenasta", "C0FFEE11", "0010000000"},  // slot 0A
                    {100, "Adam", "Setny", "FEDCBA98", "0011000000"},      // slot 63
                });
  // Cards stored earlier that the upload must remove.
  Start({"--number", "1", "--card", "1:DEADBEEF", "--card", "50:0BADF00D"}, config);
  ASSERT_TRUE(ProcessUntil([&] { return Connected(1); }));

  Form().StringGrid2->SetRow(3);
  EXPECT_EQ(Form().Edit7->text(), "Magazyn");
  Form().Button16->click();  // "Zaprogramuj numer kontrolera": blocks for its 2 s wait
  EXPECT_EQ(dialogs_.messages, QStringList{"Ustawiono numer szafki na: 3"});
  EXPECT_EQ(Form().ControllerNumber, 3);
  EXPECT_TRUE(Connected(3));
  auto dump = sim_->Dump();
  ASSERT_TRUE(dump);
  EXPECT_EQ(dump->number, 3);

  dialogs_.Clear();
  const std::int64_t before = PcClockValueNow();
  const auto upload_started = SteadyClock::now();
  Form().Button17->click();  // "Prześlij kody kart do kontrolera": blocks for about 5 s
  const double upload_ms = MillisecondsBetween(upload_started, SteadyClock::now());
  const std::int64_t after = PcClockValueNow();
  EXPECT_EQ(dialogs_.messages, QStringList{"Zapisano 5 kodów kart i ustawiono zegar"});
  EXPECT_EQ(Form().AckCount, 100);
  EXPECT_EQ(Form().ProgressBar1->value(), 0);
  RecordProperty("upload_ms", static_cast<int>(upload_ms));
  std::cout << "card code upload through the window: " << upload_ms << " ms\n";

  dump = sim_->Dump();
  ASSERT_TRUE(dump);
  const std::map<int, std::string> permitted = {
      {0, "0011AABB"}, {2, "00334455"}, {6, "abcdef12"}, {10, "C0FFEE11"}, {99, "FEDCBA98"}};
  EXPECT_EQ(dump->cards, permitted);
  EXPECT_EQ(dump->stored_cards, 5);
  // On the wire: the hundred card lines in slot order, then the PC's time.
  std::vector<int> all_slots(100);
  for (int slot = 0; slot < 100; ++slot) all_slots[slot] = slot;
  EXPECT_EQ(CardLineSlotsReceived(sim_->LogText()), all_slots);
  const std::vector<std::int32_t> clock_lines = ClockLinesReceived(sim_->LogText());
  ASSERT_EQ(clock_lines.size(), 1u);
  EXPECT_GE(clock_lines[0], before - 2);
  EXPECT_LE(clock_lines[0], after + 2);

  // A permitted user's card opens the locker and is recorded; a refused user's is unknown now.
  // (The heartbeat is still paused after the upload: no status line comes in between.)
  EXPECT_EQ(sim_->Command("code 0022CCDD"), "ok: unknown card, no event; card-read line sent");
  ASSERT_TRUE(ProcessUntil(
      [&] { return Form().StatusBar1->PanelText(2) == QStringLiteral("Karta: 0022CCDD"); }));
  EXPECT_EQ(Form().StatusBar1->PanelText(3), "Anna  Nowak");
  EXPECT_EQ(sim_->Command("code 00334455"),
            "ok: card of slot 2, event 0 recorded; card-read line sent");
  ASSERT_TRUE(ProcessUntil(
      [&] { return Form().StatusBar1->PanelText(2) == QStringLiteral("Karta: 00334455"); }));
  EXPECT_EQ(Form().Edit6->text(), "00334455");
  EXPECT_EQ(Form().StatusBar1->PanelText(3), "Łukasz  Żółć");
  ASSERT_TRUE(ProcessUntil([&] { return Form().EventCount == 1; }));  // the heartbeat's news

  dialogs_.Clear();
  ASSERT_TRUE(ReadEvents());
  EXPECT_EQ(dialogs_.messages, QStringList{"Odczytano 1 zdarzeń"});
  dump = sim_->Dump();
  ASSERT_TRUE(dump);
  ASSERT_EQ(dump->events.size(), 1u);
  const std::int32_t clock = dump->events[0].clock;
  auto& grid = *Form().StringGrid1;
  ASSERT_EQ(grid.RowCount(), 2);
  EXPECT_EQ(grid.Cell(1, 1), "Żółć");
  EXPECT_EQ(grid.Cell(2, 1), "Łukasz");
  EXPECT_EQ(grid.Cell(3, 1), QString::fromStdString(ClockDateText(clock)));
  EXPECT_EQ(grid.Cell(4, 1), QString::fromStdString(ClockTimeText(clock)));
  EXPECT_EQ(grid.Cell(5, 1), "3");
  EXPECT_EQ(grid.Cell(6, 1), "Magazyn");
  EXPECT_EQ(grid.Cell(7, 1), "00334455");
  ReportReadTimes();
}

}  // namespace
}  // namespace veldoran::app
