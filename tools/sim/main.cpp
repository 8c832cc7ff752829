// veldoran-sim: a simulated locker controller on a pseudo-terminal. See --help.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/sim/sim_options.h"
#include "tools/sim/simulator.h"

namespace {

int g_signal_pipe = -1;

// Only hands the signal to the loop, which stops in an orderly way and removes the COM link.
void OnSignal(int number) {
  const int saved = errno;
  const char byte = static_cast<char>(number);
  [[maybe_unused]] const ssize_t n = ::write(g_signal_pipe, &byte, 1);
  errno = saved;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace veldoran::sim;
  SimOptions options;
  const std::string error = ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options);
  if (!error.empty()) {
    std::fprintf(stderr, "veldoran-sim: %s\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::fputs(VersionText().c_str(), stdout);
    return 0;
  }

  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("veldoran-sim: pipe");
    return 1;
  }
  g_signal_pipe = pipe_fds[1];
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (const int number : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(number, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  Simulator simulator(options,
                      Simulator::Fds{STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO, pipe_fds[0]});
  std::string start_error;
  if (!simulator.Start(start_error)) {
    std::fprintf(stderr, "veldoran-sim: %s\n", start_error.c_str());
    return 1;
  }
  simulator.Run();
  return 0;
}
