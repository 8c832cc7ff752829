// Replacing a file's contents so that it is at every moment either the old or the new file: a
// crash, a killed process or a full disk never leaves a half-written one.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace veldoran::platform {

struct FileResult {
  bool ok = true;
  std::string error;  // why it failed, for the operator to read (UTF-8); empty when ok
};

// Writes `bytes` to a temporary file in the same folder, flushes it to the disk and renames it
// over `path`. The new file keeps the old one's permission bits (and owner, where allowed); a
// symbolic link stays a link and the file it points at is replaced. A read-only file is not
// replaced even where the folder would allow it. On failure the old file is untouched and the
// temporary file is removed.
FileResult ReplaceFileContents(const std::filesystem::path& path, std::string_view bytes);

}  // namespace veldoran::platform
