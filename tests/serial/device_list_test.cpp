// The port component's device list: built on first use and then cached, rebuilt on a device
// change, the switch to a listed port, and records that never outlive their list.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "port_fixture.h"

namespace veldoran::serial {
namespace {

using Strings = std::vector<std::string>;
using Codes = std::vector<std::int32_t>;

class DeviceListTest : public testing::FakePortsTest {
 protected:
  DeviceListTest() {
    comm->AddListener(TspNotifyEvent::Of<DeviceListTest, &DeviceListTest::Heard>(this));
  }

  int MapWalks() const {
    int walks = 0;
    for (const std::string& call : registry->Calls()) {
      walks += call.rfind("RegOpenKeyExA HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP", 0) == 0;
    }
    return walks;
  }

  static std::vector<std::string> Texts(const TspDeviceItems& items) {
    std::vector<std::string> out;
    for (const TspDeviceItem& item : items) out.push_back(item.text);
    return out;
  }

  void Heard(TObject* /*sender*/, std::int32_t code) { codes.push_back(code); }

  std::vector<std::int32_t> codes;
};

TEST_F(DeviceListTest, ListIsBuiltOnFirstUseThenCachedUntilRefreshed) {
  EXPECT_EQ(comm->EnumPorts(), epQuickAll);
  EXPECT_EQ(comm->DeviceCount(), 0);
  TspDeviceItems items;
  comm->FillDeviceList(&items);
  EXPECT_EQ(Texts(items), (Strings{"COM1", "COM3", "COM5", "COM7"}));
  for (int i = 0; i < comm->DeviceCount(); ++i) {
    EXPECT_EQ(comm->GetDevice(i)->Index, i);
    EXPECT_EQ(comm->GetDevice(i)->Owner, comm.get());
    EXPECT_EQ(items[static_cast<std::size_t>(i)].record.lock().get(), comm->GetDevice(i));
  }
  EXPECT_EQ(MapWalks(), 1);

  // A port added to the map is not seen by the cache...
  Map({"COM1", "COM2", "COM3", "COM5", "COM7"});
  TspDeviceItems again;
  comm->FillDeviceList(&again);
  comm->FillDeviceList(nullptr);
  EXPECT_EQ(Texts(again), Texts(items));
  EXPECT_EQ(MapWalks(), 1);
  EXPECT_TRUE(codes.empty());

  // ...until the list is rebuilt. The records the old items referred to are gone with it.
  comm->RefreshDevices();
  EXPECT_EQ(codes, (Codes{kNotifyPortChanged}));
  EXPECT_EQ(comm->DeviceCount(), 5);
  for (const TspDeviceItem& item : items) EXPECT_TRUE(item.record.expired()) << item.text;
  comm->FillDeviceList(&items);
  EXPECT_EQ(Texts(items), (Strings{"COM1", "COM2", "COM3", "COM5", "COM7"}));

  // Destroying the component frees the records too.
  comm.reset();
  for (const TspDeviceItem& item : items) EXPECT_TRUE(item.record.expired()) << item.text;
  EXPECT_TRUE(setup->Calls().empty());  // the quick mode never scans devices
}

TEST_F(DeviceListTest, LookUpsOutsideTheListFindNothingAndAnEmptyListIsNoCache) {
  comm->FillDeviceList(nullptr);
  EXPECT_EQ(comm->GetDevice(-1), nullptr);
  EXPECT_EQ(comm->GetDevice(comm->DeviceCount()), nullptr);
  EXPECT_EQ(comm->IndexOfPortNo(5), 2);
  EXPECT_EQ(comm->IndexOfPortNo(5 + 0x10000), -1);  // all 32 bits compared
  comm->SetComPortNo(5);
  EXPECT_EQ(comm->SelectedDeviceIndex(), 2);
  comm->SetComPortNo(4);
  EXPECT_EQ(comm->SelectedDeviceIndex(), -1);

  Map({});
  comm->RefreshDevices();
  const int walks = MapWalks();
  comm->FillDeviceList(nullptr);  // nothing found: looked for again each time
  comm->FillDeviceList(nullptr);
  EXPECT_EQ(MapWalks(), walks + 2);
}

TEST_F(DeviceListTest, SelectingAnEntryMovesAnOpenPortEvenToTheSameNumber) {
  comm->FillDeviceList(nullptr);
  comm->SetActive(true);
  ASSERT_TRUE(comm->Active());
  codes.clear();

  comm->SelectDevice(-1);
  comm->SelectDevice(comm->DeviceCount());
  EXPECT_TRUE(codes.empty());
  EXPECT_EQ(comm->ComPortNo(), 1);

  comm->SelectDevice(0);  // the current port: closed and opened again
  EXPECT_EQ(driver->Info("COM1").opens, 2);
  EXPECT_EQ(codes, (Codes{kNotifyClosed, kNotifyOpened, kNotifyPortChanged}));

  comm->SelectDevice(1);
  EXPECT_EQ(comm->ComPortNo(), 3);
  EXPECT_TRUE(comm->Active());
  EXPECT_FALSE(driver->Info("COM1").open);
  EXPECT_TRUE(driver->Info("COM3").open);

  // A port that vanished between listing and opening: the open error reaches the caller, the
  // component keeps the new number and stays closed, and nobody is told of a change.
  codes.clear();
  try {
    comm->SelectDevice(3);
    ADD_FAILURE() << "no open error";
  } catch (const ESerialError& e) {
    EXPECT_TRUE(std::string_view(e.what()).starts_with("Device \"COM7\" Open Error !!!\r"))
        << e.what();
  }
  EXPECT_EQ(comm->ComPortNo(), 7);
  EXPECT_FALSE(comm->Active());
  EXPECT_EQ(codes, (Codes{kNotifyClosed}));
}

TEST_F(DeviceListTest, OnlyBroadcastsAboutPortsOrDeviceNodesRebuildTheList) {
  comm->FillDeviceList(nullptr);
  win::DEV_BROADCAST_HDR port{sizeof(win::DEV_BROADCAST_HDR), win::DBT_DEVTYP_PORT, 0};
  win::DEV_BROADCAST_HDR volume{sizeof(win::DEV_BROADCAST_HDR), win::DBT_DEVTYP_VOLUME, 0};
  const auto at = [](win::DEV_BROADCAST_HDR* header) {
    return reinterpret_cast<std::intptr_t>(header);
  };
  struct Case {
    TMessage message;
    bool refreshes;
  };
  const Case cases[] = {
      {{win::WM_DEVICECHANGE, win::DBT_DEVNODES_CHANGED, 0}, true},
      {{win::WM_DEVICECHANGE, win::DBT_DEVICEARRIVAL, at(&port)}, true},
      {{win::WM_DEVICECHANGE, win::DBT_DEVICEREMOVECOMPLETE, at(&port)}, true},
      {{win::WM_DEVICECHANGE, win::DBT_DEVICEARRIVAL, at(&volume)}, false},
      {{win::WM_DEVICECHANGE, win::DBT_DEVICEARRIVAL, 0}, false},  // no header to look at
      {{win::WM_DEVICECHANGE, 0x8001 /* DBT_DEVICEQUERYREMOVE */, at(&port)}, false},
      {{0x0218 /* WM_POWERBROADCAST */, win::DBT_DEVNODES_CHANGED, 0}, false},
  };
  int walks = MapWalks();
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "wParam " << c.message.WParam);
    codes.clear();
    EXPECT_EQ(comm->DeviceChanged(c.message), c.refreshes);
    EXPECT_EQ(MapWalks(), walks + (c.refreshes ? 1 : 0));
    EXPECT_EQ(codes.size(), c.refreshes ? 1u : 0u);
    walks = MapWalks();
  }
}

}  // namespace
}  // namespace veldoran::serial
