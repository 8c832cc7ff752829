#include "app/command_line.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <cstdio>

#include "veldoran/version.h"

namespace veldoran::app {
namespace {

const QString kProgram = QStringLiteral("veldoran");

struct Options {
  QCommandLineParser parser;
  QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")},
                          QStringLiteral("Show this help and exit.")};
  QCommandLineOption version{{QStringLiteral("v"), QStringLiteral("version")},
                             QStringLiteral("Show the version and exit.")};

  Options() {
    // "-reverse", "-platformtheme" and other Qt options are single words, not clusters of -r,
    // -e, -v, ... that would ask for the version or the help.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOption(help);
    parser.addOption(version);
  }
};

QString HelpText() {
  Options options;
  // The parser's own text starts with a usage line naming the program by the path it was
  // started with, or by a placeholder when no application object exists yet; ours names it.
  QString options_text = options.parser.helpText();
  options_text = options_text.mid(options_text.indexOf(QStringLiteral("Options:")));
  return QStringLiteral("Usage: ") + kProgram +
         QStringLiteral(
             " [options]\n"
             "The installer's tool for a locker-access controller: programs it and reads it\n"
             "out over a serial port (57600 baud, 8N1). The window's texts are Polish.\n\n") +
         options_text +
         QStringLiteral(
             "  Qt's own options (-platform, -style, ...) are accepted as well.\n"
             "\n"
             "Users and locker names are kept in Config.ini in the working folder. On Linux, a\n"
             "port COM<n> is the link COM<n> in ~/.config/veldoran/ports/ or, without one, the\n"
             "serial port /dev/ttyS<n-1>; opening it needs membership in the device's group\n"
             "(dialout). See /usr/share/doc/veldoran/serial-ports.md.\n");
}

CommandLineExit UsageError(const QString& problem) {
  return CommandLineExit{2,
                         kProgram + QStringLiteral(": ") + problem +
                             QStringLiteral(" (see --help)\nUsage: ") + kProgram +
                             QStringLiteral(" [options]\n"),
                         true};
}

// Qt's own options, as QGuiApplication and QApplication take them (with one dash or two):
// those followed by a value, and those that stand alone. A value may also follow "=".
const QStringList kQtOptionsWithValue = {QStringLiteral("platform"),
                                         QStringLiteral("platformpluginpath"),
                                         QStringLiteral("platformtheme"),
                                         QStringLiteral("plugin"),
                                         QStringLiteral("qwindowgeometry"),
                                         QStringLiteral("qwindowicon"),
                                         QStringLiteral("qwindowtitle"),
                                         QStringLiteral("session"),
                                         QStringLiteral("display"),
                                         QStringLiteral("geometry"),
                                         QStringLiteral("title"),
                                         QStringLiteral("icon"),
                                         QStringLiteral("name"),
                                         QStringLiteral("style"),
                                         QStringLiteral("stylesheet"),
                                         QStringLiteral("qmljsdebugger")};
const QStringList kQtFlags = {QStringLiteral("reverse"), QStringLiteral("widgetcount"),
                              QStringLiteral("nograb"),  QStringLiteral("dograb"),
                              QStringLiteral("sync"),    QStringLiteral("testability")};
const QStringList kQtOptionsWithEquals = {QStringLiteral("dialogs"), QStringLiteral("fontengine")};

}  // namespace

std::optional<CommandLineExit> CheckArgumentsBeforeApplication(const QStringList& arguments) {
  if (const auto exit = HandleInformationalOptions(arguments)) return exit;
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    const QString& arg = arguments[i];
    if (arg == QStringLiteral("--")) {
      if (i + 1 < arguments.size()) {
        return UsageError(QStringLiteral("Unexpected argument '%1'").arg(arguments[i + 1]));
      }
      break;
    }
    if (!arg.startsWith(QLatin1Char('-')) || arg.size() == 1) {
      return UsageError(QStringLiteral("Unexpected argument '%1'").arg(arg));
    }
    const QString word = arg.mid(arg.startsWith(QStringLiteral("--")) ? 2 : 1);
    const qsizetype equals = word.indexOf(QLatin1Char('='));
    const QString name = equals < 0 ? word : word.left(equals);
    if (kQtOptionsWithValue.contains(name)) {
      if (equals < 0) ++i;  // its value follows
    } else if (!kQtFlags.contains(name) && !kQtOptionsWithEquals.contains(name)) {
      return UsageError(QStringLiteral("Unknown option '%1'").arg(name));
    }
  }
  return std::nullopt;
}

std::optional<CommandLineExit> HandleInformationalOptions(const QStringList& arguments) {
  if (arguments.isEmpty()) return std::nullopt;  // started without even a program name
  Options options;
  // Unknown options may be Qt's own, which only QApplication knows; they are judged later.
  options.parser.parse(arguments);
  if (options.parser.isSet(options.help)) return CommandLineExit{0, HelpText(), false};
  if (options.parser.isSet(options.version)) {
    return CommandLineExit{0, kProgram + QLatin1Char(' ') + QLatin1String(kVersion) + '\n', false};
  }
  return std::nullopt;
}

std::optional<CommandLineExit> CheckRemainingArguments(const QStringList& arguments) {
  if (arguments.isEmpty()) return std::nullopt;
  Options options;
  QString problem;
  if (!options.parser.parse(arguments)) {
    problem = options.parser.errorText();
    if (problem.endsWith(QLatin1Char('.'))) problem.chop(1);
  } else if (!options.parser.positionalArguments().isEmpty()) {
    problem = QStringLiteral("Unexpected argument '%1'")
                  .arg(options.parser.positionalArguments().constFirst());
  } else {
    return std::nullopt;
  }
  return UsageError(problem);
}

QStringList RawArguments(int argc, const char* const* argv) {
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments.append(QString::fromLocal8Bit(argv[i]));
  return arguments;
}

int Finish(const CommandLineExit& exit) {
  const QByteArray bytes = exit.text.toLocal8Bit();
  std::FILE* stream = exit.to_stderr ? stderr : stdout;
  std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
  std::fflush(stream);
  return exit.code;
}

}  // namespace veldoran::app
