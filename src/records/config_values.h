// What Config.ini holds for the tool, read without a window: the ten locker names and the
// users, with the defaults of keys the file lacks. The window's load and veldoran-cli read the
// file through this one unit, so both see the same values.
#pragma once

#include <QString>
#include <QStringList>
#include <array>
#include <filesystem>
#include <string>

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

// Stores every value of `values` into `doc`. A value the file cannot hold is left out (the key
// keeps what the file held) and does not stop the others; returned are the keys left out, each
// with the reason, for the operator.
QStringList StoreConfigValues(const ConfigValues& values, ini::Document& doc);

struct ConfigSave {
  bool ok = false;
  std::string error;    // why the file was not written (the platform's text, local 8-bit)
  QStringList refused;  // written, but without these values (StoreConfigValues)
};
// Writes `values` into the file at `path`: read again first, so whatever else it holds (and
// changes made to it since it was loaded) survives, then replaced all at once or not at all.
// An unreadable file is not written.
ConfigSave SaveConfigValues(const std::filesystem::path& path, const ConfigValues& values);

// The location an event of locker `number` shows, as the lockers grid gives it: the locker's
// name for 1 to 10, the column's heading for 0, nothing for any other number.
QString LocationOf(const ConfigValues& values, int number);

}  // namespace veldoran::records
