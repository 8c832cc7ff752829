#include "platform/posix/port_map.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <latch>
#include <map>
#include <thread>

#include "fake_sysfs.h"

namespace veldoran::portmap {
namespace {

namespace fs = std::filesystem;
using testing::FakeSysfs;
using testing::UsbSpec;

const UsbSpec kFtdi = testing::Ftdi();
const UsbSpec kAcm = testing::Acm();
const UsbSpec kCh340 = testing::Ch340();

// "COM<n> -> device [present]" for each entry, for readable comparisons.
std::map<int, std::string> Listed(const PortMap& map, const FakeSysfs& tree) {
  std::map<int, std::string> out;
  for (const Entry& e : map.List()) {
    out[e.number] = e.device.lexically_normal().lexically_relative(tree.Dev()).string() +
                    (e.present ? "" : " absent") + (e.linked ? "" : " unlinked");
  }
  return out;
}

TEST(PortMapTest, RealPortsKeepTheirNumbersAndNewDevicesTakeTheLowestFreeFromThree) {
  FakeSysfs tree;
  tree.AddTtyS(0, 4);  // 16550A: COM1
  tree.AddTtyS(1, 0);  // phantom
  tree.AddTtyS(2, 0);  // phantom
  const PortMap map(tree.Roots());
  EXPECT_EQ(Listed(map, tree), (std::map<int, std::string>{{1, "ttyS0 unlinked"}}));
  EXPECT_FALSE(fs::exists(tree.Map())) << "nothing to link yet";

  tree.Plug(kFtdi);
  EXPECT_EQ(Listed(map, tree), (std::map<int, std::string>{{1, "ttyS0 unlinked"},
                                                           {3, "serial/by-id/" + kFtdi.by_id}}));
  tree.Plug(kAcm);  // no by-id link: the node itself
  tree.AddUart("ttyAMA0", "uart-pl011");
  EXPECT_EQ(Listed(map, tree), (std::map<int, std::string>{{1, "ttyS0 unlinked"},
                                                           {3, "serial/by-id/" + kFtdi.by_id},
                                                           {4, "ttyACM0"},
                                                           {5, "ttyAMA0"}}));
  // The links are on disk for every program, absolute, and nothing for ttyS0.
  EXPECT_EQ(fs::read_symlink(tree.Link(4)), tree.Dev() / "ttyACM0");
  EXPECT_FALSE(fs::exists(fs::symlink_status(tree.Link(1))));

  // What sysfs tells of them: ttyACM0, ttyAMA0, ttyS0, ttyUSB0; no tty0, ptmx, phantoms.
  const auto devices = map.Devices();
  ASSERT_EQ(devices.size(), 4u);
  EXPECT_EQ(devices[0].driver + devices[0].interface_number + devices[0].usb_port, "cdc_acm001-2");
  EXPECT_EQ(devices[2].driver + devices[2].pnp_id, "serialPNP0501") << "past serial-base levels";
  EXPECT_EQ(devices[3].driver + devices[3].manufacturer + devices[3].serial, "ftdi_sioFTDIA12345");
}

TEST(PortMapTest, AnAdapterGetsItsNumberBackWhenPluggedInAgain) {
  FakeSysfs tree;
  const PortMap map(tree.Roots());
  tree.Plug(kFtdi);
  ASSERT_EQ(map.List().size(), 1u);
  tree.Plug(kAcm);
  ASSERT_EQ(map.List().size(), 2u);

  tree.Unplug(kFtdi);
  EXPECT_EQ(
      Listed(map, tree),
      (std::map<int, std::string>{{3, "serial/by-id/" + kFtdi.by_id + " absent"}, {4, "ttyACM0"}}));
  // Opening the absent port finds its link and fails on the missing device, not elsewhere.
  EXPECT_EQ(map.Resolve("COM3"), tree.Dev() / "serial" / "by-id" / kFtdi.by_id);
  // Another adapter meanwhile takes the next number, not the absent one's. It has no serial
  // number: its link names its socket.
  tree.Plug(kCh340);
  EXPECT_EQ(map.Resolve("COM5"), tree.Dev() / "serial" / "by-path" / kCh340.ByPath());

  // The first one comes back on another node: same by-id link, same number.
  UsbSpec again = kFtdi;
  again.tty = "ttyUSB2";
  again.port = "4";
  tree.Plug(again);
  EXPECT_EQ(Listed(map, tree),
            (std::map<int, std::string>{{3, "serial/by-id/" + kFtdi.by_id},
                                        {4, "ttyACM0"},
                                        {5, "serial/by-path/" + kCh340.ByPath()}}));
  // A device without a by-id link that goes keeps its number as a dangling link too.
  tree.Unplug(kAcm);
  const auto entries = map.List();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_FALSE(entries[1].present);
  EXPECT_EQ(entries[1].source, -1);
}

TEST(PortMapTest, LinksTheUserMadeWin) {
  FakeSysfs tree;
  tree.AddTtyS(0, 4);
  tree.AddTtyS(1, 4);
  fs::create_directories(tree.Map());
  // COM3 to the adapter's node (not its by-id link): the adapter gets no second number, and the
  // link is moved to the adapter's by-id name.
  fs::create_symlink(tree.Dev() / "ttyUSB0", tree.Link(3));
  // COM1 to something else: ttyS0 loses its name and takes the lowest free number. COM9 to
  // ttyS1: ttyS1 is known as COM9 only.
  FakeSysfs::Write(tree.Root() / "pty7", "");
  fs::create_symlink(tree.Root() / "pty7", tree.Link(1));
  fs::create_symlink("../../../dev/ttyS1", tree.Link(9));  // relative, as `ln -s` may make it
  tree.Plug(kFtdi);
  const PortMap map(tree.Roots());
  EXPECT_EQ(Listed(map, tree),
            (std::map<int, std::string>{
                {1, "../pty7"}, {3, "serial/by-id/" + kFtdi.by_id}, {4, "ttyS0"}, {9, "ttyS1"}}));
  EXPECT_EQ(fs::read_symlink(tree.Link(1)), tree.Root() / "pty7") << "never rewritten";
  EXPECT_EQ(fs::read_symlink(tree.Link(9)), "../../../dev/ttyS1");
  EXPECT_EQ(map.List()[1].source, 2) << "COM3 is known to be the FTDI adapter (ttyUSB0)";
  EXPECT_EQ(map.Resolve("com9"), tree.Map() / "../../../dev/ttyS1");
  EXPECT_EQ(map.Resolve("COM2"), std::nullopt);
}

TEST(PortMapTest, BadEntriesInTheMapFolderAreSkippedWithoutHarm) {
  FakeSysfs tree;
  fs::create_directories(tree.Map());
  for (const char* name : {"COM0", "COM007", "com3", "COMx", "COM3.bak", "COM1000"})
    fs::create_symlink(tree.Dev() / "ttyUSB0", tree.Map() / name);
  FakeSysfs::Write(tree.Link(3), "a file, not a link");
  fs::create_directory(tree.Link(4));
  fs::create_symlink(tree.Link(5), tree.Link(5));  // a loop
  ASSERT_EQ(::mkfifo(tree.Link(6).c_str(), 0600), 0);
  tree.Plug(kFtdi);
  const PortMap map(tree.Roots());
  // Only the loop is a port (absent); the names taken by other files are passed over.
  EXPECT_EQ(Listed(map, tree),
            (std::map<int, std::string>{{5, "../config/veldoran/ports/COM5 absent"},
                                        {7, "serial/by-id/" + kFtdi.by_id}}));
  for (const char* name : {"COM0", "COMx", "COM007", "COM"})
    EXPECT_EQ(map.Resolve(name), std::nullopt);
  EXPECT_EQ(ParsePortName("com12"), 12);
}

TEST(PortMapTest, BrokenSysfsFilesAreSkippedWithoutHanging) {
  FakeSysfs tree;
  tree.AddTtyS(0, 4);
  tree.AddTtyS(1, 4);
  tree.AddTtyS(2, 4);
  // ttyS1's type cannot be read, ttyS2's is garbage: both left out. A FIFO where the product
  // string should be must not block the scan.
  fs::remove(tree.Sys() / "class" / "tty" / "ttyS1" / "type");
  fs::create_directory(tree.Sys() / "class" / "tty" / "ttyS1" / "type");
  FakeSysfs::Write(tree.Sys() / "class" / "tty" / "ttyS2" / "type", "sixteen\n");
  UsbSpec fifo = kFtdi;
  fifo.product = "";
  tree.Plug(fifo);
  ASSERT_EQ(::mkfifo((tree.Sys() / "devices/pci0000:00/usb1/1-1/product").c_str(), 0600), 0);
  // A tty whose device link leads nowhere.
  fs::create_directories(tree.Sys() / "class" / "tty" / "ttyX0");
  fs::create_directory_symlink(tree.Root() / "missing",
                               tree.Sys() / "class" / "tty" / "ttyX0" / "device");
  const PortMap map(tree.Roots());
  EXPECT_EQ(Listed(map, tree), (std::map<int, std::string>{{1, "ttyS0 unlinked"},
                                                           {3, "serial/by-id/" + kFtdi.by_id}}));
  EXPECT_EQ(map.Devices().back().product, "");
  // No sysfs at all: an empty map, not an error.
  const PortMap nothing({tree.Root() / "no-sys", tree.Root() / "no-dev", tree.Root() / "no-map"});
  EXPECT_TRUE(nothing.List().empty());
}

TEST(PortMapTest, TwoTtysNamingOneNodeAreOnePortWithOneNumber) {
  // Found by fuzzing: the second tty took a new number at every survey, since its link read as
  // the first one's, until the map was full.
  FakeSysfs tree;
  tree.AddUart("ttyAMA0", "uart-pl011");
  tree.Plug(kAcm);
  FakeSysfs::Write(tree.Sys() / "class" / "tty" / kAcm.tty / "uevent", "DEVNAME=ttyAMA0\n");
  const PortMap map(tree.Roots());
  const std::map<int, std::string> once = {{3, "ttyAMA0"}};
  EXPECT_EQ(Listed(map, tree), once);
  EXPECT_EQ(Listed(map, tree), once);
  EXPECT_EQ(Listed(map, tree), once);
  ASSERT_EQ(map.Devices().size(), 1u);
  EXPECT_EQ(map.Devices()[0].name, kAcm.tty);  // first in name order
  EXPECT_EQ(map.Devices()[0].node, tree.Dev() / "ttyAMA0");
}

TEST(PortMapTest, ADevnameWithANulIsNotTakenForTheNode) {
  // Found by fuzzing: the name was cut at the NUL when the link was made, so COM3 led to another
  // device node than the one the map had checked and listed.
  FakeSysfs tree;
  tree.AddUart("ttyAMA0", "uart-pl011");
  FakeSysfs::Write(tree.Dev() / "ttyX", "");
  FakeSysfs::Write(tree.Sys() / "class" / "tty" / "ttyAMA0" / "uevent",
                   std::string("DEVNAME=ttyX\0ttyAMA0\n", 21));
  const PortMap map(tree.Roots());
  EXPECT_EQ(Listed(map, tree), (std::map<int, std::string>{{3, "ttyAMA0"}}));
  EXPECT_EQ(map.Resolve("COM3"), tree.Dev() / "ttyAMA0");
}

TEST(PortMapTest, AFolderThatCannotTakeLinksStillGivesNumbersForTheRun) {
  FakeSysfs tree;
  FakeSysfs::Write(tree.Root() / "config", "a file where the folder should be");
  tree.Plug(kFtdi);
  tree.Plug(kAcm);
  const PortMap map(tree.Roots());
  // Seen together for the first time: in the order of their names.
  EXPECT_EQ(Listed(map, tree),
            (std::map<int, std::string>{{3, "ttyACM0 unlinked"},
                                        {4, "serial/by-id/" + kFtdi.by_id + " unlinked"}}));
  EXPECT_EQ(map.Resolve("COM3"), tree.Dev() / "ttyACM0");
  EXPECT_FALSE(map.Register(5, tree.Dev() / "ttyACM0"));
  EXPECT_EQ(map.RegisterLowestFree(tree.Dev() / "ttyACM0"), std::nullopt);
}

TEST(PortMapTest, ProgramsAssigningAtOnceGiveEachDeviceOneNumber) {
  for (int round = 0; round < 10; ++round) {
    FakeSysfs tree;
    for (int i = 0; i < 6; ++i) {
      UsbSpec s = kFtdi;
      s.tty = "ttyUSB";
      s.tty += std::to_string(i);
      s.port = std::to_string(i + 1);
      s.serial = s.port;
      s.by_id = i % 2 ? "" : "usb-FTDI_" + s.port;
      tree.Plug(s);
    }
    constexpr int kPrograms = 4;
    std::latch start(kPrograms);
    std::vector<std::thread> programs;
    for (int p = 0; p < kPrograms; ++p) {
      programs.emplace_back([&] {
        const PortMap map(tree.Roots());
        start.arrive_and_wait();
        map.List();
      });
    }
    for (auto& t : programs) t.join();
    // Six links, one per device.
    std::map<int, int> links;  // device -> links to it
    for (const Entry& e : PortMap(tree.Roots()).List()) ++links[e.source];
    EXPECT_EQ(links.size(), 6u) << "round " << round;
    for (const auto& [device, count] : links) EXPECT_EQ(count, 1) << "device " << device;
    EXPECT_EQ(std::distance(fs::directory_iterator(tree.Map()), {}), 6);
  }
}

}  // namespace
}  // namespace veldoran::portmap
