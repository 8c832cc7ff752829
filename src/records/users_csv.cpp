// The plan's texts, reading the file, and the export.
#include "records/users_csv.h"

#include <QDir>
#include <filesystem>

#include "link/csv_field.h"
#include "platform/atomic_file.h"
#include "platform/cp1250.h"
#include "records/slot_codes.h"

namespace veldoran::records {

bool IsUserSet(const Tuser& user) {
  return !user.FirstName.isEmpty() || !user.Surname.isEmpty() || !user.CardCode.isEmpty();
}

int ImportPlan::Count(ImportVerdict verdict) const {
  int count = 0;
  for (const ImportLine& line : lines) count += line.verdict == verdict ? 1 : 0;
  return count;
}

int ImportPlan::UnchangedCount() const {
  int count = 0;
  for (const ImportLine& line : lines) {
    count += line.verdict == ImportVerdict::kUpdate && !line.changes ? 1 : 0;
  }
  return count;
}

bool ImportPlan::HasChanges() const {
  for (const ImportLine& line : lines) {
    if ((line.verdict == ImportVerdict::kNewUser || line.verdict == ImportVerdict::kUpdate) &&
        line.changes) {
      return true;
    }
  }
  return false;
}

QString VerdictText(const ImportLine& line) {
  switch (line.verdict) {
    case ImportVerdict::kHeading:
      return QStringLiteral("nagłówek: ") + line.reason;
    case ImportVerdict::kNewUser:
      return QStringLiteral("nowy użytkownik w wierszu %1").arg(line.row);
    case ImportVerdict::kUpdate:
      return line.changes ? QStringLiteral("aktualizacja użytkownika %1").arg(line.row)
                          : QStringLiteral("aktualizacja użytkownika %1 (bez zmian)").arg(line.row);
    case ImportVerdict::kRefused:
      return QStringLiteral("odrzucony: ") + line.reason;
    case ImportVerdict::kSkipped:
      return QStringLiteral("pominięty: pusty wiersz");
  }
  return {};
}

namespace {
QString SeparatorName(QChar separator) {
  if (separator == QLatin1Char(';')) return QStringLiteral("średnik");
  if (separator == QLatin1Char(',')) return QStringLiteral("przecinek");
  if (separator == QLatin1Char('\t')) return QStringLiteral("tabulator");
  return QStringLiteral("brak (jedna kolumna)");
}
}  // namespace

QString PlanSummary(const ImportPlan& plan) {
  QString summary = QStringLiteral("Kodowanie: %1, separator: %2.")
                        .arg(EncodingName(plan.encoding), SeparatorName(plan.separator));
  if (plan.bare_codes) summary += QStringLiteral(" Lista kodów kart bez nagłówka.");
  if (!plan.ignored_columns.isEmpty()) {
    summary += QStringLiteral(" Pominięte kolumny: ") +
               plan.ignored_columns.join(QStringLiteral(", ")) + QLatin1Char('.');
  }
  summary += QStringLiteral(
                 "\nNowi użytkownicy: %1, aktualizacje: %2 (bez zmian: %3), "
                 "odrzucone wiersze: %4.")
                 .arg(plan.Count(ImportVerdict::kNewUser))
                 .arg(plan.Count(ImportVerdict::kUpdate))
                 .arg(plan.UnchangedCount())
                 .arg(plan.Count(ImportVerdict::kRefused));
  return summary;
}

ImportFile ReadImportFile(const QString& path) {
  platform::ReadLimits limits;
  limits.max_bytes = kMaxImportBytes;
  platform::ReadResult read =
      platform::ReadFileContents(std::filesystem::path(path.toStdU16String()), limits);
  if (read.ok) return {std::move(read.bytes), {}};
  if (read.missing) {
    return {{}, QStringLiteral("Plik „%1” nie istnieje.").arg(QDir::toNativeSeparators(path))};
  }
  QString error = QString::fromLocal8Bit(read.error.c_str());
  if (read.too_large) error += QStringLiteral(" Plik z użytkownikami jest dużo mniejszy.");
  return {{}, error};
}

QStringList UsersCsvLines(const UserTable& users, const LockerNames& lockers) {
  QStringList heading{QStringLiteral("NAZWISKO"), QStringLiteral("IMIĘ"),
                      QStringLiteral("KOD KARTY")};
  for (const QString& name : lockers) heading << link::CsvField(name);
  QStringList lines{heading.join(QLatin1Char(';'))};
  for (int n = 1; n <= kUserCount; ++n) {
    const Tuser& user = users[static_cast<std::size_t>(n)];
    if (!IsUserSet(user)) continue;
    QStringList fields{link::CsvField(user.Surname), link::CsvField(user.FirstName),
                       link::CsvField(user.CardCode)};
    for (int k = 1; k <= kLockerCount; ++k) {
      fields << (MayOpen(user.Permissions, k) ? QStringLiteral("1") : QStringLiteral("0"));
    }
    lines << fields.join(QLatin1Char(';'));
  }
  return lines;
}

std::optional<std::string> UsersCsvBytes(const QStringList& lines, int* bad_line) {
  std::string bytes;
  for (qsizetype i = 0; i < lines.size(); ++i) {
    const QString& line = lines[i];
    const auto encoded = cp1250::Encode(std::u16string_view(
        reinterpret_cast<const char16_t*>(line.utf16()), static_cast<std::size_t>(line.size())));
    if (!encoded) {
      if (bad_line) *bad_line = static_cast<int>(i);
      return std::nullopt;
    }
    bytes += *encoded;
    bytes += "\r\n";
  }
  return bytes;
}

}  // namespace veldoran::records
