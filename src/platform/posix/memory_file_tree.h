// A file tree held in memory, for tests and the fuzz target: folders, regular files, symbolic
// links (relative or absolute, followed as the kernel follows them, with "..", up to 40 links
// before a loop is given up) and other nodes (device nodes, FIFOs), which are never read.
// One thread at a time.
#pragma once

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
  void MakeFile(const std::filesystem::path& path, std::string_view text = {});
  void MakeFolder(const std::filesystem::path& path);
  void MakeLink(const std::filesystem::path& target, const std::filesystem::path& link);
  void MakeOther(const std::filesystem::path& path);  // a device node or FIFO
  // Removes whatever is at `path`, a folder with all it holds.
  void RemoveAll(const std::filesystem::path& path);
  // Whether ProcessRuns(pid) says so (no process runs until told).
  void SetProcess(int pid, bool runs);
  // Every entry, one a line, "path", "path -> target", "path/" (for reading failures).
  std::string Dump() const;

  Kind Status(const std::filesystem::path& path) override;
  Kind LinkStatus(const std::filesystem::path& path) override;
  std::optional<std::string> Read(const std::filesystem::path& path, std::size_t limit) override;
  std::optional<std::filesystem::path> ReadLink(const std::filesystem::path& path) override;
  std::vector<std::string> List(const std::filesystem::path& path) override;
  std::optional<std::filesystem::path> Canonical(const std::filesystem::path& path) override;
  int Symlink(const std::filesystem::path& target, const std::filesystem::path& link) override;
  int Rename(const std::filesystem::path& from, const std::filesystem::path& to) override;
  int Remove(const std::filesystem::path& path) override;
  int CreateDirectories(const std::filesystem::path& path) override;
  int WriteFile(const std::filesystem::path& path, std::string_view text) override;
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
  Node* Find(const std::string& path, bool follow, int& error,
             std::vector<std::string_view>* names = nullptr) const;
  // The folder an entry of `path` sits in, and its name.
  Place PlaceOf(const std::filesystem::path& path) const;
  // Puts `node` at `path`, making folders above it, replacing what was there.
  void Put(const std::filesystem::path& path, std::unique_ptr<Node> node);

  std::unique_ptr<Node> root_;
  std::set<int> processes_;
  mutable std::vector<std::string_view> pending_, where_;
  mutable std::vector<Node*> chain_;
};

}  // namespace veldoran::files
