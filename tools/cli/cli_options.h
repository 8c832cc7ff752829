// The command line of veldoran-cli: global options, one command and its arguments. Options may
// stand before or after the command; "--name value" and "--name=value" mean the same.
//
// A command is an entry of the command table (commands.h); an option is an entry of the option
// table in cli_options.cpp, naming the commands it belongs to. A new command or option is one
// entry more in each.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veldoran::cli {

struct CliOptions {
  std::string command;                 // "status", "events", ...; empty with --help or --version
  std::vector<std::string> arguments;  // the command's own arguments, in order
  std::optional<std::uint16_t> port;   // --port COMn; nothing: Config.ini's [Port], else COM1
  std::optional<std::string> config;   // --config FILE; nothing: ./Config.ini
  std::chrono::milliseconds timeout{2000};  // --timeout MS
  bool json = false;
  std::optional<std::string> db;   // --db FILE; nothing: Veldoran.db beside Config.ini
  std::optional<std::string> csv;  // events --csv FILE
  bool archive = false;            // events --archive
  bool force = false;              // clear-events --force
  bool dry_run = false;            // import-users --dry-run
  bool help = false;
  bool version = false;
};

// Parses the arguments after the program's name into `options`. Returns a message for the user
// (Polish) when they are not a valid command line, else an empty string.
std::string ParseCommandLine(const std::vector<std::string>& args, CliOptions& options);

// "COM3", "com3" or "3" as a port number 1 to 65535.
std::optional<std::uint16_t> ParsePort(const std::string& text);
// A whole decimal number from `min` to `max`, nothing else (no sign, blanks or fraction).
std::optional<long> ParseNumber(const std::string& text, long min, long max);

}  // namespace veldoran::cli

namespace veldoran::cli {

// The --help text: commands, options and exit codes.
std::string UsageText();
// The --version text, one line.
std::string VersionText();

}  // namespace veldoran::cli
