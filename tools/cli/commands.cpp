#include "tools/cli/commands.h"

#include <QJsonArray>
#include <string_view>

#include "platform/cp1250.h"
#include "records/config.h"
#include "records/ini_file.h"
#include "records/port_choice.h"
#include "serial/spcomm.h"
#include "tools/cli/exit_codes.h"
#include "ui/clock.h"

#ifndef _WIN32
#include "platform/posix/port_map.h"
#endif

namespace veldoran::cli {
namespace p = protocol;

namespace {

using Run = void (*)(CommandContext&, ControllerLink&);

struct CommandEntry {
  std::string_view name;
  void (*without_port)(CommandContext&);  // a command that opens no port
  Run with_port;                          // a command on the controller's port
};

constexpr CommandEntry kCommandTable[] = {
    {"ports", &Ports, nullptr},
    {"status", nullptr, &Status},
    {"events", nullptr, &Events},
    {"set-clock", nullptr, &SetClock},
    {"set-number", nullptr, &SetNumber},
    {"upload", nullptr, &Upload},
    {"watch", nullptr, &Watch},
    {"clear-events", nullptr, &ClearEvents},
    {"lockers", &Lockers, nullptr},
    {"import-users", &ImportUsers, nullptr},
    {"export-users", &ExportUsers, nullptr},
};

QString FromUtf8(const std::string& text) { return QString::fromUtf8(text.c_str()); }

QString PathText(const std::filesystem::path& path) {
  return QString::fromStdU16String(path.u16string());
}

// The port to use: --port, else the one the window picked last, else COM1 as the window.
std::uint16_t PortOf(const CommandContext& context) {
  if (context.options.port) return *context.options.port;
  if (const auto picked = records::ReadPortChoice(ConfigFile(context))) return *picked;
  return 1;
}

}  // namespace

std::filesystem::path ConfigFile(const CommandContext& context) {
  if (context.options.config) return std::filesystem::path(*context.options.config);
  return records::ConfigPath();
}

records::ConfigValues LoadConfig(const CommandContext& context, bool required) {
  const std::filesystem::path path = ConfigFile(context);
  const ini::LoadResult loaded = ini::LoadFile(path);
  if (loaded.status == ini::LoadStatus::kUnreadable) {
    throw CliError(kExitFile, "Nie można odczytać pliku " + PathText(path).toStdString() + ": " +
                                  QString::fromLocal8Bit(loaded.error.c_str()).toStdString());
  }
  if (loaded.status == ini::LoadStatus::kMissing && (required || context.options.config)) {
    throw CliError(kExitFile, "Nie ma pliku " + PathText(path).toStdString() +
                                  " (użytkownicy i nazwy szafek); wskaż go opcją --config.");
  }
  return records::ReadConfigValues(loaded.document);
}

QString IsoText(DayCount t) {
  const CalendarTime c = DecodeDayCount(t);
  return QString::asprintf("%04d-%02d-%02dT%02d:%02d:%02d", c.year, c.month, c.day, c.hour,
                           c.minute, c.second);
}

QString ClockText(const CommandContext& context, std::int32_t clock) {
  const DayCount t = p::ControllerSecondsToDateTime(clock);
  return context.formats.FormatDate(t) + QStringLiteral("  ") + context.formats.FormatTime(t);
}

void FailWait(WaitEnd end, const CommandContext& context, std::uint16_t port, const QString& what,
              const QString& garbled) {
  switch (end) {
    case WaitEnd::kDone:
      return;
    case WaitEnd::kInterrupted:
      throw CliError(kExitInterrupted, QStringLiteral("Przerwano (%1).").arg(what).toStdString());
    case WaitEnd::kPortLost:
      throw CliError(kExitController,
                     QStringLiteral("Port COM%1 zniknął w trakcie (%2): adapter odłączony albo "
                                    "urządzenie przestało działać.")
                         .arg(port)
                         .arg(what)
                         .toStdString());
    case WaitEnd::kTimeout:
      break;
  }
  QString text = QStringLiteral("Kontroler na porcie COM%1 nie odpowiedział w ciągu %2 ms (%3).")
                     .arg(port)
                     .arg(context.options.timeout.count())
                     .arg(what);
  if (!garbled.isEmpty()) {
    text += QStringLiteral(" Nadeszła nieczytelna odpowiedź (pole %1).").arg(garbled);
  }
  throw CliError(kExitController, text.toStdString());
}

p::StatusReply AwaitStatus(ControllerLink& link, const CommandContext& context,
                           const QString& what) {
  p::StatusReply status;
  QString garbled;
  const WaitEnd end = link.Await(
      [&](const Reply& reply) {
        if (reply.kind != Reply::kStatus) return false;
        const p::StatusReply decoded = p::DecodeStatusLine(reply.bytes);
        if (!decoded.garbled.empty()) {
          garbled = QString::fromLatin1(decoded.garbled.data(), decoded.garbled.size());
          return false;
        }
        status = decoded;
        return true;
      },
      context.options.timeout);
  FailWait(end, context, link.Port(), what, garbled);
  return status;
}

p::StatusReply QueryStatus(ControllerLink& link, const CommandContext& context) {
  link.Send(p::StatusQueryLine());
  return AwaitStatus(link, context, QStringLiteral("zapytanie o stan"));
}

void Ports(CommandContext& context) {
  serial::TspComm com(nullptr, context.main, context.serial_api, context.registry,
                      context.device_setup);
  com.SetEnumPorts(serial::epFullInfo);
  com.FillDeviceList(nullptr);
  QJsonArray list;
  for (int i = 0; i < com.DeviceCount(); ++i) {
    const serial::TspDevice* device = com.GetDevice(i);
    const QString name = QString::fromStdU16String(cp1250::Decode(device->PortName));
    const QString description = QString::fromStdU16String(cp1250::Decode(device->Description));
    QString node;
#ifndef _WIN32
    if (const auto path = portmap::Resolve(device->PortName)) node = PathText(*path);
#else
    node = QString::fromStdU16String(cp1250::Decode(device->DeviceName));
#endif
    QJsonObject entry{{QStringLiteral("port"), name},
                      {QStringLiteral("number"), device->PortNo},
                      {QStringLiteral("description"), description},
                      {QStringLiteral("device"), node}};
    list.append(entry);
    QString line = name;
    if (!description.isEmpty()) line += QStringLiteral("  ") + description;
    if (!node.isEmpty()) line += QStringLiteral("  ") + node;
    context.report.Line(line);
  }
  if (list.isEmpty()) context.report.Line(QStringLiteral("Brak portów COM."));
  context.report.Set(QStringLiteral("ports"), list);
}

void Status(CommandContext& context, ControllerLink& link) {
  const p::StatusReply status = QueryStatus(link, context);
  Report& report = context.report;
  report.Set(QStringLiteral("controller"), status.controller_number);
  report.Set(QStringLiteral("events"), status.event_count);
  report.Set(QStringLiteral("clock"), IsoText(p::ControllerSecondsToDateTime(status.clock)));
  report.Line(QStringLiteral("Połączono z szafką nr %1").arg(status.controller_number));
  report.Line(QStringLiteral("Zegar kontrolera: ") + ClockText(context, status.clock));
  report.Line(QStringLiteral("Liczba zdarzeń: %1").arg(status.event_count));
}

void SetClock(CommandContext& context, ControllerLink& link) {
  const DayCount now = ui::SystemClock().Now();
  link.Send(p::SetClockLine(p::DateTimeToControllerSeconds(now)));
  // The controller answers the status query once it has taken the clock; a query it let pass
  // while busy is asked again.
  link.Send(p::StatusQueryLine());
  link.Every(std::chrono::milliseconds(250), [&link] { link.Send(p::StatusQueryLine()); });
  const p::StatusReply status = AwaitStatus(link, context, QStringLiteral("ustawienie zegara"));
  Report& report = context.report;
  report.Set(QStringLiteral("clock_sent"), IsoText(now));
  report.Set(QStringLiteral("clock"), IsoText(p::ControllerSecondsToDateTime(status.clock)));
  report.Set(QStringLiteral("controller"), status.controller_number);
  report.Line(QStringLiteral("Czas został przeslany."));
  report.Line(QStringLiteral("Zegar kontrolera: ") + ClockText(context, status.clock));
}

void SetNumber(CommandContext& context, ControllerLink& link) {
  const std::string& argument = context.options.arguments.at(0);
  const auto number = ParseNumber(argument, 1, records::kLockerCount);
  if (!number) {
    throw CliError(kExitUsage, "Nieprawidłowy numer szafki „" + argument + "”: podaj 1 do 10.");
  }
  link.Send(p::SetControllerNumberLine(static_cast<int>(*number)));
  const p::StatusReply status =
      AwaitStatus(link, context, QStringLiteral("ustawienie numeru szafki"));
  context.report.Set(QStringLiteral("controller"), status.controller_number);
  if (status.controller_number != *number) {
    throw CliError(kExitController, QStringLiteral("Kontroler nie przyjął numeru %1: zgłasza numer "
                                                   "%2. Coś poszło nie tak. Sprawdź port COM.")
                                        .arg(*number)
                                        .arg(status.controller_number)
                                        .toStdString());
  }
  context.report.Line(QStringLiteral("Ustawiono numer szafki na: %1").arg(*number));
}

int RunCommand(CommandContext& context) {
  Report& report = context.report;
  report.Set(QStringLiteral("command"), QString::fromStdString(context.options.command));
  const CommandEntry* entry = nullptr;
  for (const CommandEntry& e : kCommandTable) {
    if (e.name == context.options.command) entry = &e;
  }
  try {
    if (!entry) throw CliError(kExitUsage, "Nieznane polecenie.");
    if (entry->without_port) {
      entry->without_port(context);
    } else {
      const std::uint16_t port = PortOf(context);
      report.Set(QStringLiteral("port"), QStringLiteral("COM%1").arg(port));
      ControllerLink link(context.main, context.interrupt, context.serial_api);
      link.Open(port);
      entry->with_port(context, link);
      link.Drain(context.options.timeout);
    }
  } catch (const CliError& e) {
    report.Finish(e.code(), FromUtf8(e.what()));
    return e.code();
  }
  report.Finish(kExitDone);
  return kExitDone;
}

}  // namespace veldoran::cli
