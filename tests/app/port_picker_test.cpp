// The port picker on the real window (offscreen), with the controller model answering on the
// fake ports: where it sits, what it lists, an operator's pick moving the connection, a pick
// that fails, and the port kept in Config.ini for the next start.
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <memory>

#include "discovery/spcommbox.h"
#include "records/port_choice.h"
#include "serial/spcomm.h"
#include "support/window_fixture.h"
#include "ui/page_control.h"

namespace veldoran::app {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileBytes;
using testing::WriteFileBytes;

class PortPickerTest : public testing::WindowTest {
 protected:
  PortPickerTest() : second_(*driver_, "COM3") {
    MapPorts({"COM1", "COM3", "COM7"});  // nothing is plugged in behind COM7
  }

  discovery::TspDeviceBox& Box() { return *Form().spDeviceBox1; }
  // The operator picks the next entry with the arrow key, or the last one with End.
  void PickNext() { QTest::keyClick(&Box(), Qt::Key_Down); }
  void PickLast() { QTest::keyClick(&Box(), Qt::Key_End); }
  fs::path ConfigFile() const { return dir_ / "Config.ini"; }

  testing::FakeController second_;
};

TEST_F(PortPickerTest, PickerSitsUnderItsLabelBoundToThePort) {
  discovery::TspDeviceBox& box = Box();
  EXPECT_EQ(box.geometry(), QRect(8, 40, 97, 21));
  EXPECT_EQ(box.ItemHeight(), 13);
  EXPECT_FALSE(box.isEditable() || box.ResetOnChanged());
  EXPECT_EQ(box.spComm(), Form().spComm1.get());
  EXPECT_EQ(Form().spComm1->EnumPorts(), serial::epQuickAll);
  EXPECT_EQ(box.count(), 3);
  EXPECT_EQ(box.currentText(), "COM1");  // the port the window starts with
  // Reached with Tab after the page control and what it holds, as its tab order says.
  QWidget* w = Form().PageControl1;
  while (w != &box && w->nextInFocusChain() != Form().PageControl1) w = w->nextInFocusChain();
  EXPECT_EQ(w, &box);
  EXPECT_TRUE(box.focusPolicy() & Qt::TabFocus);
}

TEST_F(PortPickerTest, PickingAnotherPortWhileConnectedMovesTheConnectionThere) {
  const std::string first_start = [&] {
    Form();
    return ReadFileBytes(ConfigFile());
  }();
  Connect();
  PickNext();  // COM3
  EXPECT_TRUE(dialogs_.errors.isEmpty()) << dialogs_.errors.join("|").toStdString();
  EXPECT_EQ(Form().spComm1->ComPortNo(), 3);
  EXPECT_TRUE(Form().spComm1->Active());
  EXPECT_FALSE(driver_->Info("COM1").open);
  EXPECT_TRUE(driver_->Info("COM3").open);
  EXPECT_EQ(Box().currentText(), "COM3");

  // Kept for the next start in a section of its own; every other byte as it was.
  EXPECT_TRUE(ReadFileBytes(ConfigFile()) == first_start + "[Port]\r\nComPortNo=3\r\n");
}

TEST_F(PortPickerTest, APickWhosePortCannotBeOpenedShowsTheOpenErrorAsConnectDoes) {
  Form();
  const std::string before = ReadFileBytes(ConfigFile());
  Connect();
  PickLast();  // COM7
  ASSERT_EQ(dialogs_.errors.size(), 1);
  EXPECT_TRUE(dialogs_.errors[0].startsWith("Device \"COM7\" Open Error !!!\r"))
      << dialogs_.errors[0].toStdString();
  EXPECT_FALSE(Form().spComm1->Active());
  EXPECT_EQ(Box().currentText(), "COM7");
  EXPECT_TRUE(ReadFileBytes(ConfigFile()) == before);  // a port that did not open is not kept

  Form().SpeedButton2->click();  // "Połącz" on the same port: the same box
  ASSERT_EQ(dialogs_.errors.size(), 2);
  EXPECT_EQ(dialogs_.errors[1], dialogs_.errors[0]);
}

TEST_F(PortPickerTest, TheNextStartOpensTheLastPortPicked) {
  Form();
  PickNext();  // COM3, while closed: nothing opens
  EXPECT_FALSE(driver_->Info("COM3").open);
  ASSERT_EQ(records::ReadPortChoice(ConfigFile()), 3);
  form_.reset();

  Form();
  EXPECT_EQ(Form().spComm1->ComPortNo(), 3);
  EXPECT_EQ(Box().currentText(), "COM3");
  Connect();
  EXPECT_TRUE(driver_->Info("COM3").open);
  form_.reset();

  // A damaged or impossible value is passed over: the window starts on COM1 as ever.
  const std::string base = ReadFileBytes(ConfigFile());
  for (const char* value : {"", "abc", "0", "3x", "-3", "65536"}) {
    SCOPED_TRACE(value);
    WriteFileBytes(ConfigFile(),
                   base.substr(0, base.find("[Port]")) + "[Port]\r\nComPortNo=" + value + "\r\n");
    Form();
    EXPECT_EQ(Form().spComm1->ComPortNo(), 1);
    EXPECT_EQ(Box().currentText(), "COM1");
    form_.reset();
  }
}

TEST_F(PortPickerTest, AConfigIniThatCannotBeWrittenIsReportedAndThePickStillHolds) {
  Form();
  const std::string before = ReadFileBytes(ConfigFile());
  fs::permissions(ConfigFile(), fs::perms::owner_read | fs::perms::group_read);
  PickNext();
  ASSERT_EQ(dialogs_.errors.size(), 1);
  EXPECT_TRUE(dialogs_.errors[0].startsWith("Unable to write to "))
      << dialogs_.errors[0].toStdString();
  EXPECT_EQ(Form().spComm1->ComPortNo(), 3);
  EXPECT_TRUE(ReadFileBytes(ConfigFile()) == before);
}

// The port kept from the last run is absent: the box shows a port that is there instead of
// nothing, and goes back to the kept one when it appears (while closed), without rewriting
// Config.ini. An open port is never moved.
TEST_F(PortPickerTest, AnAbsentKeptPortIsStoodInForUntilItAppears) {
  WriteFileBytes(ConfigFile(), "[Port]\r\nComPortNo=5\r\n");
  EXPECT_EQ(Form().spComm1->ComPortNo(), 1);
  EXPECT_EQ(Box().currentText(), "COM1");

  MapPorts({"COM3", "COM7"});  // COM1 goes too: the box moves to what is left
  Form().spComm1->RefreshDevices();
  ASSERT_TRUE(ProcessUntil([&] { return Box().currentText() == "COM3"; }));

  MapPorts({"COM3", "COM5", "COM7"});
  Form().spComm1->RefreshDevices();
  ASSERT_TRUE(ProcessUntil([&] { return Form().spComm1->ComPortNo() == 5; }));
  EXPECT_EQ(Box().currentText(), "COM5");
  EXPECT_EQ(records::ReadPortChoice(ConfigFile()), 5);
  EXPECT_TRUE(dialogs_.AllBoxes().isEmpty());

  // Connected on COM3 (picked), COM5 coming and going does not move the connection.
  QTest::keyClick(&Box(), Qt::Key_Home);  // COM3
  Connect();
  ASSERT_TRUE(Form().spComm1->Active());
  MapPorts({"COM3", "COM7"});
  Form().spComm1->RefreshDevices();
  MapPorts({"COM3", "COM5", "COM7"});
  Form().spComm1->RefreshDevices();
  SettleDeliveries();
  ProcessUntil([] { return false; }, std::chrono::milliseconds(50));
  EXPECT_EQ(Form().spComm1->ComPortNo(), 3);
  EXPECT_TRUE(Form().spComm1->Active());
}

}  // namespace
}  // namespace veldoran::app
