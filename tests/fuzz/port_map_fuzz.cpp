// The port map and the device list built from it, on a fake /sys, /dev and map folder in memory
// that the input lays out: PC ports (real and phantom), USB adapters whose sysfs strings and
// udev names (by-id, by-path) are anything, on-board UARTs, bound Bluetooth ports, DEVNAME
// lines, missing nodes, COM links of any name pointing anywhere (nodes, udev's names, relative
// paths, nowhere, other links, loops), and side files naming processes that run or are gone.
// Then:
// - a link is removed exactly when its side file names a gone process and the link's target;
// - the entries are in ascending order, one per number, numbers from 1 to 999;
// - every present device has a number, and a number given now went to a device that had none;
// - a second survey keeps every number and what it points at, and makes none; a third one
//   changes nothing at all;
// - an entry's name resolves to its device;
// - the device list has one node per device and per entry without one, with distinct instance
//   ids of printable characters within Windows' length, handles 1 to N and the entries' names.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/posix/device_nodes.h"
#include "platform/posix/memory_file_tree.h"
#include "platform/posix/port_map.h"
#include "platform/posix/port_map_paths.h"

namespace {

using namespace veldoran;
using portmap::detail::Parent;

// Paths are plain strings, joined with "/": the tree takes them without the splitting and
// allocating of std::filesystem::path, which made up much of each input's time.
using Path = std::string;
Path operator/(const Path& folder, std::string_view name) {
  return portmap::detail::Join(folder, name);
}

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

// The fake system in memory, laid out as Linux lays it out (see tests/platform/fake_sysfs.h).
class Tree {
 public:
  Tree() : files(std::make_shared<files::MemoryFileTree>()) {
    files->MakeFolder(Sys() / "class" / "tty");
    files->MakeFolder(Dev());
    files->MakeFolder(Map());
  }
  static Path Sys() { return "/sys"; }
  static Path Dev() { return "/dev"; }
  static Path Map() { return "/config/veldoran/ports"; }

  void Write(const Path& file, const std::string& text) const { files->MakeFile(file, text); }
  // A link made as ln -s makes it: not over an existing name.
  bool Symlink(const std::string& target, const Path& link) const {
    files->MakeFolder(Parent(link));
    return files->Symlink(target, link) == 0;
  }
  void Driver(const Path& device, const std::string& bus, const std::string& driver) const {
    const auto bus_dir = Sys() / "bus" / bus;
    files->MakeFolder(bus_dir / "drivers" / driver);
    files->MakeFolder(device);
    Symlink(bus_dir, device / "subsystem");
    Symlink(bus_dir / "drivers" / driver, device / "driver");
  }
  void ClassEntry(const std::string& name, const Path& device) {
    const auto entry = Sys() / "class" / "tty" / name;
    files->MakeFolder(entry);
    Symlink(device, entry / "device");
    Write(entry / "uevent", "MAJOR=188\nMINOR=0\nDEVNAME=" + name + "\n");
    files->MakeOther(Dev() / name);
    ttys.push_back(name);
  }

