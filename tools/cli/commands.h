// The commands of veldoran-cli and what they share: the options, the report, the main thread's
// loop, the system interfaces, Config.ini and the time formats. Each command is one entry of
// the command table in commands.cpp and one function; a command that talks to the controller
// gets its link already open.
#pragma once

#include <QString>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "link/protocol.h"
#include "platform/device_setup_api.h"
#include "platform/registry_api.h"
#include "platform/serial_api.h"
#include "records/config_values.h"
#include "serial/main_thread.h"
#include "tools/cli/cli_options.h"
#include "tools/cli/controller_link.h"
#include "tools/cli/report.h"
#include "ui/date_formats.h"

namespace veldoran::site {
class SiteDatabase;
}

namespace veldoran::cli {

class Interrupt;

struct CommandContext {
  const CliOptions& options;
  Report& report;
  serial::LoopMainThread& main;
  const Interrupt& interrupt;
  std::shared_ptr<win::SerialApi> serial_api;
  std::shared_ptr<win::RegistryApi> registry;         // null: the system's
  std::shared_ptr<win::DeviceSetupApi> device_setup;  // null: the system's
  ui::DateTimeFormats formats;
};

// Runs the command the options name and returns the exit code; the report is finished.
int RunCommand(CommandContext& context);

// ---- Shared by the commands --------------------------------------------------------------------

// Config.ini as --config names it, else the one in the working folder.
std::filesystem::path ConfigFile(const CommandContext& context);
// The locker names and users of Config.ini. A file that cannot be read raises kExitFile; so
// does a missing one when `required` or named with --config. Otherwise a missing file gives
// the defaults, as the window starts without one.
records::ConfigValues LoadConfig(const CommandContext& context, bool required);

// Veldoran.db as --db names it, else the one beside Config.ini (as the window keeps it).
std::filesystem::path DatabaseFile(const CommandContext& context);
// The site database, opened (never made here: the first write makes it). Why it cannot be used
// is told once on standard error; the command then goes on without it, as the window does.
std::unique_ptr<site::SiteDatabase> OpenDatabase(CommandContext& context);
// The PC's time as the database records it (the controller's clock value).
std::int64_t RecordTime();

// Sends the status query and waits for a status line whose numbers are all readable (a garbled
// one, line noise, is passed over and named if nothing better comes).
protocol::StatusReply QueryStatus(ControllerLink& link, const CommandContext& context);
// Waits for a status line that answers what was sent; `resend` (if set) runs until then.
protocol::StatusReply AwaitStatus(ControllerLink& link, const CommandContext& context,
                                  const QString& what);
// Raises the error for a wait that did not end with what it waited for.
void FailWait(WaitEnd end, const CommandContext& context, std::uint16_t port, const QString& what,
              const QString& garbled = {});

// A controller clock value as the window shows it ("10.12.2026  14:05:00") and as ISO 8601
// local time for scripts ("2026-12-10T14:05:00").
QString ClockText(const CommandContext& context, std::int32_t clock);
QString IsoText(DayCount t);

// The commands.
void Ports(CommandContext& context);
void Status(CommandContext& context, ControllerLink& link);
void SetClock(CommandContext& context, ControllerLink& link);
void SetNumber(CommandContext& context, ControllerLink& link);
void Events(CommandContext& context, ControllerLink& link);
void Upload(CommandContext& context, ControllerLink& link);
void Watch(CommandContext& context, ControllerLink& link);
void ClearEvents(CommandContext& context, ControllerLink& link);
void Lockers(CommandContext& context);
void ImportUsers(CommandContext& context);
void ExportUsers(CommandContext& context);

}  // namespace veldoran::cli
