// The port map and the device list built from it, on a fake /sys, /dev and map folder that the
// input lays out: PC ports (real and phantom), USB adapters whose sysfs strings and udev names
// are anything, on-board UARTs, DEVNAME lines, missing nodes, and COM links of any name pointing
// anywhere (nodes, by-id paths, relative paths, nowhere, other links, loops). Then:
// - the entries are in ascending order, one per number, numbers from 1 to 999;
// - every present device without a fixed number has a number, and a number given now went to a
//   device that had none;
// - a second survey keeps every number and what it points at, and makes none; a third one
//   changes nothing at all;
// - an entry's name resolves to its device;
// - the device list has one node per device and per entry without one, with distinct instance
//   ids of printable characters within Windows' length, handles 1 to N and the entries' names.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/posix/device_nodes.h"
#include "platform/posix/port_map.h"

namespace {

namespace fs = std::filesystem;
using namespace veldoran;

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "broken invariant: %s\n", what);
  std::abort();
}

// A file name made of whatever the input says: no "/" and no NUL, never "." or "..".
std::string SafeName(std::string text) {
  for (char& c : text) {
    if (c == '/' || c == '\0') c = '_';
  }
  if (text.empty() || text == "." || text == "..") text = "x" + text;
  return text.substr(0, 100);
}

