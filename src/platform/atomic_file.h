// Whole-file reads, and replacing a file's contents so that it is at every moment either the old
// or the new file: a crash, a killed process or a full disk never leaves a half-written one.
// Paths are std::filesystem::path, so names outside the ANSI code page (a folder with Polish
// letters on a Windows set to another language) work on Windows too.
#pragma once

#include <filesystem>
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
// symbolic link stays a link and the file it points at is replaced. A read-only file is not
// replaced even where the folder would allow it. On failure the old file is untouched and the
// temporary file is removed.
FileResult ReplaceFileContents(const std::filesystem::path& path, std::string_view bytes);

struct ReadResult {
  bool ok = true;
  bool missing = false;  // the file does not exist (ok is false then)
  std::string bytes;
  std::string error;  // as FileResult's; empty when ok or missing
};

// Reads the whole file as it is (no conversion of line ends or text).
ReadResult ReadFileContents(const std::filesystem::path& path);

}  // namespace veldoran::platform
