#include "platform/posix/port_map.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <map>
#include <set>

#include "platform/posix/port_map_paths.h"

namespace veldoran::portmap {
namespace fs = std::filesystem;
using detail::Place;
using detail::PlaceOf;

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

struct Link {
  std::string target;
  bool present = false;
  int source = -1;
};

// What a link of the map leads to: one of the survey's devices, by udev's names or its node.
class Matcher {
 public:
  Matcher(files::FileTree& tree, const PortMapRoots& roots,
          const std::vector<SerialDevice>& devices)
      : tree_(tree),
        devices_(devices),
        by_path_(detail::Normal(detail::Join(roots.dev.native(), "serial/by-path"))) {
    for (const SerialDevice& d : devices) {
      names_.push_back(Names{PlaceOf(tree, d.node.native()), Normal(d.by_id), Normal(d.by_path),
                             Normal(d.LinkTarget()), Normal(d.node)});
    }
  }

  Link LinkTo(const std::string& target) const {
    Link link{target, detail::NodeExists(tree_, target), -1};
    const Place place = PlaceOf(tree_, target);
    for (std::size_t i = 0; i < devices_.size(); ++i) {
      const SerialDevice& d = devices_[i];
      const Names& names = names_[i];
      if (!place.Same(names.node) && !Named(place.lexical, names.by_id) &&
          !Named(place.lexical, names.by_path))
        continue;
      // A socket's number is not for a device that follows its own by-id name from socket to
      // socket: that one is not present while such a device sits there.
      if (detail::Inside(place.lexical, by_path_) && !d.BySocket() && !d.by_id.empty()) {
        link.present = false;
        return link;
      }
      link.source = static_cast<int>(i);
      return link;
    }
    return link;
  }

  // Whether a link to `target`, which leads to device `i`, is to be moved to the device's own
  // name: a USB device's bare node (linked before udev had named it), or the by-id name of a
  // device without a serial number (which names only its model).
  bool Outdated(const std::string& target, int i) const {
    const SerialDevice& d = devices_[static_cast<std::size_t>(i)];
    const Names& names = names_[static_cast<std::size_t>(i)];
    const std::string have = detail::Normal(target);
    if (have == names.want || names.want == names.plain_node) return false;
    if (have == names.plain_node) return d.usb();
    return d.BySocket() && Named(have, names.by_id);
  }

 private:
  // A device's names, lexically normal (empty where it has none).
  struct Names {
    Place node;
    std::string by_id, by_path, want, plain_node;
  };
  static std::string Normal(const fs::path& path) { return detail::Normal(path.native()); }
  static bool Named(const std::string& lexical, const std::string& name) {
    return !name.empty() && lexical == name;
  }

  files::FileTree& tree_;
  const std::vector<SerialDevice>& devices_;
  std::vector<Names> names_;
  std::string by_path_;
};

// A side file: "<pid>\n<target>\n".
std::string OwnerText(int pid, const fs::path& target) {
  return std::to_string(pid) + "\n" + target.string() + "\n";
}

std::optional<std::pair<int, std::string>> ParseOwner(std::string_view text) {
  const std::size_t line = text.find('\n');
  if (line == std::string_view::npos || text.size() < line + 2 || text.back() != '\n')
    return std::nullopt;
  int pid = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + line, pid);
  if (ec != std::errc() || end != text.data() + line || pid <= 0) return std::nullopt;
  return std::pair{pid, std::string(text.substr(line + 1, text.size() - line - 2))};
}

}  // namespace

PortMap::PortMap(PortMapRoots roots)
    : roots_(std::move(roots)), files_(roots_.files ? roots_.files : files::RealFileTree()) {}

fs::path PortMap::LinkPath(int number) const {
  return roots_.map / ("COM" + std::to_string(number));
}

fs::path PortMap::OwnerPath(int number) const {
  return roots_.map / (".COM" + std::to_string(number) + ".owner");
}

