#include "site/uploads.h"

#include <QSqlQuery>
#include <QVariant>

#include "link/protocol.h"
#include "site/site_database.h"

namespace veldoran::site {

namespace {
bool IsEmptySlot(const std::string& code) { return code == protocol::kEmptySlotCode; }
}  // namespace

SlotHolders HoldersFor(const records::UserTable& users, int locker) {
  const records::SlotCodeList codes = records::SlotCodes(users, locker);
  SlotHolders holders;
  for (int slot = 0; slot < records::kUserCount; ++slot) {
    SlotHolder& h = holders[static_cast<std::size_t>(slot)];
    h.code = codes[static_cast<std::size_t>(slot)];
    if (!IsEmptySlot(h.code)) {
      const records::Tuser& user = users[static_cast<std::size_t>(slot + 1)];
      h.first_name = user.FirstName;
      h.surname = user.Surname;
    }
  }
  return holders;
}

LockerState CompareCodes(const records::SlotCodeList& now, const records::SlotCodeList& sent) {
  LockerState state;
  for (std::size_t slot = 0; slot < now.size(); ++slot) {
    if (now[slot] == sent[slot]) continue;
    if (!IsEmptySlot(now[slot])) ++state.added;
    if (!IsEmptySlot(sent[slot])) ++state.removed;
  }
  state.kind = state.added == 0 && state.removed == 0 ? LockerState::Kind::Current
                                                      : LockerState::Kind::Stale;
  return state;
}

bool UploadRecords::Record(int locker, std::int64_t at, bool ok, const SlotHolders& slot_holders) {
  return db_.Write([&](QSqlDatabase& db) {
    QSqlQuery upload(db);
    upload.prepare(QStringLiteral("INSERT INTO uploads(locker, at, ok) VALUES(?, ?, ?)"));
    upload.addBindValue(locker);
    upload.addBindValue(static_cast<qlonglong>(at));
    upload.addBindValue(ok ? 1 : 0);
    if (!db_.Exec(upload)) return false;
    const QVariant id = upload.lastInsertId();
    QSqlQuery slot(db);
    slot.prepare(
        QStringLiteral("INSERT INTO upload_slots(upload_id, slot, code, first_name, surname)"
                       " VALUES(?, ?, ?, ?, ?)"));
    for (int n = 0; n < records::kUserCount; ++n) {
      const SlotHolder& h = slot_holders[static_cast<std::size_t>(n)];
      slot.bindValue(0, id);
      slot.bindValue(1, n);
      slot.bindValue(2, QString::fromStdString(h.code));
      slot.bindValue(3, Stored(h.first_name));
      slot.bindValue(4, Stored(h.surname));
      if (!db_.Exec(slot)) return false;
    }
    return true;
  });
}

LockerState UploadRecords::StateOf(int locker, const records::UserTable& users) {
  if (!db_.CanRead()) return {};
  QSqlQuery last(db_.connection());
  last.prepare(
      QStringLiteral("SELECT id, ok FROM uploads WHERE locker = ? ORDER BY id DESC LIMIT 1"));
  last.addBindValue(locker);
  if (!db_.Exec(last) || !last.next() || last.value(1).toInt() == 0) return {};
  const qlonglong id = last.value(0).toLongLong();
  last.finish();
  records::SlotCodeList sent;
  sent.fill(std::string(protocol::kEmptySlotCode));
  QSqlQuery q(db_.connection());
  q.prepare(QStringLiteral("SELECT slot, code FROM upload_slots WHERE upload_id = ?"));
  q.addBindValue(id);
  if (!db_.Exec(q)) return {};
  while (q.next()) {
    const int n = q.value(0).toInt();
    if (n >= 0 && n < records::kUserCount) {
      sent[static_cast<std::size_t>(n)] = q.value(1).toString().toStdString();
    }
  }
  return CompareCodes(records::SlotCodes(users, locker), sent);
}

std::array<LockerState, records::kLockerCount> UploadRecords::States(
    const records::UserTable& users) {
  std::array<LockerState, records::kLockerCount> states;
  for (int locker = 1; locker <= records::kLockerCount; ++locker) {
    states[static_cast<std::size_t>(locker - 1)] = StateOf(locker, users);
  }
  return states;
}

}  // namespace veldoran::site
