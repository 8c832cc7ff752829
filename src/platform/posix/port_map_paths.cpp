#include "platform/posix/port_map_paths.h"

#include <vector>

namespace veldoran::portmap::detail {

namespace {

// The names of a path, without empty ones.
template <typename Visit>
void ForEachName(std::string_view path, Visit&& visit) {
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start && !visit(path.substr(start, end - start))) return;
    start = end + 1;
  }
}

}  // namespace

std::string Join(std::string_view folder, std::string_view name) {
  std::string out;
  out.reserve(folder.size() + 1 + name.size());
  out += folder;
  if (!out.empty() && out.back() != '/' && !name.empty()) out += '/';
  out += name;
  return out;
}

std::string_view Parent(std::string_view path) {
  std::size_t end = path.size();
  while (end > 0 && path[end - 1] != '/') --end;  // the last name
  if (end == 0) return {};
  while (end > 1 && path[end - 1] == '/') --end;  // the slashes before it, not the root's
  return path.substr(0, end);
}

std::string_view FileName(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string Normal(std::string_view path) {
  if (path.empty()) return {};
  const bool absolute = path.front() == '/';
  // Names are appended to `out` one by one; ".." takes the last one off again. `kept` counts
  // the names in `out`, `ups` the ".." at its start (a relative path's).
  std::string out;
  out.reserve(path.size());
  if (absolute) out += '/';
  std::size_t kept = 0, ups = 0;
  bool trailing = false;  // the path ends in a folder's slash
  ForEachName(path, [&](std::string_view name) {
    trailing = false;
    if (name == ".") {
      trailing = true;
      return true;
    }
    if (name == "..") {
      if (kept > ups) {
        const std::size_t slash = out.rfind('/', out.size() - 1);
        out.resize(slash == std::string::npos ? 0 : (slash == 0 && absolute ? 1 : slash));
        --kept;
        trailing = true;
        return true;
      }
      if (absolute) return true;  // nothing above the root
      ++ups;
    }
    if (!out.empty() && out.back() != '/') out += '/';
    out += name;
    ++kept;
    return true;
  });
  if (path.back() == '/') trailing = true;
  if (kept == 0) return absolute ? "/" : ".";
  if (trailing && kept > ups) out += '/';
  return out;
}

bool Inside(std::string_view path, std::string_view folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.remove_suffix(1);
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path.size() <= folder.size() || path.substr(0, folder.size()) != folder) return false;
  return folder == "/" || path[folder.size()] == '/';
}

bool NamesBelow(std::string_view path, std::string_view root, std::string_view name) {
  std::vector<std::string_view> root_names;
  ForEachName(root, [&](std::string_view part) {
    root_names.push_back(part);
    return true;
  });
  std::size_t i = 0;
  bool below = false;  // past the names path shares with root
  bool found = false;
  ForEachName(path, [&](std::string_view part) {
    if (!below && i < root_names.size() && root_names[i] == part) {
      ++i;
      return true;
    }
    below = true;
    found = part == name;
    return !found;
  });
  return found;
}

}  // namespace veldoran::portmap::detail
