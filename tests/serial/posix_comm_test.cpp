// The port component on the termios backend: what only POSIX can see (the process's open
// descriptors). comm_line_test.cpp has the tests both backends share.
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>

#include "line.h"
#include "serial/spcomm.h"

namespace veldoran::serial {
namespace {

using veldoran::testing::Line;

class PosixPort : public ::testing::Test {
 protected:
  ~PosixPort() override {
    comm.reset();
    main.ProcessUntil([] { return detail::RunningCommThreads() == 0; });
  }

  Line line;
  std::shared_ptr<win::SerialApi> api = veldoran::testing::LineSerialApi();
  LoopMainThread main;
  std::unique_ptr<TspComm> comm;
};

// Descriptors this process has open.
long OpenDescriptors() {
  return static_cast<long>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                         std::filesystem::directory_iterator()));
}

// Open/receive/close cycles, and a port shut down as broken, leave no descriptor behind once
// the worker threads have ended.
TEST_F(PosixPort, OpenAndCloseLeaveNoDescriptorsBehind) {
  std::size_t received = 0;
  const auto fresh_port = [&](int number) {
    comm = std::make_unique<TspComm>(nullptr, main, api);
    comm->SetComPortNo(static_cast<std::uint16_t>(number));
    comm->SetOnAfterReceive([&](TObject*, void*, std::uint32_t count) { received += count; });
  };
  fresh_port(line.Number());
  Line other;
  const long before = OpenDescriptors();
  for (int cycle = 0; cycle < 20; ++cycle) {
    comm->SetActive(true);
    line.Write("x");
    ASSERT_TRUE(main.ProcessUntil([&] { return received > static_cast<std::size_t>(cycle); }));
    if (cycle % 2 == 0) {
      comm->SetActive(false);
    } else {
      fresh_port(line.Number());  // the open one is destroyed
    }
  }
  fresh_port(other.Number());
  comm->SetActive(true);
  other.HangUp();
  ASSERT_TRUE(main.ProcessUntil([&] { return !comm->Active(); }));
  ASSERT_TRUE(main.ProcessUntil([] { return detail::RunningCommThreads() == 0; }));
  EXPECT_EQ(OpenDescriptors(), before - 2);  // the two the other line's ends held
}

}  // namespace
}  // namespace veldoran::serial
