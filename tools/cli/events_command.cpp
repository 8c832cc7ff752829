// events: the whole event memory, read as the window reads it, shown or saved as the window's
// CSV export of the same read.
#include <QJsonArray>
#include <array>
#include <filesystem>
#include <memory>
#include <vector>

#include "link/csv_export.h"
#include "link/event_rows.h"
#include "platform/atomic_file.h"
#include "site/event_archive.h"
#include "site/site_database.h"
#include "tools/cli/commands.h"
#include "tools/cli/exit_codes.h"

namespace veldoran::cli {
namespace p = protocol;

namespace {

link::CardHolders HoldersOf(const records::UserTable& users) {
  link::CardHolders holders;
  for (int slot = 0; slot < link::kCardHolderCount; ++slot) {
    const records::Tuser& user = users[static_cast<std::size_t>(slot + 1)];
    holders[static_cast<std::size_t>(slot)] = {user.Surname, user.FirstName, user.CardCode};
  }
  return holders;
}

void WriteCsv(const std::string& file, const QList<QStringList>& rows) {
  const QString name = QString::fromLocal8Bit(file.c_str());
  link::CsvEncodingError bad;
  const auto bytes =
      link::CsvBytes(link::CsvLines(QString::fromUtf16(link::kCsvHeading), rows), &bad);
  if (!bytes) {
    throw CliError(kExitFile, QStringLiteral("Nie można zapisać pliku „%1”: wiersz %2 zawiera znak "
                                             "„%3”, którego nie ma w stronie kodowej Windows-1250.")
                                  .arg(name)
                                  .arg(bad.line)
                                  .arg(QString(bad.character))
                                  .toStdString());
  }
  const platform::FileResult written =
      platform::ReplaceFileContents(std::filesystem::path(file), *bytes);
  if (!written.ok) {
    throw CliError(kExitFile, QStringLiteral("Nie można zapisać pliku „%1”: %2")
                                  .arg(name, QString::fromLocal8Bit(written.error.c_str()))
                                  .toStdString());
  }
}

// Stores the complete read of `locker` in the event archive; returns how many events were new.
int Archive(CommandContext& context, const link::EventTable& events, int count, int locker,
            const records::UserTable& users) {
  std::vector<site::ReadEvent> read;
  for (int i = 0; i < std::min(count, link::kEventTableSize); ++i) {
    const link::Tevent& e = events[static_cast<std::size_t>(i)];
    read.push_back({e.LockerNumber, e.ClockValue, e.UserSlot, e.Location});
  }
  const auto db = OpenDatabase(context);
  const auto added = site::EventArchive(*db).StoreRead(locker, RecordTime(), read, users);
  if (!added) {
    QString text = QStringLiteral("Nie można zapisać odczytu w historii zdarzeń (%1).")
                       .arg(QString::fromStdU16String(db->path().u16string()));
    if (!db->problem().isEmpty()) text += QLatin1Char(' ') + db->problem();
    throw CliError(kExitFile, text.toStdString());
  }
  return *added;
}

}  // namespace

void Events(CommandContext& context, ControllerLink& link) {
  const records::ConfigValues config = LoadConfig(context, false);
  const p::StatusReply status = QueryStatus(link, context);
  const int count = status.event_count;

  auto events = std::make_unique<link::EventTable>();
  std::array<std::int32_t, link::kEventTableSize> clocks{};
  std::vector<bool> arrived(link::kEventTableSize, false);
  QString garbled;
  int garbled_slot = -1;
  link.Send(p::ReadEventsLine());
  const WaitEnd end = link.Await(
      [&](const Reply& reply) {
        if (reply.kind != Reply::kEventRecord) return false;
        const p::EventRecordReply record = p::DecodeEventRecord(reply.bytes);
        if (!record.garbled.empty()) {
          // A record that line noise changed: the read cannot be trusted as a whole.
          garbled = QString::fromLatin1(record.garbled.data(), record.garbled.size());
          garbled_slot = record.event_slot;
          return true;
        }
        const int slot = record.event_slot;
        if (slot < link::kEventTableSize) {
          (*events)[static_cast<std::size_t>(slot)] = link::EventOf(
              record, context.formats, records::LocationOf(config, record.controller_number));
          clocks[static_cast<std::size_t>(slot)] = record.clock;
          arrived[static_cast<std::size_t>(slot)] = true;
        }
        return slot >= p::kLastEventSlot;
      },
      context.options.timeout);
  FailWait(end, context, link.Port(), QStringLiteral("odczyt zdarzeń"));
  if (!garbled.isEmpty()) {
    throw CliError(kExitController,
                   QStringLiteral("Odczyt zdarzeń nie powiódł się: rekord po zdarzeniu nr %1 jest "
                                  "nieczytelny (pole %2). Nic nie zapisano; odczytaj ponownie.")
                       .arg(garbled_slot)
                       .arg(garbled)
                       .toStdString());
  }
  const int stored = std::min(count, p::kEventSlots);
  for (int slot = 0; slot < stored; ++slot) {
    if (!arrived[static_cast<std::size_t>(slot)]) {
      throw CliError(kExitController,
                     QStringLiteral("Odczyt zdarzeń nie powiódł się: nie nadszedł rekord zdarzenia "
                                    "nr %1 z %2. Nic nie zapisano; odczytaj ponownie.")
                         .arg(slot + 1)
                         .arg(count)
                         .toStdString());
    }
  }

  const QList<QStringList> rows = link::EventRows(*events, count, HoldersOf(config.Users));
  if (context.options.csv) WriteCsv(*context.options.csv, rows);

  Report& report = context.report;
  if (context.options.archive) {
    const int added = Archive(context, *events, count, status.controller_number, config.Users);
    report.Set(QStringLiteral("archived"), added);
    report.Line(QStringLiteral("Nowych zdarzeń w historii: %1").arg(added));
  }
  report.Set(QStringLiteral("controller"), status.controller_number);
  report.Set(QStringLiteral("count"), count);
  if (context.options.csv) {
    report.Set(QStringLiteral("csv"), QString::fromLocal8Bit(context.options.csv->c_str()));
  }
  QJsonArray list;
  for (int i = 0; count > 0 && i < rows.size(); ++i) {
    const QStringList& row = rows[i];
    const link::Tevent& e = (*events)[static_cast<std::size_t>(i)];
    list.append(QJsonObject{
        {QStringLiteral("slot"), i},
        {QStringLiteral("time"), arrived[static_cast<std::size_t>(i)]
                                     ? QJsonValue(IsoText(p::ControllerSecondsToDateTime(
                                           clocks[static_cast<std::size_t>(i)])))
                                     : QJsonValue()},
        {QStringLiteral("date_text"), row[3]},
        {QStringLiteral("time_text"), row[4]},
        {QStringLiteral("locker"), e.LockerNumber},
        {QStringLiteral("location"), row[6]},
        {QStringLiteral("user_slot"), e.UserSlot},
        {QStringLiteral("surname"), row[1]},
        {QStringLiteral("first_name"), row[2]},
        {QStringLiteral("card_code"), row[7]},
    });
    if (!context.options.csv) {
      QString line = row[0] + QStringLiteral(". ") + row[3] + QLatin1Char(' ') + row[4] +
                     QStringLiteral("  szafka ") + row[5] + QStringLiteral(" (") + row[6] +
                     QStringLiteral(")");
      if (!row[1].isEmpty() || !row[2].isEmpty()) {
        line += QStringLiteral("  ") + row[1] + QLatin1Char(' ') + row[2];
      }
      if (!row[7].isEmpty()) line += QStringLiteral("  ") + row[7];
      report.Line(line);
    }
  }
  report.Set(QStringLiteral("events"), list);
  report.Line(QStringLiteral("Odczytano %1 zdarzeń").arg(count));
}

}  // namespace veldoran::cli
