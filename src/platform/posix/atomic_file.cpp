#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
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

ReadResult ReadFileContents(const std::filesystem::path& path) {
  ReadResult result;
  const auto fail = [&](int err) {
    result.ok = false;
    result.bytes.clear();
    result.error = "Nie można odczytać pliku " + Quote(path) + ": " + ErrorText(err) + ".";
    return result;
  };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) return fail(errno);
    result.ok = false;
    result.missing = true;
    return result;
  }
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      return fail(err);
    }
    result.bytes.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return result;
}

FileResult ReplaceFileContents(const std::filesystem::path& path, std::string_view bytes) {
  const std::string cannot = "Nie można zapisać pliku " + Quote(path) + ": ";

  // A symbolic link stays a link: the file it points at is the one replaced.
  std::filesystem::path target = path;
  std::error_code ec;
  if (std::filesystem::is_symlink(path, ec)) {
    auto resolved = std::filesystem::canonical(path, ec);
    if (!ec) target = std::move(resolved);
  }
  const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : ".";

  struct stat old {};
  const bool exists = ::stat(target.c_str(), &old) == 0;
  if (!exists && errno != ENOENT) return Refuse(cannot + ErrorText(errno) + ".");
  if (exists) {
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
  return {};
}

}  // namespace veldoran::platform
