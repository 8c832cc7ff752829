// The exit codes of veldoran-cli, as --help and the manual page list them.
#pragma once

#include <stdexcept>
#include <string>

namespace veldoran::cli {

enum ExitCode : int {
  kExitDone = 0,
  kExitController = 1,  // the controller answered wrongly or not at all, or the port went away
  kExitUsage = 2,
  kExitPort = 3,           // the port could not be opened: busy, missing, no permission
  kExitFile = 4,           // a file could not be read or written
  kExitInterrupted = 130,  // Ctrl-C (SIGINT) or SIGTERM before the command was done
};

// A command that cannot go on: the message for the user (Polish, UTF-8) and the exit code.
class CliError : public std::runtime_error {
 public:
  CliError(ExitCode code, const std::string& message) : std::runtime_error(message), code_(code) {}
  ExitCode code() const { return code_; }

 private:
  ExitCode code_;
};

}  // namespace veldoran::cli
