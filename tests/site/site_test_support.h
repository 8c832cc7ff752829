// Shared by the site database tests: users tables, reads and a look at the file with a
// connection of the test's own.
#pragma once

#include <QString>
#include <filesystem>
#include <vector>

#include "link/user_table.h"
#include "site/event_archive.h"

namespace veldoran::testing {

// Users in rows 1..n with codes "000000n" (hex), names "Imię n"/"Nazwisko n", every locker.
records::UserTable UsersWithCodes(int n);

// `count` events of `locker` one minute apart from `first_at`, slots cycling through 0..9.
std::vector<site::ReadEvent> EventsOf(int locker, std::int32_t first_at, int count);

// Runs one query on the file with a connection of the test's own and returns the first column
// of the first row as text ("" when none; "error: ..." when it fails).
QString QueryFile(const std::filesystem::path& file, const QString& sql);

}  // namespace veldoran::testing
