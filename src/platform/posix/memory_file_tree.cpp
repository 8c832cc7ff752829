#include "platform/posix/memory_file_tree.h"

#include <algorithm>
#include <cerrno>
#include <functional>

namespace veldoran::files {
namespace fs = std::filesystem;

struct MemoryFileTree::Node {
  Kind kind = Kind::kDirectory;
  std::string text;  // a file's bytes or a link's target
  std::map<std::string, std::unique_ptr<Node>, std::less<>> children;
};

namespace {

constexpr int kMaxLinks = 40;  // as Linux follows before ELOOP

// Pushes the parts of `path` onto a stack of parts still to walk, the first one on top.
void PushParts(std::string_view path, std::vector<std::string_view>& pending) {
  std::size_t end = path.size();
  while (end > 0) {
    const std::size_t slash = path.rfind('/', end - 1);
    const std::size_t start = slash == std::string_view::npos ? 0 : slash + 1;
    if (end > start) pending.push_back(path.substr(start, end - start));
    if (slash == std::string_view::npos) break;
    end = slash;
  }
}

// The folder part of a path, as std::filesystem::path::parent_path gives it.
std::string_view ParentOf(std::string_view path) {
  std::size_t end = path.size();
  while (end > 0 && path[end - 1] != '/') --end;  // the last name
  if (end == 0) return {};
  while (end > 1 && path[end - 1] == '/') --end;  // the slashes before it, not the root
  return path.substr(0, end);
}

}  // namespace

MemoryFileTree::MemoryFileTree() : root_(std::make_unique<Node>()) {}
MemoryFileTree::~MemoryFileTree() = default;

MemoryFileTree::Node* MemoryFileTree::Find(std::string_view path, bool follow, int& error,
                                           std::vector<std::string_view>* names) const {
  error = 0;
  if (path.empty()) {
    error = ENOENT;
    return nullptr;
  }
  // Scratch space kept between calls: a lookup allocates nothing once it has grown.
  std::vector<std::string_view>& pending = pending_;
  std::vector<Node*>& chain = chain_;
  std::vector<std::string_view>& where = where_;
  pending.clear();
  chain.assign(1, root_.get());
  where.clear();
  PushParts(path, pending);
  int links = 0;
  while (!pending.empty()) {
    const std::string_view part = pending.back();
    pending.pop_back();
    if (part == ".") continue;
    if (part == "..") {
      if (chain.size() > 1) {
        chain.pop_back();
        where.pop_back();
      }
      continue;
    }
    Node* folder = chain.back();
    if (folder->kind != Kind::kDirectory) {
      error = ENOTDIR;
      return nullptr;
    }
    const auto it = folder->children.find(part);
    if (it == folder->children.end()) {
      error = ENOENT;
      return nullptr;
    }
    Node* child = it->second.get();
    if (child->kind == Kind::kSymlink && (follow || !pending.empty())) {
      if (++links > kMaxLinks) {
        error = ELOOP;
        return nullptr;
      }
      if (!child->text.empty() && child->text.front() == '/') {
        chain.resize(1);
        where.clear();
      }
      PushParts(child->text, pending);
      continue;
    }
    chain.push_back(child);
    where.push_back(part);
  }
  if (names) *names = where;
  return chain.back();
}

MemoryFileTree::Place MemoryFileTree::PlaceOf(std::string_view text) const {
  Place place;
  std::size_t end = text.size();
  while (end > 1 && text[end - 1] == '/') --end;
  const std::size_t slash = text.rfind('/', end == 0 ? 0 : end - 1);
  const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
  place.name = std::string(text.substr(start, end - start));
  if (place.name.empty() || place.name == "." || place.name == "..") {
    place.error = place.name.empty() ? ENOENT : EINVAL;
    return place;
  }
  const std::string_view parent = start == 0 ? std::string_view(".") : text.substr(0, start);
  Node* folder = Find(parent, true, place.error);
  if (folder && folder->kind != Kind::kDirectory) place.error = ENOTDIR;
  if (place.error == 0) place.folder = folder;
  return place;
}

void MemoryFileTree::Put(std::string_view path, std::unique_ptr<Node> node) {
  CreateDirectories(ParentOf(path));
  Place place = PlaceOf(path);
  if (place.folder) place.folder->children[place.name] = std::move(node);
  ++changes_;
}

void MemoryFileTree::MakeFile(PathRef path, std::string_view text) {
  auto node = std::make_unique<Node>();
  node->kind = Kind::kFile;
  node->text = text;
  Put(path.View(), std::move(node));
}

void MemoryFileTree::MakeFolder(PathRef path) { CreateDirectories(path); }

void MemoryFileTree::MakeLink(PathRef target, PathRef link) {
  auto node = std::make_unique<Node>();
  node->kind = Kind::kSymlink;
  node->text = target.String();
  Put(link.View(), std::move(node));
}

void MemoryFileTree::MakeOther(PathRef path) {
  auto node = std::make_unique<Node>();
  node->kind = Kind::kOther;
  Put(path.View(), std::move(node));
}

void MemoryFileTree::RemoveAll(PathRef path) {
  const Place place = PlaceOf(path.View());
  if (place.folder) place.folder->children.erase(place.name);
  ++changes_;
}

void MemoryFileTree::SetProcess(int pid, bool runs) {
  ++changes_;
  if (runs) {
    processes_.insert(pid);
  } else {
    processes_.erase(pid);
  }
}

std::string MemoryFileTree::Dump() const {
  std::string out;
  const std::function<void(const Node&, const std::string&)> walk = [&](const Node& folder,
                                                                        const std::string& at) {
    for (const auto& [name, child] : folder.children) {
      const std::string path = at + "/" + name;
      switch (child->kind) {
        case Kind::kDirectory:
          out += path + "/\n";
          walk(*child, path);
          break;
        case Kind::kSymlink:
          out += path + " -> " + child->text + "\n";
          break;
        default:
          out += path + (child->kind == Kind::kOther ? " (node)\n" : "\n");
      }
    }
  };
  walk(*root_, "");
  return out;
}

Kind MemoryFileTree::Status(PathRef path) {
  int error = 0;
  const Node* node = Find(path.View(), true, error);
  return node ? node->kind : Kind::kNone;
}

Kind MemoryFileTree::LinkStatus(PathRef path) {
  int error = 0;
  const Node* node = Find(path.View(), false, error);
  return node ? node->kind : Kind::kNone;
}

std::optional<std::string> MemoryFileTree::Read(PathRef path, std::size_t limit) {
  int error = 0;
  const Node* node = Find(path.View(), true, error);
  if (!node || node->kind != Kind::kFile) return std::nullopt;
  return node->text.substr(0, limit);
}

std::optional<std::string> MemoryFileTree::ReadLink(PathRef path) {
  int error = 0;
  const Node* node = Find(path.View(), false, error);
  if (!node || node->kind != Kind::kSymlink) return std::nullopt;
  return node->text;
}

std::vector<std::string> MemoryFileTree::List(PathRef path) {
  std::vector<std::string> names;
  int error = 0;
  const Node* node = Find(path.View(), true, error);
  if (!node || node->kind != Kind::kDirectory) return names;
  names.reserve(node->children.size());
  for (const auto& [name, child] : node->children) names.push_back(name);
  return names;
}

std::optional<std::string> MemoryFileTree::Canonical(PathRef path) {
  int error = 0;
  std::vector<std::string_view> names;
  if (!Find(path.View(), true, error, &names)) return std::nullopt;
  std::string out;
  for (const std::string_view name : names) {
    out += '/';
    out += name;
  }
  if (out.empty()) out = "/";
  return out;
}

int MemoryFileTree::Symlink(PathRef target, PathRef link) {
  if (target.View().empty()) return ENOENT;
  const Place place = PlaceOf(link.View());
  if (!place.folder) return place.error;
  if (place.folder->children.count(place.name)) return EEXIST;
  auto node = std::make_unique<Node>();
  node->kind = Kind::kSymlink;
  node->text = target.String();
  place.folder->children.emplace(place.name, std::move(node));
  ++changes_;
  return 0;
}

int MemoryFileTree::Rename(PathRef from, PathRef to) {
  const Place source = PlaceOf(from.View());
  if (!source.folder) return source.error;
  const Place dest = PlaceOf(to.View());
  if (!dest.folder) return dest.error;
  const auto it = source.folder->children.find(source.name);
  if (it == source.folder->children.end()) return ENOENT;
  if (source.folder == dest.folder && source.name == dest.name) return 0;
  const bool moving_folder = it->second->kind == Kind::kDirectory;
  if (const auto old = dest.folder->children.find(dest.name); old != dest.folder->children.end()) {
    const bool over_folder = old->second->kind == Kind::kDirectory;
    if (over_folder && !moving_folder) return EISDIR;
    if (!over_folder && moving_folder) return ENOTDIR;
    if (over_folder && !old->second->children.empty()) return ENOTEMPTY;
  }
  if (moving_folder) {
    // Not into itself: the destination folder must not lie inside the one moved.
    int error = 0;
    std::vector<std::string_view> a, b;
    Find(from.View(), false, error, &a);
    const std::string_view into = ParentOf(to.View());
    Find(into.empty() ? "." : into, true, error, &b);
    if (b.size() >= a.size() && std::equal(a.begin(), a.end(), b.begin())) return EINVAL;
  }
  std::unique_ptr<Node> node = std::move(it->second);
  source.folder->children.erase(it);
  dest.folder->children[dest.name] = std::move(node);
  ++changes_;
  return 0;
}

int MemoryFileTree::Remove(PathRef path) {
  const Place place = PlaceOf(path.View());
  if (!place.folder) return place.error;
  const auto it = place.folder->children.find(place.name);
  if (it == place.folder->children.end()) return ENOENT;
  if (it->second->kind == Kind::kDirectory) return EISDIR;
  place.folder->children.erase(it);
  ++changes_;
  return 0;
}

int MemoryFileTree::CreateDirectories(PathRef path) {
  const std::string_view text = path.View();
  std::vector<std::string_view> parts;
  PushParts(text, parts);
  std::reverse(parts.begin(), parts.end());
  const bool plain = std::none_of(parts.begin(), parts.end(),
                                  [](std::string_view p) { return p == "." || p == ".."; });
  const std::string prefix = !text.empty() && text.front() == '/' ? "/" : "";
  const auto joined = [&](std::size_t count) {
    std::string out = prefix;
    for (std::size_t i = 0; i < count; ++i) {
      if (!out.empty() && out.back() != '/') out += '/';
      out += parts[i];
    }
    return out;
  };
  // The deepest folder that is there already (links on the way followed), then the missing ones
  // below it, each made in the one above. With "." or "..", each level is looked up from the
  // root instead.
  std::size_t have = parts.size();
  Node* folder = nullptr;
  for (; plain && have > 0; --have) {
    int error = 0;
    folder = Find(joined(have), true, error);
    if (folder) break;
    if (error != ENOENT) return error;
  }
  if (plain) {
    if (!folder) folder = root_.get();
    if (folder->kind != Kind::kDirectory) return ENOTDIR;
    for (std::size_t i = have; i < parts.size(); ++i) {
      // A dangling link where the folder should be.
      if (folder->children.count(parts[i])) return EEXIST;
      ++changes_;
      folder = folder->children.emplace(std::string(parts[i]), std::make_unique<Node>())
                   .first->second.get();
    }
    return 0;
  }
  for (std::size_t count = 1; count <= parts.size(); ++count) {
    const std::string at = joined(count);
    int error = 0;
    const Node* node = Find(at, true, error);
    if (node) {
      if (node->kind != Kind::kDirectory) return ENOTDIR;
      continue;
    }
    if (error != ENOENT) return error;
    const Place place = PlaceOf(at);
    if (!place.folder) return place.error;
    if (place.folder->children.count(place.name)) return EEXIST;
    place.folder->children.emplace(place.name, std::make_unique<Node>());
    ++changes_;
  }
  return 0;
}

int MemoryFileTree::WriteFile(PathRef path, std::string_view text) {
  const Place place = PlaceOf(path.View());
  if (!place.folder) return place.error;
  auto& slot = place.folder->children[place.name];
  if (slot && slot->kind == Kind::kDirectory) return EISDIR;
  auto node = std::make_unique<Node>();
  node->kind = Kind::kFile;
  node->text = text;
  slot = std::move(node);
  ++changes_;
  return 0;
}

bool MemoryFileTree::ProcessRuns(int pid) { return processes_.count(pid) > 0; }

}  // namespace veldoran::files
