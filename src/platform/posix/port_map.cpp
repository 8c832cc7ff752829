#include "platform/posix/port_map.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <map>
#include <system_error>

namespace veldoran::portmap {
namespace fs = std::filesystem;

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

bool IsRealTtyS(int k) {
  std::ifstream type("/sys/class/tty/ttyS" + std::to_string(k) + "/type");
  int value = 0;
  if (!(type >> value) || value == 0) return false;
  struct stat st {};
  return ::stat(("/dev/ttyS" + std::to_string(k)).c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

namespace {

// The target of a link, made absolute against the link's directory.
std::optional<fs::path> LinkTarget(const fs::path& link) {
  std::error_code ec;
  if (!fs::is_symlink(fs::symlink_status(link, ec))) return std::nullopt;
  fs::path target = fs::read_symlink(link, ec);
  if (ec) return std::nullopt;
  if (target.is_relative()) target = link.parent_path() / target;
  return target;
}

bool Linked(int number) {
  std::error_code ec;
  const fs::path link = Directory() / ("COM" + std::to_string(number));
  return fs::exists(fs::symlink_status(link, ec));
}

}  // namespace

std::optional<fs::path> Resolve(std::string_view port_name) {
  const auto n = ParsePortName(port_name);
  if (!n) return std::nullopt;
  if (auto target = LinkTarget(Directory() / ("COM" + std::to_string(*n)))) return target;
  if (IsRealTtyS(*n - 1)) return fs::path("/dev/ttyS" + std::to_string(*n - 1));
  return std::nullopt;
}

std::vector<Entry> List() {
  std::map<int, Entry> entries;
  std::error_code ec;
  for (const auto& item : fs::directory_iterator(Directory(), ec)) {
    const auto n = ParsePortName(item.path().filename().string());
    if (!n || item.path().filename().string() != "COM" + std::to_string(*n)) continue;
    const auto target = LinkTarget(item.path());
    if (!target) continue;
    std::error_code exists_ec;
    entries[*n] = Entry{*n, *target, fs::exists(*target, exists_ec), true};
  }
  for (int k = 0; k < 256; ++k) {
    if (entries.count(k + 1) == 0 && IsRealTtyS(k)) {
      entries[k + 1] = Entry{k + 1, "/dev/ttyS" + std::to_string(k), true, false};
    }
  }
  std::vector<Entry> out;
  for (auto& [n, e] : entries) out.push_back(std::move(e));
  return out;
}

bool Register(int number, const fs::path& device) {
  if (number < 1 || Linked(number)) return false;
  std::error_code ec;
  fs::create_directories(Directory(), ec);
  const fs::path link = Directory() / ("COM" + std::to_string(number));
  // symlink() fails when the name exists, so two programs cannot take the same number.
  return ::symlink(device.c_str(), link.c_str()) == 0;
}

std::optional<int> RegisterLowestFree(const fs::path& device, int first) {
  for (int n = std::max(first, 1); n <= 255; ++n) {
    if (Linked(n) || IsRealTtyS(n - 1)) continue;
    if (Register(n, device)) return n;
    if (errno != EEXIST) return std::nullopt;
  }
  return std::nullopt;
}

void Unregister(int number, const fs::path& device) {
  const fs::path link = Directory() / ("COM" + std::to_string(number));
  const auto target = LinkTarget(link);
  if (target && *target == device) {
    std::error_code ec;
    fs::remove(link, ec);
  }
}

}  // namespace veldoran::portmap