// The fake system, laid out as Linux lays it out (see tests/platform/fake_sysfs.h).
class Tree {
 public:
  Tree() {
    static const std::string base = fs::exists("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string pattern = base + "/veldoran-portmap-fuzz-XXXXXX";
    if (!::mkdtemp(pattern.data())) std::abort();
    root_ = pattern;
    fs::create_directories(Sys() / "class" / "tty");
    fs::create_directories(Dev());
    fs::create_directories(Map());
  }
  ~Tree() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  fs::path Sys() const { return root_ / "sys"; }
  fs::path Dev() const { return root_ / "dev"; }
  fs::path Map() const { return root_ / "config" / "veldoran" / "ports"; }

  static void Write(const fs::path& file, const std::string& text) {
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    std::ofstream(file, std::ios::binary) << text;
  }
  void Driver(const fs::path& device, const std::string& bus, const std::string& driver) const {
    const auto bus_dir = Sys() / "bus" / bus;
    std::error_code ec;
    fs::create_directories(bus_dir / "drivers" / driver, ec);
    fs::create_directories(device, ec);
    fs::create_directory_symlink(bus_dir, device / "subsystem", ec);
    fs::create_directory_symlink(bus_dir / "drivers" / driver, device / "driver", ec);
  }
  void ClassEntry(const std::string& name, const fs::path& device) {
    const auto entry = Sys() / "class" / "tty" / name;
    std::error_code ec;
    fs::create_directories(entry, ec);
    fs::create_directory_symlink(device, entry / "device", ec);
    Write(entry / "uevent", "MAJOR=188\nMINOR=0\nDEVNAME=" + name + "\n");
    Write(Dev() / name, "");
    ttys.push_back(name);
  }

  std::vector<std::string> ttys;     // class entries made, in order
  std::vector<std::string> by_ids;   // by-id link names made
  std::set<std::string> link_names;  // what the map folder holds before the survey

 private:
  fs::path root_;
};

void Build(FuzzedDataProvider& input, Tree& tree) {
  const int ops = input.ConsumeIntegralInRange(0, 12);
  for (int op = 0; op < ops && input.remaining_bytes() > 0; ++op) {
    switch (input.ConsumeIntegralInRange(0, 6)) {
      case 0: {  // a PC port: real (on pnp) or a phantom of the 8250 driver
        const int k = input.ConsumeIntegralInRange(0, 255);
        const std::string name = "ttyS" + std::to_string(k);
        const std::string type = input.ConsumeRandomLengthString(8);
        fs::path device;
        if (input.ConsumeBool()) {
          const auto pnp = tree.Sys() / "devices" / "pnp0" / ("00:" + std::to_string(k));
          tree.Driver(pnp, "pnp", "serial");
          Tree::Write(pnp / "id", input.ConsumeRandomLengthString(12));
          device = pnp / "ctrl" / "port";
          tree.Driver(device.parent_path(), "serial-base", "ctrl");
          tree.Driver(device, "serial-base", "port");
        } else {
          device = tree.Sys() / "devices" / "platform" / "serial8250";
          tree.Driver(device, "platform", "serial8250");
        }
        tree.ClassEntry(name, device);
        if (input.ConsumeBool()) Tree::Write(tree.Sys() / "class" / "tty" / name / "type", type);
        break;
      }
      case 1: {  // a USB adapter: usb-serial (ttyUSB) or ACM
        const bool acm = input.ConsumeBool();
        const std::string tty =
            (acm ? "ttyACM" : "ttyUSB") + std::to_string(input.ConsumeIntegralInRange(0, 9));
        const std::string port = "1-" + std::to_string(input.ConsumeIntegralInRange(1, 9));
        const auto usb = tree.Sys() / "devices" / "pci0000:00" / "usb1" / port;
        for (const char* attribute :
             {"idVendor", "idProduct", "bcdDevice", "manufacturer", "product", "serial"}) {
          if (input.ConsumeBool()) {
            Tree::Write(usb / attribute, input.ConsumeRandomLengthString(16));
          }
        }
        const auto interface = usb / (port + ":1.0");
        Tree::Write(interface / "bInterfaceNumber", input.ConsumeRandomLengthString(4));
        fs::path device = interface;
        const std::string driver = SafeName(input.ConsumeRandomLengthString(12));
        if (acm) {
          tree.Driver(interface, "usb", driver);
        } else {
          tree.Driver(interface, "usb", "usbserial_generic");
          device = interface / tty;
          tree.Driver(device, "usb-serial", driver);
        }
        tree.ClassEntry(tty, device);
        const std::string by_id = input.ConsumeRandomLengthString(64);
        if (!by_id.empty()) {
          const std::string name = SafeName(by_id);
          std::error_code ec;
          fs::create_directories(tree.Dev() / "serial" / "by-id", ec);
          fs::create_symlink("../../" + tty, tree.Dev() / "serial" / "by-id" / name, ec);
          if (!ec) tree.by_ids.push_back(name);
        }
        break;
      }
      case 2: {  // an on-board UART of any name and driver
        const std::string name = SafeName(input.ConsumeRandomLengthString(12));
        const auto device = tree.Sys() / "devices" / "platform" / ("soc-" + name);
        tree.Driver(device, "platform", SafeName(input.ConsumeRandomLengthString(12)));
        tree.ClassEntry(name, device);
        break;
      }
      case 3: {  // a link in the map folder
        const std::string name = input.ConsumeBool()
                                     ? "COM" + std::to_string(input.ConsumeIntegralInRange(0, 300))
                                     : SafeName(input.ConsumeRandomLengthString(10));
        std::string target;
        switch (input.ConsumeIntegralInRange(0, 5)) {
          case 0:
            if (!tree.ttys.empty()) {
              target =
                  (tree.Dev() /
                   tree.ttys[input.ConsumeIntegralInRange<std::size_t>(0, tree.ttys.size() - 1)])
                      .string();
            }
            break;
          case 1:
            if (!tree.by_ids.empty()) {
              target = (tree.Dev() / "serial" / "by-id" /
                        tree.by_ids[input.ConsumeIntegralInRange<std::size_t>(
                            0, tree.by_ids.size() - 1)])
                           .string();
            }
            break;
          case 2:
            if (!tree.ttys.empty()) {
              target =
                  "../../../dev/" +
                  tree.ttys[input.ConsumeIntegralInRange<std::size_t>(0, tree.ttys.size() - 1)];
            }
            break;
          case 3:
            target = (tree.Dev() / "nowhere").string();
            break;
          case 4:
            target = "COM" + std::to_string(input.ConsumeIntegralInRange(0, 300));
            break;
          default:
            target = input.ConsumeRandomLengthString(30);
        }
        target.erase(std::remove(target.begin(), target.end(), '\0'), target.end());
        if (target.empty()) target = "x";
        std::error_code ec;
        fs::create_symlink(target, tree.Map() / name, ec);
        if (!ec) tree.link_names.insert(name);
        break;
      }
      case 4: {  // a DEVNAME line of any text
        if (tree.ttys.empty()) break;
        const std::string& tty =
            tree.ttys[input.ConsumeIntegralInRange<std::size_t>(0, tree.ttys.size() - 1)];
        Tree::Write(tree.Sys() / "class" / "tty" / tty / "uevent",
                    "DEVNAME=" + input.ConsumeRandomLengthString(30) + "\n");
        break;
      }
      case 5: {  // a device whose node is gone
        if (tree.ttys.empty()) break;
        std::error_code ec;
        fs::remove(
            tree.Dev() /
                tree.ttys[input.ConsumeIntegralInRange<std::size_t>(0, tree.ttys.size() - 1)],
            ec);
        break;
      }
      default: {  // ttys with nothing behind them: no device, or a virtual one
        const std::string name = SafeName(input.ConsumeRandomLengthString(10));
        std::error_code ec;
        if (input.ConsumeBool()) {
          fs::create_directories(tree.Sys() / "class" / "tty" / name, ec);
        } else {
          const auto device = tree.Sys() / "devices" / "virtual" / "tty" / name;
          fs::create_directories(device, ec);
          fs::create_directories(tree.Sys() / "class" / "tty" / name, ec);
          fs::create_directory_symlink(device, tree.Sys() / "class" / "tty" / name / "device", ec);
        }
      }
    }
  }
}

bool SameEntries(const std::vector<portmap::Entry>& a, const std::vector<portmap::Entry>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].number != b[i].number || a[i].device != b[i].device || a[i].present != b[i].present ||
        a[i].linked != b[i].linked || a[i].source != b[i].source)
      return false;
  }
  return true;
}

