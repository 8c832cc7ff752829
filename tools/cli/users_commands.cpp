// import-users and export-users: the users of Config.ini from and to a CSV file, through the
// same plan, verdicts and file layout as the window's import and export.
#include <QJsonArray>
#include <QJsonObject>
#include <filesystem>

#include "platform/atomic_file.h"
#include "records/users_csv.h"
#include "tools/cli/commands.h"
#include "tools/cli/exit_codes.h"

namespace veldoran::cli {

namespace {

QString VerdictName(records::ImportVerdict verdict) {
  switch (verdict) {
    case records::ImportVerdict::kHeading:
      return QStringLiteral("heading");
    case records::ImportVerdict::kNewUser:
      return QStringLiteral("new");
    case records::ImportVerdict::kUpdate:
      return QStringLiteral("update");
    case records::ImportVerdict::kRefused:
      return QStringLiteral("refused");
    case records::ImportVerdict::kSkipped:
      break;
  }
  return QStringLiteral("skipped");
}

QString FileName(const CommandContext& context) {
  return QString::fromLocal8Bit(context.options.arguments.at(0).c_str());
}

}  // namespace

void ImportUsers(CommandContext& context) {
  records::ConfigValues config = LoadConfig(context, false);
  const QString name = FileName(context);
  const records::ImportFile file = records::ReadImportFile(name);
  if (!file.error.isEmpty()) {
    throw CliError(
        kExitFile,
        QStringLiteral("Nie można odczytać pliku „%1”: %2").arg(name, file.error).toStdString());
  }
  const records::ImportPlan plan =
      records::PlanImport(file.bytes, config.Users, config.LockerNames);
  if (!plan.error.isEmpty()) {
    throw CliError(
        kExitFile,
        QStringLiteral("Nie można wczytać pliku „%1”: %2").arg(name, plan.error).toStdString());
  }
  Report& report = context.report;
  QJsonArray lines;
  for (const records::ImportLine& line : plan.lines) {
    const QString verdict = records::VerdictText(line);
    QJsonObject entry{{QStringLiteral("line"), line.first_line},
                      {QStringLiteral("last_line"), line.last_line},
                      {QStringLiteral("verdict"), VerdictName(line.verdict)},
                      {QStringLiteral("text"), verdict}};
    if (line.verdict == records::ImportVerdict::kNewUser ||
        line.verdict == records::ImportVerdict::kUpdate) {
      entry.insert(QStringLiteral("row"), line.row);
      entry.insert(QStringLiteral("changes"), line.changes);
    }
    lines.append(entry);
    if (line.verdict != records::ImportVerdict::kSkipped) {
      report.Line(QStringLiteral("wiersz %1: %2").arg(line.first_line).arg(verdict));
    }
  }
  report.Set(QStringLiteral("lines"), lines);
  report.Set(QStringLiteral("summary"), records::PlanSummary(plan));
  report.Set(QStringLiteral("dry_run"), context.options.dry_run);
  report.Line(records::PlanSummary(plan));
  QJsonArray changed_rows;
  if (!context.options.dry_run && plan.HasChanges()) {
    for (const int row : records::ApplyImport(plan, config.Users)) changed_rows.append(row);
    const std::filesystem::path path = ConfigFile(context);
    const records::ConfigSave saved = records::SaveConfigValues(path, config);
    if (!saved.ok) {
      throw CliError(kExitFile, QStringLiteral("Nie można zapisać pliku %1: %2")
                                    .arg(QString::fromStdU16String(path.u16string()),
                                         QString::fromLocal8Bit(saved.error.c_str()))
                                    .toStdString());
    }
    for (const QString& refused : saved.refused) report.Error(refused);
    report.Line(
        QStringLiteral("Zapisano zmiany w Config.ini (wierszy: %1).").arg(changed_rows.size()));
  } else if (context.options.dry_run) {
    report.Line(QStringLiteral("Bez zmian w Config.ini (--dry-run)."));
  }
  report.Set(QStringLiteral("changed_rows"), changed_rows);
}

void ExportUsers(CommandContext& context) {
  const records::ConfigValues config = LoadConfig(context, true);
  const QString name = FileName(context);
  const QStringList lines = records::UsersCsvLines(config.Users, config.LockerNames);
  int bad_line = 0;
  const auto bytes = records::UsersCsvBytes(lines, &bad_line);
  if (!bytes) {
    throw CliError(kExitFile, QStringLiteral("Nie można zapisać pliku „%1”: wiersz %2 zawiera "
                                             "znak, którego nie ma w stronie kodowej Windows-1250.")
                                  .arg(name)
                                  .arg(bad_line + 1)
                                  .toStdString());
  }
  const platform::FileResult written =
      platform::ReplaceFileContents(std::filesystem::path(name.toStdU16String()), *bytes);
  if (!written.ok) {
    throw CliError(kExitFile, QStringLiteral("Nie można zapisać pliku „%1”: %2")
                                  .arg(name, QString::fromLocal8Bit(written.error.c_str()))
                                  .toStdString());
  }
  const int users = static_cast<int>(lines.size()) - 1;
  context.report.Set(QStringLiteral("file"), name);
  context.report.Set(QStringLiteral("users"), users);
  context.report.Line(
      QStringLiteral("Zapisano %1 użytkowników do pliku „%2”.").arg(users).arg(name));
}

}  // namespace veldoran::cli
