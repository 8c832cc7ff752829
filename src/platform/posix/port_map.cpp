#include "platform/posix/port_map.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <map>
#include <set>
#include <system_error>

namespace veldoran::portmap {
namespace fs = std::filesystem;

PortMapRoots PortMapRoots::Default() { return PortMapRoots{"/sys", "/dev", Directory()}; }

fs::path Directory() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  fs::path base;
  if (xdg && *xdg == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = fs::path(home && *home ? home : "/tmp") / ".config";
  }
  return base / "veldoran" / "ports";
}

std::optional<int> ParsePortName(std::string_view name) {
  if (name.size() < 4) return std::nullopt;
  const auto up = [](char c) { return (c >= 'a' && c <= 'z') ? char(c - 32) : c; };
  if (up(name[0]) != 'C' || up(name[1]) != 'O' || up(name[2]) != 'M') return std::nullopt;
  const std::string_view digits = name.substr(3);
  if (digits.size() > 3 || digits.front() == '0') return std::nullopt;
  int n = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (ec != std::errc() || end != digits.data() + digits.size() || n < 1) return std::nullopt;
  return n;
}

namespace {

// A sysfs attribute: the first 4096 bytes of a regular file, without trailing blanks and line
// ends. Nothing when it cannot be read. Opened without blocking, so a stray FIFO cannot hang us.
std::optional<std::string> ReadAttribute(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  std::optional<std::string> text;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    char buffer[4096];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got >= 0) {
      text.emplace(buffer, static_cast<std::size_t>(got));
      while (!text->empty() && static_cast<unsigned char>(text->back()) <= ' ') text->pop_back();
    }
  }
  ::close(fd);
  return text;
}

// KEY=value from a uevent file.
std::string UeventValue(const fs::path& uevent, std::string_view key) {
  const auto text = ReadAttribute(uevent);
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
std::string LinkName(const fs::path& link) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(link, ec);
  return ec ? std::string() : target.filename().string();
}

// A device node stands for a port when it exists and is not a folder.
bool NodeExists(const fs::path& node) {
  std::error_code ec;
  const auto status = fs::status(node, ec);
  return !ec && fs::exists(status) && !fs::is_directory(status);
}

