// upload and watch: the card codes to the controller, and the cards read at it.
#include <QJsonObject>

#include "platform/cp1250.h"
#include "records/slot_codes.h"
#include "site/site_database.h"
#include "site/uploads.h"
#include "tools/cli/commands.h"
#include "tools/cli/exit_codes.h"
#include "ui/clock.h"

namespace veldoran::cli {
namespace p = protocol;

namespace {

const QString kUploadFailed = QStringLiteral(
    "Wystąpił błąd podczas przesyłania danych. Kody kart nie zostały poprawnie zapisane.");

QString Code(std::string_view bytes) { return QString::fromStdU16String(cp1250::Decode(bytes)); }

// Writes the 100 codes, each acknowledged with its code before the next; returns how many
// slots got a card.
int SendCodes(CommandContext& context, ControllerLink& link, const records::SlotCodeList& codes);

}  // namespace

void Upload(CommandContext& context, ControllerLink& link) {
  const records::ConfigValues config = LoadConfig(context, true);
  // The codes valid for the locker the controller says it is.
  const int controller = QueryStatus(link, context).controller_number;
  const records::SlotCodeList codes = records::SlotCodes(config.Users, controller);
  // The outcome goes to the site database either way: a failed upload leaves the locker's
  // cards unknown.
  const auto record = [&](bool ok) {
    if (controller < 1) return;
    const auto db = OpenDatabase(context);
    site::UploadRecords(*db).Record(controller, RecordTime(), ok,
                                    site::HoldersFor(config.Users, controller));
  };
  int saved = 0;
  try {
    saved = SendCodes(context, link, codes);
  } catch (const CliError&) {
    record(false);
    throw;
  }
  record(true);
  link.Send(p::SetClockLine(p::DateTimeToControllerSeconds(ui::SystemClock().Now())));
  Report& report = context.report;
  report.Set(QStringLiteral("controller"), controller);
  report.Set(QStringLiteral("saved"), saved);
  report.Set(QStringLiteral("lines"), p::kCardSlots);
  report.Line(QStringLiteral("Zapisano %1 kodów kart i ustawiono zegar").arg(saved));
}

namespace {

int SendCodes(CommandContext& context, ControllerLink& link, const records::SlotCodeList& codes) {
  int saved = 0;
  for (int slot = 0; slot < p::kCardSlots; ++slot) {
    const std::string& code = codes[static_cast<std::size_t>(slot)];
    link.Send(p::WriteCardSlotLine(slot, code));
    std::string echoed;
    const WaitEnd end = link.Await(
        [&](const Reply& reply) {
          if (reply.kind != Reply::kAck) return false;
          echoed = std::string(p::upload_ack::kCardCode.In(reply.bytes));
          return true;
        },
        context.options.timeout);
    const QString done = QStringLiteral("przesłano %1 ze %2 linii").arg(slot).arg(p::kCardSlots);
    if (end == WaitEnd::kInterrupted) {
      throw CliError(kExitInterrupted,
                     (QStringLiteral("Przerwano (%1). ").arg(done) + kUploadFailed).toStdString());
    }
    try {
      FailWait(end, context, link.Port(), QStringLiteral("potwierdzenie kodu karty, ") + done);
    } catch (const CliError& e) {
      throw CliError(e.code(), kUploadFailed.toStdString() + " " + e.what());
    }
    if (echoed != code) {
      throw CliError(kExitController,
                     (kUploadFailed +
                      QStringLiteral(" Kontroler potwierdził w gnieździe %1 kod „%2” zamiast „%3”.")
                          .arg(slot)
                          .arg(Code(echoed), Code(code)))
                         .toStdString());
    }
    if (code != p::kEmptySlotCode) ++saved;
  }
  return saved;
}

}  // namespace

void Watch(CommandContext& context, ControllerLink& link) {
  const records::ConfigValues config = LoadConfig(context, false);
  Report& report = context.report;
  bool answered = false;                     // a status line came since the last query
  bool connected = false;                    // as last shown
  std::optional<std::pair<int, int>> shown;  // controller number and event count last shown
  link.Send(p::StatusQueryLine());
  link.Every(std::chrono::milliseconds(1000), [&] {
    if (!answered && connected) {
      connected = false;
      report.Line(QStringLiteral("Rozłączony"));
      report.Emit({{QStringLiteral("event"), QStringLiteral("disconnected")}});
    }
    answered = false;
    link.Send(p::StatusQueryLine());
  });
  const auto take = [&](const Reply& reply) {
    if (reply.kind == Reply::kStatus) {
      const p::StatusReply status = p::DecodeStatusLine(reply.bytes);
      if (!status.garbled.empty()) return false;
      answered = true;
      const std::pair<int, int> now{status.controller_number, status.event_count};
      if (connected && shown == now) return false;
      connected = true;
      shown = now;
      report.Line(QStringLiteral("Połączono z szafką nr %1  %2  Liczba zdarzeń: %3")
                      .arg(status.controller_number)
                      .arg(ClockText(context, status.clock))
                      .arg(status.event_count));
      report.Emit(
          {{QStringLiteral("event"), QStringLiteral("status")},
           {QStringLiteral("controller"), status.controller_number},
           {QStringLiteral("events"), status.event_count},
           {QStringLiteral("clock"), IsoText(p::ControllerSecondsToDateTime(status.clock))}});
    } else if (reply.kind == Reply::kCardRead) {
      const QString code = Code(p::card_read_line::kCardCode.In(reply.bytes));
      // The holder as the window's status bar names one: the last user with that code.
      const records::Tuser* holder = nullptr;
      int holder_slot = -1;
      for (int n = 1; n <= records::kUserCount; ++n) {
        const records::Tuser& user = config.Users[static_cast<std::size_t>(n)];
        if (user.CardCode == code) holder = &user, holder_slot = n - 1;
      }
      QString line = QStringLiteral("Karta: ") + code;
      QJsonObject object{{QStringLiteral("event"), QStringLiteral("card")},
                         {QStringLiteral("code"), code}};
      if (holder) {
        line += QStringLiteral("  ") + holder->FirstName + QStringLiteral("  ") + holder->Surname;
        object.insert(QStringLiteral("user_slot"), holder_slot);
        object.insert(QStringLiteral("first_name"), holder->FirstName);
        object.insert(QStringLiteral("surname"), holder->Surname);
      }
      report.Line(line);
      report.Emit(object);
    }
    return false;
  };
  // Until Ctrl-C (the normal end) or the port goes away; silence is shown, never an end.
  WaitEnd end;
  do {
    end = link.Await(take, std::chrono::hours(24));
  } while (end == WaitEnd::kTimeout);
  if (end == WaitEnd::kInterrupted) return;
  FailWait(end, context, link.Port(), QStringLiteral("obserwacja"));
}

}  // namespace veldoran::cli
