// Replacing a file's contents so that it is at every moment either the old or the new file: a
// crash, a killed process or a full disk never leaves a half-written one.
#pragma once

#include <filesystem>
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
// untouched, the temporary file is removed and the error says why. After a save, temporary
// files that saves of processes no longer running left behind in the folder are removed.
FileResult ReplaceFileContents(const std::filesystem::path& path, std::string_view bytes);

}  // namespace veldoran::platform
