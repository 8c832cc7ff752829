// A fresh folder for a test, removed afterwards, and a scope that works in it: the window reads
// and writes Config.ini in the working directory.
#pragma once

#include <filesystem>
#include <string>

namespace veldoran::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

class ScopedWorkingDir {
 public:
  explicit ScopedWorkingDir(const std::filesystem::path& dir);
  ~ScopedWorkingDir();
  ScopedWorkingDir(const ScopedWorkingDir&) = delete;
  ScopedWorkingDir& operator=(const ScopedWorkingDir&) = delete;

 private:
  std::filesystem::path previous_;
};

// A full disk for this process: files it writes cannot grow past `bytes` (RLIMIT_FSIZE), and a
// write beyond fails with EFBIG instead of raising SIGXFSZ. The previous limit comes back at
// the end. Affects every thread of the process: use it where nothing else writes files.
class ScopedFileSizeLimit {
 public:
  explicit ScopedFileSizeLimit(unsigned long bytes);
  ~ScopedFileSizeLimit();
  ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
  ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;

 private:
  unsigned long previous_;
  void (*previous_handler_)(int);
};

std::string ReadFileBytes(const std::filesystem::path& file);
void WriteFileBytes(const std::filesystem::path& file, const std::string& bytes);

}  // namespace veldoran::testing
