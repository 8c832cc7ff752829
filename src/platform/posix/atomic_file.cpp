#include "platform/atomic_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <string_view>
#include <system_error>

namespace veldoran::platform {
namespace {

// The operator's texts are Polish, with Polish quotation marks.
std::string Quote(const std::filesystem::path& path) { return "„" + path.string() + "”"; }

std::string ErrorText(int err) { return std::system_category().message(err); }

FileResult Refuse(std::string why) { return FileResult{false, std::move(why)}; }

// Puts `from` in the place of `to` in one step, replacing it. On Windows this is MoveFileEx
// with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH.
bool ReplaceFile(const std::filesystem::path& from, const std::filesystem::path& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

// Makes a rename in `folder` durable. Not every file system can flush a folder; a failure
// here does not undo the save, which has already taken place.
void SyncFolder(const std::filesystem::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

// The file a path stands for once symbolic links are followed, even to a file that does not
// exist yet (where canonical() gives up). Returns 0, or the error (ELOOP for a loop).
int FollowLinks(const std::filesystem::path& path, std::filesystem::path& target) {
  constexpr int kMaxLinks = 40;  // as the kernel allows in one path
  target = path;
  for (int hop = 0; hop < kMaxLinks; ++hop) {
    struct stat info {};
    if (::lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return 0;
    std::error_code ec;
    std::filesystem::path next = std::filesystem::read_symlink(target, ec);
    if (ec) return ec.value();
    target = next.is_absolute() ? next : target.parent_path() / next;
  }
  return ELOOP;
}

// The temporary files of saves that never finished: named as ReplaceFileContents names them
// ("<name>.<pid>-<n>.tmp"), left by a process that no longer runs (killed, or the machine lost
// power mid-save). Removing them after a save keeps such leftovers from piling up in the
// folder; a file of a process that still runs is left alone.
void RemoveStaleTemporaryFiles(const std::filesystem::path& folder, const std::string& name) {
  std::error_code ec;
  const std::string prefix = name + ".";
  for (auto it = std::filesystem::directory_iterator(folder, ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    const std::string entry = it->path().filename().string();
    if (!entry.starts_with(prefix) || !entry.ends_with(".tmp")) continue;
    const std::string_view rest =
        std::string_view(entry).substr(prefix.size(), entry.size() - prefix.size() - 4);
    const std::size_t dash = rest.find('-');
    if (dash == 0 || dash == rest.npos || dash + 1 == rest.size() ||
        rest.find_first_not_of("0123456789-") != rest.npos ||
        rest.find('-', dash + 1) != rest.npos) {
      continue;
    }
    pid_t pid = 0;
    const auto [end, parsed] = std::from_chars(rest.data(), rest.data() + dash, pid);
    if (parsed != std::errc() || end != rest.data() + dash || pid <= 0 || pid == ::getpid()) {
      continue;
    }
    if (::kill(pid, 0) == 0 || errno != ESRCH) continue;  // it runs (or may: not ours to judge)
    struct stat info {};
    if (::lstat(it->path().c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
      ::unlink(it->path().c_str());
    }
  }
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

ReadResult ReadFileContents(const std::filesystem::path& path, const ReadLimits& limits) {
  ReadResult result;
  const auto refuse = [&](const std::string& why) {
    result.ok = false;
    result.bytes.clear();
    result.error = "Nie można odczytać pliku " + Quote(path) + ": " + why;
    return result;
  };
  const auto fail = [&](int err) { return refuse(ErrorText(err) + "."); };
  const auto too_large = [&](const std::string& why) {
    refuse(why);
    result.too_large = true;
    return result;
  };
  const auto too_many_bytes = [&](std::uintmax_t size) {
    return too_large("ma " + SizeText(size) + ", a można wczytać najwyżej " +
                     SizeText(limits.max_bytes) + ".");
  };
  // Not blocking: a FIFO or a terminal standing at the path must not stall the caller; it is
  // refused below as not being a file.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) return fail(errno);
    result.ok = false;
    result.missing = true;
    return result;
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat info {};
  if (::fstat(fd, &info) != 0) return fail(errno);
  if (S_ISDIR(info.st_mode)) return refuse("to folder, a nie plik.");
  if (!S_ISREG(info.st_mode)) return refuse("to nie jest zwykły plik.");
  if (static_cast<std::uintmax_t>(info.st_size) > limits.max_bytes) {
    return too_many_bytes(static_cast<std::uintmax_t>(info.st_size));
  }

  // The size may change while the file is read (or be wrong, as for files under /proc): the
  // read stops one byte past the limit.
  result.bytes.reserve(static_cast<std::size_t>(info.st_size));
  char buffer[65536];
  for (;;) {
    // Up to one byte past the limit, so that a file that grew shows as too large.
    const std::uintmax_t room =
        limits.max_bytes - std::min<std::uintmax_t>(limits.max_bytes, result.bytes.size());
    const std::size_t want =
        room >= sizeof buffer ? sizeof buffer : static_cast<std::size_t>(room + 1);
    const ssize_t n = ::read(fd, buffer, want);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    result.bytes.append(buffer, static_cast<std::size_t>(n));
    if (result.bytes.size() > limits.max_bytes) return too_many_bytes(result.bytes.size());
  }
  const auto lines =
      static_cast<std::uintmax_t>(std::count(result.bytes.begin(), result.bytes.end(), '\n'));
  if (lines > limits.max_lines) {
    return too_large("ma " + std::to_string(lines) + " wierszy, a można wczytać najwyżej " +
                     std::to_string(limits.max_lines) + ".");
  }
  return result;
}

FileResult ReplaceFileContents(const std::filesystem::path& path, std::string_view bytes) {
  const std::string cannot = "Nie można zapisać pliku " + Quote(path) + ": ";

  // A symbolic link stays a link: the file it points at is the one replaced, or made when it
  // does not exist yet.
  std::filesystem::path target;
  if (const int err = FollowLinks(path, target); err != 0) {
    return Refuse(cannot + ErrorText(err) + ".");
  }
  const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : ".";

  struct stat old {};
  const bool exists = ::stat(target.c_str(), &old) == 0;
  if (!exists && errno != ENOENT) return Refuse(cannot + ErrorText(errno) + ".");
  if (exists) {
    if (S_ISDIR(old.st_mode)) return Refuse(cannot + "to folder, a nie plik.");
    if (!S_ISREG(old.st_mode)) return Refuse(cannot + "to nie jest zwykły plik.");
    // Without a write bit the file is read-only for everyone, root included, as the read-only
    // attribute is on Windows. A rename would replace it anyway; it must not.
    if ((old.st_mode & 0222) == 0 || ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
      return Refuse(cannot + "plik jest tylko do odczytu.");
    }
  }

  static std::atomic<unsigned> counter{0};
  std::filesystem::path temp;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    temp = folder / (target.filename().string() + "." + std::to_string(::getpid()) + "-" +
                     std::to_string(counter++) + ".tmp");
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    return Refuse(cannot + "nie można utworzyć pliku tymczasowego w folderze " + Quote(folder) +
                  ": " + ErrorText(errno) + ".");
  }

  const auto fail = [&](const std::string& step, int err) {
    if (fd >= 0) ::close(fd);
    ::unlink(temp.c_str());
    return Refuse(cannot + "błąd przy " + step + " pliku tymczasowego " + Quote(temp) + ": " +
                  ErrorText(err) + ".");
  };
  if (exists) {
    if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
      // Only root can hand a file to another owner; otherwise the new file stays ours.
      const int ignored = ::fchown(fd, old.st_uid, old.st_gid);
      (void)ignored;
    }
    if (::fchmod(fd, old.st_mode & 07777) != 0) return fail("ustawianiu uprawnień", errno);
  }
  if (!WriteAll(fd, bytes)) return fail("zapisie", errno);
  if (::fsync(fd) != 0) return fail("zapisie na dysk", errno);
  const int closed = ::close(fd);
  const int close_error = errno;
  fd = -1;
  if (closed != 0) return fail("zamykaniu", close_error);
  if (!ReplaceFile(temp, target)) return fail("zmianie nazwy", errno);
  SyncFolder(folder);
  RemoveStaleTemporaryFiles(folder, target.filename().string());
  return {};
}

}  // namespace veldoran::platform
