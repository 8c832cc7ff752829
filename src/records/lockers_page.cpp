#include "records/lockers_page.h"

#include <QLineEdit>

#include "link/connection.h"
#include "link/protocol.h"
#include "serial/main_thread.h"
#include "serial/spcomm.h"
#include "ui/clock.h"
#include "ui/dialogs.h"
#include "ui/string_grid.h"

namespace veldoran::records {

LockersPage::LockersPage(const LockersPageControls& controls, serial::TspComm& com,
                         link::LinkState& state, ui::Dialogs& dialogs, ui::Clock& clock,
                         serial::MainThread& main_thread, std::function<void()> update_captions,
                         std::function<void()> save_config)
    : controls_(controls),
      com_(com),
      state_(state),
      dialogs_(dialogs),
      clock_(clock),
      main_thread_(main_thread),
      update_captions_(std::move(update_captions)),
      save_config_(std::move(save_config)) {}

void LockersPage::ShowSelectedLocker() {
  controls_.Edit7->setText(controls_.StringGrid2->Cell(1, controls_.StringGrid2->Row()));
}

void LockersPage::RenameSelectedLocker() {
  controls_.StringGrid2->SetCell(1, controls_.StringGrid2->Row(), controls_.Edit7->text());
  if (update_captions_) update_captions_();
  if (save_config_) save_config_();
}

QString LockersPage::ProgramNumberQuestion(int row) const {
  const QString& name = controls_.StringGrid2->Cell(1, row);
  return QStringLiteral(
             "Zaprogramować podłączony kontroler jako szafkę nr %1%2?\n"
             "Przy następnym przesłaniu kodów kart kontroler otrzyma karty tej szafki.")
      .arg(row)
      .arg(name.isEmpty() ? QString() : QStringLiteral(" („%1”)").arg(name));
}

void LockersPage::ProgramControllerNumber() {
  const int row = controls_.StringGrid2->Row();
  if (!link::PortOpenGuard(com_, dialogs_)) return;
  // The number decides which lockers' cards the next upload writes into this controller: a
  // slip of the selection would be costly, so the number is confirmed first.
  if (!dialogs_.AskYesNo(ProgramNumberQuestion(row))) return;
  controls_.heartbeat.Pause(2000);
  const unsigned status_lines_before = state_.StatusLinesHandled;
  com_.SendString(protocol::SetControllerNumberLine(row));
  clock_.Sleep(2000);
  main_thread_.ProcessMessages();
  // Only a status line that came after the command confirms it: the number the controller
  // reported earlier may equal the one asked for even when this command went unanswered.
  const bool answered = state_.StatusLinesHandled != status_lines_before;
  if (answered && state_.ControllerNumber == row) {
    dialogs_.ShowMessage(QStringLiteral("Ustawiono numer szafki na: %1").arg(row));
  } else {
    dialogs_.ShowMessage(QStringLiteral("Coś poszło nie tak. Sprawdź port COM. "));
  }
}

}  // namespace veldoran::records
