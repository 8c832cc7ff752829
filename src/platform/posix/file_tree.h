// The few file-system operations the port map needs to read sysfs and /dev and to keep its
// links, behind one interface: the program uses the real file system, tests and the fuzz target
// an in-memory tree (platform/posix/memory_file_tree.h) that behaves alike.
//
// Paths are POSIX paths; a relative one is taken from the root. Every call reports failure by
// its result and never throws. Paths go in as views and come out as plain strings: the port map
// walks many paths per survey, and std::filesystem::path splits and allocates on every step.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veldoran::files {

enum class Kind {
  kNone,       // nothing there, or a link that leads nowhere or loops
  kFile,       // a regular file
  kDirectory,  // a folder
  kSymlink,    // a symbolic link (only from LinkStatus)
  kOther,      // a device node, FIFO or socket
};

// A path argument: a string or a std::filesystem::path, looked at without a copy. It must not
// outlive what it views (it is for arguments only).
class PathRef {
 public:
  PathRef(std::string_view text) : text_(text) {}
  PathRef(const std::string& text) : text_(text) {}
  PathRef(const char* text) : text_(text) {}
  PathRef(const std::filesystem::path& path) : text_(path.native()) {}
  std::string_view View() const { return text_; }
  std::string String() const { return std::string(text_); }

 private:
  std::string_view text_;
};

class FileTree {
 public:
  virtual ~FileTree() = default;

  // What `path` leads to, following links.
  virtual Kind Status(PathRef path) = 0;
  // What `path` is itself: a link is kSymlink.
  virtual Kind LinkStatus(PathRef path) = 0;
  // Up to `limit` bytes of a regular file (links followed); nothing when it is not one or cannot
  // be read. Never blocks, not even on a FIFO.
  virtual std::optional<std::string> Read(PathRef path, std::size_t limit) = 0;
  // A link's target as it is written; nothing when `path` is not a link.
  virtual std::optional<std::string> ReadLink(PathRef path) = 0;
  // The names in a folder (links followed), in no particular order; none when it is not one.
  virtual std::vector<std::string> List(PathRef path) = 0;
  // The absolute path without links, "." or ".."; nothing when a part is missing or links loop.
  virtual std::optional<std::string> Canonical(PathRef path) = 0;

  // These return 0 or an errno value (EEXIST: the name is taken; ENOENT: no such folder).
  // A link named `link` to `target`; fails when the name exists, so two programs cannot both
  // take it.
  virtual int Symlink(PathRef target, PathRef link) = 0;
  // Renames a file or link, replacing a file or link of the new name in one step.
  virtual int Rename(PathRef from, PathRef to) = 0;
  // Removes a file or link (not a folder).
  virtual int Remove(PathRef path) = 0;
  // Creates a folder and the folders above it that are missing.
  virtual int CreateDirectories(PathRef path) = 0;
  // Writes a small file whole, replacing it (through a temporary file and a rename).
  virtual int WriteFile(PathRef path, std::string_view text) = 0;

  // Whether process `pid` runs now (links a program made are its own while it runs).
  virtual bool ProcessRuns(int pid) = 0;
};

// The file system of this computer.
std::shared_ptr<FileTree> RealFileTree();

}  // namespace veldoran::files
