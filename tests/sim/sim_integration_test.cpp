// veldoran-sim as a separate program, reached the way the tool reaches a controller: the port
// component on the termios backend opens the COM name the simulator registered, over a real
// pseudo-terminal, with replies delivered through a main-thread loop.
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "link/protocol.h"
#include "serial/comm_threads.h"
#include "serial/main_thread.h"
#include "serial/spcomm.h"
#include "support/sim_process.h"

namespace veldoran::sim {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using testing::PrivateConfigHome;
using testing::SimDump;
using testing::SimProcess;

constexpr std::size_t kStatusBytes = 29;  // the status line with its CR LF
constexpr std::size_t kAckBytes = 19;
constexpr std::size_t kRecordBytes = 21;

double MillisecondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

// The controller clock value of the PC's wall-clock time now, worked out from the C library:
// seconds from 1970-01-01 00:00 local time, less two hours.
std::int64_t PcClockValueNow() {
  const time_t now = ::time(nullptr);
  tm local{};
  ::localtime_r(&now, &local);
  return static_cast<std::int64_t>(::timegm(&local)) - 7200;
}

class SimIntegration : public ::testing::Test {
 protected:
  ~SimIntegration() override {
    comm_.reset();
    // Every worker thread ends once its port is closed; none may outlive the test.
    main_.ProcessUntil([] { return serial::detail::RunningCommThreads() == 0; });
  }

  void TearDown() override {
    if (HasFailure() && sim_) {
      const std::string log = sim_->LogText();
      std::cout << "---- simulator log (tail) ----\n"
                << log.substr(log.size() > 6000 ? log.size() - 6000 : 0) << "----\n";
    }
  }

  // Starts the simulator and opens its port as the tool opens the controller's.
  void Start(const std::vector<std::string>& args) {
    sim_ = std::make_unique<SimProcess>(args, home_.path() / "sim.log");
    ASSERT_TRUE(sim_->Ready()) << sim_->LogText();
    comm_ = std::make_unique<serial::TspComm>(nullptr, main_, win::SystemSerialApi());
    comm_->SetBaudRate(57600);
    comm_->SetStreamProtocol(serial::spNone);
    comm_->SetBufferInSize(20000);
    comm_->SetTimeoutWrite(100);
    comm_->SetComPortNo(static_cast<std::uint16_t>(sim_->Port()));
    comm_->SetOnAfterReceive([this](serial::TObject*, void* buffer, std::uint32_t count) {
      received_.append(static_cast<const char*>(buffer), count);
      ++deliveries_;
    });
    comm_->SetActive(true);
    ASSERT_TRUE(comm_->Active());
  }

  // Sends a line and waits until at least `count` bytes have been received since.
  std::string Exchange(const std::string& line, std::size_t count) {
    received_.clear();
    comm_->SendString(line);
    main_.ProcessUntil([&] { return received_.size() >= count; }, 20s);
    return received_;
  }

  // A line that must get no reply, followed by a status query: the status line must be the
  // very next thing on the line.
  std::string StatusAfter(const std::string& line) {
    received_.clear();
    comm_->SendString(line);
    comm_->SendString(protocol::StatusQueryLine());
    main_.ProcessUntil([&] { return received_.size() >= kStatusBytes; }, 20s);
    return received_;
  }

