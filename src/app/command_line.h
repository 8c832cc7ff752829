// The window program's command line. --help and --version are answered before any application
// object exists, so they work without a display (in a terminal, a package check, a script).
// Qt's own options (-platform, -style, ...) are taken by QApplication; whatever it leaves must be
// an option of ours, so a mistyped option is reported instead of silently ignored.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace veldoran::app {

// The program ends at once: its exit code and what it prints.
struct CommandLineExit {
  int code = 0;
  QString text;            // for standard output (code 0) or standard error (otherwise)
  bool to_stderr = false;  // true for errors
};

// Before QApplication: --help (-h) and --version (-v) end the program with their text. Anything
// else is left for QApplication and CheckRemainingArguments; nothing is reported here.
std::optional<CommandLineExit> HandleInformationalOptions(const QStringList& arguments);

// Before QApplication, which needs a display: --help and --version as above, and an argument
// that is neither ours nor one of Qt's own options ends the program with the usage error
// (exit code 2), so that a mistyped option is reported even where no window can open.
std::optional<CommandLineExit> CheckArgumentsBeforeApplication(const QStringList& arguments);

// After QApplication has taken its own options: any argument still there is an error.
std::optional<CommandLineExit> CheckRemainingArguments(const QStringList& arguments);

// The arguments as given, before an application object exists to convert them.
QStringList RawArguments(int argc, const char* const* argv);

// Prints `exit` to standard output or standard error and returns its code.
int Finish(const CommandLineExit& exit);

}  // namespace veldoran::app
