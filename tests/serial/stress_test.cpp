// Many open/receive/close cycles with data flowing, on a real pseudo-terminal (the
// ThreadSanitizer build runs it too).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/posix/posix_serial.h"
#include "pty_pair.h"
#include "serial/spcomm.h"

namespace veldoran::serial {
namespace {

TEST(Stress, ThousandOpenReceiveCloseCyclesWithDataFlowing) {
  veldoran::testing::TempPortMap map;
  veldoran::testing::PtyPair pty;
  map.Link(9, pty.SlavePath());
  auto api = std::make_shared<win::PosixSerialApi>();
  LoopMainThread main;

  // The other side keeps talking the whole time.
  ::fcntl(pty.Master(), F_SETFL, ::fcntl(pty.Master(), F_GETFL) | O_NONBLOCK);
  std::atomic<bool> stop{false};
  std::thread talker([&] {
    std::string chunk(64, 'x');
    while (!stop) {
      [[maybe_unused]] const ssize_t n = ::write(pty.Master(), chunk.data(), chunk.size());
      // Drain what the port sends, so the line never blocks.
      char sink[256];
      while (::read(pty.Master(), sink, sizeof sink) > 0) {
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });

  std::size_t total = 0;
  int cycles_with_data = 0;
  for (int cycle = 0; cycle < 1000; ++cycle) {
    auto comm = std::make_unique<TspComm>(nullptr, main, api);
    comm->SetComPortNo(9);
    std::size_t received = 0;
    comm->SetOnAfterReceive([&](TObject*, void*, std::uint32_t count) { received += count; });
    comm->SetActive(true);
    ASSERT_TRUE(comm->Active()) << "cycle " << cycle;
    comm->SendString("0\r");
    // Half the cycles wait for data; the others close (or destroy) at once, with deliveries
    // possibly in flight.
    if (cycle % 2 == 0) {
      ASSERT_TRUE(main.ProcessUntil([&] { return received > 0; })) << "cycle " << cycle;
      ++cycles_with_data;
    } else {
      main.ProcessMessages();
    }
    total += received;
    if (cycle % 3 == 0) comm->SetActive(false);
    comm.reset();
  }
  stop = true;
  talker.join();
  EXPECT_EQ(cycles_with_data, 500);
  EXPECT_GT(total, 0u);
  EXPECT_TRUE(main.ProcessUntil([] { return detail::RunningCommThreads() == 0; }));
}

}  // namespace
}  // namespace veldoran::serial