  std::shared_ptr<files::MemoryFileTree> files;
  std::vector<std::string> ttys;      // class entries made, in order
  std::vector<std::string> by_ids;    // by-id link names made
  std::vector<std::string> by_paths;  // by-path link names made
  std::set<std::string> link_names;   // what the map folder holds before the survey
  std::set<int> running;              // processes that run
};

void Build(FuzzedDataProvider& input, Tree& tree) {
  const int ops = input.ConsumeIntegralInRange(0, 12);
  for (int op = 0; op < ops && input.remaining_bytes() > 0; ++op) {
    switch (input.ConsumeIntegralInRange(0, 8)) {
      case 0: {  // a PC port: real (on pnp) or a phantom of the 8250 driver
        const int k = input.ConsumeIntegralInRange(0, 255);
        const std::string name = "ttyS" + std::to_string(k);
        const std::string type = input.ConsumeRandomLengthString(8);
        Path device;
        if (input.ConsumeBool()) {
          const auto pnp = tree.Sys() / "devices" / "pnp0" / ("00:" + std::to_string(k));
          tree.Driver(pnp, "pnp", "serial");
          tree.Write(pnp / "id", input.ConsumeRandomLengthString(12));
          device = pnp / "ctrl" / "port";
          tree.Driver(std::string(Parent(device)), "serial-base", "ctrl");
          tree.Driver(device, "serial-base", "port");
        } else {
          device = tree.Sys() / "devices" / "platform" / "serial8250";
          tree.Driver(device, "platform", "serial8250");
        }
        tree.ClassEntry(name, device);
        if (input.ConsumeBool()) tree.Write(tree.Sys() / "class" / "tty" / name / "type", type);
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
            tree.Write(usb / attribute, input.ConsumeRandomLengthString(16));
          }
        }
        const auto interface = usb / (port + ":1.0");
        tree.Write(interface / "bInterfaceNumber", input.ConsumeRandomLengthString(4));
        Path device = interface;
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
          if (tree.Symlink("../../" + tty, tree.Dev() / "serial" / "by-id" / name))
            tree.by_ids.push_back(name);
        }
        // udev's name for its socket, made or not (udev may not have run yet).
        if (input.ConsumeBool()) {
          const std::string name = "pci-0000:00:14.0-usb-0:" + port.substr(2) + ":1.0";
          if (tree.Symlink("../../" + tty, tree.Dev() / "serial" / "by-path" / name))
            tree.by_paths.push_back(name);
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
                   tree.ttys[input.ConsumeIntegralInRange<std::size_t>(0, tree.ttys.size() - 1)]);
            }
            break;
          case 1:
            if (!tree.by_ids.empty()) {
              target = (tree.Dev() / "serial" / "by-id" /
                        tree.by_ids[input.ConsumeIntegralInRange<std::size_t>(
                            0, tree.by_ids.size() - 1)]);
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
            target = input.ConsumeBool() || tree.by_paths.empty()
                         ? (tree.Dev() / "nowhere")
                         : (tree.Dev() / "serial" / "by-path" /
                            tree.by_paths[input.ConsumeIntegralInRange<std::size_t>(
                                0, tree.by_paths.size() - 1)]);
            break;
          case 4:
            target = "COM" + std::to_string(input.ConsumeIntegralInRange(0, 300));
            break;
          default:
            target = input.ConsumeRandomLengthString(30);
        }
        target.erase(std::remove(target.begin(), target.end(), '\0'), target.end());
        if (target.empty()) target = "x";
        if (tree.Symlink(target, tree.Map() / name)) tree.link_names.insert(name);
        break;
      }
      case 4: {  // a DEVNAME line of any text
        if (tree.ttys.empty()) break;
        const std::string& tty =
            tree.ttys[input.ConsumeIntegralInRange<std::size_t>(0, tree.ttys.size() - 1)];
        tree.Write(tree.Sys() / "class" / "tty" / tty / "uevent",
                   "DEVNAME=" + input.ConsumeRandomLengthString(30) + "\n");
        break;
      }
      case 5: {  // a device whose node is gone
        if (tree.ttys.empty()) break;
        tree.files->RemoveAll(
            tree.Dev() /
            tree.ttys[input.ConsumeIntegralInRange<std::size_t>(0, tree.ttys.size() - 1)]);
        break;
      }
      case 6: {  // a Bluetooth port bound but not connected: in devices/virtual, no device link
        const std::string name = "rfcomm" + std::to_string(input.ConsumeIntegralInRange(0, 9));
        const auto device = tree.Sys() / "devices" / "virtual" / "tty" / name;
        tree.Write(device / "uevent", "MAJOR=216\nMINOR=0\nDEVNAME=" + name + "\n");
        if (tree.Symlink(device, tree.Sys() / "class" / "tty" / name)) {
          if (input.ConsumeBool()) tree.files->MakeOther(tree.Dev() / name);
          tree.ttys.push_back(name);
        }
        break;
      }
      case 7: {  // a side file naming the process a link was made for, running or gone
        const int n = input.ConsumeIntegralInRange(1, 300);
        const int pid = input.ConsumeIntegralInRange(1, 4);
        const bool runs = pid <= 2;
        tree.files->SetProcess(pid, runs);
        if (runs) tree.running.insert(pid);
        std::string target = input.ConsumeBool() ? std::string("/dev/pts/") + std::to_string(pid)
                                                 : input.ConsumeRandomLengthString(20);
        target.erase(std::remove(target.begin(), target.end(), '\0'), target.end());
        const std::string text = input.ConsumeBool() ? std::to_string(pid) + "\n" + target + "\n"
                                                     : input.ConsumeRandomLengthString(24);
        tree.Write(tree.Map() / (".COM" + std::to_string(n) + ".owner"), text);
        if (input.ConsumeBool() && tree.Symlink(target, tree.Map() / ("COM" + std::to_string(n))))
          tree.link_names.insert("COM" + std::to_string(n));
        break;
      }
      default: {  // ttys with nothing behind them: no device, or a virtual one
        const std::string name = SafeName(input.ConsumeRandomLengthString(10));
        if (input.ConsumeBool()) {
          tree.files->MakeFolder(tree.Sys() / "class" / "tty" / name);
        } else {
          const auto device = tree.Sys() / "devices" / "virtual" / "tty" / name;
          tree.files->MakeFolder(device);
          tree.files->MakeFolder(tree.Sys() / "class" / "tty" / name);
          tree.Symlink(device, tree.Sys() / "class" / "tty" / name / "device");
        }
      }
    }
  }
}

