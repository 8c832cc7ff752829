#include "site/event_archive.h"

#include <QHash>
#include <QSqlQuery>
#include <QVariant>
#include <algorithm>
#include <limits>
#include <map>
#include <tuple>

#include "link/protocol.h"
#include "site/site_database.h"
#include "site/uploads.h"

namespace veldoran::site {

namespace {

struct Holder {
  QString code;
  QString first_name;
  QString surname;
};

// The successful uploads to one locker, oldest first, and their slots once looked at.
struct UploadHistory {
  std::vector<std::pair<std::int64_t, qlonglong>> at_and_id;
  std::map<qlonglong, SlotHolders> slots_by_id;
};

// The ids of holders and locker names within one transaction, found or added as needed.
class NameIds {
 public:
  NameIds(SiteDatabase& db, QSqlDatabase& conn)
      : db_(db), find_holder_(conn), add_holder_(conn), find_place_(conn), add_place_(conn) {
    find_holder_.prepare(
        QStringLiteral("SELECT id FROM holders WHERE code = ? AND first_name = ? AND surname = ?"));
    add_holder_.prepare(
        QStringLiteral("INSERT INTO holders(code, first_name, surname) VALUES(?, ?, ?)"));
    find_place_.prepare(QStringLiteral("SELECT id FROM locations WHERE name = ?"));
    add_place_.prepare(QStringLiteral("INSERT INTO locations(name) VALUES(?)"));
  }

  std::optional<qlonglong> Holder(const site::Holder& h) {
    const QString key = h.code + QChar(0) + h.first_name + QChar(0) + h.surname;
    if (const auto it = holders_.constFind(key); it != holders_.constEnd()) return *it;
    const QVariantList values{Stored(h.code), Stored(h.first_name), Stored(h.surname)};
    const auto id = FindOrAdd(find_holder_, add_holder_, values);
    if (id) holders_.insert(key, *id);
    return id;
  }

  std::optional<qlonglong> Place(const QString& name) {
    if (const auto it = places_.constFind(name); it != places_.constEnd()) return *it;
    const auto id = FindOrAdd(find_place_, add_place_, {Stored(name)});
    if (id) places_.insert(name, *id);
    return id;
  }

 private:
  std::optional<qlonglong> FindOrAdd(QSqlQuery& find, QSqlQuery& add, const QVariantList& values) {
    for (int i = 0; i < values.size(); ++i) find.bindValue(i, values[i]);
    if (!db_.Exec(find)) return std::nullopt;
    if (find.next()) {
      const qlonglong id = find.value(0).toLongLong();
      find.finish();
      return id;
    }
    for (int i = 0; i < values.size(); ++i) add.bindValue(i, values[i]);
    if (!db_.Exec(add)) return std::nullopt;
    return add.lastInsertId().toLongLong();
  }

