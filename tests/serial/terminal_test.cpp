// The terminal link between a port and an edit control, on the fake driver.
#include <gtest/gtest.h>

#include "serial_fixture.h"

namespace veldoran::serial {
namespace {

using testing::FakePortTest;
using testing::RecordingEdit;

class Terminal : public FakePortTest {
 protected:
  Terminal() { comm->SetTerminal(&edit); }
  // Input from the line, until the edit has shown `count` pieces.
  bool Receive(std::string_view bytes, std::size_t pieces) {
    driver->InjectInput("COM3", bytes);
    return main.ProcessUntil([&] { return edit.pieces.size() >= pieces; });
  }
  RecordingEdit edit;
};

TEST_F(Terminal, BothWaysWithoutEchoSendsTypingAndShowsOnlyWhatArrives) {
  comm->SetTerminalUsage(tuBoth);
  Open();
  EXPECT_FALSE(edit.Type('0'));  // the edit never sees the key
  EXPECT_FALSE(edit.Type('\r'));
  EXPECT_EQ(driver->Output("COM3"), "0\r");
  EXPECT_TRUE(edit.keys.empty());
  ASSERT_TRUE(Receive("S01\r", 1));
  EXPECT_EQ(edit.Shown(), "S01\r");
}

TEST_F(Terminal, EchoShowsTypedCharactersToo) {
  comm->SetTerminalUsage(tuSend);
  comm->SetTerminalEcho(true);
  Open();
  EXPECT_TRUE(edit.Type('a'));
  EXPECT_EQ(driver->Output("COM3"), "a");
  EXPECT_EQ(edit.keys, "a");
}

TEST_F(Terminal, UsageDecidesTheDirections) {
  std::string received;
  comm->SetOnAfterReceive([&](TObject*, void* buffer, std::uint32_t count) {
    received.append(static_cast<const char*>(buffer), count);
  });
  comm->SetTerminalUsage(tuReceive);
  Open();
  EXPECT_TRUE(edit.Type('q'));  // typing is the edit's own business
  EXPECT_EQ(driver->Output("COM3"), "");
  ASSERT_TRUE(Receive("in", 1));

  comm->SetTerminalUsage(tuSend);  // nothing is shown any more; OnAfterReceive still runs
  driver->InjectInput("COM3", "more");
  ASSERT_TRUE(main.ProcessUntil([&] { return received == "inmore"; }));
  EXPECT_EQ(edit.pieces, std::vector<std::string>{"in"});
  EXPECT_FALSE(edit.Type('q'));
  EXPECT_EQ(driver->Output("COM3"), "q");
}

TEST_F(Terminal, ABlockIsShownInPiecesAroundItsNulBytesAndOneByteAsACharacter) {
  comm->SetTerminalUsage(tuBoth);
  Open();
  ASSERT_TRUE(Receive(std::string("\0ab\0\0c\xB9\0", 8), 2));
  EXPECT_EQ(edit.pieces, (std::vector<std::string>{"ab", "c\xB9"}));
  ASSERT_TRUE(Receive("z", 3));
  EXPECT_EQ(edit.pieces.back(), "z");
  // What the component shows is not typing: nothing goes back out.
  EXPECT_EQ(driver->Output("COM3"), "");
}

TEST_F(Terminal, ATerminalAloneIsAReceiver) {
  Open();  // usage tuNone: the bytes are read all the same, and go nowhere
  driver->InjectInput("COM3", "abc");
  ASSERT_TRUE(main.ProcessUntil([&] { return driver->InputQueued("COM3") == 0; }));
  EXPECT_TRUE(edit.pieces.empty());
}

TEST_F(Terminal, UnhookedEditsAreTheirOwnAgain) {
  comm->SetTerminalUsage(tuBoth);
  Open();
  RecordingEdit other;
  comm->SetTerminal(&other);  // the first edit is given back its own procedure
  EXPECT_TRUE(edit.Type('1'));
  EXPECT_FALSE(other.Type('2'));
  EXPECT_EQ(driver->Output("COM3"), "2");
  comm->SetTerminal(nullptr);
  EXPECT_TRUE(other.Type('3'));
  EXPECT_EQ(comm->Terminal(), nullptr);

  comm->SetTerminal(&edit);
  comm.reset();  // the port goes first: the edit types on its own
  EXPECT_TRUE(edit.Type('4'));
}

TEST_F(Terminal, AnEditDestroyedFirstIsNeverCalledAgain) {
  auto own = std::make_unique<RecordingEdit>();
  comm->SetTerminal(own.get());
  comm->SetTerminalUsage(tuBoth);
  Open();
  own.reset();
  EXPECT_EQ(comm->Terminal(), nullptr);
  std::string received;
  comm->SetOnAfterReceive([&](TObject*, void* buffer, std::uint32_t count) {
    received.append(static_cast<const char*>(buffer), count);
  });
  driver->InjectInput("COM3", "still");
  ASSERT_TRUE(main.ProcessUntil([&] { return received == "still"; }));
}

}  // namespace
}  // namespace veldoran::serial
