// Feeds the simulator's command input (what an operator or a test types on its standard input)
// arbitrary bytes through a pipe, as the program reads them: lines of any length, any bytes,
// no line end at all. The simulator is not started, so it is unplugged; "plug" opens a
// pseudo-terminal and gives it back. Nothing may crash, and the controller's state stays within
// its bounds whatever the commands did.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>

#include "tools/sim/controller_model.h"
#include "tools/sim/simulator.h"

namespace {

using namespace veldoran;

void Check(bool ok) {
  if (!ok) std::abort();
}

int g_null = -1;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 16384) return 0;  // more than a pipe holds at once
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return 0;
  const ssize_t written = ::write(fds[1], data, size);
  ::close(fds[1]);
  Check(written == static_cast<ssize_t>(size));

  sim::SimOptions options;
  options.seed = 1;
  options.quiet = true;
  {
    sim::Simulator simulator(options, sim::Simulator::Fds{fds[0], g_null, g_null, -1});
    // Each step reads up to 1024 bytes of the input; one more sees its end, after which the
    // simulator stops reading it and keeps running.
    const std::size_t steps = size / 1024 + 2;
    for (std::size_t step = 0; step < steps && !simulator.Stopping(); ++step) {
      simulator.Step(std::chrono::milliseconds(0));
    }
    const sim::ControllerModel& model = simulator.Model();
    Check(model.Number() >= sim::kMinNumber && model.Number() <= sim::kMaxNumber);
    Check(model.Events().size() <= static_cast<std::size_t>(sim::kEventCapacity));
    Check(model.StoredCards() >= 0 && model.StoredCards() <= sim::kCardSlotCount);
    Check(!simulator.Plugged() || !simulator.Device().empty());
  }
  ::close(fds[0]);
  return 0;
}
