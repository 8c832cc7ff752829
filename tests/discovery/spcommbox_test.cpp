// The port picker box bound to a port component on the fake driver: what it lists and selects,
// what an operator's pick (keyboard or mouse) does and what a selection made by code does not,
// a pick whose port cannot be opened, and binding, rebinding and destruction either way.
#include "discovery/spcommbox.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "discovery/port_enumeration.h"
#include "platform/fake/fake_device_setup.h"
#include "platform/fake/fake_serial.h"
#include "platform/memory_registry.h"
#include "serial/spcomm.h"
#include "support/qt_printers.h"

namespace veldoran::discovery {
namespace {

class DeviceBoxTest : public ::testing::Test {
 protected:
  DeviceBoxTest() {
    for (const char* port : {"COM1", "COM3", "COM5"}) driver->AddPort(port);
    Map({"COM1", "COM3", "COM5", "COM7"});  // nothing answers on COM7
    box->SetGuard([this](const std::function<void()>& action) {
      try {
        action();
      } catch (const std::exception& e) {
        errors.push_back(e.what());
      }
    });
    box->SetOnChange([this](serial::TObject* sender) {
      EXPECT_EQ(sender, box.get());
      ++changes;
    });
  }
  ~DeviceBoxTest() override {
    box.reset();
    comm.reset();
    main.ProcessUntil([] { return serial::detail::RunningCommThreads() == 0; });
  }

  void Map(const std::vector<std::string>& ports) {
    std::vector<win::MemoryRegistry::Value> values;
    for (const std::string& port : ports) {
      values.push_back({"\\Device\\" + port, win::REG_SZ, win::SzBytes(port)});
    }
    registry->ReplaceValues(win::HKEY_LOCAL_MACHINE, kSerialCommKey, values);
  }

  QStringList Items() const {
    QStringList out;
    for (int i = 0; i < box->count(); ++i) out << box->itemText(i);
    return out;
  }

  // The operator presses a key on the closed drop-down list.
  void Press(Qt::Key key) { QTest::keyClick(box.get(), key); }

