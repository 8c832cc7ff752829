#include "platform/posix/device_nodes.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace veldoran::win::devnodes {

namespace {

constexpr std::size_t kMaxInstanceId = 199;  // MAX_DEVICE_ID_LEN without the NUL

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - ('a' - 'A'));
  }
  return text;
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return text;
}

// A part of an instance id: printable ASCII without "\" and ",", other bytes as "_".
std::string IdPart(std::string_view text) {
  std::string out;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    out += (byte > 0x20 && byte < 0x7F && c != '\\' && c != ',') ? c : '_';
  }
  return out.empty() ? "_" : out;
}

std::string Padded(std::string_view hex, std::size_t width) {
  std::string out = Upper(std::string(hex));
  if (out.size() < width) out.insert(0, width - out.size(), '0');
  return out;
}

std::string InstanceId(const portmap::SerialDevice& d) {
  if (d.usb()) {
    std::string id =
        "USB\\VID_" + Padded(IdPart(d.vendor_id), 4) + "&PID_" + Padded(IdPart(d.product_id), 4);
    if (!d.interface_number.empty() && d.interface_number != "00")
      id += "&MI_" + Padded(IdPart(d.interface_number), 2);
    // The serial number names the adapter; without one, its place on the bus does.
    return id + "\\" + IdPart(d.serial.empty() ? d.usb_port : d.serial);
  }
  const std::string bus = d.subsystem.empty() ? "ROOT" : Upper(IdPart(d.subsystem));
  const std::string kind = !d.pnp_id.empty()   ? IdPart(d.pnp_id)
                           : !d.driver.empty() ? Upper(IdPart(d.driver))
                                               : "PORTS";
  return bus + "\\" + kind + "\\" + Upper(IdPart(d.name));
}

std::string HardwareIds(const portmap::SerialDevice& d, const std::string& instance_id) {
  std::vector<std::string> ids;
  if (d.usb()) {
    std::string base =
        "USB\\VID_" + Padded(IdPart(d.vendor_id), 4) + "&PID_" + Padded(IdPart(d.product_id), 4);
    if (!d.revision.empty()) ids.push_back(base + "&REV_" + Padded(IdPart(d.revision), 4));
    ids.push_back(base);
  } else {
    ids.push_back(instance_id.substr(0, instance_id.rfind('\\')));
  }
  std::string multi;
  for (const auto& id : ids) multi += id + '\0';
  return multi + '\0';
}

std::string Hashed(const std::string& instance_id) {
  std::string out = instance_id;
  std::replace(out.begin(), out.end(), '\\', '#');
  return out + "#" + GuidText(kComPortInterface);
}

}  // namespace

std::string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

std::string HardwareKey(const DeviceNode& node) {
  return std::string(kEnumKey) + "\\" + node.instance_id + "\\Device Parameters";
}

std::vector<DeviceNode> Nodes(const portmap::Survey& survey) {
  struct Draft {
    int number;  // 0: none
    DeviceNode node;
  };
  std::vector<Draft> drafts;
  for (std::size_t i = 0; i < survey.devices.size(); ++i) {
    const portmap::SerialDevice& d = survey.devices[i];
    int number = 0;
    for (const portmap::Entry& e : survey.entries) {
      if (e.source == static_cast<int>(i)) {
        number = e.number;
        break;
      }
    }
    DeviceNode node;
    node.instance_id = InstanceId(d);
    node.description = d.product.empty() ? d.driver : d.product;
    node.manufacturer = d.manufacturer;
    node.service = d.driver;
    node.device_object = d.node.string();
    node.hardware_ids = HardwareIds(d, node.instance_id);
    node.present = d.present;
    drafts.push_back(Draft{number, std::move(node)});
  }
  for (const portmap::Entry& e : survey.entries) {
    if (e.source >= 0) continue;
    DeviceNode node;
    char id[32];
    std::snprintf(id, sizeof id, "ROOT\\PORTS\\%04d", e.number);
    node.instance_id = id;
    node.device_object = e.device.string();
    node.hardware_ids = std::string("ROOT\\PORTS") + '\0' + '\0';
    node.present = e.present;
    drafts.push_back(Draft{e.number, std::move(node)});
  }
  std::stable_sort(drafts.begin(), drafts.end(), [](const Draft& a, const Draft& b) {
    return (a.number == 0 ? 1000000 : a.number) < (b.number == 0 ? 1000000 : b.number);
  });

  std::vector<DeviceNode> nodes;
  std::set<std::string> ids;
  for (Draft& draft : drafts) {
    DeviceNode& node = draft.node;
    const DWORD index = static_cast<DWORD>(nodes.size());
    // Two ports of one device with one interface (multi-port adapters) share an id otherwise.
    if (node.instance_id.size() > kMaxInstanceId) node.instance_id.resize(kMaxInstanceId);
    std::string unique = node.instance_id;
    for (int k = 1; !ids.insert(Upper(unique)).second; ++k) {
      unique = node.instance_id.substr(0, kMaxInstanceId - 8) + "&" + std::to_string(k);
    }
    node.instance_id = unique;
    char driver[64];
    std::snprintf(driver, sizeof driver, "%s\\%04u", GuidText(kPortsClass).c_str(),
                  static_cast<unsigned>(index));
    node.driver_key = driver;
    if (draft.number > 0) node.port_name = "COM" + std::to_string(draft.number);
    node.friendly_name = node.port_name.empty() || node.description.empty()
                             ? node.description
                             : node.description + " (" + node.port_name + ")";
    node.symbolic_name = "\\??\\" + Hashed(node.instance_id);
    node.interface_path = "\\\\?\\" + Lower(Hashed(node.instance_id));
    node.dev_inst = index + 1;
    nodes.push_back(std::move(node));
  }
  return nodes;
}

}  // namespace veldoran::win::devnodes
