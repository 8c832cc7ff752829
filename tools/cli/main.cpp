// veldoran-cli: every controller operation from a script.
#include <QCoreApplication>
#include <QString>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/serial_api.h"
#include "serial/main_thread.h"
#include "tools/cli/cli_options.h"
#include "tools/cli/commands.h"
#include "tools/cli/exit_codes.h"
#include "tools/cli/interrupt.h"
#include "tools/cli/report.h"

int main(int argc, char* argv[]) {
  using namespace veldoran::cli;
  // Qt's SQL drivers (the site database) are loaded through the application object.
  QCoreApplication application(argc, argv);
  // The loop's queue exists first, so the signal thread (started before any other) can wake it.
  veldoran::serial::LoopMainThread main_thread;
  const Interrupt interrupt(main_thread.Queue());

  CliOptions options;
  const std::string error =
      ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), options);
  if (!error.empty()) {
    std::fprintf(stderr, "veldoran-cli: %s\nPomoc: veldoran-cli --help\n", error.c_str());
    return kExitUsage;
  }
  if (options.help) {
    std::fputs(UsageText().c_str(), stdout);
    return kExitDone;
  }
  if (options.version) {
    std::puts(VersionText().c_str());
    return kExitDone;
  }
  Report report(options.json);
  CommandContext context{options,
                         report,
                         main_thread,
                         interrupt,
                         veldoran::win::SystemSerialApi(),
                         nullptr,
                         nullptr,
                         veldoran::ui::DateTimeFormats::System()};
  return RunCommand(context);
}
