// The users: 100 fixed slots, index n (1 to 100) being users-grid row n, key n in Config.ini and
// controller card slot n - 1. Index 0 is never used.
#pragma once

#include <QString>
#include <array>

namespace veldoran::records {

struct Tuser {
  QString FirstName;
  QString Surname;
  QString CardCode;
  QString Permissions;  // character k is "1" when the user may open locker k
};

inline constexpr int kUserCount = 100;
inline constexpr int kLockerCount = 10;
using UserTable = std::array<Tuser, kUserCount + 1>;

struct RecordsState {
  UserTable Users;
};

}  // namespace veldoran::records
