#include "records/config_values.h"

#include <string>

#include "platform/cp1250.h"
#include "records/ini_file.h"

namespace veldoran::records {

namespace {

QString FromAnsi(const std::string& bytes) {
  const std::u16string text = cp1250::Decode(bytes);
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

ConfigValues ReadConfigValues(const ini::Document& doc) {
  const auto read = [&](const char* section, int n, std::string_view default_value) {
    return FromAnsi(doc.Get(section, std::to_string(n), default_value));
  };
  ConfigValues values;
  for (int n = 1; n <= kLockerCount; ++n) {
    values.LockerNames[static_cast<std::size_t>(n - 1)] =
        read(kLockersSection, n, "Szafka " + std::to_string(n));
  }
  for (int n = 1; n <= kUserCount; ++n) {
    Tuser& user = values.Users[static_cast<std::size_t>(n)];
    user.FirstName = read(kFirstNamesSection, n, "");
    user.Surname = read(kSurnamesSection, n, "");
    user.CardCode = read(kCardCodesSection, n, "");
    user.Permissions = read(kPermissionsSection, n, kAllowAllLockers);
  }
  return values;
}

QString LocationOf(const ConfigValues& values, int number) {
  if (number == 0) return QString::fromUtf16(kLockersHeading);
  if (number < 1 || number > kLockerCount) return {};
  return values.LockerNames[static_cast<std::size_t>(number - 1)];
}

}  // namespace veldoran::records
