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

QStringList StoreConfigValues(const ConfigValues& values, ini::Document& doc) {
  QStringList refused;
  const auto store = [&](const char* section, int n, const QString& text) {
    const auto bytes = cp1250::Encode(std::u16string_view(
        reinterpret_cast<const char16_t*>(text.utf16()), static_cast<std::size_t>(text.size())));
    if (!bytes) {
      refused << QStringLiteral(
                     "Wartość klucza %1 w sekcji [%2] zawiera znak, którego nie ma "
                     "w stronie kodowej Windows-1250.")
                     .arg(n)
                     .arg(QLatin1String(section));
      return;
    }
    const ini::Result result = doc.Set(section, std::to_string(n), *bytes);
    if (!result.ok) refused << QString::fromUtf8(result.error.c_str());  // names the key
  };
  for (int n = 1; n <= kLockerCount; ++n)
    store(kLockersSection, n, values.LockerNames[static_cast<std::size_t>(n - 1)]);
  for (int n = 1; n <= kUserCount; ++n) {
    const Tuser& user = values.Users[static_cast<std::size_t>(n)];
    store(kFirstNamesSection, n, user.FirstName);
    store(kSurnamesSection, n, user.Surname);
    store(kCardCodesSection, n, user.CardCode);
    store(kPermissionsSection, n, user.Permissions);
  }
  return refused;
}

ConfigSave SaveConfigValues(const std::filesystem::path& path, const ConfigValues& values) {
  ConfigSave save;
  ini::LoadResult loaded = ini::LoadFile(path);
  if (loaded.status == ini::LoadStatus::kUnreadable) {
    save.error = loaded.error;
    return save;
  }
  save.refused = StoreConfigValues(values, loaded.document);
  const ini::Result written = ini::SaveFile(path, loaded.document.Serialize());
  save.ok = written.ok;
  save.error = written.error;
  return save;
}

QString LocationOf(const ConfigValues& values, int number) {
  if (number == 0) return QString::fromUtf16(kLockersHeading);
  if (number < 1 || number > kLockerCount) return {};
  return values.LockerNames[static_cast<std::size_t>(number - 1)];
}

}  // namespace veldoran::records
