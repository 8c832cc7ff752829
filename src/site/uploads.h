// The uploads to each locker and, from them, whether a locker holds the cards the users table
// would give it now.
#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <string>

#include "link/user_table.h"
#include "records/slot_codes.h"

namespace veldoran::site {

class SiteDatabase;

// One card slot as an upload wrote it: the code, and the names of its holder then (empty for
// the empty-slot code).
struct SlotHolder {
  std::string code;
  QString first_name;
  QString surname;
};
using SlotHolders = std::array<SlotHolder, records::kUserCount>;

// The 100 codes an upload to `locker` writes from `users`, with their holders' names.
SlotHolders HoldersFor(const records::UserTable& users, int locker);

struct LockerState {
  enum class Kind {
    Unknown,  // no upload known, or the last one failed
    Current,  // the users table would send what the last upload sent
    Stale,    // it would send something else
  };
  Kind kind = Kind::Unknown;
  int added = 0;    // slots that would get a card they do not hold now
  int removed = 0;  // slots whose card would be taken away or replaced
  bool operator==(const LockerState&) const = default;
};

// Compares what the users table would send with what was sent last.
LockerState CompareCodes(const records::SlotCodeList& now, const records::SlotCodeList& sent);

class UploadRecords {
 public:
  explicit UploadRecords(SiteDatabase& db) : db_(db) {}

  // Records an upload to `locker` at `at` (controller clock value of the PC's time): its
  // outcome and the slots it sent. False when it could not be recorded.
  bool Record(int locker, std::int64_t at, bool ok, const SlotHolders& slot_holders);

  // The state of `locker` against `users`.
  LockerState StateOf(int locker, const records::UserTable& users);
  // The states of lockers 1 to 10.
  std::array<LockerState, records::kLockerCount> States(const records::UserTable& users);

 private:
  SiteDatabase& db_;
};

}  // namespace veldoran::site