  PrivateConfigHome home_;  // first: the port map is private before anything registers in it
  std::unique_ptr<SimProcess> sim_;
  serial::LoopMainThread main_;
  std::unique_ptr<serial::TspComm> comm_;
  std::string received_;
  int deliveries_ = 0;
};

TEST_F(SimIntegration, StatusQueryReportsNumberEventCountAndThePcClock) {
  Start({"--number", "4", "--events", "12", "--card", "7:0011AABB", "--seed", "5"});
  const std::int64_t before = PcClockValueNow();
  const std::string reply = Exchange(protocol::StatusQueryLine(), kStatusBytes);
  const std::int64_t after = PcClockValueNow();
  ASSERT_EQ(reply.size(), kStatusBytes) << reply;
  namespace status = protocol::status_line;
  EXPECT_EQ(reply[0], 'S');
  EXPECT_EQ(protocol::HexByteValue(status::kControllerNumber.In(reply)), 4);
  EXPECT_EQ(protocol::HexWordValue(status::kEventCount.In(reply)), 12);
  EXPECT_EQ(reply.substr(27), "\r\n");
  // The controller's clock was set from the PC's when it started, and has been running since.
  const std::int64_t clock = protocol::HexClockValue(status::kClock.In(reply));
  EXPECT_GE(clock, before - 5) << reply;
  EXPECT_LE(clock, after + 5) << reply;
}

TEST_F(SimIntegration, UploadOfAHundredCardLinesIsEchoedLineByLine) {
  Start({"--card", "5:DEADBEEF", "--card", "99:0BADF00D", "--quiet"});
  // Any eight bytes but CR and LF are a code on the line, in any letter case; every third slot
  // is emptied.
  std::vector<std::string> codes;
  for (int slot = 0; slot < protocol::kCardSlots; ++slot) {
    std::string code(protocol::kEmptySlotCode);
    if (slot % 3 != 0) {
      code = "k";
      code += protocol::Hex(slot, 2);
      code += '-';
      code += protocol::Hex((slot * 37) % 256, 2);
      code += "zZ";
    }
    codes.push_back(code);
  }
  double slowest_ms = 0;
  const auto start = SteadyClock::now();
  int echoed = 0;
  for (int slot = 0; slot < protocol::kCardSlots; ++slot) {
    // Like the tool: one line, then its acknowledgement before the next line.
    const auto sent = SteadyClock::now();
    const std::string ack = Exchange(protocol::WriteCardSlotLine(slot, codes[slot]), kAckBytes);
    slowest_ms = std::max(slowest_ms, MillisecondsSince(sent));
    ASSERT_EQ(ack.size(), kAckBytes) << "slot " << slot << ": " << ack;
    EXPECT_EQ(ack.substr(0, 2), "ZU") << ack;
    EXPECT_EQ(protocol::upload_ack::kCardCode.In(ack), codes[slot]) << "slot " << slot;
    EXPECT_EQ(protocol::HexByteValue(std::string_view(ack).substr(4, 2)), slot) << ack;
    if (protocol::upload_ack::kCardCode.In(ack) == codes[slot]) ++echoed;
  }
  EXPECT_EQ(echoed, 100);
  RecordProperty("upload_ms", static_cast<int>(MillisecondsSince(start)));
  RecordProperty("slowest_ack_ms", static_cast<int>(slowest_ms));
  std::cout << "upload of 100 lines: " << MillisecondsSince(start) << " ms, slowest echo "
            << slowest_ms << " ms\n";

  // What the simulator holds now: exactly the codes sent, the emptied slots without a card.
  const auto dump = sim_->Dump();
  ASSERT_TRUE(dump);
  std::map<int, std::string> expected;
  for (int slot = 0; slot < protocol::kCardSlots; ++slot) {
    if (codes[slot] != protocol::kEmptySlotCode) expected[slot] = codes[slot];
  }
  EXPECT_EQ(dump->cards, expected);
  EXPECT_EQ(dump->stored_cards, static_cast<int>(expected.size()));

  // The clock line that ends an upload gets no answer and sets the clock.
  const std::int32_t new_year_2020 = 0x5E0BC4E0;
  const std::string status = StatusAfter(protocol::SetClockLine(new_year_2020));
  ASSERT_EQ(status.size(), kStatusBytes) << status;
  const std::int32_t clock = protocol::HexClockValue(protocol::status_line::kClock.In(status));
  EXPECT_GE(clock, new_year_2020);
  EXPECT_LE(clock, new_year_2020 + 30);
}

TEST_F(SimIntegration, FullEventReadArrivesRecordByRecordAtLinePace) {
  Start({"--number", "6", "--events", "990", "--seed", "11", "--quiet"});
  const auto dump = sim_->Dump();
  ASSERT_TRUE(dump);
  ASSERT_EQ(dump->events.size(), 990u);

  const std::size_t total = protocol::kEventSlots * kRecordBytes;
  received_.clear();
  deliveries_ = 0;
  const auto start = SteadyClock::now();
  comm_->SendString(protocol::ReadEventsLine());
  ASSERT_TRUE(main_.ProcessUntil([&] { return received_.size() >= total; }, 30s))
      << received_.size() << " of " << total << " bytes";
  const double read_ms = MillisecondsSince(start);
  const std::string records = received_;
  ASSERT_EQ(records.size(), total);

  namespace record = protocol::event_record;
  int in_order = 0;
  for (int slot = 0; slot < protocol::kEventSlots; ++slot) {
    const std::string_view r = std::string_view(records).substr(slot * kRecordBytes, kRecordBytes);
    SCOPED_TRACE("slot " + std::to_string(slot) + ": " + std::string(r));
    ASSERT_EQ(r[0], 'Z');
    ASSERT_NE(r[1], 'U');
    EXPECT_EQ(protocol::HexByteValue(record::kControllerNumber.In(r)), 6);
    ASSERT_EQ(protocol::HexWordValue(record::kEventSlot.In(r)), slot);
    if (slot < 990) {
      EXPECT_EQ(protocol::HexByteValue(record::kUserSlot.In(r)), dump->events[slot].card_slot);
      EXPECT_EQ(protocol::HexClockValue(record::kClock.In(r)), dump->events[slot].clock);
    } else {  // a slot without an event reads as erased memory
      EXPECT_EQ(record::kUserSlot.In(r), "FF");
      EXPECT_EQ(record::kClock.In(r), "00000000");
    }
    ++in_order;
  }
  EXPECT_EQ(in_order, protocol::kEventSlots);
  // Nothing follows the last record: the next bytes are the answer to a status query.
  const std::string status = Exchange(protocol::StatusQueryLine(), kStatusBytes);
  ASSERT_EQ(status.size(), kStatusBytes) << status;
  EXPECT_EQ(status[0], 'S');

  RecordProperty("full_read_ms", static_cast<int>(read_ms));
  RecordProperty("full_read_deliveries", deliveries_);
  std::cout << "full event read: 1000 records, " << total << " bytes in " << read_ms
            << " ms (the line alone needs " << total * 10 * 1000 / 57600 << " ms), " << deliveries_
            << " deliveries\n";
}

TEST_F(SimIntegration, NumberChangeIsAnsweredWithTheNewNumberAndKept) {
  Start({"--number", "2", "--quiet"});
  namespace status = protocol::status_line;
  std::string reply = Exchange(protocol::SetControllerNumberLine(10), kStatusBytes);
  ASSERT_EQ(reply.size(), kStatusBytes) << reply;
  EXPECT_EQ(reply[0], 'S');
  EXPECT_EQ(status::kControllerNumber.In(reply), "0A");
  auto dump = sim_->Dump();
  ASSERT_TRUE(dump);
  EXPECT_EQ(dump->number, 10);

  // A number out of range is refused; the answer shows the number kept.
  reply = Exchange("70B\r", kStatusBytes);
  ASSERT_EQ(reply.size(), kStatusBytes) << reply;
  EXPECT_EQ(status::kControllerNumber.In(reply), "0A");
  dump = sim_->Dump();
  ASSERT_TRUE(dump);
  EXPECT_EQ(dump->number, 10);

  reply = Exchange(protocol::StatusQueryLine(), kStatusBytes);
  EXPECT_EQ(status::kControllerNumber.In(reply), "0A");
}

TEST_F(SimIntegration, HangUpShutsThePortDownAsBrokenAndAReplugWorks) {
  Start({"--quiet"});
  int closed = 0;
  comm_->SetOnClose([&](serial::TObject*) { ++closed; });
  std::vector<std::uint32_t> comm_errors;
  comm_->SetOnCommError([&](serial::TObject*, std::uint32_t code, std::uint32_t,
                            serial::TComStateFlags, bool&) { comm_errors.push_back(code); });
  ASSERT_EQ(Exchange(protocol::StatusQueryLine(), kStatusBytes).size(), kStatusBytes);

  EXPECT_EQ(sim_->Command("hangup"),
            "veldoran-sim: COM" + std::to_string(sim_->Port()) + " unplugged");
  ASSERT_TRUE(main_.ProcessUntil([&] { return !comm_->Active(); }, 20s))
      << "the port stayed open after the hang-up";
  EXPECT_EQ(closed, 1);
  ASSERT_TRUE(main_.ProcessUntil([] { return serial::detail::RunningCommThreads() == 0; }, 20s))
      << "a worker thread hangs after the hang-up";
  comm_->SendString(protocol::StatusQueryLine());  // vanishes on the closed port
  EXPECT_FALSE(comm_->Active());
  EXPECT_TRUE(main_.ShownExceptions().empty());
  if (!comm_errors.empty())
    std::cout << "communication errors reported: " << comm_errors.size() << ", first "
              << comm_errors.front() << "\n";

  // Plugged in again, the same COM name leads to the new line.
  const auto line = sim_->Command("plug");
  ASSERT_TRUE(line);
  EXPECT_EQ(line->rfind("veldoran-sim: COM" + std::to_string(sim_->Port()) + " -> ", 0), 0u)
      << *line;
  comm_->SetActive(true);
  ASSERT_TRUE(comm_->Active());
  const std::string reply = Exchange(protocol::StatusQueryLine(), kStatusBytes);
  ASSERT_EQ(reply.size(), kStatusBytes) << reply;
  EXPECT_EQ(reply[0], 'S');
}

}  // namespace
}  // namespace veldoran::sim
