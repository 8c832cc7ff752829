#include "records/card_upload.h"

#include <QProgressBar>

#include "link/connection.h"
#include "link/protocol.h"
#include "link/user_table.h"
#include "records/slot_codes.h"
#include "records/users_page.h"
#include "serial/main_thread.h"
#include "serial/spcomm.h"
#include "ui/clock.h"
#include "ui/dialogs.h"
#include "ui/string_grid.h"

namespace veldoran::records {

std::string SlotCode(const ui::TStringGrid& users_grid, int row, int controller_number) {
  Tuser user;
  user.CardCode = users_grid.Cell(3, row);
  user.Permissions = users_grid.Cell(4, row);
  return SlotCodeFor(user, controller_number);
}

CardUpload::CardUpload(const CardUploadControls& controls, serial::TspComm& com,
                       link::LinkState& state, ui::Dialogs& dialogs, ui::Clock& clock,
                       serial::MainThread& main_thread)
    : controls_(controls),
      com_(com),
      state_(state),
      dialogs_(dialogs),
      clock_(clock),
      main_thread_(main_thread) {}

void CardUpload::Upload() {
  state_.SavedCount = 0;
  state_.ReceiveBuffer.clear();
  if (!link::PortOpenGuard(com_, dialogs_)) return;
  controls_.heartbeat.Pause(10000);
  state_.AckCount = 0;
  const int controller_number = state_.ControllerNumber;
  for (int row = 1; row <= kUserCount; ++row) {
    const std::string code = SlotCode(*controls_.StringGrid3, row, state_.ControllerNumber);
    state_.LastSentCode = code;
    com_.SendString(protocol::WriteCardSlotLine(row - 1, code));
    clock_.Sleep(50);
    main_thread_.ProcessMessages();
  }
  clock_.Sleep(50);
  com_.SendString(protocol::SetClockLine(protocol::DateTimeToControllerSeconds(clock_.Now())));
  const bool all_acknowledged = state_.AckCount == kUserCount;
  if (all_acknowledged) {
    dialogs_.ShowMessage(
        QStringLiteral("Zapisano %1 kodów kart i ustawiono zegar").arg(state_.SavedCount));
    controls_.ProgressBar1->setValue(0);
  } else {
    dialogs_.ShowMessage(QStringLiteral(
        "Wystąpił błąd podczas przesyłania danych. Kody kart nie zostały poprawnie zapisane."));
  }
  if (on_finished_) on_finished_(controller_number, all_acknowledged);
}

}  // namespace veldoran::records
