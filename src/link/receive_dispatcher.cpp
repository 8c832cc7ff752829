#include "link/receive_dispatcher.h"

#include <QLineEdit>
#include <QProgressBar>
#include <QTimer>
#include <algorithm>

#include "link/event_rows.h"
#include "link/protocol.h"
#include "ui/date_formats.h"
#include "ui/dialogs.h"
#include "ui/status_bar.h"
#include "ui/string_grid.h"
#include "ui/text.h"

namespace veldoran::link {
namespace p = protocol;

namespace {

constexpr std::size_t kBufferLimit = 100;

// A progress bar holds its position inside its range, as the native control does.
void MoveTo(QProgressBar* bar, int position) {
  bar->setValue(std::clamp(position, bar->minimum(), bar->maximum()));
}

bool StartsWith(const std::string& buffer, std::string_view lead) {
  return buffer.compare(0, lead.size(), lead) == 0;
}

}  // namespace

ReceiveDispatcher::ReceiveDispatcher(const DispatcherControls& controls, LinkState& state,
                                     const records::UserTable& users, ui::Dialogs& dialogs,
                                     const ui::DateTimeFormats& formats,
                                     std::function<void()> fill_events_grid)
    : controls_(controls),
      state_(state),
      users_(users),
      dialogs_(dialogs),
      formats_(formats),
      fill_events_grid_(std::move(fill_events_grid)) {}

void ReceiveDispatcher::Receive(const void* buffer, std::uint32_t received) {
  std::string& rx = state_.ReceiveBuffer;
  rx.append(static_cast<const char*>(buffer), received);

  // Resynchronise: drop whatever stands before a reply's first letter.
  const std::size_t lead = rx.find_first_of("WSZ");
  rx.erase(0, lead == std::string::npos ? rx.size() : lead);

  if (rx.size() >= p::card_read_line::kLength && rx.front() == p::card_read_line::kLead) {
    CardRead();
  }
  if (rx.size() >= p::status_line::kLength && rx.front() == p::status_line::kLead) {
    StatusLine();
  }
  while (rx.size() >= p::upload_ack::kLength && StartsWith(rx, p::upload_ack::kLead)) {
    Acknowledgement();
  }
  while (rx.size() >= p::event_record::kLength && rx[0] == p::event_record::kLead &&
         rx[1] != p::event_record::kNotSecond) {
    EventRecord();
  }
  if (rx.size() > kBufferLimit) rx.clear();
}

void ReceiveDispatcher::CardRead() {
  const QString code = ui::FromAnsi(p::card_read_line::kCardCode.In(state_.ReceiveBuffer));
  controls_.StatusBar1->SetPanelHint(3, QString());
  if (const qsizetype bad = ui::FirstControlCharacter(code); bad >= 0) {
    // A garbled read (line noise, a bad contact): such a code cannot be stored, so it never
    // reaches the card code field, from where "Zapisz" would take it. The operator sees the
    // read and why it went no further.
    controls_.StatusBar1->SetPanelText(2, QStringLiteral("Karta: ") + ui::WithControlsShown(code));
    controls_.StatusBar1->SetPanelText(3, QStringLiteral("Błąd odczytu karty"));
    controls_.StatusBar1->SetPanelHint(
        3, QStringLiteral("Odczytany kod karty zawiera znak sterujący (%1), którego nie można "
                          "zapisać. Pole „Kod karty” nie zostało zmienione; przyłóż kartę "
                          "ponownie.")
               .arg(ui::CharacterCode(code[bad])));
    state_.ReceiveBuffer.clear();
    return;
  }
  controls_.Edit6->setText(code);
  controls_.StatusBar1->SetPanelText(2, QStringLiteral("Karta: ") + code);
  controls_.StatusBar1->SetPanelText(3, QString());
  const QString shown = controls_.Edit6->text();
  for (int row = 1; row <= records::kUserCount; ++row) {
    if (controls_.StringGrid3->Cell(3, row) == shown) {
      const records::Tuser& user = users_[static_cast<std::size_t>(row)];
      controls_.StatusBar1->SetPanelText(3, user.FirstName + QStringLiteral("  ") + user.Surname);
    }
  }
  state_.ReceiveBuffer.clear();
}

void ReceiveDispatcher::StatusLine() {
  const std::string& rx = state_.ReceiveBuffer;
  state_.ReplySeen = true;
  ++state_.StatusLinesHandled;
  const p::StatusReply status = p::DecodeStatusLine(rx);
  state_.ControllerNumber = status.controller_number;
  controls_.connection.ShowConnected(state_.ControllerNumber);
  controls_.StatusBar1->SetPanelText(1, DateAndTime(status.clock));
  controls_.StatusBar1->SetPanelText(4,
                                     QStringLiteral("Liczba zdarzeń: %1").arg(status.event_count));
  state_.EventCount = status.event_count;
  state_.ReceiveBuffer.clear();
}

void ReceiveDispatcher::Acknowledgement() {
  std::string& rx = state_.ReceiveBuffer;
  state_.EchoedCode = std::string(p::upload_ack::kCardCode.In(rx));
  if (state_.EchoedCode == state_.LastSentCode) {
    ++state_.AckCount;
    if (state_.EchoedCode != p::kEmptySlotCode) ++state_.SavedCount;
  }
  rx.erase(0, p::upload_ack::kLength);
  controls_.heartbeat.RestartPause(2000);
  MoveTo(controls_.ProgressBar1, state_.AckCount);
}

void ReceiveDispatcher::EventRecord() {
  std::string& rx = state_.ReceiveBuffer;
  const p::EventRecordReply record = p::DecodeEventRecord(rx);
  state_.ControllerNumber = record.controller_number;
  const int slot = record.event_slot;
  // The slot field reaches 65535; a record for a slot the table does not have is not stored.
  if (slot < kEventTableSize) {
    state_.Events[static_cast<std::size_t>(slot)] =
        EventOf(record, formats_, controls_.StringGrid2->Cell(1, state_.ControllerNumber));
  }
  rx.erase(0, p::event_record::kLength);
  if (state_.ReadRunning) ++state_.ReadRecords;
  MoveTo(controls_.ProgressBar2, slot / 10);
  if (slot >= p::kLastEventSlot) ReadEnded();
}

void ReceiveDispatcher::ReadEnded() {
  state_.ReadRunning = false;
  MoveTo(controls_.ProgressBar2, 0);
  controls_.heartbeat.Resume();
  if (fill_events_grid_) fill_events_grid_();
  // The box is modal: shown from here it would hold up every later delivery (the port waits
  // for this handler to return) and the heartbeat would take the silence for a lost link.
  // It opens once the handler has returned, from the event loop, and replies go on being
  // handled while it is open. Line noise that ends "reads" one after another gets one box.
  if (*read_end_box_) return;
  *read_end_box_ = true;
  QTimer::singleShot(0, &read_end_context_,
                     [&dialogs = dialogs_, open = read_end_box_,
                      text = QStringLiteral("Odczytano %1 zdarzeń").arg(state_.EventCount)] {
                       dialogs.ShowMessage(text);
                       *open = false;  // the dispatcher may be gone by now; the flag is shared
                     });
}

QString ReceiveDispatcher::DateAndTime(std::int32_t clock_value) const {
  const DayCount t = p::ControllerSecondsToDateTime(clock_value);
  return formats_.FormatDate(t) + QStringLiteral("  ") + formats_.FormatTime(t);
}

}  // namespace veldoran::link
