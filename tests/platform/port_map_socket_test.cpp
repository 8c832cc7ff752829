// The port map on a tree in memory: adapters without a serial number numbered by their USB
// socket, links moved to udev's names, bound Bluetooth ports, and links of programs that are
// gone.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "fake_sysfs.h"
#include "platform/posix/port_map.h"

namespace veldoran::portmap {
namespace {

namespace fs = std::filesystem;
using testing::FakeSysfs;
using testing::UsbSpec;

// Two identical CH340 adapters without a serial number (one by-id name for both) and an FTDI
// adapter with one.
const std::map<char, UsbSpec> kAdapters = {
    {'F', testing::Ftdi()}, {'A', testing::Ch340()}, {'B', testing::Ch340()}};

class Bench {
 public:
  Bench() : tree_(FakeSysfs::kInMemory), map_(tree_.Roots()) {
    tree_.AddTtyS(0, 4);
    tree_.AddRfcomm(0);
  }
  void Plug(char adapter, const std::string& socket) {
    UsbSpec s = kAdapters.at(adapter);
    s.port = socket;
    // The kernel gives the lowest free ttyUSB number.
    std::set<std::string> used;
    for (const auto& [other, spec] : plugged_) used.insert(spec.tty);
    for (int k = 0;; ++k) {
      s.tty = "ttyUSB" + std::to_string(k);
      if (!used.count(s.tty)) break;
    }
    tree_.Plug(s);
    plugged_[adapter] = s;
  }
  void Unplug(char adapter) {
    tree_.Unplug(plugged_.at(adapter));
    plugged_.erase(adapter);
  }
  // The number of each present device, by adapter letter (ttyS0 as 'S', rfcomm0 as 'R'); fails
  // the test when a device has two present numbers or none.
  std::map<char, int> Numbers() const {
    const Survey survey = map_.Take();
    std::map<char, int> out;
    for (const Entry& e : survey.entries) {
      if (!e.present) continue;
      EXPECT_GE(e.source, 0) << "COM" << e.number << " is present without a device";
      if (e.source < 0) continue;
      const std::string& tty = survey.devices[static_cast<std::size_t>(e.source)].name;
      char letter = tty == "ttyS0" ? 'S' : tty == "rfcomm0" ? 'R' : '?';
      for (const auto& [adapter, spec] : plugged_) {
        if (spec.tty == tty) letter = adapter;
      }
      EXPECT_EQ(out.count(letter), 0u) << letter << " has two numbers";
      out[letter] = e.number;
    }
    EXPECT_EQ(out.size(), plugged_.size() + 2) << "every device has a number";
    return out;
  }
  std::size_t Entries() const { return map_.List().size(); }
  FakeSysfs& Tree() { return tree_; }
  const PortMap& Map() const { return map_; }

