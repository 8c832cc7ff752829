// A file tree held in memory, for tests and the fuzz target: folders, regular files, symbolic
// links (relative or absolute, followed as the kernel follows them, with "..", up to 40 links
// before a loop is given up) and other nodes (device nodes, FIFOs), which are never read.
// One thread at a time.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>

#include "platform/posix/file_tree.h"

namespace veldoran::files {

class MemoryFileTree final : public FileTree {
 public:
  MemoryFileTree();
  ~MemoryFileTree() override;

  // Building the tree: folders above are made as needed, and what was at the path is replaced.
  void MakeFile(PathRef path, std::string_view text = {});
  void MakeFolder(PathRef path);
  void MakeLink(PathRef target, PathRef link);
  void MakeOther(PathRef path);  // a device node or FIFO
  // Removes whatever is at `path`, a folder with all it holds.
  void RemoveAll(PathRef path);
  // Whether ProcessRuns(pid) says so (no process runs until told).
  void SetProcess(int pid, bool runs);
  // How many times the tree (or a process's state) has changed: equal counts mean equal trees.
  std::uint64_t Changes() const { return changes_; }
  // Every entry, one a line, "path", "path -> target", "path/" (for reading failures).
  std::string Dump() const;

  Kind Status(PathRef path) override;
  Kind LinkStatus(PathRef path) override;
  std::optional<std::string> Read(PathRef path, std::size_t limit) override;
  std::optional<std::string> ReadLink(PathRef path) override;
  std::vector<std::string> List(PathRef path) override;
  std::optional<std::string> Canonical(PathRef path) override;
  int Symlink(PathRef target, PathRef link) override;
  int Rename(PathRef from, PathRef to) override;
  int Remove(PathRef path) override;
  int CreateDirectories(PathRef path) override;
  int WriteFile(PathRef path, std::string_view text) override;
  bool ProcessRuns(int pid) override;

 private:
  struct Node;
  struct Place {
    Node* folder = nullptr;  // the folder that holds (or would hold) the entry
    std::string name;        // its name there
    int error = 0;
  };
  // The node a path leads to (the last link followed when `follow`), or null with `error` set;
  // `names` gets the canonical path's parts.
  Node* Find(std::string_view path, bool follow, int& error,
             std::vector<std::string_view>* names = nullptr) const;
  // The folder an entry of `path` sits in, and its name.
  Place PlaceOf(std::string_view path) const;
  // Puts `node` at `path`, making folders above it, replacing what was there.
  void Put(std::string_view path, std::unique_ptr<Node> node);

  std::unique_ptr<Node> root_;
  std::set<int> processes_;
  std::uint64_t changes_ = 0;
  mutable std::vector<std::string_view> pending_, where_;
  mutable std::vector<Node*> chain_;
};

}  // namespace veldoran::files
