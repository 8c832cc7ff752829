// The event archive: every event of every completed read, each stored once, with the holder of
// its card slot at the time of the event.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

#include "link/user_table.h"

namespace veldoran::site {

class SiteDatabase;

// One event as a read brought it.
struct ReadEvent {
  int locker = 0;       // the locker number the record carries
  std::int32_t at = 0;  // the controller's clock value of the event
  int user_slot = 0;    // card slot, 0 to 99
  QString location;     // the locker's name when the record arrived
};

class EventArchive {
 public:
  explicit EventArchive(SiteDatabase& db) : db_(db) {}

  // Stores a completed read of `locker` made at `read_at` (controller clock value of the PC's
  // time): its events, in memory order. The holder of each event's slot is taken from the
  // last successful upload to the event's locker before the event, else from `users` (marked
  // so). An event already stored is not stored again. Returns how many were new, or nothing
  // when the read could not be stored (then nothing of it is).
  std::optional<int> StoreRead(int locker, std::int64_t read_at,
                               const std::vector<ReadEvent>& events,
                               const records::UserTable& users);

  // The memory of `locker` was cleared at `at`.
  bool RecordClear(int locker, std::int64_t at);

  // How many of the events in the memory of `locker` the archive holds: what its last
  // completed read brought since its memory was last cleared (0 when none). Nothing when
  // the archive cannot tell.
  std::optional<int> ArchivedSinceClear(int locker);

 private:
  SiteDatabase& db_;
};

}  // namespace veldoran::site
