// Whole-file reads, and replacing a file's contents so that it is at every moment either the old
// or the new file: a crash, a killed process or a full disk never leaves a half-written one.
// Paths are std::filesystem::path, so names outside the ANSI code page (a folder with Polish
// letters on a Windows set to another language) work on Windows too.
#pragma once

#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <string_view>

namespace veldoran::platform {

struct FileResult {
  bool ok = true;
  std::string error;  // why it failed, for a person to read; empty when ok
};

// Writes `bytes` to a temporary file in the same folder, flushes it to the disk and renames it
// over `path`. The new file keeps the old one's permission bits (and owner, where allowed); a
// symbolic link stays a link and the file it points at is replaced (or made, when the link
// points at a file that does not exist yet). A read-only file, a folder and anything else that
// is not a regular file are not replaced. On failure (a full disk among them) the old file is
// untouched, the temporary file is removed and the error says why. On POSIX systems, after a
// save, the temporary files that saves of processes no longer running left behind in the folder
// are removed.
FileResult ReplaceFileContents(const std::filesystem::path& path, std::string_view bytes);

struct ReadResult {
  bool ok = true;
  bool missing = false;     // the file does not exist (ok is false then)
  bool too_large = false;   // larger than the caller's limit (ok is false then); not read
  std::uintmax_t size = 0;  // the file's size, when too large
  std::string bytes;
  std::string error;  // why it failed, for a person to read; empty when ok or missing
};

// Reads the whole file as it is (no conversion of line ends or text). Only a regular file is
// read: a folder, a device or a FIFO at the path is refused at once, never waited on. A file
// larger than `max_bytes` is refused without being read, also when it grows while it is read.
ReadResult ReadFileContents(const std::filesystem::path& path,
                            std::uintmax_t max_bytes = std::numeric_limits<std::uintmax_t>::max());

// A path as error messages show it: in quotation marks, in the system's code page.
std::string QuotedPath(const std::filesystem::path& path);

}  // namespace veldoran::platform
