// The users CSV import: any bytes give a plan without crashing; the plan never puts a user into
// a row that is taken unless it matched that user, never names a row twice, and applies only
// uploadable, distinct codes; and the table it leaves, exported and imported again, changes no
// more.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string_view>

#include "records/slot_codes.h"
#include "records/users_csv.h"

namespace {

using namespace veldoran::records;

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "broken invariant: %s\n", what);
  std::abort();
}

UserTable StartTable() {
  UserTable users;
  users[1] = {"Jan", "Kowalski", "0011AABB", "1111111111"};
  users[2] = {QString::fromUtf8("Łucja"), QString::fromUtf8("Żółć"), "0022ccdd", "101"};
  users[4] = {"Ewa", "Lis", "", "0000000000"};
  users[5] = {"Ewa", "Lis", "123", "1111111111"};
  return users;
}

LockerNames Lockers() {
  LockerNames names;
  for (int k = 0; k < kLockerCount; ++k) names[k] = QStringLiteral("Szafka %1").arg(k + 1);
  names[2] = QStringLiteral("Biuro");
  names[3] = QStringLiteral("Biuro");
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const LockerNames lockers = Lockers();
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  UserTable users = StartTable();
  const UserTable start = users;
  const ImportPlan plan = PlanImport(bytes, users, lockers);
  Check(plan.error.isEmpty() || plan.lines.empty(), "a refused file has no lines");
  std::set<int> rows;
  for (const ImportLine& line : plan.lines) {
    Check(!VerdictText(line).isEmpty(), "every line has a verdict");
    if (line.verdict != ImportVerdict::kNewUser && line.verdict != ImportVerdict::kUpdate) continue;
    Check(line.row >= 1 && line.row <= kUserCount, "a row of the table");
    Check(rows.insert(line.row).second, "no row taken twice");
    Check((line.verdict == ImportVerdict::kNewUser) != IsUserSet(start[line.row]),
          "new users go into free rows, updates into set ones");
    if (line.verdict == ImportVerdict::kNewUser) {
      Check(IsUploadableCardCode(line.user.CardCode), "a new user has an uploadable code");
    }
  }
  (void)PlanSummary(plan);
  ApplyImport(plan, users);
  for (int n = 1; n <= kUserCount; ++n) {
    if (!rows.count(n)) {
      Check(users[n].CardCode == start[n].CardCode && users[n].Surname == start[n].Surname,
            "rows the plan does not name stay as they are");
    }
  }

  const auto exported = UsersCsvBytes(UsersCsvLines(users, lockers));
  Check(exported.has_value(), "the table can always be exported");
  const ImportPlan again = PlanImport(*exported, users, lockers);
  Check(again.error.isEmpty(), "an export is always importable");
  Check(!again.HasChanges(), "an export imported again changes nothing");
  return 0;
}
