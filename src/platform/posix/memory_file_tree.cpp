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

}  // namespace

MemoryFileTree::MemoryFileTree() : root_(std::make_unique<Node>()) {}
MemoryFileTree::~MemoryFileTree() = default;

MemoryFileTree::Node* MemoryFileTree::Find(const std::string& path, bool follow, int& error,
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

MemoryFileTree::Place MemoryFileTree::PlaceOf(const fs::path& path) const {
  Place place;
  const std::string& text = path.native();
  std::size_t end = text.size();
  while (end > 1 && text[end - 1] == '/') --end;
  const std::size_t slash = text.rfind('/', end == 0 ? 0 : end - 1);
  const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
  place.name = text.substr(start, end - start);
  if (place.name.empty() || place.name == "." || place.name == "..") {
    place.error = place.name.empty() ? ENOENT : EINVAL;
    return place;
  }
  const std::string parent = start == 0 ? std::string(".") : text.substr(0, start);
  Node* folder = Find(parent, true, place.error);
  if (folder && folder->kind != Kind::kDirectory) place.error = ENOTDIR;
  if (place.error == 0) place.folder = folder;
  return place;
}

void MemoryFileTree::Put(const fs::path& path, std::unique_ptr<Node> node) {
  CreateDirectories(path.parent_path());
  Place place = PlaceOf(path);
  if (place.folder) place.folder->children[place.name] = std::move(node);
}

void MemoryFileTree::MakeFile(const fs::path& path, std::string_view text) {
  auto node = std::make_unique<Node>();
  node->kind = Kind::kFile;
  node->text = text;
  Put(path, std::move(node));
}

void MemoryFileTree::MakeFolder(const fs::path& path) { CreateDirectories(path); }

void MemoryFileTree::MakeLink(const fs::path& target, const fs::path& link) {
  auto node = std::make_unique<Node>();
  node->kind = Kind::kSymlink;
  node->text = target.native();
  Put(link, std::move(node));
}

void MemoryFileTree::MakeOther(const fs::path& path) {
  auto node = std::make_unique<Node>();
  node->kind = Kind::kOther;
  Put(path, std::move(node));
}

void MemoryFileTree::RemoveAll(const fs::path& path) {
  const Place place = PlaceOf(path);
  if (place.folder) place.folder->children.erase(place.name);
}

void MemoryFileTree::SetProcess(int pid, bool runs) {
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

Kind MemoryFileTree::Status(const fs::path& path) {
  int error = 0;
  const Node* node = Find(path.native(), true, error);
  return node ? node->kind : Kind::kNone;
}

Kind MemoryFileTree::LinkStatus(const fs::path& path) {
  int error = 0;
  const Node* node = Find(path.native(), false, error);
  return node ? node->kind : Kind::kNone;
}

std::optional<std::string> MemoryFileTree::Read(const fs::path& path, std::size_t limit) {
  int error = 0;
  const Node* node = Find(path.native(), true, error);
  if (!node || node->kind != Kind::kFile) return std::nullopt;
  return node->text.substr(0, limit);
}

std::optional<fs::path> MemoryFileTree::ReadLink(const fs::path& path) {
  int error = 0;
  const Node* node = Find(path.native(), false, error);
  if (!node || node->kind != Kind::kSymlink) return std::nullopt;
  return fs::path(node->text);
}

std::vector<std::string> MemoryFileTree::List(const fs::path& path) {
  std::vector<std::string> names;
  int error = 0;
  const Node* node = Find(path.native(), true, error);
  if (!node || node->kind != Kind::kDirectory) return names;
  names.reserve(node->children.size());
  for (const auto& [name, child] : node->children) names.push_back(name);
  return names;
}

std::optional<fs::path> MemoryFileTree::Canonical(const fs::path& path) {
  int error = 0;
  std::vector<std::string_view> names;
  if (!Find(path.native(), true, error, &names)) return std::nullopt;
  std::string out;
  for (const std::string_view name : names) {
    out += '/';
    out += name;
  }
  return fs::path(out.empty() ? std::string("/") : out);
}

int MemoryFileTree::Symlink(const fs::path& target, const fs::path& link) {
  if (target.empty()) return ENOENT;
  const Place place = PlaceOf(link);
  if (!place.folder) return place.error;
  if (place.folder->children.count(place.name)) return EEXIST;
  auto node = std::make_unique<Node>();
  node->kind = Kind::kSymlink;
  node->text = target.native();
  place.folder->children.emplace(place.name, std::move(node));
  return 0;
}

int MemoryFileTree::Rename(const fs::path& from, const fs::path& to) {
  const Place source = PlaceOf(from);
  if (!source.folder) return source.error;
  const Place dest = PlaceOf(to);
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
    Find(from.native(), false, error, &a);
    Find(to.parent_path().native().empty() ? "." : to.parent_path().native(), true, error, &b);
    if (b.size() >= a.size() && std::equal(a.begin(), a.end(), b.begin())) return EINVAL;
  }
  std::unique_ptr<Node> node = std::move(it->second);
  source.folder->children.erase(it);
  dest.folder->children[dest.name] = std::move(node);
  return 0;
}

int MemoryFileTree::Remove(const fs::path& path) {
  const Place place = PlaceOf(path);
  if (!place.folder) return place.error;
  const auto it = place.folder->children.find(place.name);
  if (it == place.folder->children.end()) return ENOENT;
  if (it->second->kind == Kind::kDirectory) return EISDIR;
  place.folder->children.erase(it);
  return 0;
}

int MemoryFileTree::CreateDirectories(const fs::path& path) {
  std::string prefix;
  std::vector<std::string_view> parts;
  PushParts(path.native(), parts);
  if (!path.native().empty() && path.native().front() == '/') prefix = "/";
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
    if (!prefix.empty() && prefix.back() != '/') prefix += '/';
    prefix += *it;
    int error = 0;
    const Node* node = Find(prefix, true, error);
    if (node) {
      if (node->kind != Kind::kDirectory) return ENOTDIR;
      continue;
    }
    if (error != ENOENT) return error;
    const Place place = PlaceOf(prefix);
    if (!place.folder) return place.error;
    // A dangling link where the folder should be.
    if (place.folder->children.count(place.name)) return EEXIST;
    place.folder->children.emplace(place.name, std::make_unique<Node>());
  }
  return 0;
}

int MemoryFileTree::WriteFile(const fs::path& path, std::string_view text) {
  const Place place = PlaceOf(path);
  if (!place.folder) return place.error;
  auto& slot = place.folder->children[place.name];
  if (slot && slot->kind == Kind::kDirectory) return EISDIR;
  auto node = std::make_unique<Node>();
  node->kind = Kind::kFile;
  node->text = text;
  slot = std::move(node);
  return 0;
}

bool MemoryFileTree::ProcessRuns(int pid) { return processes_.count(pid) > 0; }

}  // namespace veldoran::files