// With PORT_MAP_FUZZ_SHOW set (when a crash is replayed), what a survey found.
void Show(const char* what, const portmap::Survey& survey) {
  if (!std::getenv("PORT_MAP_FUZZ_SHOW")) return;
  std::fprintf(stderr, "%s:\n", what);
  for (const auto& d : survey.devices) {
    std::fprintf(stderr, "  device %s, node %s, present %d, fixed number %d\n", d.name.c_str(),
                 d.node.c_str(), d.present, d.fixed_number);
  }
  for (const auto& e : survey.entries) {
    std::fprintf(stderr, "  COM%d -> %s, present %d, linked %d, device %d\n", e.number,
                 e.device.c_str(), e.present, e.linked, e.source);
  }
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 2048) return 0;
  FuzzedDataProvider input(data, size);
  Tree tree;
  Build(input, tree);
  const portmap::PortMap map({tree.Sys(), tree.Dev(), tree.Map()});
  if (std::getenv("PORT_MAP_FUZZ_SHOW")) {
    std::system(("ls -lR " + tree.Map().string() + " " + tree.Dev().string() + " >&2").c_str());
  }
  const portmap::Survey survey = map.Take();
  Show("first survey", survey);

  std::map<int, int> numbers_of_device;  // source -> entries naming it
  for (std::size_t i = 0; i < survey.entries.size(); ++i) {
    const portmap::Entry& e = survey.entries[i];
    Check(e.number >= 1 && e.number <= 999, "numbers from 1 to 999");
    Check(i == 0 || survey.entries[i - 1].number < e.number, "ascending, one entry per number");
    Check(e.source >= -1 && e.source < static_cast<int>(survey.devices.size()),
          "an entry's device is one of the survey's");
    if (e.source >= 0) ++numbers_of_device[e.source];
  }
  for (const portmap::Entry& e : survey.entries) {
    const std::string name = "COM" + std::to_string(e.number);
    if (e.linked && !tree.link_names.count(name)) {
      // Made by this survey: for a present device that had no number.
      Check(e.source >= 0 && survey.devices[static_cast<std::size_t>(e.source)].present,
            "a new number goes to a present device");
      Check(numbers_of_device[e.source] == 1, "a new number goes to a device that had none");
    }
  }
  // Each resolve is a survey of its own: the first and the last entry stand for the others.
  for (std::size_t i : {std::size_t{0}, survey.entries.size() - 1}) {
    if (i >= survey.entries.size()) break;
    const portmap::Entry* e = &survey.entries[i];
    const auto resolved = map.Resolve("COM" + std::to_string(e->number));
    Check(resolved && *resolved == e->device, "an entry's name resolves to its device");
  }
  for (std::size_t i = 0; i < survey.devices.size(); ++i) {
    const portmap::SerialDevice& d = survey.devices[i];
    if (d.present && d.fixed_number == 0) {
      Check(numbers_of_device.count(static_cast<int>(i)) == 1, "a present device has a number");
    }
  }
  // The numbers are kept. (A link that points at another link of the folder may find a device
  // behind it only once the survey made that link, so the second survey is the settled one.)
  const portmap::Survey again = map.Take();
  Show("second survey", again);
  Check(again.entries.size() == survey.entries.size(), "a second survey makes no number");
  for (std::size_t i = 0; i < again.entries.size(); ++i) {
    Check(again.entries[i].number == survey.entries[i].number &&
              again.entries[i].device == survey.entries[i].device,
          "a second survey keeps every number and what it points at");
  }
  Check(SameEntries(map.Take().entries, again.entries), "a third survey changes nothing");

  const auto nodes = win::devnodes::Nodes(survey);
  std::size_t without_device = 0;
  for (const portmap::Entry& e : survey.entries) without_device += e.source < 0;
  Check(nodes.size() == survey.devices.size() + without_device,
        "one node per device and per entry without one");
  std::set<std::string> ids;
  std::set<std::string> names;
  for (const portmap::Entry& e : survey.entries) names.insert("COM" + std::to_string(e.number));
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const auto& node = nodes[i];
    Check(node.dev_inst == i + 1, "handles 1 to N");
    Check(!node.instance_id.empty() && node.instance_id.size() <= 199,
          "instance ids within Windows' length");
    for (const char c : node.instance_id) {
      Check(c > 0x20 && c < 0x7F, "instance ids of printable characters");
    }
    Check(ids.insert(Upper(node.instance_id)).second, "instance ids differ (without case)");
    Check(node.port_name.empty() || names.count(node.port_name), "a node's name is an entry's");
  }
  return 0;
}