// The k of "ttyS<k>", or -1.
int TtySIndex(std::string_view name) {
  if (name.size() < 5 || name.size() > 8 || name.substr(0, 4) != "ttyS") return -1;
  int k = -1;
  const auto [end, ec] = std::from_chars(name.data() + 4, name.data() + name.size(), k);
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

// Where a path leads: the resolved file when it exists, and the lexical absolute form always.
struct Place {
  fs::path lexical;
  std::optional<fs::path> real;
  bool Same(const Place& other) const {
    if (real && other.real) return *real == *other.real;
    return lexical == other.lexical;
  }
};

Place PlaceOf(const fs::path& path) {
  Place place{path.lexically_normal(), std::nullopt};
  std::error_code ec;
  fs::path real = fs::canonical(path, ec);
  if (!ec) place.real = std::move(real);
  return place;
}

// The target of a link, made absolute against the link's directory.
std::optional<fs::path> LinkTarget(const fs::path& link) {
  std::error_code ec;
  if (!fs::is_symlink(fs::symlink_status(link, ec))) return std::nullopt;
  fs::path target = fs::read_symlink(link, ec);
  if (ec || target.empty()) return std::nullopt;
  if (target.is_relative()) target = link.parent_path() / target;
  return target;
}

// The links of /dev/serial/by-id, by name.
std::vector<std::pair<fs::path, Place>> ByIdLinks(const fs::path& dev) {
  std::vector<std::pair<fs::path, Place>> links;
  std::error_code ec;
  const fs::path folder = dev / "serial" / "by-id";
  for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    if (const auto target = LinkTarget(it->path()))
      links.emplace_back(it->path(), PlaceOf(*target));
  }
  std::sort(links.begin(), links.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  return links;
}

// Fills in what sysfs tells of the hardware behind a tty: driver, bus, and the USB device.
void DescribeHardware(const fs::path& sys, const fs::path& device, SerialDevice& out) {
  std::error_code ec;
  const fs::path sys_root = fs::weakly_canonical(sys, ec);
  const auto inside = [&](const fs::path& p) {
    const fs::path rel = p.lexically_relative(sys_root);
    return !rel.empty() && *rel.begin() != "..";
  };
  // Serial ports on kernels from 6.5 sit on serial-base port and controller levels: the driver
  // that matters is the one of the device above them.
  fs::path hardware = device;
  for (int level = 0; level < 3 && LinkName(hardware / "subsystem") == "serial-base"; ++level) {
    if (!inside(hardware.parent_path())) break;
    hardware = hardware.parent_path();
  }
  out.hardware = hardware;
  out.driver = LinkName(hardware / "driver");
  if (out.driver.empty()) out.driver = UeventValue(hardware / "uevent", "DRIVER");
  out.subsystem = LinkName(hardware / "subsystem");
  if (out.subsystem == "pnp") out.pnp_id = ReadAttribute(hardware / "id").value_or("");
  out.pnp_id = out.pnp_id.substr(0, out.pnp_id.find('\n'));

  // The USB device: the level that carries idVendor, one to five levels up (the tty's `device`
  // is the interface for ACM, the usb-serial port below it for ttyUSB).
  fs::path below = device;
  fs::path level = device;
  for (int step = 0; step <= 5 && inside(level); ++step) {
    if (const auto vendor = ReadAttribute(level / "idVendor")) {
      out.vendor_id = *vendor;
      out.product_id = ReadAttribute(level / "idProduct").value_or("");
      out.revision = ReadAttribute(level / "bcdDevice").value_or("");
      out.manufacturer = ReadAttribute(level / "manufacturer").value_or("");
      out.product = ReadAttribute(level / "product").value_or("");
      out.serial = ReadAttribute(level / "serial").value_or("");
      out.usb_port = level.filename().string();
      if (step > 0) out.interface_number = ReadAttribute(below / "bInterfaceNumber").value_or("");
      return;
    }
    below = level;
    level = level.parent_path();
  }
}

}  // namespace

PortMap::PortMap(PortMapRoots roots) : roots_(std::move(roots)) {}

fs::path PortMap::LinkPath(int number) const {
  return roots_.map / ("COM" + std::to_string(number));
}

