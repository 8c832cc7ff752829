// The terminal link between a port and an edit control, on the fake driver.
#include <gtest/gtest.h>

#include "serial_fixture.h"

namespace veldoran::serial {
namespace {

using testing::FakePortTest;
using testing::RecordingEdit;

class Terminal : public FakePortTest {
 protected:
  Terminal() {
    comm->SetTerminal(&edit);
    comm->SetOnAfterReceive([this](TObject*, void* buffer, std::uint32_t count) {
      received.append(static_cast<const char*>(buffer), count);
    });
  }
  bool Receive(std::string_view bytes) {
    const std::size_t before = received.size();
    driver->InjectInput("COM3", bytes);
    return main.ProcessUntil([&] { return received.size() == before + bytes.size(); });
  }
  RecordingEdit edit;
  std::string received;
};

TEST_F(Terminal, BothWaysWithoutEchoSendsTypingAndShowsOnlyWhatArrives) {
  comm->SetTerminalUsage(tuBoth);
  Open();
  EXPECT_FALSE(edit.Type('0'));  // the edit never sees the key
  EXPECT_FALSE(edit.Type('\r'));
  EXPECT_EQ(driver->Output("COM3"), "0\r");
  ASSERT_TRUE(Receive(std::string("\0ab\0\0c\xB9\0", 8)));
  EXPECT_EQ(edit.pieces, (std::vector<std::string>{"ab", "c\xB9"}));  // around the NULs
  ASSERT_TRUE(Receive("z"));
  EXPECT_EQ(edit.pieces.back(), "z");  // one byte: as a typed character
  EXPECT_TRUE(edit.keys.empty());
  EXPECT_EQ(driver->Output("COM3"), "0\r");  // what is shown does not go back out

  comm->SetTerminalEcho(true);
  EXPECT_TRUE(edit.Type('a'));
  EXPECT_EQ(driver->Output("COM3"), "0\ra");
  EXPECT_EQ(edit.keys, "a");
}

TEST_F(Terminal, UsageDecidesTheDirections) {
  comm->SetTerminalUsage(tuReceive);
  Open();
  EXPECT_TRUE(edit.Type('q'));  // typing is the edit's own business
  ASSERT_TRUE(Receive("in"));
  comm->SetTerminalUsage(tuSend);
  EXPECT_FALSE(edit.Type('q'));
  ASSERT_TRUE(Receive("more"));  // OnAfterReceive still runs
  EXPECT_EQ(edit.Shown(), "in");
  EXPECT_EQ(driver->Output("COM3"), "q");

  comm->SetOnAfterReceive(nullptr);  // a terminal alone makes the port read
  comm->SetTerminalUsage(tuNone);
  driver->InjectInput("COM3", "abc");
  ASSERT_TRUE(main.ProcessUntil([&] { return driver->InputQueued("COM3") == 0; }));
}

TEST_F(Terminal, UnhookedOrDestroyedEditsAreNeverCalledAgain) {
  comm->SetTerminalUsage(tuBoth);
  Open();
  RecordingEdit other;
  comm->SetTerminal(&other);  // the first edit gets its own procedure back
  EXPECT_TRUE(edit.Type('1'));
  EXPECT_FALSE(other.Type('2'));
  comm->SetTerminal(nullptr);
  EXPECT_TRUE(other.Type('3'));
  EXPECT_EQ(driver->Output("COM3"), "2");

  auto own = std::make_unique<RecordingEdit>();
  comm->SetTerminal(own.get());
  own.reset();
  EXPECT_EQ(comm->Terminal(), nullptr);
  ASSERT_TRUE(Receive("still"));

  comm->SetTerminal(&edit);
  comm.reset();  // the port goes first: the edit types on its own
  EXPECT_TRUE(edit.Type('4'));
}

}  // namespace
}  // namespace veldoran::serial
