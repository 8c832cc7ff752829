// The data processor base attached to a port component on the fake driver.
#include "serial/data_processor.h"

#include <gtest/gtest.h>

#include "serial_fixture.h"

namespace veldoran::serial {
namespace {

using namespace std::chrono_literals;
using serial::testing::FakePortTest;
using serial::testing::RecordingEdit;
using serial::testing::RecordingLog;

// A processor that records what it is given and answers as told.
class Probe : public TspCustomDataProcessor {
 public:
  explicit Probe(serial::MainThread& main) : TspCustomDataProcessor(nullptr, main) {
    SetLogPrefix("probe: ");
  }
  void DataReceived(void* buffer, std::uint32_t count, bool& handled) override {
    blocks.emplace_back(static_cast<const char*>(buffer), count);
    TspCustomDataProcessor::DataReceived(buffer, count, handled);
    handled = handled || handle;
  }
  void TxEmpty(bool& handled) override {
    ++tx_empty;
    handled = handle;
  }
  std::vector<std::string> blocks;
  int tx_empty = 0;
  bool handle = false;
};

class DataProcessor : public FakePortTest {
 protected:
  DataProcessor() {
    processor.SetLog(&log);
    comm->SetDataProcessor(&processor);
  }
  RecordingLog log;
  Probe processor{main};
};

TEST_F(DataProcessor, HearsThePortAndSeesEveryBlockFirst) {
  RecordingEdit edit;
  comm->SetTerminal(&edit);
  comm->SetTerminalUsage(serial::tuBoth);
  std::vector<std::size_t> seen_first;  // blocks the processor had when OnAfterReceive ran
  comm->SetOnAfterReceive([&](serial::TObject*, void*, std::uint32_t) {
    seen_first.push_back(processor.blocks.size());
  });
  Probe chained(main);
  processor.SetSubProcessor(&chained);
  processor.SetSubProcessor(&processor);  // itself: changes nothing
  EXPECT_EQ(processor.SubProcessor(), &chained);
  Open();
  driver->InjectInput("COM3", "ab");
  ASSERT_TRUE(main.ProcessUntil([&] { return seen_first.size() == 1; }));
  EXPECT_EQ(chained.blocks, std::vector<std::string>{"ab"});
  EXPECT_EQ(edit.Shown(), "ab");
  processor.handle = true;  // kept from the terminal; OnAfterReceive runs all the same
  driver->InjectInput("COM3", "cd");
  ASSERT_TRUE(main.ProcessUntil([&] { return seen_first.size() == 2; }));
  EXPECT_EQ(seen_first, (std::vector<std::size_t>{1, 2}));
  EXPECT_EQ(edit.Shown(), "ab");
  comm->SetActive(false);
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{"2 probe: Medium Opened", "2 probe: Medium Closed"}));
  processor.SetSubProcessor(nullptr);
}

TEST_F(DataProcessor, IsAskedOncePerDrainAndMayHandleIt) {
  int sent = 0;
  comm->SetOnAfterSend([&](serial::TObject*) { ++sent; });
  comm->SetTraceStates({serial::tsTxEmpty});
  Open();
  comm->SendString("1");
  ASSERT_TRUE(main.ProcessUntil([&] { return sent == 1; }));
  EXPECT_EQ(processor.tx_empty, 1);
  processor.handle = true;
  comm->SendString("2");
  ASSERT_TRUE(main.ProcessUntil([&] { return processor.tx_empty == 2; }));
  EXPECT_EQ(sent, 1);
}

TEST_F(DataProcessor, SendingMayBeInterceptedAndNothingComesOut) {
  Open();
  std::vector<int> kinds;
  bool intercept = false;
  processor.SetOnDataSend(
      [&](serial::TObject*, const void*, std::uint32_t, int kind, bool& handled) {
        kinds.push_back(kind);
        handled = intercept;
      });
  processor.SendData("abc", 3);
  processor.SendData("none", 0);
  processor.SendString("");
  EXPECT_EQ(driver->TakeOutput("COM3"), "abc");
  EXPECT_FALSE(processor.Timer().Ticking());
  intercept = true;
  processor.SendData("def", 3);  // not sent; the timer re-armed, the line still logged
  processor.SendString("gh");
  EXPECT_EQ(driver->TakeOutput("COM3"), "");
  EXPECT_TRUE(processor.Timer().Ticking());
  EXPECT_EQ(log.Lines().back(), "2 probe: DoDataSend: 3 bytes");
  EXPECT_EQ(kinds, (std::vector<int>{0, 0, 1}));

  processor.SetOnDataSend([](serial::TObject*, const void*, std::uint32_t, int, bool&) {
    throw std::runtime_error("handler failed");
  });
  EXPECT_NO_THROW(processor.SendData("a", 1));
  EXPECT_NO_THROW(processor.SendString("a"));
}

TEST_F(DataProcessor, TheTimeoutFiresOncePerArming) {
  processor.SetTimeout(5);
  ASSERT_TRUE(main.ProcessUntil([&] { return processor.tx_empty == 1; }));
  EXPECT_FALSE(processor.Timer().Ticking());
  processor.SetTimeout(5);
  processor.SetTimeout(0);  // stops it, and does not start it again
  EXPECT_FALSE(processor.Timer().Ticking());
  main.ProcessUntil([] { return false; }, 30ms);
  EXPECT_EQ(processor.tx_empty, 1);
}

TEST_F(DataProcessor, FatalErrorRaisesUnlessTheHandlerSaysNo) {
  EXPECT_THROW(processor.FatalError(7, 8, "frame lost"), std::runtime_error);
  EXPECT_EQ(log.Lines().back(), "0 Fatal Error: 7, 8, frame lost");  // without the prefix
  processor.SetOnFatalError([](serial::TObject*, std::uint32_t, std::uint32_t, const std::string&,
                               bool& raise) { raise = false; });
  EXPECT_NO_THROW(processor.FatalError(1, 0, "kept back"));
  auto own = std::make_unique<Probe>(main);
  own->SetOnFatalError([&](serial::TObject*, std::uint32_t, std::uint32_t, const std::string&,
                           bool&) { own.reset(); });
  EXPECT_THROW(own->FatalError(1, 0, "gone"), std::runtime_error);
}

TEST_F(DataProcessor, ReplacingOrDestroyingDetachesBothWays) {
  Probe second(main);
  comm->SetDataProcessor(&second);  // the first one is detached
  EXPECT_EQ(processor.Comm(), nullptr);
  auto own = std::make_unique<Probe>(main);
  comm->SetDataProcessor(own.get());
  own.reset();  // destroyed first: the port forgets it and keeps going
  EXPECT_EQ(comm->DataProcessor(), nullptr);
  Open();
  comm->SetActive(false);

  Probe listener(main);  // attached only through SetComm, and chained
  listener.SetComm(comm.get());
  second.SetComm(comm.get());
  second.SetSubProcessor(&listener);
  comm.reset();
  EXPECT_EQ(second.Comm(), nullptr);
  EXPECT_EQ(listener.Comm(), nullptr);
}

}  // namespace
}  // namespace veldoran::serial
