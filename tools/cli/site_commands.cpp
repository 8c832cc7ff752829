// The site database from the command line: where it is, clear-events (which asks the archive
// first, as the window does) and lockers (which locker holds the cards the users would give it).
#include <QJsonArray>
#include <QJsonObject>

#include "site/event_archive.h"
#include "site/lockers_status.h"
#include "site/read_archive.h"
#include "site/site_database.h"
#include "site/uploads.h"
#include "tools/cli/commands.h"
#include "tools/cli/exit_codes.h"
#include "ui/clock.h"

namespace veldoran::cli {
namespace p = protocol;

namespace {

QString KindName(site::LockerState::Kind kind) {
  switch (kind) {
    case site::LockerState::Kind::Current:
      return QStringLiteral("current");
    case site::LockerState::Kind::Stale:
      return QStringLiteral("stale");
    case site::LockerState::Kind::Unknown:
      break;
  }
  return QStringLiteral("unknown");
}

}  // namespace

std::filesystem::path DatabaseFile(const CommandContext& context) {
  if (context.options.db) return std::filesystem::path(*context.options.db);
  return ConfigFile(context).parent_path() / site::kDatabaseFileName;
}

std::unique_ptr<site::SiteDatabase> OpenDatabase(CommandContext& context) {
  auto db = std::make_unique<site::SiteDatabase>(DatabaseFile(context));
  Report& report = context.report;
  db->SetOnProblem([&report](const QString& message) { report.Error(message); });
  db->Open();
  return db;
}

std::int64_t RecordTime() { return p::DateTimeToControllerSeconds(ui::SystemClock().Now()); }

void ClearEvents(CommandContext& context, ControllerLink& link) {
  const records::ConfigValues config = LoadConfig(context, false);
  const p::StatusReply status = QueryStatus(link, context);
  const int locker = status.controller_number;
  const auto db = OpenDatabase(context);
  site::ReadArchive archive(*db, config.Users);
  // Events not in the archive yet would be lost for good.
  const int unread = archive.Unread(locker, status.event_count);
  Report& report = context.report;
  report.Set(QStringLiteral("controller"), locker);
  report.Set(QStringLiteral("events"), status.event_count);
  report.Set(QStringLiteral("unread"), unread);
  if (unread > 0 && !context.options.force) {
    throw CliError(
        kExitController,
        QStringLiteral("Nie skasowano: kontroler ma w pamięci zdarzenia, których nie "
                       "ma jeszcze w historii (nieodczytane: %1). Odczytaj je poleceniem "
                       "events --archive albo skasuj mimo to z opcją --force.")
            .arg(unread)
            .toStdString());
  }
  link.Send(p::ClearEventsLine());
  const p::StatusReply after = AwaitStatus(link, context, QStringLiteral("kasowanie pamięci"));
  if (after.event_count != 0) {
    throw CliError(kExitController, QStringLiteral("Kontroler nie skasował pamięci: nadal zgłasza "
                                                   "%1 zdarzeń. Sprawdź port COM.")
                                        .arg(after.event_count)
                                        .toStdString());
  }
  archive.Cleared(locker, RecordTime());
  report.Line(QStringLiteral("Pamięć została zwolniona."));
}

void Lockers(CommandContext& context) {
  const records::ConfigValues config = LoadConfig(context, false);
  const auto db = OpenDatabase(context);
  const auto states = site::UploadRecords(*db).States(config.Users);
  QJsonArray list;
  for (int n = 1; n <= records::kLockerCount; ++n) {
    const site::LockerState& state = states[static_cast<std::size_t>(n - 1)];
    const QString& name = config.LockerNames[static_cast<std::size_t>(n - 1)];
    const QString text = site::StateText(state);
    list.append(QJsonObject{{QStringLiteral("locker"), n},
                            {QStringLiteral("name"), name},
                            {QStringLiteral("state"), KindName(state.kind)},
                            {QStringLiteral("added"), state.added},
                            {QStringLiteral("removed"), state.removed},
                            {QStringLiteral("text"), text}});
    context.report.Line(QStringLiteral("%1. %2: %3").arg(n).arg(name, text));
  }
  context.report.Set(QStringLiteral("lockers"), list);
}

}  // namespace veldoran::cli