std::vector<SerialDevice> PortMap::Devices() const {
  std::vector<SerialDevice> devices;
  const auto by_id = ByIdLinks(roots_.dev);
  std::error_code ec;
  const fs::path classes = roots_.sys / "class" / "tty";
  const fs::path sys_root = fs::weakly_canonical(roots_.sys, ec);
  for (auto it = fs::directory_iterator(classes, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const fs::path entry = it->path();
    SerialDevice d;
    d.name = entry.filename().string();
    if (d.name.empty() || d.name.front() == '.') continue;
    std::error_code e;
    const fs::path device = fs::canonical(entry / "device", e);
    if (e) continue;  // no device behind it: a virtual terminal, a pty master, ...
    bool is_virtual = false;
    for (const auto& part : device.lexically_relative(sys_root)) {
      is_virtual = is_virtual || part == "virtual";
    }
    if (is_virtual) continue;

    // A name that would lead out of /dev, or hold a NUL (a path ends there, so the node opened
    // and linked would be another one), is not taken: the tty's own name is.
    std::string node_name = UeventValue(entry / "uevent", "DEVNAME");
    if (node_name.empty() || node_name.front() == '/' ||
        node_name.find("..") != std::string::npos || node_name.find('\0') != std::string::npos)
      node_name = d.name;
    d.node = roots_.dev / node_name;

    if (const int k = TtySIndex(d.name); k >= 0) {
      // 8250 ports have a `type`: 0 is a phantom node with no UART behind it. A ttyS without
      // one comes from another driver and is numbered as any other device.
      const fs::path type_file = entry / "type";
      if (fs::exists(fs::symlink_status(type_file, e))) {
        const auto type = ReadAttribute(type_file);
        int value = 0;
        if (!type ||
            std::from_chars(type->data(), type->data() + type->size(), value).ec != std::errc())
          continue;  // unreadable: cannot tell, leave it out
        if (value == 0) continue;
        d.fixed_number = k + 1;
      }
    }
    d.present = NodeExists(d.node);
    DescribeHardware(roots_.sys, device, d);
    const Place node = PlaceOf(d.node);
    for (const auto& [link, target] : by_id) {
      if (target.Same(node)) {
        d.by_id = link;
        break;
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
    const Place node = PlaceOf(d.node);
    if (std::any_of(nodes.begin(), nodes.end(), [&](const Place& p) { return p.Same(node); })) {
      continue;
    }
    nodes.push_back(node);
    unique.push_back(std::move(d));
  }
  return unique;
}

namespace {

struct Link {
  fs::path target;
  bool present = false;
  int source = -1;
};

// The sysfs device a path leads to, or -1.
int DeviceAt(const fs::path& target, const std::vector<SerialDevice>& devices,
             const std::vector<Place>& places) {
  const Place place = PlaceOf(target);
  for (std::size_t i = 0; i < devices.size(); ++i) {
    if (place.Same(places[i]) ||
        (!devices[i].by_id.empty() && place.lexical == devices[i].by_id.lexically_normal()))
      return static_cast<int>(i);
  }
  return -1;
}

}  // namespace

Survey PortMap::Take() const {
  Survey survey;
  survey.devices = Devices();
  const auto& devices = survey.devices;
  std::vector<Place> places;
  for (const SerialDevice& d : devices) places.push_back(PlaceOf(d.node));

  // The links: only names COM<n> written exactly so.
  std::map<int, Link> links;
  std::set<int> taken;  // names in use by anything, links or not
  std::error_code ec;
  for (auto it = fs::directory_iterator(roots_.map, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const auto n = ParsePortName(name);
    if (!n || name != "COM" + std::to_string(*n)) continue;
    taken.insert(*n);
    const auto target = LinkTarget(it->path());
    if (!target) continue;
    links[*n] = Link{*target, NodeExists(*target), DeviceAt(*target, devices, places)};
  }
  std::vector<bool> mapped(devices.size(), false);
  std::set<int> fixed;
  for (const auto& [n, link] : links) {
    if (link.source >= 0) mapped[static_cast<std::size_t>(link.source)] = true;
  }
  for (const SerialDevice& d : devices) {
    if (d.fixed_number > 0) fixed.insert(d.fixed_number);
  }

  // Numbers for devices seen for the first time.
  std::map<int, int> for_this_run;  // number -> device, where no link could be made
  bool writable = true;
  bool made_folder = false;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    const SerialDevice& d = devices[i];
    if (d.fixed_number > 0 || mapped[i] || !d.present) continue;
    for (int n = kFirstAssigned; n <= kHighestAssigned; ++n) {
      if (fixed.count(n) || taken.count(n) || for_this_run.count(n)) continue;
      if (!writable) {
        for_this_run[n] = static_cast<int>(i);
        break;
      }
      const fs::path link = LinkPath(n);
      int error = ::symlink(d.LinkTarget().c_str(), link.c_str()) == 0 ? 0 : errno;
      if (error == ENOENT && !made_folder) {
        made_folder = true;
        std::error_code mkdir_ec;
        fs::create_directories(roots_.map, mkdir_ec);
        error = ::symlink(d.LinkTarget().c_str(), link.c_str()) == 0 ? 0 : errno;
      }
      if (error == 0) {
        taken.insert(n);
        links[n] = Link{d.LinkTarget(), true, static_cast<int>(i)};
        break;
      }
      if (error == EEXIST) {
        // Another program took the name just now: maybe for this very device.
        taken.insert(n);
        if (const auto target = LinkTarget(link)) {
          const int source = DeviceAt(*target, devices, places);
          links[n] = Link{*target, NodeExists(*target), source};
          if (source == static_cast<int>(i)) break;
        }
        continue;
      }
      // The folder cannot take links: the number holds for this run only.
      writable = false;
      for_this_run[n] = static_cast<int>(i);
      break;
    }
  }

  for (const auto& [n, link] : links) {
    if (link.source >= 0) mapped[static_cast<std::size_t>(link.source)] = true;
    survey.entries.push_back(Entry{n, link.target, link.present, true, link.source});
  }
  for (std::size_t i = 0; i < devices.size(); ++i) {
    const SerialDevice& d = devices[i];
    // A link of the same name, or a link to the port itself, wins over the fixed number.
    if (d.fixed_number == 0 || taken.count(d.fixed_number) || mapped[i]) continue;
    survey.entries.push_back(Entry{d.fixed_number, d.node, d.present, false, static_cast<int>(i)});
  }
  for (const auto& [n, source] : for_this_run) {
    const SerialDevice& d = devices[static_cast<std::size_t>(source)];
    survey.entries.push_back(Entry{n, d.LinkTarget(), d.present, false, source});
  }
  std::sort(survey.entries.begin(), survey.entries.end(),
            [](const Entry& a, const Entry& b) { return a.number < b.number; });
  return survey;
}

std::vector<Entry> PortMap::List() const { return Take().entries; }

std::optional<fs::path> PortMap::Resolve(std::string_view port_name) const {
  const auto n = ParsePortName(port_name);
  if (!n) return std::nullopt;
  if (auto target = LinkTarget(LinkPath(*n))) return target;
  for (Entry& entry : List()) {
    if (entry.number == *n) return std::move(entry.device);
  }
  return std::nullopt;
}

bool PortMap::IsRealTtyS(int k) const {
  if (k < 0) return false;
  const auto type =
      ReadAttribute(roots_.sys / "class" / "tty" / ("ttyS" + std::to_string(k)) / "type");
  int value = 0;
  if (!type ||
      std::from_chars(type->data(), type->data() + type->size(), value).ec != std::errc() ||
      value == 0)
    return false;
  return NodeExists(roots_.dev / ("ttyS" + std::to_string(k)));
}

bool PortMap::Register(int number, const fs::path& device) const {
  std::error_code ec;
  if (number < 1 || fs::exists(fs::symlink_status(LinkPath(number), ec))) {
    errno = EEXIST;
    return false;
  }
  fs::create_directories(roots_.map, ec);
  // symlink() fails when the name exists, so two programs cannot take the same number.
  return ::symlink(device.c_str(), LinkPath(number).c_str()) == 0;
}

std::optional<int> PortMap::RegisterLowestFree(const fs::path& device, int first) const {
  for (int n = std::max(first, 1); n <= kHighestAssigned; ++n) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(LinkPath(n), ec)) || IsRealTtyS(n - 1)) continue;
    if (Register(n, device)) return n;
    if (errno != EEXIST) return std::nullopt;
  }
  return std::nullopt;
}

void PortMap::Unregister(int number, const fs::path& device) const {
  const fs::path link = LinkPath(number);
  const auto target = LinkTarget(link);
  if (target && *target == device) {
    std::error_code ec;
    fs::remove(link, ec);
  }
}

std::optional<fs::path> Resolve(std::string_view port_name) { return PortMap().Resolve(port_name); }
bool IsRealTtyS(int k) { return PortMap().IsRealTtyS(k); }
std::vector<Entry> List() { return PortMap().List(); }
bool Register(int number, const fs::path& device) { return PortMap().Register(number, device); }
std::optional<int> RegisterLowestFree(const fs::path& device, int first) {
  return PortMap().RegisterLowestFree(device, first);
}
void Unregister(int number, const fs::path& device) { PortMap().Unregister(number, device); }

}  // namespace veldoran::portmap
