// The port map's look at sysfs and udev's names: which serial devices there are and what they
// are.
#include <algorithm>
#include <charconv>

#include "platform/posix/port_map.h"
#include "platform/posix/port_map_paths.h"

namespace veldoran::portmap {
using detail::Place;
using detail::PlaceOf;

namespace {

// A sysfs attribute: the first 4096 bytes of a regular file, without trailing blanks and line
// ends. Nothing when it cannot be read.
std::optional<std::string> ReadAttribute(files::FileTree& tree, files::PathRef path) {
  auto text = tree.Read(path, 4096);
  if (text) {
    while (!text->empty() && static_cast<unsigned char>(text->back()) <= ' ') text->pop_back();
  }
  return text;
}

// KEY=value from a uevent file.
std::string UeventValue(files::FileTree& tree, files::PathRef uevent, std::string_view key) {
  const auto text = ReadAttribute(tree, uevent);
  if (!text) return {};
  std::size_t start = 0;
  while (start < text->size()) {
    const std::size_t end = std::min(text->find('\n', start), text->size());
    const std::string_view line = std::string_view(*text).substr(start, end - start);
    if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == '=')
      return std::string(line.substr(key.size() + 1));
    start = end + 1;
  }
  return {};
}

// The last part of a symbolic link's target (a driver's or a bus's name).
std::string LinkName(files::FileTree& tree, files::PathRef link) {
  const auto target = tree.ReadLink(link);
  return target ? std::string(detail::FileName(*target)) : std::string();
}

// The k of "<prefix><k>", or -1.
int Index(std::string_view name, std::string_view prefix) {
  if (name.size() <= prefix.size() || name.size() > prefix.size() + 4 ||
      name.substr(0, prefix.size()) != prefix || name[prefix.size()] < '0' ||
      name[prefix.size()] > '9')
    return -1;
  int k = -1;
  const auto [end, ec] = std::from_chars(name.data() + prefix.size(), name.data() + name.size(), k);
  return ec == std::errc() && end == name.data() + name.size() ? k : -1;
}

// Names in natural order: ttyUSB2 before ttyUSB10.
bool NaturalLess(const std::string& a, const std::string& b) {
  std::size_t i = 0, j = 0;
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      std::size_t ie = i, je = j;
      while (ie < a.size() && digit(a[ie])) ++ie;
      while (je < b.size() && digit(b[je])) ++je;
      const std::string_view na = std::string_view(a).substr(i, ie - i);
      const std::string_view nb = std::string_view(b).substr(j, je - j);
      const auto trim = [](std::string_view s) {
        while (s.size() > 1 && s.front() == '0') s.remove_prefix(1);
        return s;
      };
      const std::string_view ta = trim(na), tb = trim(nb);
      if (ta.size() != tb.size()) return ta.size() < tb.size();
      if (ta != tb) return ta < tb;
      i = ie;
      j = je;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

// The links of one of udev's folders (/dev/serial/by-id, by-path), by name.
std::vector<std::pair<std::string, Place>> UdevLinks(files::FileTree& tree,
                                                     const std::string& folder) {
  std::vector<std::pair<std::string, Place>> links;
  for (const std::string& name : tree.List(folder)) {
    std::string link = detail::Join(folder, name);
    if (const auto target = detail::LinkTarget(tree, link))
      links.emplace_back(std::move(link), PlaceOf(tree, *target));
  }
  std::sort(links.begin(), links.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  return links;
}

// Fills in what sysfs tells of the hardware behind a tty: driver, bus, and the USB device.
void DescribeHardware(files::FileTree& tree, const std::string& sys_root, const std::string& device,
                      SerialDevice& out) {
  using detail::Join;
  const auto inside = [&](std::string_view p) { return detail::Inside(p, sys_root); };
  // Serial ports on kernels from 6.5 sit on serial-base port and controller levels: the driver
  // that matters is the one of the device above them.
  std::string_view hardware = device;
  for (int level = 0; level < 3 && LinkName(tree, Join(hardware, "subsystem")) == "serial-base";
       ++level) {
    if (!inside(detail::Parent(hardware))) break;
    hardware = detail::Parent(hardware);
  }
  out.hardware = std::string(hardware);
  out.driver = LinkName(tree, Join(hardware, "driver"));
  if (out.driver.empty()) out.driver = UeventValue(tree, Join(hardware, "uevent"), "DRIVER");
  out.subsystem = LinkName(tree, Join(hardware, "subsystem"));
  if (out.subsystem == "pnp") out.pnp_id = ReadAttribute(tree, Join(hardware, "id")).value_or("");
  out.pnp_id = out.pnp_id.substr(0, out.pnp_id.find('\n'));

  // The USB device: the level that carries idVendor, one to five levels up (the tty's `device`
  // is the interface for ACM, the usb-serial port below it for ttyUSB).
  std::string_view below = device;
  std::string_view level = device;
  for (int step = 0; step <= 5 && inside(level); ++step) {
    if (const auto vendor = ReadAttribute(tree, Join(level, "idVendor"))) {
      out.vendor_id = *vendor;
      out.product_id = ReadAttribute(tree, Join(level, "idProduct")).value_or("");
      out.revision = ReadAttribute(tree, Join(level, "bcdDevice")).value_or("");
      out.manufacturer = ReadAttribute(tree, Join(level, "manufacturer")).value_or("");
      out.product = ReadAttribute(tree, Join(level, "product")).value_or("");
      out.serial = ReadAttribute(tree, Join(level, "serial")).value_or("");
      out.usb_port = std::string(detail::FileName(level));
      if (step > 0)
        out.interface_number = ReadAttribute(tree, Join(below, "bInterfaceNumber")).value_or("");
      return;
    }
    below = level;
    level = detail::Parent(level);
  }
}

}  // namespace

std::vector<SerialDevice> PortMap::Devices() const {
  files::FileTree& tree = *files_;
  std::vector<SerialDevice> devices;
  using detail::Join;
  const std::string& dev = roots_.dev.native();
  const auto by_id = UdevLinks(tree, Join(dev, "serial/by-id"));
  const auto by_path = UdevLinks(tree, Join(dev, "serial/by-path"));
  const std::string classes = Join(roots_.sys.native(), "class/tty");
  const std::string sys_root =
      tree.Canonical(roots_.sys).value_or(detail::Normal(roots_.sys.native()));
  for (const std::string& name : tree.List(classes)) {
    const std::string entry = Join(classes, name);
    SerialDevice d;
    d.name = name;
    if (d.name.empty() || d.name.front() == '.') continue;
    auto device = tree.Canonical(Join(entry, "device"));
    // A Bluetooth port bound but not connected has no device behind it until it is opened.
    const bool rfcomm = Index(d.name, "rfcomm") >= 0;
    if (!device && rfcomm) device = tree.Canonical(entry);
    if (!device) continue;  // no device behind it: a virtual terminal, a pty master, ...
    const bool is_virtual = detail::NamesBelow(*device, sys_root, "virtual");
    if (is_virtual && !rfcomm) continue;

    // A name that would lead out of /dev, or hold a NUL (a path ends there, so the node opened
    // and linked would be another one), is not taken: the tty's own name is.
    std::string node_name = UeventValue(tree, Join(entry, "uevent"), "DEVNAME");
    if (node_name.empty() || node_name.front() == '/' ||
        node_name.find("..") != std::string::npos || node_name.find('\0') != std::string::npos)
      node_name = d.name;
    const std::string node_path = Join(dev, node_name);
    d.node = node_path;

    if (const int k = Index(d.name, "ttyS"); k >= 0) {
      // 8250 ports have a `type`: 0 is a phantom node with no UART behind it. A ttyS without
      // one comes from another driver and is numbered as any other device.
      const std::string type_file = Join(entry, "type");
      if (tree.LinkStatus(type_file) != files::Kind::kNone) {
        const auto type = ReadAttribute(tree, type_file);
        int value = 0;
        if (!type ||
            std::from_chars(type->data(), type->data() + type->size(), value).ec != std::errc())
          continue;  // unreadable: cannot tell, leave it out
        if (value == 0) continue;
        d.fixed_number = k + 1;
      }
    }
    d.present = detail::NodeExists(tree, node_path);
    if (is_virtual) {
      d.hardware = *device;
      d.subsystem = "bluetooth";
      d.driver = "rfcomm";
    } else {
      DescribeHardware(tree, sys_root, *device, d);
    }
    const Place node = PlaceOf(tree, node_path);
    for (const auto& [links, into] :
         {std::pair{&by_id, &d.by_id}, std::pair{&by_path, &d.by_path}}) {
      for (const auto& [link, target] : *links) {
        if (target.Same(node)) {
          *into = link;
          break;
        }
      }
    }
    devices.push_back(std::move(d));
  }
  std::sort(devices.begin(), devices.end(), [](const SerialDevice& a, const SerialDevice& b) {
    return NaturalLess(a.name, b.name);
  });
  // Ttys that name one device node (through their DEVNAME lines) are one port; the first in name
  // order stands for it. Otherwise the other one would take a new number at every survey, since
  // its link reads as the first one's.
  std::vector<SerialDevice> unique;
  std::vector<Place> nodes;
  for (SerialDevice& d : devices) {
    Place node = PlaceOf(tree, d.node.native());
    if (std::any_of(nodes.begin(), nodes.end(), [&](const Place& p) { return p.Same(node); })) {
      continue;
    }
    nodes.push_back(std::move(node));
    unique.push_back(std::move(d));
  }
  return unique;
}

bool PortMap::IsRealTtyS(int k) const {
  if (k < 0) return false;
  const auto type =
      ReadAttribute(*files_, roots_.sys / "class" / "tty" / ("ttyS" + std::to_string(k)) / "type");
  int value = 0;
  if (!type ||
      std::from_chars(type->data(), type->data() + type->size(), value).ec != std::errc() ||
      value == 0)
    return false;
  return detail::NodeExists(*files_, roots_.dev / ("ttyS" + std::to_string(k)));
}

}  // namespace veldoran::portmap