 private:
  FakeSysfs tree_;
  PortMap map_;
  std::map<char, UsbSpec> plugged_;
};

TEST(PortMapSocketTest, EveryDeviceKeepsOneNumberThroughReplugsInAnyOrderAndSocket) {
  struct Step {
    const char* what;
    std::string unplug;                              // adapters, in this order
    std::vector<std::pair<char, std::string>> plug;  // adapter, socket
    std::map<char, int> want;                        // number of each present device
    std::size_t entries;                             // numbers given so far
  };
  const std::vector<Step> steps = {
      {"first plug, F A B",
       "",
       {{'F', "1"}, {'A', "3"}, {'B', "4"}},
       {{'S', 1}, {'R', 3}, {'F', 4}, {'A', 5}, {'B', 6}},
       5},
      {"the same again: nothing changes",
       "",
       {},
       {{'S', 1}, {'R', 3}, {'F', 4}, {'A', 5}, {'B', 6}},
       5},
      {"A and B swap sockets: the numbers stay with the sockets",
       "AB",
       {{'B', "3"}, {'A', "4"}},
       {{'S', 1}, {'R', 3}, {'F', 4}, {'B', 5}, {'A', 6}},
       5},
      {"all out, back in reverse order, F in another socket",
       "FAB",
       {{'A', "4"}, {'B', "3"}, {'F', "2"}},
       {{'S', 1}, {'R', 3}, {'F', 4}, {'B', 5}, {'A', 6}},
       5},
      {"A into a socket used for the first time: a new number",
       "A",
       {{'A', "6"}},
       {{'S', 1}, {'R', 3}, {'F', 4}, {'B', 5}, {'A', 7}},
       6},
      {"F into that socket meanwhile: F keeps its own, the socket's is not present",
       "AF",
       {{'F', "6"}, {'A', "4"}},
       {{'S', 1}, {'R', 3}, {'F', 4}, {'B', 5}, {'A', 6}},
       6},
      {"back where they were first",
       "FAB",
       {{'F', "1"}, {'A', "3"}, {'B', "4"}},
       {{'S', 1}, {'R', 3}, {'F', 4}, {'A', 5}, {'B', 6}},
       6},
  };
  Bench bench;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    for (char adapter : step.unplug) bench.Unplug(adapter);
    for (const auto& [adapter, socket] : step.plug) {
      bench.Plug(adapter, socket);
      bench.Numbers();  // surveyed after each plug, as the window does
    }
    EXPECT_EQ(bench.Numbers(), step.want);
    EXPECT_EQ(bench.Entries(), step.entries) << "no number grows on replug";
  }
}

TEST(PortMapSocketTest, LinksOfAnEarlierMapKeepTheirNumbersAndMoveToTheSocket) {
  Bench bench;
  FakeSysfs& tree = bench.Tree();
  bench.Plug('A', "3");  // ttyUSB0
  bench.Plug('B', "4");  // ttyUSB1, and the shared by-id name now leads to it
  const UsbSpec ch340 = testing::Ch340();
  // As the map made them before: the by-id name for the first, the node for the second (its
  // by-id name was the first's).
  tree.Memory()->MakeLink(tree.Dev() / "serial" / "by-id" / ch340.by_id, tree.Link(7));
  tree.Memory()->MakeLink(tree.Dev() / "ttyUSB0", tree.Link(8));
  EXPECT_EQ(bench.Numbers(), (std::map<char, int>{{'S', 1}, {'R', 3}, {'A', 8}, {'B', 7}}));
  const fs::path by_path = tree.Dev() / "serial" / "by-path";
  EXPECT_EQ(tree.Memory()->ReadLink(tree.Link(7)), by_path / ("pci-0000:00:14.0-usb-0:4:1.00"));
  EXPECT_EQ(tree.Memory()->ReadLink(tree.Link(8)), by_path / ("pci-0000:00:14.0-usb-0:3:1.00"));
  // Swapped, they follow their sockets from now on.
  bench.Unplug('A');
  bench.Unplug('B');
  bench.Plug('B', "3");
  bench.Plug('A', "4");
  EXPECT_EQ(bench.Numbers(), (std::map<char, int>{{'S', 1}, {'R', 3}, {'B', 8}, {'A', 7}}));
}

TEST(PortMapSocketTest, ALinkToTheBareNodeMovesToUdevsNameWhenItAppears) {
  FakeSysfs tree(FakeSysfs::kInMemory);
  UsbSpec early = testing::Ftdi();
  early.by_id.clear();  // udev has not made its names yet
  tree.Plug(early);
  const PortMap map(tree.Roots());
  ASSERT_EQ(map.List().size(), 1u);
  EXPECT_EQ(tree.Memory()->ReadLink(tree.Link(3)), tree.Dev() / "ttyUSB0");
  // udev's names appear: the link moves, the number stays, no second one is given.
  const UsbSpec ftdi = testing::Ftdi();
  tree.Memory()->MakeLink("../../ttyUSB0", tree.Dev() / "serial" / "by-id" / ftdi.by_id);
  const auto entries = map.List();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].number, 3);
  EXPECT_EQ(tree.Memory()->ReadLink(tree.Link(3)), tree.Dev() / "serial" / "by-id" / ftdi.by_id);
}

TEST(PortMapSocketTest, ALinkWhoseProgramIsGoneIsRemovedAndNoOtherIs) {
  FakeSysfs tree(FakeSysfs::kInMemory);
  const PortMap map(tree.Roots());
  auto& files = *tree.Memory();
  files.SetProcess(100, true);
  ASSERT_TRUE(map.Register(5, "/dev/pts/3", 100));
  ASSERT_TRUE(map.Register(6, "/dev/pts/4", 200));  // 200 is gone already
  ASSERT_TRUE(map.Register(7, "/dev/pts/5", 300));
  files.MakeLink("/dev/pts/9", tree.Link(7));  // pointed elsewhere since: someone else's
  ASSERT_TRUE(map.Register(8, "/dev/pts/6"));  // a user's, without an owner
  ASSERT_TRUE(map.Repoint(5, "/dev/pts/3", "/dev/pts/7", 100));

  map.List();
  EXPECT_EQ(files.ReadLink(tree.Link(5)), "/dev/pts/7") << "its program runs";
  EXPECT_EQ(files.LinkStatus(tree.Link(6)), files::Kind::kNone);
  EXPECT_EQ(files.LinkStatus(tree.Map() / ".COM6.owner"), files::Kind::kNone);
  EXPECT_EQ(files.ReadLink(tree.Link(7)), "/dev/pts/9");
  EXPECT_EQ(files.ReadLink(tree.Link(8)), "/dev/pts/6");

  files.SetProcess(100, false);  // killed: the link still names the pty it was repointed to
  EXPECT_EQ(map.Resolve("COM5"), std::nullopt);
  map.Unregister(8, "/dev/pts/6");
  EXPECT_EQ(files.List(tree.Map()), std::vector<std::string>{"COM7"});
}

}  // namespace
}  // namespace veldoran::portmap
