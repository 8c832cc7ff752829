#include "platform/posix/file_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace veldoran::files {
namespace fs = std::filesystem;

namespace {

Kind KindOf(mode_t mode) {
  if (S_ISREG(mode)) return Kind::kFile;
  if (S_ISDIR(mode)) return Kind::kDirectory;
  if (S_ISLNK(mode)) return Kind::kSymlink;
  return Kind::kOther;
}

class Real final : public FileTree {
 public:
  Kind Status(PathRef path_ref) override {
    const std::string path = path_ref.String();
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? KindOf(st.st_mode) : Kind::kNone;
  }

  Kind LinkStatus(PathRef path_ref) override {
    const std::string path = path_ref.String();
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? KindOf(st.st_mode) : Kind::kNone;
  }

  std::optional<std::string> Read(PathRef path_ref, std::size_t limit) override {
    const std::string path = path_ref.String();
    // Opened without blocking, so a stray FIFO cannot hang us; only regular files are read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<std::string> text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      std::string buffer(limit, '\0');
      const ssize_t got = ::read(fd, buffer.data(), limit);
      if (got >= 0) {
        buffer.resize(static_cast<std::size_t>(got));
        text = std::move(buffer);
      }
    }
    ::close(fd);
    return text;
  }

  std::optional<std::string> ReadLink(PathRef path_ref) override {
    const std::string path = path_ref.String();
    char buffer[PATH_MAX];
    const ssize_t got = ::readlink(path.c_str(), buffer, sizeof buffer);
    if (got < 0 || static_cast<std::size_t>(got) >= sizeof buffer) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(got));
  }

  std::vector<std::string> List(PathRef path_ref) override {
    const std::string path = path_ref.String();
    std::vector<std::string> names;
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return names;
    while (const dirent* entry = ::readdir(dir)) {
      const std::string_view name = entry->d_name;
      if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(dir);
    return names;
  }

  std::optional<std::string> Canonical(PathRef path_ref) override {
    const std::string path = path_ref.String();
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return std::nullopt;
    std::string out(real);
    ::free(real);
    return out;
  }

  int Symlink(PathRef target_ref, PathRef link_ref) override {
    const std::string target = target_ref.String();
    const std::string link = link_ref.String();
    return ::symlink(target.c_str(), link.c_str()) == 0 ? 0 : errno;
  }

  int Rename(PathRef from_ref, PathRef to_ref) override {
    const std::string from = from_ref.String();
    const std::string to = to_ref.String();
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
  }

  int Remove(PathRef path_ref) override {
    const std::string path = path_ref.String();
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
  }

  int CreateDirectories(PathRef path_ref) override {
    const std::string path = path_ref.String();
    std::error_code ec;
    fs::create_directories(path, ec);
    return ec ? (ec.value() ? ec.value() : EIO) : 0;
  }

  int WriteFile(PathRef path_ref, std::string_view text) override {
    const std::string path = path_ref.String();
    const std::string temp = path + ".tmp" + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int error = written ? 0 : (errno ? errno : EIO);
    ::close(fd);
    if (error != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
      const int failure = error ? error : errno;
      ::unlink(temp.c_str());
      return failure;
    }
    return 0;
  }

  bool ProcessRuns(int pid) override {
    // EPERM: it runs, as another user.
    return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
  }
};

}  // namespace

std::shared_ptr<FileTree> RealFileTree() {
  static const std::shared_ptr<FileTree> tree = std::make_shared<Real>();
  return tree;
}

}  // namespace veldoran::files
