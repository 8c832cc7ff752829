// What Config.ini holds for the tool, read without a window: the ten locker names and the
// users, with the defaults of keys the file lacks. The window's load and veldoran-cli read the
// file through this one unit, so both see the same values.
#pragma once

#include <QString>
#include <array>

#include "link/user_table.h"

namespace veldoran::ini {
class Document;
}

namespace veldoran::records {

inline constexpr char kLockersSection[] = "Szafki";
inline constexpr char kFirstNamesSection[] = "Users_ime";
inline constexpr char kSurnamesSection[] = "Users_nazwisko";
inline constexpr char kCardCodesSection[] = "kod";
inline constexpr char kPermissionsSection[] = "uprawnienia";
inline constexpr char kAllowAllLockers[] = "1111111111";

// The heading of the lockers grid's name column, which an event of locker 0 shows as its
// location.
inline constexpr char16_t kLockersHeading[] = u"Lokalizacja szafki";

struct ConfigValues {
  std::array<QString, kLockerCount> LockerNames;  // locker n at index n - 1
  UserTable Users;
};

// The values of `doc` (Windows-1250 text), each key's default where it is missing: "Szafka n"
// for locker n, empty names and codes, and permission for every locker.
ConfigValues ReadConfigValues(const ini::Document& doc);

// The location an event of locker `number` shows, as the lockers grid gives it: the locker's
// name for 1 to 10, the column's heading for 0, nothing for any other number.
QString LocationOf(const ConfigValues& values, int number);

}  // namespace veldoran::records