// A side file's "<pid>\n<target>\n", read as a user would read it.
std::optional<std::pair<int, std::string>> Owner(const std::string& text) {
  const std::size_t line = text.find('\n');
  if (line == 0 || line == std::string::npos || line > 18 || text.size() < line + 2 ||
      text.back() != '\n')
    return std::nullopt;
  long long pid = 0;
  for (std::size_t i = 0; i < line; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    pid = pid * 10 + (text[i] - '0');
  }
  if (pid == 0 || pid > 0x7FFFFFFF) return std::nullopt;
  return std::pair{static_cast<int>(pid), text.substr(line + 1, text.size() - line - 2)};
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
  const portmap::PortMap map({tree.Sys(), tree.Dev(), tree.Map(), tree.files});
  if (std::getenv("PORT_MAP_FUZZ_SHOW")) std::fprintf(stderr, "%s", tree.files->Dump().c_str());
  // The links that are to go: those whose side file names a process that is gone and the
  // link's target as it is.
  std::map<std::string, bool> stale;
  std::set<Path> orphans;
  for (const std::string& name : tree.link_names) {
    const Path side = tree.Map() / ("." + name + ".owner");
    const auto owner = Owner(tree.files->Read(side, 4096).value_or(""));
    const auto target = tree.files->ReadLink(tree.Map() / name);
    const auto n = portmap::ParsePortName(name);
    const bool gone = owner && !tree.running.count(owner->first);
    if (gone && n && name == "COM" + std::to_string(*n)) orphans.insert(side);
    stale[name] = gone && n && name == "COM" + std::to_string(*n) && target == owner->second;
  }
  const std::uint64_t before_first = tree.files->Changes();
  const portmap::Survey survey = map.Take();
  Show("first survey", survey);

  // A link whose owner is gone is removed while it points where the owner left it; no other
  // link is.
  // link is. The number it freed may go at once to a device that had none: its link then has
  // the old name and no side file.
  for (const auto& [name, to_go] : stale) {
    const bool gone = tree.files->LinkStatus(tree.Map() / name) == files::Kind::kNone;
    const auto n = portmap::ParsePortName(name);
    const bool reused =
        to_go && !gone &&
        tree.files->LinkStatus(tree.Map() / ("." + name + ".owner")) == files::Kind::kNone &&
        std::any_of(survey.entries.begin(), survey.entries.end(), [&](const portmap::Entry& e) {
          return e.number == *n && e.linked && e.source >= 0;
        });
    Check(gone == to_go || reused, "a link is removed exactly when its owner is gone");
  }
  for (const Path& side : orphans) {
    Check(tree.files->LinkStatus(side) == files::Kind::kNone, "a gone owner's side file goes");
  }

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
    if (d.present) {
      Check(numbers_of_device.count(static_cast<int>(i)) == 1, "a present device has a number");
    }
  }
  // The numbers are kept. (A link that points at another link of the folder may find a device
  // behind it only once the survey made that link, so the second survey is the settled one.)
  // A survey is a function of the tree it sees: when nothing has changed since the one before
  // began, a repeat would give the same result, so it is not run.
  const std::uint64_t before_second = tree.files->Changes();
  const bool first_changed = before_second != before_first;
  portmap::Survey repeated;
  if (first_changed) repeated = map.Take();
  const portmap::Survey& again = first_changed ? repeated : survey;
  Show("second survey", again);
  Check(again.entries.size() == survey.entries.size(), "a second survey makes no number");
  for (std::size_t i = 0; i < again.entries.size(); ++i) {
    Check(again.entries[i].number == survey.entries[i].number &&
              again.entries[i].device == survey.entries[i].device,
          "a second survey keeps every number and what it points at");
  }
  if (first_changed && tree.files->Changes() != before_second) {
    Check(SameEntries(map.Take().entries, again.entries), "a third survey changes nothing");
  }

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