bool PortMap::Relink(int number, const fs::path& target) const {
  // A new link under a temporary name, renamed over the old one: the name never goes missing.
  files::FileTree& tree = *files_;
  const fs::path temp =
      roots_.map / (".COM" + std::to_string(number) + ".new" + std::to_string(::getpid()));
  tree.Remove(temp);
  if (tree.Symlink(target, temp) != 0) return false;
  if (tree.Rename(temp, LinkPath(number)) == 0) return true;
  tree.Remove(temp);
  return false;
}

void PortMap::RemoveOrphans() const {
  files::FileTree& tree = *files_;
  constexpr std::string_view kSuffix = ".owner";
  for (const std::string& name : tree.List(roots_.map)) {
    if (name.size() <= kSuffix.size() + 1 || name.front() != '.' ||
        name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0)
      continue;
    const std::string port = name.substr(1, name.size() - kSuffix.size() - 1);
    const auto n = ParsePortName(port);
    if (!n || port != "COM" + std::to_string(*n)) continue;
    const auto text = tree.Read(roots_.map / name, 4096);
    const auto owner = text ? ParseOwner(*text) : std::nullopt;
    // Unreadable or not of this form: someone else's file, left alone.
    if (!owner || tree.ProcessRuns(owner->first)) continue;
    // Only while it still points where its owner left it: a link pointed elsewhere since is
    // someone else's now.
    if (tree.ReadLink(LinkPath(*n)) == owner->second) tree.Remove(LinkPath(*n));
    tree.Remove(roots_.map / name);
  }
}

