#include "site/read_archive.h"

#include <algorithm>

#include "site/event_archive.h"
#include "site/site_database.h"

namespace veldoran::site {

QString ClearQuestion(int unread) {
  return QStringLiteral(
             "Kontroler ma w pamięci zdarzenia, których nie ma jeszcze w historii "
             "(nieodczytane: %1). Po skasowaniu nie będzie ich nigdzie. Skasować mimo to?")
      .arg(unread);
}

void ReadArchive::ReadCompleted(const link::EventTable& events, int event_count, int locker,
                                std::int64_t read_at) {
  const int count = std::clamp(event_count, 0, link::kEventTableSize);
  std::vector<ReadEvent> read;
  read.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    const link::Tevent& e = events[static_cast<std::size_t>(i)];
    read.push_back({e.LockerNumber, e.ClockValue, e.UserSlot, e.Location});
  }
  EventArchive(db_).StoreRead(locker, read_at, read, users_);
}

int ReadArchive::Unread(int locker, int event_count) {
  if (db_.state() == SiteDatabase::State::Unusable) return 0;
  const auto archived = EventArchive(db_).ArchivedSinceClear(locker);
  if (!archived) return 0;
  return std::max(0, event_count - *archived);
}

void ReadArchive::Cleared(int locker, std::int64_t at) {
  EventArchive(db_).RecordClear(locker, at);
}

}  // namespace veldoran::site