  SiteDatabase& db_;
  QSqlQuery find_holder_, add_holder_, find_place_, add_place_;
  QHash<QString, qlonglong> holders_, places_;
};

bool LoadUploads(SiteDatabase& db, int locker, UploadHistory& history) {
  QSqlQuery q(db.connection());
  q.prepare(QStringLiteral("SELECT at, id FROM uploads WHERE locker = ? AND ok = 1"));
  q.addBindValue(locker);
  if (!db.Exec(q)) return false;
  while (q.next()) history.at_and_id.emplace_back(q.value(0).toLongLong(), q.value(1).toLongLong());
  std::sort(history.at_and_id.begin(), history.at_and_id.end());
  return true;
}

const SlotHolders* SlotsOf(SiteDatabase& db, UploadHistory& history, qlonglong id) {
  if (const auto it = history.slots_by_id.find(id); it != history.slots_by_id.end())
    return &it->second;
  QSqlQuery q(db.connection());
  q.prepare(QStringLiteral(
      "SELECT slot, code, first_name, surname FROM upload_slots WHERE upload_id = ?"));
  q.addBindValue(id);
  if (!db.Exec(q)) return nullptr;
  SlotHolders sent;
  for (SlotHolder& h : sent) h.code = std::string(protocol::kEmptySlotCode);
  while (q.next()) {
    const int n = q.value(0).toInt();
    if (n < 0 || n >= records::kUserCount) continue;
    sent[static_cast<std::size_t>(n)] = {q.value(1).toString().toStdString(), q.value(2).toString(),
                                         q.value(3).toString()};
  }
  return &history.slots_by_id.emplace(id, std::move(sent)).first->second;
}

}  // namespace

std::optional<int> EventArchive::StoreRead(int locker, std::int64_t read_at,
                                           const std::vector<ReadEvent>& events,
                                           const records::UserTable& users) {
  int added = 0;
  const bool stored = db_.Write([&](QSqlDatabase& conn) {
    QSqlQuery read(conn);
    read.prepare(
        QStringLiteral("INSERT INTO reads(locker, at, covered, added) VALUES(?, ?, ?, 0)"));
    read.addBindValue(locker);
    read.addBindValue(static_cast<qlonglong>(read_at));
    read.addBindValue(static_cast<int>(events.size()));
    if (!db_.Exec(read)) return false;
    const qlonglong read_id = read.lastInsertId().toLongLong();

    NameIds names(db_, conn);
    std::map<int, UploadHistory> uploads;  // by locker
    // Identical records (same locker, second and slot) are told apart by their order.
    std::map<std::tuple<int, std::int32_t, int>, int> seen;
    QSqlQuery insert(conn);
    insert.prepare(QStringLiteral(
        "INSERT OR IGNORE INTO events(locker, at, slot, nth, read_id, holder_id, location_id,"
        " from_upload) VALUES(?, ?, ?, ?, ?, ?, ?, ?)"));
    for (const ReadEvent& e : events) {
      auto found = uploads.find(e.locker);
      if (found == uploads.end()) {
        found = uploads.emplace(e.locker, UploadHistory{}).first;
        if (!LoadUploads(db_, e.locker, found->second)) return false;
      }
      UploadHistory& history = found->second;
      // The last successful upload at or before the event.
      const auto after = std::upper_bound(
          history.at_and_id.begin(), history.at_and_id.end(),
          std::make_pair(static_cast<std::int64_t>(e.at), std::numeric_limits<qlonglong>::max()));
      Holder holder;
      const bool from_upload = after != history.at_and_id.begin();
      const bool in_table = e.user_slot >= 0 && e.user_slot < records::kUserCount;
      if (from_upload) {
        const SlotHolders* sent = SlotsOf(db_, history, std::prev(after)->second);
        if (!sent) return false;
        if (in_table) {
          const SlotHolder& h = (*sent)[static_cast<std::size_t>(e.user_slot)];
          if (h.code != protocol::kEmptySlotCode) {
            holder = {QString::fromStdString(h.code), h.first_name, h.surname};
          }
        }
      } else if (in_table) {
        const records::Tuser& u = users[static_cast<std::size_t>(e.user_slot + 1)];
        holder = {u.CardCode, u.FirstName, u.Surname};
      }
      const auto holder_id = names.Holder(holder);
      const auto place_id = names.Place(e.location);
      if (!holder_id || !place_id) return false;
      const int nth = seen[{e.locker, e.at, e.user_slot}]++;
      insert.bindValue(0, e.locker);
      insert.bindValue(1, e.at);
      insert.bindValue(2, e.user_slot);
      insert.bindValue(3, nth);
      insert.bindValue(4, read_id);
      insert.bindValue(5, *holder_id);
      insert.bindValue(6, *place_id);
      insert.bindValue(7, from_upload ? 1 : 0);
      if (!db_.Exec(insert)) return false;
      added += insert.numRowsAffected() > 0 ? 1 : 0;
    }
    QSqlQuery count(conn);
    count.prepare(QStringLiteral("UPDATE reads SET added = ? WHERE id = ?"));
    count.addBindValue(added);
    count.addBindValue(read_id);
    return db_.Exec(count);
  });
  if (!stored) return std::nullopt;
  return added;
}

bool EventArchive::RecordClear(int locker, std::int64_t at) {
  return db_.Write([&](QSqlDatabase& conn) {
    QSqlQuery q(conn);
    q.prepare(
        QStringLiteral("INSERT INTO clears(locker, at, after_read)"
                       " VALUES(?, ?, (SELECT coalesce(max(id), 0) FROM reads))"));
    q.addBindValue(locker);
    q.addBindValue(static_cast<qlonglong>(at));
    return db_.Exec(q);
  });
}

std::optional<int> EventArchive::ArchivedSinceClear(int locker) {
  if (db_.state() == SiteDatabase::State::Absent) return 0;
  if (!db_.CanRead()) return std::nullopt;
  QSqlQuery q(db_.connection());
  q.prepare(QStringLiteral(
      "SELECT covered FROM reads WHERE locker = ? AND id > (SELECT coalesce(max(after_read), 0)"
      " FROM clears WHERE locker = ?) ORDER BY id DESC LIMIT 1"));
  q.addBindValue(locker);
  q.addBindValue(locker);
  if (!db_.Exec(q)) return std::nullopt;
  return q.next() ? q.value(0).toInt() : 0;
}

}  // namespace veldoran::site
