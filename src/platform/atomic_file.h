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
  // Why it failed, for the operator to read, in the local 8-bit encoding (the ANSI code page
  // on Windows, UTF-8 elsewhere); empty when ok.
  std::string error;
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
  bool missing = false;    // the file does not exist (ok is false then)
  bool too_large = false;  // beyond the caller's limits (ok is false then)
  std::string bytes;
  std::string error;  // as FileResult's; empty when ok or missing
};

// What a caller is prepared to take from a file: more bytes, or more lines (line feeds), and the
// file is refused, with its size or line count in the error.
struct ReadLimits {
  std::uintmax_t max_bytes = std::numeric_limits<std::uintmax_t>::max();
  std::uintmax_t max_lines = std::numeric_limits<std::uintmax_t>::max();
};

// Reads the whole file as it is (no conversion of line ends or text). Only a regular file is
// read: a folder, a device or a FIFO at the path is refused at once, never waited on. A file
// beyond `limits` is refused; one larger than max_bytes is not even read, also when it grows
// while it is read.
ReadResult ReadFileContents(const std::filesystem::path& path, const ReadLimits& limits = {});

// A size as the errors show it: "4 MB", "100,5 MB" (mebibytes, decimal comma), "512 B".
inline std::string SizeText(std::uintmax_t bytes) {
  constexpr std::uintmax_t kMb = 1024 * 1024;
  if (bytes < kMb) return std::to_string(bytes) + " B";
  if (bytes % kMb == 0) return std::to_string(bytes / kMb) + " MB";
  const std::uintmax_t tenths = (bytes * 10 + kMb / 2) / kMb;
  return std::to_string(tenths / 10) + "," + std::to_string(tenths % 10) + " MB";
}

}  // namespace veldoran::platform