Survey PortMap::Take() const {
  files::FileTree& tree = *files_;
  RemoveOrphans();
  Survey survey;
  survey.devices = Devices();
  const auto& devices = survey.devices;
  const Matcher match(tree, roots_, devices);

  // The links: only names COM<n> written exactly so.
  std::map<int, Link> links;
  std::set<int> taken;  // names in use by anything, links or not
  for (const std::string& name : tree.List(roots_.map)) {
    const auto n = ParsePortName(name);
    if (!n || name != "COM" + std::to_string(*n)) continue;
    taken.insert(*n);
    if (const auto target = detail::LinkTarget(tree, detail::Join(roots_.map.native(), name)))
      links[*n] = match.LinkTo(*target);
  }

  // Links made while a better name was missing are moved to it, keeping their number, unless
  // another link of the device names it already.
  for (auto& [n, link] : links) {
    const int source = link.source;
    if (source < 0 || !match.Outdated(link.target, source)) continue;
    const fs::path& want = devices[static_cast<std::size_t>(source)].LinkTarget();
    const std::string plain_want = detail::Normal(want.native());
    const bool named = std::any_of(links.begin(), links.end(), [&](const auto& other) {
      return other.second.source == source && detail::Normal(other.second.target) == plain_want;
    });
    if (!named && Relink(n, want)) link.target = want.native();
  }

  std::vector<bool> mapped(devices.size(), false);
  std::set<int> fixed;
  for (const auto& [n, link] : links) {
    if (link.source >= 0) mapped[static_cast<std::size_t>(link.source)] = true;
  }
  for (const SerialDevice& d : devices) {
    if (d.fixed_number > 0) fixed.insert(d.fixed_number);
  }

  // Numbers for devices seen for the first time, and for real ttyS ports whose name a link
  // holds (they would vanish from the list otherwise).
  std::map<int, int> for_this_run;  // number -> device, where no link could be made
  bool writable = true;
  bool made_folder = false;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    const SerialDevice& d = devices[i];
    if (mapped[i] || !d.present) continue;
    if (d.fixed_number > 0 && !taken.count(d.fixed_number)) continue;
    for (int n = kFirstAssigned; n <= kHighestAssigned; ++n) {
      if (fixed.count(n) || taken.count(n) || for_this_run.count(n)) continue;
      if (!writable) {
        for_this_run[n] = static_cast<int>(i);
        break;
      }
      const fs::path link = LinkPath(n);
      int error = tree.Symlink(d.LinkTarget(), link);
      if (error == ENOENT && !made_folder) {
        made_folder = true;
        tree.CreateDirectories(roots_.map);
        error = tree.Symlink(d.LinkTarget(), link);
      }
      if (error == 0) {
        taken.insert(n);
        links[n] = Link{d.LinkTarget().native(), true, static_cast<int>(i)};
        break;
      }
      if (error == EEXIST) {
        // Another program took the name just now: maybe for this very device.
        taken.insert(n);
        if (const auto target = detail::LinkTarget(tree, link.native())) {
          links[n] = match.LinkTo(*target);
          if (links[n].source == static_cast<int>(i)) break;
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
  RemoveOrphans();  // a pseudo-terminal a gone program left may be another's now
  if (auto target = detail::LinkTarget(*files_, LinkPath(*n).native()))
    return fs::path(std::move(*target));
  for (Entry& entry : List()) {
    if (entry.number == *n) return std::move(entry.device);
  }
  return std::nullopt;
}

bool PortMap::Register(int number, const fs::path& device, int owner) const {
  files::FileTree& tree = *files_;
  if (number < 1 || tree.LinkStatus(LinkPath(number)) != files::Kind::kNone) {
    errno = EEXIST;
    return false;
  }
  tree.CreateDirectories(roots_.map);
  // The side file first, so that the link is never without it while its owner runs.
  const std::string side = OwnerText(owner, device);
  if (owner > 0) tree.WriteFile(OwnerPath(number), side);
  // symlink() fails when the name exists, so two programs cannot take the same number.
  const int error = tree.Symlink(device, LinkPath(number));
  if (error != 0) {
    if (owner > 0 && tree.Read(OwnerPath(number), 4096) == side) tree.Remove(OwnerPath(number));
    errno = error;
    return false;
  }
  // Again, in case a program that lost the name to us had written its own meanwhile.
  if (owner > 0) tree.WriteFile(OwnerPath(number), side);
  return true;
}

std::optional<int> PortMap::RegisterLowestFree(const fs::path& device, int first, int owner) const {
  for (int n = std::max(first, 1); n <= kHighestAssigned; ++n) {
    if (files_->LinkStatus(LinkPath(n)) != files::Kind::kNone || IsRealTtyS(n - 1)) continue;
    if (Register(n, device, owner)) return n;
    if (errno != EEXIST) return std::nullopt;
  }
  return std::nullopt;
}

bool PortMap::Repoint(int number, const fs::path& from, const fs::path& to, int owner) const {
  const auto current = detail::LinkTarget(*files_, LinkPath(number).native());
  if (!current || *current != from.native()) return false;  // someone else's link now
  if (owner > 0) files_->WriteFile(OwnerPath(number), OwnerText(owner, to));
  return Relink(number, to);
}

void PortMap::Unregister(int number, const fs::path& device) const {
  files::FileTree& tree = *files_;
  const auto target = detail::LinkTarget(tree, LinkPath(number).native());
  if (target && *target == device.native()) tree.Remove(LinkPath(number));
  const auto text = tree.Read(OwnerPath(number), 4096);
  if (const auto owner = text ? ParseOwner(*text) : std::nullopt;
      owner && owner->second == device.native())
    tree.Remove(OwnerPath(number));
}

std::optional<fs::path> Resolve(std::string_view port_name) { return PortMap().Resolve(port_name); }
bool IsRealTtyS(int k) { return PortMap().IsRealTtyS(k); }
std::vector<Entry> List() { return PortMap().List(); }
bool Register(int number, const fs::path& device, int owner) {
  return PortMap().Register(number, device, owner);
}
std::optional<int> RegisterLowestFree(const fs::path& device, int first, int owner) {
  return PortMap().RegisterLowestFree(device, first, owner);
}
bool Repoint(int number, const fs::path& from, const fs::path& to, int owner) {
  return PortMap().Repoint(number, from, to, owner);
}
void Unregister(int number, const fs::path& device) { PortMap().Unregister(number, device); }

}  // namespace veldoran::portmap
