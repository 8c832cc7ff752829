// Many open/receive/close cycles with data flowing, on a real terminal line with either backend
// (tests/line; the ThreadSanitizer build runs it too).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "line.h"
#include "serial/spcomm.h"

namespace veldoran::serial {
namespace {

TEST(Stress, ManyOpenReceiveCloseCyclesWithDataFlowing) {
  veldoran::testing::Line line;
  const auto api = veldoran::testing::LineSerialApi();
  LoopMainThread main;
  // Under Wine each cycle costs far more (every call goes through the Wine server).
  const int cycles = veldoran::testing::OnWine() ? 200 : 1000;

  // The other side keeps talking the whole time.
  std::atomic<bool> stop{false};
  std::thread talker([&] {
    const std::string chunk(64, 'x');
    while (!stop) {
      line.WriteSome(chunk);
      // Drain what the port sends, so the line never blocks.
      while (!line.Read(4096, std::chrono::milliseconds(0)).empty()) {
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });

  std::size_t total = 0;
  int cycles_with_data = 0;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    auto comm = std::make_unique<TspComm>(nullptr, main, api);
    comm->SetComPortNo(static_cast<std::uint16_t>(line.Number()));
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
  EXPECT_EQ(cycles_with_data, cycles / 2);
  EXPECT_GT(total, 0u);
  EXPECT_TRUE(main.ProcessUntil([] { return detail::RunningCommThreads() == 0; }));
}

}  // namespace
}  // namespace veldoran::serial