  const std::shared_ptr<win::FakeSerialDriver> driver = std::make_shared<win::FakeSerialDriver>();
  const std::shared_ptr<win::MemoryRegistry> registry = std::make_shared<win::MemoryRegistry>();
  serial::LoopMainThread main;
  std::unique_ptr<serial::TspComm> comm =
      std::make_unique<serial::TspComm>(nullptr, main, driver, registry);
  std::unique_ptr<TspDeviceBox> box = std::make_unique<TspDeviceBox>();
  std::vector<std::string> errors;
  int changes = 0;
};

TEST_F(DeviceBoxTest, BindingListsThePortsAndSelectsTheCurrentOne) {
  EXPECT_FALSE(box->isEditable());
  EXPECT_FALSE(box->ResetOnChanged());
  comm->SetComPortNo(5);
  box->SetspComm(comm.get());
  EXPECT_EQ(box->spComm(), comm.get());
  EXPECT_EQ(Items(), QStringList({"COM1", "COM3", "COM5", "COM7"}));
  EXPECT_EQ(box->currentIndex(), 2);
  EXPECT_EQ(box->Device(2)->PortNo, 5);
  EXPECT_EQ(box->Device(4), nullptr);
  EXPECT_EQ(comm->ListenerCount(), 1);
  box->SetspComm(comm.get());  // binding again registers once
  EXPECT_EQ(comm->ListenerCount(), 1);

  // Writing the port number from code moves the selection, and is no pick.
  comm->SetComPortNo(3);
  EXPECT_EQ(box->currentIndex(), 1);
  comm->SetComPortNo(4);
  EXPECT_EQ(box->currentIndex(), -1);
  box->setCurrentIndex(0);
  EXPECT_EQ(comm->ComPortNo(), 4);
  EXPECT_EQ(changes, 0);

  box->SetItemHeight(13);
  EXPECT_EQ(box->view()->sizeHintForRow(0), 13);
}

TEST_F(DeviceBoxTest, APickWithTheKeyboardMovesTheOpenPort) {
  box->SetspComm(comm.get());
  comm->SetActive(true);
  Press(Qt::Key_Down);
  EXPECT_EQ(comm->ComPortNo(), 3);
  EXPECT_TRUE(comm->Active());
  EXPECT_FALSE(driver->Info("COM1").open);
  EXPECT_TRUE(driver->Info("COM3").open);
  EXPECT_EQ(box->currentIndex(), 1);
  EXPECT_EQ(changes, 1);
  EXPECT_TRUE(errors.empty());
}

TEST_F(DeviceBoxTest, PickingTheSelectedEntryInTheOpenListReopensThePort) {
  box->SetspComm(comm.get());
  box->show();
  comm->SetActive(true);
  box->showPopup();
  ASSERT_TRUE(box->view()->isVisible());
  QTest::keyClick(box->view(), Qt::Key_Return);  // the highlighted entry, the current one
  EXPECT_FALSE(box->view()->isVisible());
  EXPECT_EQ(driver->Info("COM1").opens, 2);
  EXPECT_TRUE(comm->Active());
  EXPECT_EQ(changes, 1);
  // A click on an entry is reported the same way (activated with its row).
  emit box->activated(0);
  EXPECT_EQ(driver->Info("COM1").opens, 3);
  EXPECT_EQ(changes, 2);
}

TEST_F(DeviceBoxTest, APickWhosePortCannotBeOpenedHandsTheOpenErrorToTheGuard) {
  box->SetspComm(comm.get());
  comm->SetActive(true);
  Press(Qt::Key_End);  // COM7: listed, but nothing there
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("Device \"COM7\" Open Error !!!\r", 0), 0u) << errors[0];
  EXPECT_EQ(comm->ComPortNo(), 7);
  EXPECT_FALSE(comm->Active());
  EXPECT_EQ(box->currentIndex(), 3);  // the picked entry stays selected
  EXPECT_EQ(changes, 0);
}

TEST_F(DeviceBoxTest, ABoxFollowsOnlyTheComponentItIsBoundTo) {
  auto other_registry = std::make_shared<win::MemoryRegistry>();
  other_registry->ReplaceValues(win::HKEY_LOCAL_MACHINE, kSerialCommKey,
                                {{"\\Device\\X", win::REG_SZ, win::SzBytes("COM9")}});
  serial::TspComm other(nullptr, main, driver, other_registry);
  box->SetspComm(comm.get());
  box->SetspComm(&other);
  EXPECT_EQ(Items(), QStringList({"COM9"}));
  EXPECT_EQ(comm->ListenerCount(), 0);
  comm->SetComPortNo(5);
  EXPECT_EQ(Items(), QStringList({"COM9"}));
  EXPECT_EQ(box->currentIndex(), -1);
  other.SetComPortNo(9);
  EXPECT_EQ(box->currentIndex(), 0);
  box->SetspComm(nullptr);
  EXPECT_EQ(box->count(), 0);
  EXPECT_EQ(other.ListenerCount(), 0);
}

TEST_F(DeviceBoxTest, DestroyingEitherSideLeavesTheOtherSafe) {
  box->SetspComm(comm.get());
  comm->SetComPortNo(3);
  comm.reset();
  EXPECT_EQ(box->spComm(), nullptr);
  EXPECT_EQ(box->currentIndex(), -1);
  EXPECT_EQ(Items(), QStringList({"COM1", "COM3", "COM5", "COM7"}));  // stale texts stay
  EXPECT_EQ(box->Device(1), nullptr);  // their records went with the component
  Press(Qt::Key_Down);
  EXPECT_EQ(changes, 0);
  EXPECT_TRUE(errors.empty());

  // A box destroyed first unregisters from the component that outlives it.
  comm = std::make_unique<serial::TspComm>(nullptr, main, driver, registry);
  box->SetspComm(comm.get());
  EXPECT_EQ(comm->ListenerCount(), 1);
  box.reset();
  EXPECT_EQ(comm->ListenerCount(), 0);
  comm->SetComPortNo(5);  // would reach the destroyed box if it had stayed
}

TEST_F(DeviceBoxTest, DeviceChangeRebuildsTheListAndKeepsThePortInUse) {
  EXPECT_FALSE(box->DeviceChange(
      serial::TMessage{win::WM_DEVICECHANGE, win::DBT_DEVNODES_CHANGED, 0}));  // unbound
  box->SetspComm(comm.get());
  comm->SetComPortNo(3);
  Map({"COM1", "COM2", "COM3", "COM5"});
  EXPECT_TRUE(
      box->DeviceChange(serial::TMessage{win::WM_DEVICECHANGE, win::DBT_DEVNODES_CHANGED, 0}));
  EXPECT_EQ(Items(), QStringList({"COM1", "COM2", "COM3", "COM5"}));
  EXPECT_EQ(box->currentText(), "COM3");
  Map({"COM1", "COM5"});  // the adapter in use was pulled
  box->DeviceChange(serial::TMessage{win::WM_DEVICECHANGE, win::DBT_DEVNODES_CHANGED, 0});
  EXPECT_EQ(Items(), QStringList({"COM1", "COM5"}));
  EXPECT_EQ(box->currentIndex(), -1);
  EXPECT_FALSE(box->DeviceChange(serial::TMessage{win::WM_DEVICECHANGE, 0x0018, 0}));
}

}  // namespace
}  // namespace veldoran::discovery
