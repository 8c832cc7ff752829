#include "site/lockers_status.h"

#include <QLabel>
#include <QWidget>

#include "site/site_database.h"

namespace veldoran::site {

QString StateText(const LockerState& state) {
  switch (state.kind) {
    case LockerState::Kind::Current:
      return QStringLiteral("aktualne");
    case LockerState::Kind::Stale:
      return QStringLiteral("nieaktualne (do dodania: %1, do usunięcia: %2)")
          .arg(state.added)
          .arg(state.removed);
    case LockerState::Kind::Unknown:
      break;
  }
  return QStringLiteral("nieznane");
}

QString NoticeText(int locker, const LockerState& state) {
  switch (state.kind) {
    case LockerState::Kind::Current:
      return {};
    case LockerState::Kind::Stale:
      return QStringLiteral("Karty w szafce nr %1 nieaktualne").arg(locker);
    case LockerState::Kind::Unknown:
      break;
  }
  return QStringLiteral("Karty w szafce nr %1 mogą być nieaktualne").arg(locker);
}

LockersStatus::LockersStatus(SiteDatabase& db, const records::UserTable& users,
                             QWidget* lockers_page, int x, int first_row_y, int row_height,
                             QLabel* notice)
    : db_(db), users_(users), notice_(notice) {
  for (int n = 1; n <= records::kLockerCount; ++n) {
    auto* label = new QLabel(lockers_page);
    label->setObjectName(QStringLiteral("LockerState%1").arg(n));
    label->setTextFormat(Qt::PlainText);
    label->setGeometry(x, first_row_y + (n - 1) * row_height, 340, row_height);
    labels_[static_cast<std::size_t>(n - 1)] = label;
  }
  Refresh();
}

void LockersStatus::UploadFinished(int locker, bool ok, std::int64_t at) {
  if (locker >= 1) UploadRecords(db_).Record(locker, at, ok, HoldersFor(users_, locker));
  Refresh();
}

void LockersStatus::Refresh() {
  states_ = UploadRecords(db_).States(users_);
  for (int n = 1; n <= records::kLockerCount; ++n) {
    const LockerState& state = states_[static_cast<std::size_t>(n - 1)];
    QLabel* label = labels_[static_cast<std::size_t>(n - 1)];
    label->setText(StateText(state));
    QPalette pal = label->palette();
    const QColor color = state.kind == LockerState::Kind::Current ? QColor(0, 128, 0)
                         : state.kind == LockerState::Kind::Stale ? QColor(192, 0, 0)
                                                                  : QColor(96, 96, 96);
    pal.setColor(QPalette::WindowText, color);
    label->setPalette(pal);
  }
  ShowConnection(connected_, locker_);
}

void LockersStatus::ShowConnection(bool connected, int locker) {
  connected_ = connected;
  locker_ = locker;
  QString text;
  if (connected && locker >= 1 && locker <= records::kLockerCount) {
    text = NoticeText(locker, states_[static_cast<std::size_t>(locker - 1)]);
  }
  if (notice_->text() != text) notice_->setText(text);
  notice_->setVisible(!text.isEmpty());
}

}  // namespace veldoran::site
