// The window's side of the event archive: a completed read is stored, and clearing the
// controller's memory asks first when it holds events the archive does not have yet.
#pragma once

#include <QString>
#include <cstdint>

#include "link/event_table.h"
#include "link/user_table.h"

namespace veldoran::site {

class SiteDatabase;

// The question asked before a memory holding `unread` events not in the archive is cleared.
QString ClearQuestion(int unread);

class ReadArchive {
 public:
  ReadArchive(SiteDatabase& db, const records::UserTable& users) : db_(db), users_(users) {}

  // Stores the first `event_count` events of `events` (as the grid shows them), read from
  // `locker` at `read_at`.
  void ReadCompleted(const link::EventTable& events, int event_count, int locker,
                     std::int64_t read_at);
  // Events the controller of `locker` holds (`event_count`, from its status line) that the
  // archive does not; 0 when the archive cannot tell (the tool then clears as it always did).
  int Unread(int locker, int event_count);
  // The memory of `locker` was cleared.
  void Cleared(int locker, std::int64_t at);

 private:
  SiteDatabase& db_;
  const records::UserTable& users_;
};

}  // namespace veldoran::site
