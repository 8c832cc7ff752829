// The port picker box bound to a port component on the fake driver: what it lists and selects,
// what an operator's pick does and what a selection made by code does not, a pick whose port
// cannot be opened, and binding, rebinding and destruction either way.
#include "discovery/spcommbox.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QTest>
#include <string>
#include <vector>

#include "port_fixture.h"
#include "support/qt_printers.h"

namespace veldoran::discovery {
namespace {

class DeviceBoxTest : public testing::FakePortsTest {
 protected:
  DeviceBoxTest() {
    box->SetGuard([this](const std::function<void()>& action) {
      try {
        action();
      } catch (const std::exception& e) {
        errors.push_back(e.what());
      }
    });
    box->SetOnChange([this](serial::TObject*) { ++changes; });
  }
  ~DeviceBoxTest() override { box.reset(); }

  QStringList Items() const {
    QStringList out;
    for (int i = 0; i < box->count(); ++i) out << box->itemText(i);
    return out;
  }

  std::unique_ptr<TspDeviceBox> box = std::make_unique<TspDeviceBox>();
  std::vector<std::string> errors;
  int changes = 0;
};

TEST_F(DeviceBoxTest, BindingSelectsTheCurrentPortAndCodeWritesMoveTheSelectionOnly) {
  EXPECT_FALSE(box->isEditable());
  comm->SetComPortNo(5);
  box->SetspComm(comm.get());
  box->SetspComm(comm.get());  // binding again registers once
  EXPECT_EQ(comm->ListenerCount(), 1);
  EXPECT_EQ(Items(), QStringList({"COM1", "COM3", "COM5", "COM7"}));
  EXPECT_EQ(box->currentIndex(), 2);
  EXPECT_EQ(box->Device(2)->PortNo, 5);
  comm->SetComPortNo(3);
  EXPECT_EQ(box->currentIndex(), 1);
  comm->SetComPortNo(4);
  EXPECT_EQ(box->currentIndex(), -1);
  box->setCurrentIndex(0);  // a selection made by code is no pick
  EXPECT_EQ(comm->ComPortNo(), 4);
  EXPECT_EQ(changes, 0);
  box->SetItemHeight(13);
  EXPECT_EQ(box->view()->sizeHintForRow(0), 13);
}

TEST_F(DeviceBoxTest, APickMovesTheOpenPortAndPickingTheSameEntryReopensIt) {
  box->SetspComm(comm.get());
  comm->SetActive(true);
  QTest::keyClick(box.get(), Qt::Key_Down);
  EXPECT_EQ(comm->ComPortNo(), 3);
  EXPECT_FALSE(driver->Info("COM1").open);
  EXPECT_TRUE(driver->Info("COM3").open);
  EXPECT_EQ(box->currentIndex(), 1);
  EXPECT_EQ(changes, 1);
  // The open list, Return on the highlighted entry (the current one).
  box->show();
  box->showPopup();
  QTest::keyClick(box->view(), Qt::Key_Return);
  EXPECT_FALSE(box->view()->isVisible());
  EXPECT_EQ(driver->Info("COM3").opens, 2);
  EXPECT_TRUE(comm->Active());
  EXPECT_EQ(changes, 2);
  EXPECT_TRUE(errors.empty());
}

TEST_F(DeviceBoxTest, APickWhosePortCannotBeOpenedHandsTheOpenErrorToTheGuard) {
  box->SetspComm(comm.get());
  comm->SetActive(true);
  QTest::keyClick(box.get(), Qt::Key_End);  // COM7: listed, but nothing there
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("Device \"COM7\" Open Error !!!\r", 0), 0u) << errors[0];
  EXPECT_EQ(comm->ComPortNo(), 7);
  EXPECT_FALSE(comm->Active());
  EXPECT_EQ(box->currentIndex(), 3);  // the picked entry stays selected
  EXPECT_EQ(changes, 0);
}

TEST_F(DeviceBoxTest, ABoxFollowsOnlyItsComponentAndEitherMayGoFirst) {
  serial::TspComm other(nullptr, main, driver, registry);
  box->SetspComm(comm.get());
  box->SetspComm(&other);
  EXPECT_EQ(comm->ListenerCount(), 0);
  other.SetComPortNo(5);
  comm->SetComPortNo(3);  // the first component no longer reloads the box
  EXPECT_EQ(box->currentIndex(), 2);

  box->SetspComm(comm.get());
  comm.reset();
  EXPECT_EQ(box->spComm(), nullptr);
  EXPECT_EQ(box->currentIndex(), -1);
  EXPECT_EQ(box->count(), 4);          // stale texts stay...
  EXPECT_EQ(box->Device(1), nullptr);  // ...their records went with the component
  QTest::keyClick(box.get(), Qt::Key_Down);
  EXPECT_EQ(changes, 0);
  EXPECT_FALSE(box->DeviceChange({win::WM_DEVICECHANGE, win::DBT_DEVNODES_CHANGED, 0}));

  box->SetspComm(&other);
  box.reset();  // a destroyed box no longer listens
  EXPECT_EQ(other.ListenerCount(), 0);
  other.SetComPortNo(1);
}

}  // namespace
}  // namespace veldoran::discovery
