// Path helpers the port map's two halves share (the sysfs scan and the links). Paths are plain
// strings here: a survey walks hundreds of them, and std::filesystem::path splits and allocates
// on every step. Each helper does what the std::filesystem function of the same job does.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/posix/file_tree.h"

namespace veldoran::portmap::detail {

// `folder`/`name`, with one slash between them.
std::string Join(std::string_view folder, std::string_view name);
// The folder part (parent_path): "/a/b" -> "/a", "/a" -> "/", "a" -> "".
std::string_view Parent(std::string_view path);
// The last name (filename): "/a/b" -> "b", "/a/" -> "".
std::string_view FileName(std::string_view path);
// The lexically normal form (lexically_normal): no "." parts, no "name/.." pairs, no ".." right
// after the root, one slash between names.
std::string Normal(std::string_view path);
// Whether `path` lies inside `folder`, both lexically normal.
bool Inside(std::string_view path, std::string_view folder);
// Whether a part of `path` below where it leaves `root` is named `name` (a part of
// path.lexically_relative(root)).
bool NamesBelow(std::string_view path, std::string_view root, std::string_view name);

// Where a path leads: the resolved file when it exists, and the lexical absolute form always.
struct Place {
  std::string lexical;
  std::optional<std::string> real;
  bool Same(const Place& other) const {
    if (real && other.real) return *real == *other.real;
    return lexical == other.lexical;
  }
};

inline Place PlaceOf(files::FileTree& tree, std::string_view path) {
  return Place{Normal(path), tree.Canonical(path)};
}

// A device node stands for a port when it exists and is not a folder.
inline bool NodeExists(files::FileTree& tree, files::PathRef node) {
  const files::Kind kind = tree.Status(node);
  return kind != files::Kind::kNone && kind != files::Kind::kDirectory;
}

// The target of a link, made absolute against the link's directory.
inline std::optional<std::string> LinkTarget(files::FileTree& tree, std::string_view link) {
  auto target = tree.ReadLink(link);
  if (!target || target->empty()) return std::nullopt;
  if (target->front() != '/') target = Join(Parent(link), *target);
  return target;
}

}  // namespace veldoran::portmap::detail
