// Path helpers the port map's two halves share (the sysfs scan and the links).
#pragma once

#include <filesystem>
#include <optional>

#include "platform/posix/file_tree.h"

namespace veldoran::portmap::detail {

// Where a path leads: the resolved file when it exists, and the lexical absolute form always.
struct Place {
  std::filesystem::path lexical;
  std::optional<std::filesystem::path> real;
  bool Same(const Place& other) const {
    if (real && other.real) return *real == *other.real;
    return lexical == other.lexical;
  }
};

inline Place PlaceOf(files::FileTree& tree, const std::filesystem::path& path) {
  return Place{path.lexically_normal(), tree.Canonical(path)};
}

// A device node stands for a port when it exists and is not a folder.
inline bool NodeExists(files::FileTree& tree, const std::filesystem::path& node) {
  const files::Kind kind = tree.Status(node);
  return kind != files::Kind::kNone && kind != files::Kind::kDirectory;
}

// The target of a link, made absolute against the link's directory.
inline std::optional<std::filesystem::path> LinkTarget(files::FileTree& tree,
                                                       const std::filesystem::path& link) {
  auto target = tree.ReadLink(link);
  if (!target || target->empty()) return std::nullopt;
  if (target->is_relative()) target = link.parent_path() / *target;
  return target;
}

// Whether `path` (lexically normal) lies inside `folder`.
inline bool Inside(const std::filesystem::path& path, const std::filesystem::path& folder) {
  const std::filesystem::path rel = path.lexically_relative(folder);
  return !rel.empty() && *rel.begin() != ".." && rel != ".";
}

}  // namespace veldoran::portmap::detail
